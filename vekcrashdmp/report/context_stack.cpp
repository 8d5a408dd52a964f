// The register context and stack trace of the crash report.
//
// The walk reads memory the driver does not own: the stack at each frame's
// stack pointer, and the unwind data of every image it crosses, both
// directly and through RtlVirtualUnwind. Inside the bug check a read of a
// page that is not resident is a second bug check, not an exception: no
// guard can catch it, whether the driver or the kernel's routine reads.
// So every address the walk or the unwinder will read is vouched for by
// MmIsAddressValid first, last byte included, or the trace ends there.
// MmIsAddressValid's page allows DISPATCH_LEVEL at most; it only looks at
// the page tables, and crash-time code has nothing else to ask. The fault
// guard stays behind all of it for what a test cannot see (a non-canonical
// address, a general protection fault), which Windows does dispatch.
#include "report/context_stack.h"
#include "console/report_print.h"
#include "driver/bytes.h"
#include "modules/module_map.h"

namespace {

constexpr ULONG64 StackWordSize = sizeof(ULONG64);

// What a guarded routine returns when it stopped at an address it would not
// read; the caller treats it as it treats a fault.
constexpr NTSTATUS StatusStackNotResident = STATUS_UNSUCCESSFUL;

// The context block, in the report's fixed order (not the record's).
enum class ContextValue { Segment, Flags, Register };

struct ContextLine {
    PCSTR Format;
    ContextValue Kind;
    ULONG Offset;  // of the member in CONTEXT
};

const ContextLine ContextLines[] = {
    {"- GS = %04X\n", ContextValue::Segment, offsetof(CONTEXT, SegGs)},
    {"- FS = %04X\n", ContextValue::Segment, offsetof(CONTEXT, SegFs)},
    {"- ES = %04X\n", ContextValue::Segment, offsetof(CONTEXT, SegEs)},
    {"- DS = %04X\n", ContextValue::Segment, offsetof(CONTEXT, SegDs)},
    {"- SS = %04X\n", ContextValue::Segment, offsetof(CONTEXT, SegSs)},
    {"- CS = %04X\n", ContextValue::Segment, offsetof(CONTEXT, SegCs)},
    {"- EFLAGS = %08X\n", ContextValue::Flags, offsetof(CONTEXT, EFlags)},
    {"- RDI = %016llX\n", ContextValue::Register, offsetof(CONTEXT, Rdi)},
    {"- RSI = %016llX\n", ContextValue::Register, offsetof(CONTEXT, Rsi)},
    {"- RBX = %016llX\n", ContextValue::Register, offsetof(CONTEXT, Rbx)},
    {"- RDX = %016llX\n", ContextValue::Register, offsetof(CONTEXT, Rdx)},
    {"- RCX = %016llX\n", ContextValue::Register, offsetof(CONTEXT, Rcx)},
    {"- RAX = %016llX\n", ContextValue::Register, offsetof(CONTEXT, Rax)},
    {"- RBP = %016llX\n", ContextValue::Register, offsetof(CONTEXT, Rbp)},
    {"- RIP = %016llX\n", ContextValue::Register, offsetof(CONTEXT, Rip)},
    {"- RSP = %016llX\n", ContextValue::Register, offsetof(CONTEXT, Rsp)},
    {"- R8 = %016llX\n", ContextValue::Register, offsetof(CONTEXT, R8)},
    {"- R9 = %016llX\n", ContextValue::Register, offsetof(CONTEXT, R9)},
    {"- R10 = %016llX\n", ContextValue::Register, offsetof(CONTEXT, R10)},
    {"- R11 = %016llX\n", ContextValue::Register, offsetof(CONTEXT, R11)},
    {"- R12 = %016llX\n", ContextValue::Register, offsetof(CONTEXT, R12)},
    {"- R13 = %016llX\n", ContextValue::Register, offsetof(CONTEXT, R13)},
    {"- R14 = %016llX\n", ContextValue::Register, offsetof(CONTEXT, R14)},
    {"- R15 = %016llX\n", ContextValue::Register, offsetof(CONTEXT, R15)},
};
static_assert(sizeof(ContextLines) / sizeof(ContextLines[0]) == 24,
              "the header line and 24 register lines");

// The record may be the caller's or one it handed on: read it through
// routines of their own, so that a fault in the read is one a guard sees.
DECLSPEC_NOINLINE ULONG ReadContextValue(const CONTEXT* Context, const ContextLine* Line)
{
    const UCHAR* member = reinterpret_cast<const UCHAR*>(Context) + Line->Offset;
    switch (Line->Kind) {
    case ContextValue::Segment:
        return *reinterpret_cast<const volatile USHORT*>(member);
    case ContextValue::Flags:
        return *reinterpret_cast<const volatile ULONG*>(member);
    default:
        return 0;
    }
}

DECLSPEC_NOINLINE ULONG64 ReadContextRegister(const CONTEXT* Context, const ContextLine* Line)
{
    return *reinterpret_cast<const volatile ULONG64*>(reinterpret_cast<const UCHAR*>(Context) +
                                                      Line->Offset);
}

NTSTATUS NTAPI PrintContextGuarded(PVOID Record)
{
    const CONTEXT* context = static_cast<const CONTEXT*>(Record);
    ReportPrint(ReportLevelCrash, "CONTEXT (%p):\n", context);
    for (const ContextLine& line : ContextLines) {
        if (line.Kind == ContextValue::Register) {
            ReportPrint(ReportLevelCrash, line.Format, ReadContextRegister(context, &line));
        } else {
            ReportPrint(ReportLevelCrash, line.Format, ReadContextValue(context, &line));
        }
    }
    return STATUS_SUCCESS;
}

// A stack word the caller has found resident.
DECLSPEC_NOINLINE UNOWNED_MEMORY_READ ULONG64 ReadStackWord(ULONG64 Address)
{
    return *reinterpret_cast<const volatile ULONG64*>(static_cast<ULONG_PTR>(Address));
}

// Both ends of the word: a stack pointer that is not a multiple of 8 puts
// a word across a page boundary, and a resident first byte says nothing of
// the page its last byte lies on. Testing the last byte keeps the trace
// as the unwinding left it, rather than cutting it at every odd stack
// pointer a damaged frame produces.
BOOLEAN StackWordResident(ULONG64 Address)
{
    ULONG64 last = Address + StackWordSize - 1;
    return MmIsAddressValid(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Address))) &&
           MmIsAddressValid(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(last)));
}

