// The kernel's unwinding routines: RtlCaptureContext, RtlLookupFunctionEntry
// and RtlVirtualUnwind over the image registry and the unwinder. All three
// are callable at any IRQL and during the bug check, where the crash report
// walks the stack with them.
#include "core/machine_state.h"
#include "core/model_lock.h"
#include "images/host_frames.h"
#include "memory/guest_memory.h"

#include "model/driver_call.h"
#include "model/image_registry.h"
#include "model/unwind.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/uio.h>
#include <unistd.h>

namespace model {

namespace {

// Selectors of the x64 Windows kernel at CPL 0: what a capture in kernel
// mode records, whichever processor (host or emulated) ran the caller.
constexpr USHORT KernelCodeSelector = 0x10;
constexpr USHORT KernelStackSelector = 0x18;
constexpr USHORT KernelDataSelector = 0x2B;
constexpr USHORT KernelFsSelector = 0x53;
constexpr ULONG CapturedContextFlags = CONTEXT_FULL | CONTEXT_SEGMENTS;

ContextCapture Capture = nullptr;
void* CaptureData = nullptr;
const unwind::MemoryReader* GuestReader = nullptr;
UnwindFailure LastFailure;

// The process's own memory, read through the kernel so that an unmapped
// address fails the read instead of faulting the host.
class ProcessMemory final : public unwind::MemoryReader {
public:
    bool Read(uint64_t address, void* buffer, size_t size) const override
    {
        if (size == 0) {
            return true;
        }
        iovec local{buffer, size};
        iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(address)), size};
        return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
    }
};

class KernelMemory final : public unwind::MemoryReader {
public:
    bool Read(uint64_t address, void* buffer, size_t size) const override
    {
        if (size == 0) {
            return true;
        }
        const uint64_t last = address + size - 1;
        if (last < address) {
            return false;
        }
        // Reading device registers has effects; the unwinder never may.
        for (const IoMapping& mapping : State().Mappings) {
            if (address < mapping.Virtual + mapping.Size && mapping.Virtual <= last) {
                return false;
            }
        }
        if (const LoadedImage* image = FindImageByAddress(address)) {
            return ReadImageBytes(*image, address, buffer, size);
        }
        if (const LoadedImage* image = FindImageByAddress(last)) {
            (void)image;
            return false;  // runs into an image from below
        }
        // A page the map holds as paged out is not there for the kernel's
        // own reads either, whatever the host could read at the address.
        for (uint64_t at = address;;) {
            std::optional<MemoryRange> range = FindMemory(static_cast<uintptr_t>(at));
            if (range && !range->Resident) {
                return false;
            }
            const uint64_t next = (at | (ImagePageSize - 1)) + 1;
            if (next == 0 || next > last) {
                break;
            }
            at = next;
        }
        static const ProcessMemory process;
        const unwind::MemoryReader& fallback = GuestReader != nullptr ? *GuestReader : process;
        return fallback.Read(address, buffer, size);
    }
};

// Host code has no x64 unwind data: the host build of the driver and this
// library are built with frame pointers, and their frames are unwound by
// that chain. The entry handed out for them points at unwind data that
// says so (push rbp; mov rbp, rsp: the saved RBP at RBP, the return
// address above it), so that a caller that reads the data before each step
// to learn what the step will read, as the crash report does, sees what
// the walk below reads of the driver's frame. Its image base is the block
// itself, and its function covers no address, so the code at a host return
// address is never taken for an epilogue.
struct HostFrameUnwindBlock {
    RUNTIME_FUNCTION Entry;
    uint8_t Info[8];
};
constexpr uint8_t UnwindVersion = 1;
constexpr uint8_t RbpRegister = 5;
constexpr uint8_t PushNonvolCode = 0;
constexpr uint8_t SetFpregCode = 3;
alignas(8) HostFrameUnwindBlock HostFrameBlock = {
    {0, 0, offsetof(HostFrameUnwindBlock, Info)},
    {UnwindVersion, 0, 2, RbpRegister,
     // Codes in reverse prolog order: mov rbp, rsp at 4, push rbp at 1.
     4, SetFpregCode, 1, static_cast<uint8_t>(PushNonvolCode | (RbpRegister << 4))}};
RUNTIME_FUNCTION& HostFrameEntry = HostFrameBlock.Entry;

