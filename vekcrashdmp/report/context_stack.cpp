// The register context and stack trace of the crash report.
//
// The walk reads memory the driver does not own: the stack at each frame's
// stack pointer, and the unwind data of every image it crosses. Inside the
// bug check a read of a page that is not resident raises a second bug check
// that no guard can catch, so every stack address is vouched for by
// MmIsAddressValid before it is read; the fault guards stay behind that for
// what the test cannot see (a fault inside the unwinding routines, a
// non-canonical address).
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