// What one step of RtlVirtualUnwind reads: the function's entry, its
// unwind data (chained entries included), the code at the control PC (to
// tell an epilogue), and the frame's fixed allocation, saved registers,
// machine frame and return address on the stack. Two ways keep a step
// safe at HIGH_LEVEL: unwind with a copy of the kernel's routine of our
// own, or learn from the unwind data what the kernel's will read and test
// that first; we test, because the kernel's routine then keeps the only
// reading of each unwind code that matters (the one the dump and the
// debugger agree with), and a test that errs only ends a damaged trace
// early.

constexpr ULONG64 PageBytes = 0x1000;
constexpr ULONG UnwindInfoHeaderBytes = 4;
constexpr ULONG UnwindCodeBytes = 2;
constexpr ULONG MaxUnwindVersion = 2;
constexpr UCHAR UnwindFlagHandlers = 0x3;   // UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER
constexpr UCHAR UnwindFlagChainInfo = 0x4;  // UNW_FLAG_CHAININFO
constexpr ULONG MaxChainedEntries = 32;
constexpr ULONG FrameOffsetScale = 16;
constexpr ULONG RegisterCount = 16;
// The unwinder's epilogue test reads at most a "lea rsp, [reg + disp32]"
// with a SIB byte, one two-byte pop of each register, and a five-byte jump.
constexpr ULONG64 EpilogueBytesRead = 8 + 2 * RegisterCount + 5;
// A machine frame's return address and, 24 bytes above it, the old RSP.
constexpr ULONG64 MachineFrameBytesRead = 32;
constexpr ULONG64 MachineFrameErrorCode = 8;
// KERNEL_LARGE_STACK_SIZE on x64: no stack is larger, so a frame whose
// reads spread further is damaged.
constexpr ULONG64 MaxFrameSpan = 0x12000;

