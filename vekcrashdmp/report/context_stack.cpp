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
// The instructions the unwinder's epilogue test reads (x64 instruction
// encoding): "add rsp, imm" or "lea rsp, [frame register + disp]", pops,
// then a return or a jump out of the function.
constexpr UCHAR RexPrefixMask = 0xF0;
constexpr UCHAR RexPrefix = 0x40;
constexpr UCHAR RexWMask = 0xF8;
constexpr UCHAR RexW = 0x48;
constexpr UCHAR RexB = 0x01;
constexpr UCHAR RexRX = 0x06;
constexpr UCHAR AddImm8 = 0x83;
constexpr UCHAR AddImm32 = 0x81;
constexpr UCHAR ModRmAddRsp = 0xC4;
constexpr UCHAR Lea = 0x8D;
constexpr UCHAR SibNoIndex = 0x24;
constexpr UCHAR PopMask = 0xF8;
constexpr UCHAR Pop = 0x58;
constexpr UCHAR Ret = 0xC3;
constexpr UCHAR RetImm16 = 0xC2;
constexpr UCHAR Rep = 0xF3;
constexpr UCHAR JmpRel8 = 0xEB;
constexpr UCHAR JmpRel32 = 0xE9;
constexpr UCHAR Group5 = 0xFF;
constexpr UCHAR Group5JmpMask = 0x38;
constexpr UCHAR Group5Jmp = 0x20;
constexpr ULONG RspNumber = 4;
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
        return Address + UnwindInfoHeaderBytes + ULONG64{UnwindCodeBytes} * ((CountOfCodes + 1u) & ~1u);
    }
    USHORT Code(ULONG Index) const
    {
        return ReadResidentUshort(Address + UnwindInfoHeaderBytes + ULONG64{UnwindCodeBytes} * Index);
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

// The code at the control PC, read a byte at a time as the unwinder reads
// it, each page tested before its first byte is read: the bytes past an
// epilogue may lie on a page that is out.
class CodeBytes {
public:
    explicit CodeBytes(ULONG64 Address) : address_(Address), page_(1) {}

    BOOLEAN Byte(ULONG64 Offset, UCHAR* Value)
    {
        ULONG64 at = address_ + Offset;
        if (at < address_) {
            return FALSE;
        }
        if ((at & ~(PageBytes - 1)) != page_) {
            if (!MmIsAddressValid(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(at)))) {
                return FALSE;
            }
            page_ = at & ~(PageBytes - 1);
        }
        *Value = ReadResidentByte(at);
        return TRUE;
    }

    // A little-endian value of Size bytes, sign-extended.
    BOOLEAN Signed(ULONG64 Offset, ULONG Size, LONGLONG* Value)
    {
        ULONG64 value = 0;
        for (ULONG i = 0; i < Size; ++i) {
            UCHAR byte = 0;
            if (!Byte(Offset + i, &byte)) {
                return FALSE;
            }
            value |= static_cast<ULONG64>(byte) << (8 * i);
        }
        ULONG64 sign = 1ull << (8 * Size - 1);
        *Value = static_cast<LONGLONG>((value ^ sign) - sign);
        return TRUE;
    }

private:
    ULONG64 address_;
    ULONG64 page_;  // the page last tested; 1 is no page
};

// What the epilogue test finds: whether the control PC is in an epilogue,
// and then the stack pointer its pops start from and how many there are.
struct EpilogueView {
    BOOLEAN Found;
    ULONG64 StackPointer;
    ULONG Pops;
};