// The block is kernel memory the caller may test with MmIsAddressValid.
void EnterHostFrameBlock()
{
    static const MemoryRangeId entered =
        EnterHostMemory(reinterpret_cast<uintptr_t>(&HostFrameBlock), sizeof(HostFrameBlock),
                        false, "the unwind data of host frames");
    (void)entered;
}

struct CodeRange {
    uint64_t Start = 0;
    uint64_t End = 0;
};

int FindOwnCode(dl_phdr_info* info, size_t, void* context)
{
    auto* range = static_cast<CodeRange*>(context);
    if (info->dlpi_addr != range->Start) {
        return 0;
    }
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD && (header.p_flags & PF_X) != 0) {
            range->Start = info->dlpi_addr + header.p_vaddr;
            range->End = range->Start + header.p_memsz;
            return 1;
        }
    }
    return 0;
}

// This library's code, found once.
const CodeRange& ModelCode()
{
    static const CodeRange range = [] {
        CodeRange found;
        Dl_info info = {};
        if (dladdr(reinterpret_cast<void*>(&FindOwnCode), &info) != 0) {
            found.Start = reinterpret_cast<uintptr_t>(info.dli_fbase);
            if (dl_iterate_phdr(FindOwnCode, &found) == 0) {
                found = {};
            }
        }
        return found;
    }();
    return range;
}

// Bounds the model's own frames stepped over between two frames a walk
// shows; a deeper chain is a damaged one.
constexpr unsigned MaxKernelFrames = 64;

bool HostFrameCode(uint64_t address)
{
    const CodeRange& model = ModelCode();
    return InHostDriverImage(address) || (address >= model.Start && address < model.End);
}

// One frame of host code: RBP points at the caller's RBP, the return
// address above it. A caller outside the driver's and the model's code is
// the tool that runs the machine, not the machine: the walk ends there, as
// at the base of a thread.
//
// While a host image runs, the walk shows only frames of driver code and
// of KxCallDriver, as listed addresses (host_frames.h). The model's own
// frames between them are the kernel's work, which runs on the host and
// which the shipped image's walk does not see either: the walk steps over
// them to the driver code that called the kernel. The machine's stack ends
// at the outermost KxCallDriver frame, as the emulated processor's does;
// what lies above it is the tool's, and the unwinder reads it as memory
// that is not there, so the walk ends without a frame of its own there too.
unwind::Result UnwindHostFrame(const unwind::MemoryReader& memory, PCONTEXT context)
{
    unwind::Result result;
    result.EstablisherFrame = context->Rbp;
    for (unsigned kernelFrames = 0;; ++kernelFrames) {
        const uint64_t frame = context->Rbp;
        uint64_t saved[2] = {};  // the caller's RBP, the return address
        if (!memory.Read(frame, saved, sizeof(saved))) {
            if (kernelFrames > 0) {
                // The model's own frames are the kernel's work: a chain
                // that breaks there ends the walk, as at the stack's base.
                context->Rip = 0;
                context->Rsp = 0;
                return result;
            }
            result.Outcome = unwind::Status::BadMemory;
            result.FaultAddress = frame;
            return result;
        }
        context->Rsp = frame + sizeof(saved);
        context->Rbp = saved[0];
        const uint64_t returnAddress = saved[1];
        if (!HostFramesShown()) {
            const bool known =
                HostFrameCode(returnAddress) || FindImageByAddress(returnAddress) != nullptr;
            context->Rip = known ? returnAddress : 0;
            return result;
        }
        if (PresentableReturnAddress(returnAddress)) {
            context->Rip = PresentedReturnAddress(returnAddress);
            return result;
        }
        if (!HostFrameCode(returnAddress) || kernelFrames == MaxKernelFrames || saved[0] <= frame) {
            // The base of the machine's stack, as at the base of a thread:
            // no caller, and no stack above it to show.
            context->Rip = 0;
            context->Rsp = 0;
            return result;
        }
    }
}

std::string Where(uint64_t address)
{
    const LoadedImage* image = FindImageByAddress(address);
    return image != nullptr ? image->Name + "+" + Hex(address - image->Base) : Hex(address);
}

const char* OutcomeText(unwind::Status status)
{
    switch (status) {
    case unwind::Status::Ok: return "ok";
    case unwind::Status::BadMemory: return "refused read";
    case unwind::Status::BadUnwindData: return "damaged unwind data";
    case unwind::Status::ChainTooLong: return "chained entries form a cycle";
    }
    return "?";
}

}  // namespace

void SetContextCapture(ContextCapture capture, void* data)
{
    Capture = capture;
    CaptureData = data;
}