enum UnwindOperation : UCHAR {
    UnwindPushNonvol = 0,
    UnwindAllocLarge = 1,
    UnwindAllocSmall = 2,
    UnwindSetFpreg = 3,
    UnwindSaveNonvol = 4,
    UnwindSaveNonvolFar = 5,
    UnwindEpilog = 6,
    UnwindSpareCode = 7,
    UnwindSaveXmm128 = 8,
    UnwindSaveXmm128Far = 9,
    UnwindPushMachframe = 10,
};

// The integer registers in the unwind codes' numbering.
const ULONG IntegerRegisterOffsets[RegisterCount] = {
    offsetof(CONTEXT, Rax), offsetof(CONTEXT, Rcx), offsetof(CONTEXT, Rdx), offsetof(CONTEXT, Rbx),
    offsetof(CONTEXT, Rsp), offsetof(CONTEXT, Rbp), offsetof(CONTEXT, Rsi), offsetof(CONTEXT, Rdi),
    offsetof(CONTEXT, R8),  offsetof(CONTEXT, R9),  offsetof(CONTEXT, R10), offsetof(CONTEXT, R11),
    offsetof(CONTEXT, R12), offsetof(CONTEXT, R13), offsetof(CONTEXT, R14), offsetof(CONTEXT, R15),
};

ULONG64 IntegerRegister(const CONTEXT* Context, ULONG Number)
{
    return *reinterpret_cast<const ULONG64*>(reinterpret_cast<const UCHAR*>(Context) +
                                             IntegerRegisterOffsets[Number % RegisterCount]);
}

// Every page of [Start, Start + Size) resident, the last byte's included.
BOOLEAN RangeResident(ULONG64 Start, ULONG64 Size)
{
    if (Size == 0) {
        return TRUE;
    }
    ULONG64 last = Start + Size - 1;
    if (last < Start) {
        return FALSE;
    }
    for (ULONG64 at = Start;;) {
        if (!MmIsAddressValid(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(at)))) {
            return FALSE;
        }
        ULONG64 next = (at & ~(PageBytes - 1)) + PageBytes;
        if (next == 0 || next > last) {
            break;
        }
        at = next;
    }
    return MmIsAddressValid(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(last)));
}

// A byte the caller has found resident.
DECLSPEC_NOINLINE UNOWNED_MEMORY_READ UCHAR ReadResidentByte(ULONG64 Address)
{
    return *reinterpret_cast<const volatile UCHAR*>(static_cast<ULONG_PTR>(Address));
}

ULONG ReadResidentUlong(ULONG64 Address)
{
    ULONG value = 0;
    for (ULONG i = 0; i < sizeof(value); ++i) {
        value |= static_cast<ULONG>(ReadResidentByte(Address + i)) << (8 * i);
    }
    return value;
}

USHORT ReadResidentUshort(ULONG64 Address)
{
    return static_cast<USHORT>(ReadResidentByte(Address) | (ReadResidentByte(Address + 1) << 8));
}

// An entry read from memory that has been tested.
RUNTIME_FUNCTION ReadResidentEntry(ULONG64 Address)
{
    RUNTIME_FUNCTION entry;
    entry.BeginAddress = ReadResidentUlong(Address);
    entry.EndAddress = ReadResidentUlong(Address + sizeof(ULONG));
    entry.UnwindData = ReadResidentUlong(Address + 2 * sizeof(ULONG));
    return entry;
}

// An UNWIND_INFO whose header, codes and trailer (handler or chained
// entry) were found resident.
struct UnwindInfoView {
    ULONG64 Address;
    UCHAR Flags;
    UCHAR SizeOfProlog;
    UCHAR CountOfCodes;
    UCHAR FrameRegister;
    UCHAR FrameOffset;

    ULONG64 Trailer() const
    {
        return Address + UnwindInfoHeaderBytes + UnwindCodeBytes * ((CountOfCodes + 1u) & ~1u);
    }
    USHORT Code(ULONG Index) const
    {
        return ReadResidentUshort(Address + UnwindInfoHeaderBytes + UnwindCodeBytes * Index);
    }
};