// The stack adjustment an epilogue may open with: "add rsp, imm" or
// "lea rsp, [frame register + disp]". *At moves past it when it is there.
// FALSE: a byte the unwinder would read is not resident.
BOOLEAN ReadEpilogueAdjustment(CodeBytes* Code, const UnwindInfoView& Info, const CONTEXT* Context,
                               ULONG64* StackPointer, ULONG64* At)
{
    UCHAR first = 0;
    UCHAR second = 0;
    UCHAR modRm = 0;
    LONGLONG displacement = 0;
    if (!Code->Byte(0, &first)) {
        return FALSE;
    }
    if ((first & RexWMask) != RexW) {
        return TRUE;
    }
    if (!Code->Byte(1, &second)) {
        return FALSE;
    }
    if (first == RexW && (second == AddImm8 || second == AddImm32)) {
        if (!Code->Byte(2, &modRm)) {
            return FALSE;
        }
        if (modRm != ModRmAddRsp) {
            return TRUE;
        }
        ULONG size = second == AddImm8 ? 1 : 4;
        if (!Code->Signed(3, size, &displacement)) {
            return FALSE;
        }
        *StackPointer = Context->Rsp + static_cast<ULONG64>(displacement);
        *At = 3 + size;
        return TRUE;
    }
    if (second != Lea || (first & RexRX) != 0 || Info.FrameRegister == 0) {
        return TRUE;
    }
    if (!Code->Byte(2, &modRm)) {
        return FALSE;
    }
    ULONG mod = modRm >> 6;
    ULONG destination = (modRm >> 3) & 7;
    ULONG base = ((first & RexB) << 3) | (modRm & 7);
    ULONG64 sib = (modRm & 7) == RspNumber ? 1 : 0;
    UCHAR sibByte = SibNoIndex;
    if (sib != 0 && !Code->Byte(3, &sibByte)) {
        return FALSE;
    }
    if (destination != RspNumber || base != Info.FrameRegister || sibByte != SibNoIndex ||
        (mod != 1 && mod != 2)) {
        return TRUE;
    }
    ULONG size = mod == 1 ? 1 : 4;
    if (!Code->Signed(3 + sib, size, &displacement)) {
        return FALSE;
    }
    *StackPointer = IntegerRegister(Context, base) + static_cast<ULONG64>(displacement);
    *At = 3 + sib + size;
    return TRUE;
}

// The run of pops that follows, *At moved past it. FALSE: a byte is not
// resident.
BOOLEAN ReadEpiloguePops(CodeBytes* Code, ULONG64* At, ULONG* Pops, BOOLEAN* PopsRsp)
{
    for (;;) {
        UCHAR byte = 0;
        UCHAR rex = 0;
        if (!Code->Byte(*At, &byte)) {
            return FALSE;
        }
        UCHAR opcode = byte;
        if ((byte & RexPrefixMask) == RexPrefix) {
            rex = byte;
            if (!Code->Byte(*At + 1, &opcode)) {
                return FALSE;
            }
        }
        if ((opcode & PopMask) != Pop || *Pops == RegisterCount) {
            return TRUE;
        }
        *PopsRsp = *PopsRsp || (((rex & RexB) << 3) | (opcode & 7)) == RspNumber;
        ++*Pops;
        *At += rex != 0 ? 2 : 1;
    }
}

// An indirect "jmp [...]" (group 5) at At, with or without a REX prefix.
BOOLEAN ReadIndirectJump(CodeBytes* Code, ULONG64 At, UCHAR Opcode, BOOLEAN* Found)
{
    UCHAR rex = 0;
    ULONG64 group = At;
    UCHAR modRm = 0;
    if ((Opcode & RexPrefixMask) == RexPrefix) {
        rex = Opcode;
        group = At + 1;
        if (!Code->Byte(group, &Opcode)) {
            return FALSE;
        }
    }
    if (Opcode != Group5) {
        return TRUE;
    }
    if (!Code->Byte(group + 1, &modRm)) {
        return FALSE;
    }
    *Found = (modRm & Group5JmpMask) == Group5Jmp && ((modRm >> 6) == 0 || (rex & RexWMask) == RexW);
    return TRUE;
}