void SetGuestMemoryReader(const unwind::MemoryReader* reader)
{
    GuestReader = reader;
}

const unwind::MemoryReader& UnwindMemory()
{
    static const KernelMemory memory;
    return memory;
}

UnwindFailure LastUnwindFailure()
{
    return LastFailure;
}

}  // namespace model

using namespace model;

// The host half of RtlCaptureContext: the assembly entry below has stored
// the caller's registers, as they were at the call, before any C++ code
// could change them.
extern "C" __attribute__((visibility("hidden"))) void VekFinishCaptureContext(PCONTEXT ContextRecord)
{
    KernelScope kernel;
    EnterRoutine("RtlCaptureContext", HIGH_LEVEL, AtBugCheck::Allowed);
    ContextRecord->ContextFlags = CapturedContextFlags;
    if (Capture != nullptr) {
        Capture(ContextRecord, CaptureData);
    }
    ContextRecord->SegCs = KernelCodeSelector;
    ContextRecord->SegSs = KernelStackSelector;
    ContextRecord->SegDs = KernelDataSelector;
    ContextRecord->SegEs = KernelDataSelector;
    ContextRecord->SegGs = KernelDataSelector;
    ContextRecord->SegFs = KernelFsSelector;
}

#if defined(__x86_64__)
// RtlCaptureContext(ContextRecord in RDI): every general register as at the
// call, RIP the return address and RSP the stack pointer after the return,
// flags, MXCSR and the XMM registers; then the C++ half.
__asm__(R"(
    .text
    .globl RtlCaptureContext
    .type RtlCaptureContext, @function
RtlCaptureContext:
    .cfi_startproc
    pushfq
    .cfi_adjust_cfa_offset 8
    movq %rax, 0x78(%rdi)
    movq %rcx, 0x80(%rdi)
    movq %rdx, 0x88(%rdi)
    movq %rbx, 0x90(%rdi)
    movq %rbp, 0xA0(%rdi)
    movq %rsi, 0xA8(%rdi)
    movq %rdi, 0xB0(%rdi)
    movq %r8, 0xB8(%rdi)
    movq %r9, 0xC0(%rdi)
    movq %r10, 0xC8(%rdi)
    movq %r11, 0xD0(%rdi)
    movq %r12, 0xD8(%rdi)
    movq %r13, 0xE0(%rdi)
    movq %r14, 0xE8(%rdi)
    movq %r15, 0xF0(%rdi)
    stmxcsr 0x34(%rdi)
    stmxcsr 0x118(%rdi)
    movdqu %xmm0, 0x1A0(%rdi)
    movdqu %xmm1, 0x1B0(%rdi)
    movdqu %xmm2, 0x1C0(%rdi)
    movdqu %xmm3, 0x1D0(%rdi)
    movdqu %xmm4, 0x1E0(%rdi)
    movdqu %xmm5, 0x1F0(%rdi)
    movdqu %xmm6, 0x200(%rdi)
    movdqu %xmm7, 0x210(%rdi)
    movdqu %xmm8, 0x220(%rdi)
    movdqu %xmm9, 0x230(%rdi)
    movdqu %xmm10, 0x240(%rdi)
    movdqu %xmm11, 0x250(%rdi)
    movdqu %xmm12, 0x260(%rdi)
    movdqu %xmm13, 0x270(%rdi)
    movdqu %xmm14, 0x280(%rdi)
    movdqu %xmm15, 0x290(%rdi)
    popq %rax
    .cfi_adjust_cfa_offset -8
    movl %eax, 0x44(%rdi)
    leaq 8(%rsp), %rax
    movq %rax, 0x98(%rdi)
    movq (%rsp), %rax
    movq %rax, 0xF8(%rdi)
    movq 0x78(%rdi), %rax
    jmp VekFinishCaptureContext@PLT
    .cfi_endproc
    .size RtlCaptureContext, .-RtlCaptureContext
)");
#else
#error "the model's RtlCaptureContext is written for x86-64 hosts"
#endif