BOOLEAN ReadUnwindInfo(ULONG64 Address, UnwindInfoView* Info)
{
    if (!RangeResident(Address, UnwindInfoHeaderBytes)) {
        return FALSE;
    }
    UCHAR versionAndFlags = ReadResidentByte(Address);
    ULONG version = versionAndFlags & 0x7;
    Info->Address = Address;
    Info->Flags = static_cast<UCHAR>(versionAndFlags >> 3);
    Info->SizeOfProlog = ReadResidentByte(Address + 1);
    Info->CountOfCodes = ReadResidentByte(Address + 2);
    UCHAR frame = ReadResidentByte(Address + 3);
    Info->FrameRegister = static_cast<UCHAR>(frame & 0xF);
    Info->FrameOffset = static_cast<UCHAR>(frame >> 4);
    if (version == 0 || version > MaxUnwindVersion) {
        return FALSE;
    }
    ULONG64 trailerBytes = (Info->Flags & UnwindFlagChainInfo) != 0 ? sizeof(RUNTIME_FUNCTION)
                           : (Info->Flags & UnwindFlagHandlers) != 0 ? sizeof(ULONG)
                                                                    : 0;
    return RangeResident(Address, Info->Trailer() + trailerBytes - Address);
}

// Slots a code takes, as the unwinder counts them; 0 for one it refuses.
ULONG CodeSlots(ULONG Operation, ULONG OperationInfo)
{
    switch (Operation) {
    case UnwindPushNonvol:
    case UnwindAllocSmall:
    case UnwindSetFpreg:
    case UnwindPushMachframe:
        return 1;
    case UnwindAllocLarge:
        return OperationInfo == 0 ? 2 : OperationInfo == 1 ? 3 : 0;
    case UnwindSaveNonvol:
    case UnwindSaveXmm128:
    case UnwindEpilog:
        return 2;
    case UnwindSaveNonvolFar:
    case UnwindSaveXmm128Far:
    case UnwindSpareCode:
        return 3;
    default:
        return 0;
    }
}

// The stack bytes a step reads, as one span: a healthy frame's reads lie
// together between its stack pointer and its return address.
struct StackSpan {
    ULONG64 Low;
    ULONG64 High;
    BOOLEAN Wraps;

    void Include(ULONG64 Address, ULONG64 Size)
    {
        ULONG64 end = Address + Size;
        Wraps = Wraps || end < Address;
        Low = Address < Low ? Address : Low;
        High = end > High ? end : High;
    }
};