// Whether the instruction at At ends an epilogue: a return, or a jump out
// of the function (a tail call). FALSE: a byte is not resident.
BOOLEAN ReadEpilogueEnd(CodeBytes* Code, ULONG64 At, ULONG64 ImageBase,
                        const RUNTIME_FUNCTION& Function, const UnwindInfoView& Info,
                        const CONTEXT* Context, BOOLEAN* Found)
{
    UCHAR opcode = 0;
    LONGLONG displacement = 0;
    if (!Code->Byte(At, &opcode)) {
        return FALSE;
    }
    if (opcode == Ret) {
        *Found = TRUE;
        return TRUE;
    }
    if (opcode == RetImm16) {
        *Found = Code->Signed(At + 1, 2, &displacement);
        return *Found;
    }
    if (opcode == Rep) {
        UCHAR next = 0;
        if (!Code->Byte(At + 1, &next)) {
            return FALSE;
        }
        *Found = next == Ret;
        return TRUE;
    }
    if (opcode == JmpRel8 || opcode == JmpRel32) {
        ULONG size = opcode == JmpRel8 ? 1 : 4;
        if (!Code->Signed(At + 1, size, &displacement)) {
            return FALSE;
        }
        ULONG64 target = Context->Rip + At + 1 + size + static_cast<ULONG64>(displacement) - ImageBase;
        *Found = target < Function.BeginAddress || target >= Function.EndAddress ||
                 (target == Function.BeginAddress && (Info.Flags & UnwindFlagChainInfo) == 0);
        return TRUE;
    }
    return ReadIndirectJump(Code, At, opcode, Found);
}