namespace {

// The kernel's unwinding routines read the exception directory, the unwind
// data and the stack in place: a page they cannot read is a page fault like
// any other. Only a page that is present but paged out, below
// DISPATCH_LEVEL, would be brought in; the model cannot, and the routine
// fails there instead.
void ReadFailedInKernelRoutine(const char* routine, uint64_t address)
{
    // Present but paged out: a range the map holds so, or a page of a
    // loaded image that is not resident.
    std::optional<MemoryRange> range = FindMemory(address);
    const bool present = (range && !range->Resident) || FindImageByAddress(address) != nullptr;
    const bool pagedIn = present && CurrentIrql() < DISPATCH_LEVEL && !State().InBugCheck;
    if (!pagedIn) {
        RaiseBadAccess(routine, address, MemoryAccess::Read);
    }
}

}  // namespace

extern "C" PRUNTIME_FUNCTION RtlLookupFunctionEntry(ULONG64 ControlPc, PULONG64 ImageBase,
                                                    PUNWIND_HISTORY_TABLE HistoryTable)
{
    KernelScope kernel;
    // The history table only caches earlier answers; the model answers
    // afresh every time and leaves it alone.
    (void)HistoryTable;
    EnterRoutine("RtlLookupFunctionEntry", HIGH_LEVEL, AtBugCheck::Allowed, Where(ControlPc));
    const LoadedImage* image = FindImageByAddress(ControlPc);
    if ((image == nullptr && HostFrameCode(ControlPc)) || PresentedHostFrame(ControlPc)) {
        EnterHostFrameBlock();
        *ImageBase = reinterpret_cast<uintptr_t>(&HostFrameBlock);
        return &HostFrameEntry;
    }
    // The kernel finds the image's exception directory in its own table of
    // loaded images, not in the image's headers; the entries it then
    // searches are the image's.
    unwind::FoundEntry found;
    uint64_t faultAddress = 0;
    if (image == nullptr || !unwind::LookupFunctionEntry(UnwindMemory(), image->Base, image->Size,
                                                         ControlPc, &found, &faultAddress)) {
        if (faultAddress != 0) {
            ReadFailedInKernelRoutine("RtlLookupFunctionEntry", faultAddress);
        }
        return nullptr;
    }
    *ImageBase = image->Base;
    return reinterpret_cast<PRUNTIME_FUNCTION>(static_cast<uintptr_t>(found.Address));
}

extern "C" PEXCEPTION_ROUTINE RtlVirtualUnwind(ULONG HandlerType, ULONG64 ImageBase,
                                               ULONG64 ControlPc, PRUNTIME_FUNCTION FunctionEntry,
                                               PCONTEXT ContextRecord, PVOID* HandlerData,
                                               PULONG64 EstablisherFrame,
                                               PKNONVOLATILE_CONTEXT_POINTERS ContextPointers)
{
    KernelScope kernel;
    const unwind::MemoryReader& memory = UnwindMemory();
    // The entry lies in the image's exception directory, which may be
    // nowhere the host can read directly.
    RUNTIME_FUNCTION entry;
    unwind::Result result;
    if (FunctionEntry == &HostFrameEntry) {
        result = UnwindHostFrame(memory, ContextRecord);
    } else if (!memory.Read(reinterpret_cast<uintptr_t>(FunctionEntry), &entry, sizeof(entry))) {
        result.Outcome = unwind::Status::BadMemory;
        result.FaultAddress = reinterpret_cast<uintptr_t>(FunctionEntry);
    } else {
        result = unwind::VirtualUnwind(memory, HandlerType, ImageBase, ControlPc, entry,
                                       ContextRecord, ContextPointers);
    }
    LastFailure = {result.Outcome, result.FaultAddress};
    std::string detail = Where(ControlPc);
    if (result.Outcome != unwind::Status::Ok) {
        detail += std::string(" ") + OutcomeText(result.Outcome) + " at " + Hex(result.FaultAddress);
    }
    EnterRoutine("RtlVirtualUnwind", HIGH_LEVEL, AtBugCheck::Allowed, detail);
    if (result.Outcome == unwind::Status::BadMemory) {
        ReadFailedInKernelRoutine("RtlVirtualUnwind", result.FaultAddress);
    }
    if (result.Outcome != unwind::Status::Ok) {
        // Damaged unwind data: the model ends the walk instead, with no
        // caller, so a stack walk stops at this frame.
        ContextRecord->Rip = 0;
        return nullptr;
    }
    *EstablisherFrame = result.EstablisherFrame;
    if (result.LanguageHandler != 0) {
        *HandlerData = reinterpret_cast<PVOID>(static_cast<uintptr_t>(result.HandlerData));
    }
    return reinterpret_cast<PEXCEPTION_ROUTINE>(static_cast<uintptr_t>(result.LanguageHandler));
}