// Whether everything one RtlVirtualUnwind step from Context will read is
// resident. FALSE also for unwind data the test cannot follow (a chain too
// long, codes it refuses, a frame register restored before it is used,
// codes past a machine frame): the trace ends there.
BOOLEAN UnwindStepResident(ULONG64 ImageBase, PRUNTIME_FUNCTION Entry, const CONTEXT* Context)
{
    ULONG64 entryAddress = reinterpret_cast<ULONG_PTR>(Entry);
    if (!RangeResident(entryAddress, sizeof(RUNTIME_FUNCTION))) {
        return FALSE;
    }
    RUNTIME_FUNCTION function = ReadResidentEntry(entryAddress);
    ULONG64 controlPc = Context->Rip;
    ULONG64 begin = ImageBase + function.BeginAddress;
    ULONG64 end = ImageBase + function.EndAddress;
    if (controlPc >= begin && controlPc < end) {
        ULONG64 codeBytes = end - controlPc < EpilogueBytesRead ? end - controlPc : EpilogueBytesRead;
        if (!RangeResident(controlPc, codeBytes)) {
            return FALSE;
        }
    }
    UnwindInfoView info;
    if (!ReadUnwindInfo(ImageBase + function.UnwindData, &info)) {
        return FALSE;
    }

    // The establisher frame, as the unwinder finds it: the stack pointer,
    // or the frame register less its offset once the prolog has set it.
    ULONG64 prologOffset = controlPc - begin;
    ULONG64 frameBase = Context->Rsp;
    if (info.FrameRegister != 0) {
        BOOLEAN set = prologOffset >= info.SizeOfProlog || (info.Flags & UnwindFlagChainInfo) != 0;
        for (ULONG index = 0; index < info.CountOfCodes; ++index) {
            USHORT code = info.Code(index);
            if (((code >> 8) & 0xF) == UnwindSetFpreg) {
                set = set || prologOffset >= (code & 0xFFu);
                break;
            }
        }
        if (set) {
            frameBase = IntegerRegister(Context, info.FrameRegister) -
                        static_cast<ULONG64>(info.FrameOffset) * FrameOffsetScale;
        }
    }

    StackSpan span = {Context->Rsp, Context->Rsp, FALSE};
    ULONG64 rsp = Context->Rsp;
    ULONG64 fixedBytes = 0;  // allocations and pushes: what an epilogue pops
    ULONG restored = 0;      // registers the codes so far read back
    BOOLEAN machineFrame = FALSE;
    for (ULONG entries = 1;; ++entries) {
        ULONG64 offset = controlPc - (ImageBase + function.BeginAddress);
        for (ULONG index = 0; index < info.CountOfCodes;) {
            USHORT code = info.Code(index);
            ULONG operation = (code >> 8) & 0xF;
            ULONG operationInfo = code >> 12;
            ULONG slots = CodeSlots(operation, operationInfo);
            if (slots == 0 || index + slots > info.CountOfCodes || machineFrame) {
                return FALSE;
            }
            ULONG64 next = slots > 1 ? info.Code(index + 1) : 0;
            ULONG64 nextLong = slots > 2 ? next | (static_cast<ULONG64>(info.Code(index + 2)) << 16) : 0;
            index += slots;
            BOOLEAN applies = offset >= (code & 0xFFu);
            switch (operation) {
            case UnwindPushNonvol:
                fixedBytes += StackWordSize;
                if (applies) {
                    span.Include(rsp, StackWordSize);
                    restored |= 1u << operationInfo;
                    rsp += StackWordSize;
                }
                break;
            case UnwindAllocLarge:
            case UnwindAllocSmall: {
                ULONG64 size = operation == UnwindAllocSmall ? operationInfo * 8ull + 8
                               : operationInfo == 0         ? next * 8
                                                            : nextLong;
                fixedBytes += size;
                if (applies) {
                    rsp += size;
                }
                break;
            }
            case UnwindSetFpreg:
                if (applies) {
                    if (info.FrameRegister == 0 || (restored & (1u << info.FrameRegister)) != 0) {
                        return FALSE;
                    }
                    rsp = IntegerRegister(Context, info.FrameRegister) -
                          static_cast<ULONG64>(info.FrameOffset) * FrameOffsetScale;
                }
                break;
            case UnwindSaveNonvol:
            case UnwindSaveNonvolFar:
                if (applies) {
                    span.Include(frameBase + (operation == UnwindSaveNonvol ? next * 8 : nextLong),
                                 StackWordSize);
                    restored |= 1u << operationInfo;
                }
                break;
            case UnwindSaveXmm128:
            case UnwindSaveXmm128Far:
                if (applies) {
                    span.Include(frameBase + (operation == UnwindSaveXmm128 ? next * 16 : nextLong),
                                 2 * StackWordSize);
                }
                break;
            case UnwindPushMachframe:
                if (applies) {
                    span.Include(rsp + (operationInfo != 0 ? MachineFrameErrorCode : 0),
                                 MachineFrameBytesRead);
                    machineFrame = TRUE;
                }
                break;
            default:
                break;
            }
        }
        if ((info.Flags & UnwindFlagChainInfo) == 0) {
            break;
        }
        if (entries == MaxChainedEntries || machineFrame) {
            return FALSE;
        }
        function = ReadResidentEntry(info.Trailer());
        if (!ReadUnwindInfo(ImageBase + function.UnwindData, &info)) {
            return FALSE;
        }
    }
    if (!machineFrame) {
        span.Include(rsp, StackWordSize);  // the return address
    }
    // In an epilogue the unwinder pops from the stack pointer instead: what
    // is left of the fixed allocation and the pushes, then the return.
    span.Include(Context->Rsp, fixedBytes + StackWordSize);
    if (span.Wraps || span.High - span.Low > MaxFrameSpan) {
        return FALSE;
    }
    return RangeResident(span.Low, span.High - span.Low);
}

// The working state of the walk: all on this processor's stack.
struct StackWalk {
    PCONTEXT Context;
    CONTEXT Unwound;
    KNONVOLATILE_CONTEXT_POINTERS ContextPointers;
    ULONG64 StackWords[StackWordsShown];
};