// The unwinder's epilogue test, reading what it reads. FALSE: a byte it
// would read is not resident, or the epilogue pops RSP (its later reads
// then depend on the stack's contents).
BOOLEAN ReadEpilogue(ULONG64 ImageBase, const RUNTIME_FUNCTION& Function,
                     const UnwindInfoView& Info, const CONTEXT* Context, EpilogueView* Epilogue)
{
    CodeBytes code(Context->Rip);
    Epilogue->Found = FALSE;
    Epilogue->StackPointer = Context->Rsp;
    Epilogue->Pops = 0;
    ULONG64 at = 0;
    BOOLEAN popsRsp = FALSE;
    if (!ReadEpilogueAdjustment(&code, Info, Context, &Epilogue->StackPointer, &at) ||
        !ReadEpiloguePops(&code, &at, &Epilogue->Pops, &popsRsp) ||
        !ReadEpilogueEnd(&code, at, ImageBase, Function, Info, Context, &Epilogue->Found)) {
        return FALSE;
    }
    return !(Epilogue->Found && popsRsp);
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

// What the unwind codes have done so far, as the unwinder would.
struct CodeWalk {
    const CONTEXT* Context;
    ULONG64 FrameBase;     // the establisher frame
    ULONG64 Offset;        // of the control PC in the function
    ULONG64 Rsp;
    ULONG Restored;        // registers the codes so far read back
    BOOLEAN MachineFrame;
    StackSpan Span;
};

// The span closed off: within the largest frame, and resident.
BOOLEAN SpanResident(const StackSpan& Span)
{
    if (Span.Wraps || Span.High - Span.Low > MaxFrameSpan) {
        return FALSE;
    }
    return RangeResident(Span.Low, Span.High - Span.Low);
}

// The establisher frame, as the unwinder finds it: the stack pointer, or
// the frame register less its offset once the prolog has set it.
ULONG64 EstablisherFrame(const UnwindInfoView& Info, const CONTEXT* Context, ULONG64 PrologOffset)
{
    if (Info.FrameRegister == 0) {
        return Context->Rsp;
    }
    BOOLEAN set = PrologOffset >= Info.SizeOfProlog || (Info.Flags & UnwindFlagChainInfo) != 0;
    for (ULONG index = 0; index < Info.CountOfCodes; ++index) {
        USHORT code = Info.Code(index);
        if (((code >> 8) & 0xF) == UnwindSetFpreg) {
            set = set || PrologOffset >= (code & 0xFFu);
            break;
        }
    }
    if (!set) {
        return Context->Rsp;
    }
    return IntegerRegister(Context, Info.FrameRegister) -
           static_cast<ULONG64>(Info.FrameOffset) * FrameOffsetScale;
}

// One code that applies at the control PC: the reads it makes join the
// span. FALSE: a code the test cannot follow.
BOOLEAN ApplyCode(CodeWalk* Walk, const UnwindInfoView& Info, ULONG Operation, ULONG OperationInfo,
                  ULONG64 Next, ULONG64 NextLong)
{
    switch (Operation) {
    case UnwindPushNonvol:
        if (OperationInfo == RspNumber) {
            return FALSE;  // the stack pointer read back from the stack
        }
        Walk->Span.Include(Walk->Rsp, StackWordSize);
        Walk->Restored |= 1u << OperationInfo;
        Walk->Rsp += StackWordSize;
        return TRUE;
    case UnwindAllocLarge:
    case UnwindAllocSmall:
        Walk->Rsp += Operation == UnwindAllocSmall ? OperationInfo * 8ull + 8
                     : OperationInfo == 0          ? Next * 8
                                                   : NextLong;
        return TRUE;
    case UnwindSetFpreg:
        if (Info.FrameRegister == 0 || Info.FrameRegister == RspNumber ||
            (Walk->Restored & (1u << Info.FrameRegister)) != 0) {
            return FALSE;
        }
        Walk->Rsp = IntegerRegister(Walk->Context, Info.FrameRegister) -
                    static_cast<ULONG64>(Info.FrameOffset) * FrameOffsetScale;
        return TRUE;
    case UnwindSaveNonvol:
    case UnwindSaveNonvolFar:
        if (OperationInfo == RspNumber) {
            return FALSE;
        }
        Walk->Span.Include(Walk->FrameBase + (Operation == UnwindSaveNonvol ? Next * 8 : NextLong),
                           StackWordSize);
        Walk->Restored |= 1u << OperationInfo;
        return TRUE;
    case UnwindSaveXmm128:
    case UnwindSaveXmm128Far:
        Walk->Span.Include(Walk->FrameBase + (Operation == UnwindSaveXmm128 ? Next * 16 : NextLong),
                           2 * StackWordSize);
        return TRUE;
    case UnwindPushMachframe:
        Walk->Span.Include(Walk->Rsp + (OperationInfo != 0 ? MachineFrameErrorCode : 0),
                           MachineFrameBytesRead);
        Walk->MachineFrame = TRUE;
        return TRUE;
    default:
        return TRUE;
    }
}

// Every code of one entry's unwind data, as the unwinder runs them. FALSE:
// a code the test cannot follow, or codes past a machine frame.
BOOLEAN WalkCodes(CodeWalk* Walk, const UnwindInfoView& Info)
{
    for (ULONG index = 0; index < Info.CountOfCodes;) {
        USHORT code = Info.Code(index);
        ULONG operation = (code >> 8) & 0xF;
        ULONG operationInfo = code >> 12;
        ULONG slots = CodeSlots(operation, operationInfo);
        if (slots == 0 || index + slots > Info.CountOfCodes || Walk->MachineFrame) {
            return FALSE;
        }
        ULONG64 next = slots > 1 ? Info.Code(index + 1) : 0;
        ULONG64 nextLong = slots > 2 ? next | (static_cast<ULONG64>(Info.Code(index + 2)) << 16) : 0;
        index += slots;
        if (Walk->Offset >= (code & 0xFFu) &&
            !ApplyCode(Walk, Info, operation, operationInfo, next, nextLong)) {
            return FALSE;
        }
    }
    return TRUE;
}

// Whether everything one RtlVirtualUnwind step from Context will read is
// resident. FALSE also for unwind data the test cannot follow (a chain too
// long, codes it refuses, a frame register restored before it is used, RSP
// read back from the stack, codes past a machine frame): the trace ends
// there.
BOOLEAN UnwindStepResident(ULONG64 ImageBase, PRUNTIME_FUNCTION Entry, const CONTEXT* Context)
{
    ULONG64 entryAddress = reinterpret_cast<ULONG_PTR>(Entry);
    if (!RangeResident(entryAddress, sizeof(RUNTIME_FUNCTION))) {
        return FALSE;
    }
    RUNTIME_FUNCTION function = ReadResidentEntry(entryAddress);
    ULONG64 controlPc = Context->Rip;
    ULONG64 begin = ImageBase + function.BeginAddress;
    UnwindInfoView info;
    if (!ReadUnwindInfo(ImageBase + function.UnwindData, &info)) {
        return FALSE;
    }
    CodeWalk walk = {Context, 0, 0, Context->Rsp, 0, FALSE, {Context->Rsp, Context->Rsp, FALSE}};
    // Inside the function the unwinder first reads its code for an
    // epilogue, whose rest it then runs instead of the codes: pops from
    // the stack pointer it adjusts, and the return address.
    if (controlPc >= begin && controlPc < ImageBase + function.EndAddress) {
        EpilogueView epilogue;
        if (!ReadEpilogue(ImageBase, function, info, Context, &epilogue)) {
            return FALSE;
        }
        if (epilogue.Found) {
            walk.Span.Include(epilogue.StackPointer, (epilogue.Pops + 1ull) * StackWordSize);
            return SpanResident(walk.Span);
        }
    }
    walk.FrameBase = EstablisherFrame(info, Context, controlPc - begin);
    for (ULONG entries = 1;; ++entries) {
        walk.Offset = controlPc - (ImageBase + function.BeginAddress);
        if (!WalkCodes(&walk, info)) {
            return FALSE;
        }
        if ((info.Flags & UnwindFlagChainInfo) == 0) {
            break;
        }
        if (entries == MaxChainedEntries || walk.MachineFrame) {
            return FALSE;
        }
        function = ReadResidentEntry(info.Trailer());
        if (!ReadUnwindInfo(ImageBase + function.UnwindData, &info)) {
            return FALSE;
        }
    }
    if (!walk.MachineFrame) {
        walk.Span.Include(walk.Rsp, StackWordSize);  // the return address
    }
    return SpanResident(walk.Span);
}

// PE/COFF, as mapped: where the exception directory's entry lies.
constexpr ULONG DosNewHeaderOffset = 0x3C;          // e_lfanew
constexpr ULONG NtExceptionDirectoryOffset = 160;   // DataDirectory[3] (PE32+)

// Whether the exception directory that RtlLookupFunctionEntry will search
// for ControlPc is resident: the kernel finds it in its own table of loaded
// images and reads its entries in place, so a page of it that is out is a
// second bug check. The driver reads where it lies from the image's
// headers, each read checked. An address in no image of the map has no
// directory the kernel would search (its table holds the same images).
BOOLEAN FunctionTableResident(ULONG64 ControlPc)
{
    PCSTR name = nullptr;
    ULONG64 offset = 0;
    LookupModuleByAddress(ControlPc, &name, &offset);
    if (name == nullptr) {
        return TRUE;
    }
    const ULONG64 base = ControlPc - offset;
    if (!RangeResident(base + DosNewHeaderOffset, sizeof(ULONG))) {
        return FALSE;
    }
    const ULONG64 entry =
        base + ReadResidentUlong(base + DosNewHeaderOffset) + NtExceptionDirectoryOffset;
    if (!RangeResident(entry, 2 * sizeof(ULONG))) {
        return FALSE;
    }
    return RangeResident(base + ReadResidentUlong(entry), ReadResidentUlong(entry + sizeof(ULONG)));
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
    if (!FunctionTableResident(context->Rip)) {
        return FALSE;
    }
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