// Steps the record to its caller's frame. FALSE: a stack address the walk
// may not read, which ends the trace as a fault would.
BOOLEAN UnwindOneFrame(StackWalk* Walk)
{
    PCONTEXT context = Walk->Context;
    ULONG64 imageBase = 0;
    PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(context->Rip, &imageBase, nullptr);
    if (entry != nullptr) {
        if (!UnwindStepResident(imageBase, entry, context)) {
            return FALSE;
        }
        CopyBytes(&Walk->Unwound, context, sizeof(CONTEXT));
        PVOID handlerData = nullptr;
        ULONG64 establisherFrame = 0;
        ZeroBytes(&Walk->ContextPointers, sizeof(Walk->ContextPointers));
        RtlVirtualUnwind(UNW_FLAG_UHANDLER, imageBase, context->Rip, entry, &Walk->Unwound,
                         &handlerData, &establisherFrame, &Walk->ContextPointers);
        CopyBytes(context, &Walk->Unwound, sizeof(CONTEXT));
        return TRUE;
    }
    // No unwind data: a leaf, whose return address is on top of the stack.
    if (!StackWordResident(context->Rsp)) {
        return FALSE;
    }
    context->Rip = ReadStackWord(context->Rsp);
    context->Rsp += StackWordSize;
    return TRUE;
}

NTSTATUS NTAPI PrintStackGuarded(PVOID Argument)
{
    StackWalk* walk = static_cast<StackWalk*>(Argument);
    PCONTEXT context = walk->Context;
    ReportPrint(ReportLevelCrash, "STACK:\n");
    for (ULONG frame = 0; frame < MaxStackFrames; ++frame) {
        for (ULONG64& word : walk->StackWords) {
            word = 0;
        }
        if (context->Rip == 0) {
            break;
        }
        if (!UnwindOneFrame(walk)) {
            return StatusStackNotResident;
        }
        ULONG64 stackPointer = context->Rsp;
        ULONG64 returnAddress = context->Rip;
        for (ULONG word = 0; word < StackWordsShown; ++word) {
            ULONG64 address = stackPointer + word * StackWordSize;
            if (!StackWordResident(address)) {
                return StatusStackNotResident;
            }
            walk->StackWords[word] = ReadStackWord(address);
        }
        PCSTR moduleName = nullptr;
        ULONG64 moduleOffset = 0;
        LookupModuleByAddress(returnAddress, &moduleName, &moduleOffset);
        PrintStackFrame(returnAddress, stackPointer, walk->StackWords, moduleName, moduleOffset);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PrintContextAndStackGuarded(PVOID Argument)
{
    StackWalk* walk = static_cast<StackWalk*>(Argument);
    PrintContext(walk->Context);
    return PrintStackGuarded(walk);
}

}  // namespace

VOID PrintContext(const CONTEXT* Context)
{
    // A fault ends the block at the line it hit; the trace still follows.
    RunGuarded(PrintContextGuarded, const_cast<CONTEXT*>(Context));
}

VOID PrintStackFrame(ULONG64 ReturnAddress, ULONG64 StackPointer, const ULONG64* StackWords,
                     PCSTR ModuleName, ULONG_PTR ModuleOffset)
{
    if (ModuleName != nullptr) {
        ReportPrint(ReportLevelCrash, "%016llX: (%016llX %016llX %016llX %016llX) %s + %p\n",
                    StackPointer, StackWords[0], StackWords[1], StackWords[2], StackWords[3],
                    ModuleName, ModuleOffset);
    } else {
        ReportPrint(ReportLevelCrash, "%016llX: (%016llX %016llX %016llX %016llX) %p\n",
                    StackPointer, StackWords[0], StackWords[1], StackWords[2], StackWords[3],
                    ReturnAddress);
    }
}

VOID PrintContextAndStack(PCONTEXT Context)
{
    // Some 1.5 KB of this processor's stack; nothing from pool.
    StackWalk walk;
    walk.Context = Context;
    // A fault or a non-resident stack word ends the trace without a line of
    // its own; the report goes on with its end line.
    RunGuarded(PrintContextAndStackGuarded, &walk);
}
