// The x64 unwinder (see unwind.h). Works on copies of the caller's records
// and commits them only when the whole frame unwound, so a refused read in
// the middle leaves nothing half-done.
#include "model/unwind.h"

#include <cstring>

namespace model::unwind {

namespace {

constexpr unsigned RegisterCount = 16;
constexpr unsigned RspNumber = 4;
constexpr uint64_t SlotBytes = 2;
constexpr uint64_t FrameOffsetScale = 16;
constexpr uint64_t StackSlot = 8;
constexpr uint8_t HandlerFlags = UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER;
// A machine frame holds RIP, CS, EFLAGS, the old RSP and SS, above an
// optional error code.
constexpr uint64_t MachineFrameOldRsp = 24;
constexpr uint64_t ErrorCodeBytes = 8;
// More pops than there are registers is no epilogue.
constexpr unsigned MaxEpiloguePops = RegisterCount;

// The instructions an epilogue may hold.
constexpr uint8_t RexPrefixMask = 0xF0;
constexpr uint8_t RexPrefix = 0x40;
constexpr uint8_t RexWMask = 0xF8;
constexpr uint8_t RexW = 0x48;
constexpr uint8_t RexB = 0x01;
constexpr uint8_t RexRX = 0x06;
constexpr uint8_t AddImm8 = 0x83;
constexpr uint8_t AddImm32 = 0x81;
constexpr uint8_t ModRmAddRsp = 0xC4;  // mod 11, /0 (add), r/m RSP
constexpr uint8_t Lea = 0x8D;
constexpr uint8_t SibNoIndex = 0x24;   // base RSP/R12, no index
constexpr uint8_t PopMask = 0xF8;
constexpr uint8_t Pop = 0x58;
constexpr uint8_t Ret = 0xC3;
constexpr uint8_t RetImm16 = 0xC2;
constexpr uint8_t Rep = 0xF3;
constexpr uint8_t JmpRel8 = 0xEB;
constexpr uint8_t JmpRel32 = 0xE9;
constexpr uint8_t Group5 = 0xFF;
constexpr uint8_t Group5JmpMask = 0x38;
constexpr uint8_t Group5Jmp = 0x20;  // FF /4

ULONG64 CONTEXT::*const IntegerRegisters[RegisterCount] = {
    &CONTEXT::Rax, &CONTEXT::Rcx, &CONTEXT::Rdx, &CONTEXT::Rbx, &CONTEXT::Rsp, &CONTEXT::Rbp,
    &CONTEXT::Rsi, &CONTEXT::Rdi, &CONTEXT::R8,  &CONTEXT::R9,  &CONTEXT::R10, &CONTEXT::R11,
    &CONTEXT::R12, &CONTEXT::R13, &CONTEXT::R14, &CONTEXT::R15,
};

template <typename T>
bool ReadValue(const MemoryReader& memory, uint64_t address, T* value, uint64_t* fault)
{
    if (memory.Read(address, value, sizeof(T))) {
        return true;
    }
    if (fault != nullptr) {
        *fault = address;
    }
    return false;
}

// Slots each operation takes, as the kernel counts them; 0 for an unknown
// operation or form.
unsigned SlotsOf(Op operation, uint8_t opInfo)
{
    switch (operation) {
    case Op::PushNonvol:
    case Op::AllocSmall:
    case Op::SetFpreg:
    case Op::PushMachframe:
        return 1;
    case Op::AllocLarge:
        return opInfo == 0 ? 2 : opInfo == 1 ? 3 : 0;
    case Op::SaveNonvol:
    case Op::SaveXmm128:
    case Op::Epilog:
        return 2;
    case Op::SaveNonvolFar:
    case Op::SaveXmm128Far:
    case Op::SpareCode:
        return 3;
    }
    return 0;
}

uint16_t Slot(const uint8_t* slots, unsigned index)
{
    return static_cast<uint16_t>(slots[SlotBytes * index] | (slots[SlotBytes * index + 1] << 8));
}

// A frame being unwound: working copies of the caller's records.
struct Frame {
    CONTEXT Context;
    KNONVOLATILE_CONTEXT_POINTERS Pointers;
    uint64_t Fault = 0;

    ULONG64& Integer(unsigned number) { return IntegerRegister(Context, number); }

    bool Restore(const MemoryReader& memory, unsigned number, uint64_t address)
    {
        uint64_t value = 0;
        if (!ReadValue(memory, address, &value, &Fault)) {
            return false;
        }
        Integer(number) = value;
        Pointers.IntegerContext[number % RegisterCount] = reinterpret_cast<PULONG64>(address);
        return true;
    }

    bool RestoreXmm(const MemoryReader& memory, unsigned number, uint64_t address)
    {
        M128A value = {};
        if (!ReadValue(memory, address, &value, &Fault)) {
            return false;
        }
        Context.FltSave.XmmRegisters[number % RegisterCount] = value;
        Pointers.FloatingContext[number % RegisterCount] = reinterpret_cast<PM128A>(address);
        return true;
    }

    bool Return(const MemoryReader& memory, uint64_t extraBytes = 0)
    {
        uint64_t returnAddress = 0;
        if (!ReadValue(memory, Context.Rsp, &returnAddress, &Fault)) {
            return false;
        }
        Context.Rip = returnAddress;
        Context.Rsp += StackSlot + extraBytes;
        return true;
    }
};

// The rest of an epilogue, decoded from the code at the control PC.
struct Epilogue {
    enum class Adjust { None, Add, Lea } Adjustment = Adjust::None;
    int64_t Displacement = 0;
    unsigned LeaBase = 0;
    unsigned PopCount = 0;
    uint8_t Pops[MaxEpiloguePops] = {};
    uint16_t ReturnPops = 0;  // the immediate of "ret imm16"
};

// Reads the code stream at the control PC one byte at a time, since the
// bytes past an epilogue may lie on a page that is not there.
class CodeStream {
public:
    CodeStream(const MemoryReader& memory, uint64_t address, uint64_t* fault)
        : memory_(memory), address_(address), fault_(fault)
    {
    }

    bool Byte(uint64_t offset, uint8_t* value) const
    {
        return ReadValue(memory_, address_ + offset, value, fault_);
    }

    template <typename T>
    bool Value(uint64_t offset, T* value) const
    {
        return ReadValue(memory_, address_ + offset, value, fault_);
    }

private:
    const MemoryReader& memory_;
    uint64_t address_;
    uint64_t* fault_;
};

// Whether the code at the control PC is the trailing part of a legitimate
// epilogue: an optional "add rsp, imm" or "lea rsp, [frame register +
// disp]", pops of 64-bit registers, then a return or a jump out of the
// function (a tail call). False with BadMemory when a byte that decides it
// cannot be read.
Status MatchEpilogue(const CodeStream& code, uint64_t imageBase, uint64_t controlPc,
                     const RUNTIME_FUNCTION& function, const UnwindInfo& info, Epilogue* epilogue,
                     bool* found)
{
    *found = false;
    uint64_t at = 0;
    uint8_t first = 0;
    uint8_t second = 0;
    uint8_t modRm = 0;
    if (!code.Byte(0, &first)) {
        return Status::BadMemory;
    }
    if ((first & RexWMask) == RexW) {
        if (!code.Byte(1, &second)) {
            return Status::BadMemory;
        }
        if (first == RexW && (second == AddImm8 || second == AddImm32)) {
            if (!code.Byte(2, &modRm)) {
                return Status::BadMemory;
            }
            if (modRm == ModRmAddRsp) {
                epilogue->Adjustment = Epilogue::Adjust::Add;
                if (second == AddImm8) {
                    int8_t displacement = 0;
                    if (!code.Value(3, &displacement)) {
                        return Status::BadMemory;
                    }
                    epilogue->Displacement = displacement;
                    at = 4;
                } else {
                    int32_t displacement = 0;
                    if (!code.Value(3, &displacement)) {
                        return Status::BadMemory;
                    }
                    epilogue->Displacement = displacement;
                    at = 7;
                }
            }
        } else if (second == Lea && (first & RexRX) == 0 && info.FrameRegister != 0) {
            if (!code.Byte(2, &modRm)) {
                return Status::BadMemory;
            }
            const unsigned mod = modRm >> 6;
            const unsigned destination = (modRm >> 3) & 7;
            const unsigned base = ((first & RexB) << 3) | (modRm & 7);
            const uint64_t sib = (modRm & 7) == RspNumber ? 1 : 0;
            uint8_t sibByte = SibNoIndex;
            if (sib != 0 && !code.Byte(3, &sibByte)) {
                return Status::BadMemory;
            }
            if (destination == RspNumber && base == info.FrameRegister && sibByte == SibNoIndex &&
                (mod == 1 || mod == 2)) {
                epilogue->Adjustment = Epilogue::Adjust::Lea;
                epilogue->LeaBase = base;
                if (mod == 1) {
                    int8_t displacement = 0;
                    if (!code.Value(3 + sib, &displacement)) {
                        return Status::BadMemory;
                    }
                    epilogue->Displacement = displacement;
                    at = 4 + sib;
                } else {
                    int32_t displacement = 0;
                    if (!code.Value(3 + sib, &displacement)) {
                        return Status::BadMemory;
                    }
                    epilogue->Displacement = displacement;
                    at = 7 + sib;
                }
            }
        }
    }

    for (;;) {
        uint8_t byte = 0;
        if (!code.Byte(at, &byte)) {
            return Status::BadMemory;
        }
        uint8_t rex = 0;
        uint8_t opcode = byte;
        if ((byte & RexPrefixMask) == RexPrefix) {
            rex = byte;
            if (!code.Byte(at + 1, &opcode)) {
                return Status::BadMemory;
            }
        }
        if ((opcode & PopMask) != Pop || epilogue->PopCount == MaxEpiloguePops) {
            break;
        }
        epilogue->Pops[epilogue->PopCount++] =
            static_cast<uint8_t>(((rex & RexB) << 3) | (opcode & 7));
        at += rex != 0 ? 2 : 1;
    }

    uint8_t opcode = 0;
    if (!code.Byte(at, &opcode)) {
        return Status::BadMemory;
    }
    const uint64_t functionBegin = function.BeginAddress;
    const uint64_t functionEnd = function.EndAddress;
    if (opcode == Ret) {
        *found = true;
    } else if (opcode == RetImm16) {
        if (!code.Value(at + 1, &epilogue->ReturnPops)) {
            return Status::BadMemory;
        }
        *found = true;
    } else if (opcode == Rep) {
        uint8_t next = 0;
        if (!code.Byte(at + 1, &next)) {
            return Status::BadMemory;
        }
        *found = next == Ret;
    } else if (opcode == JmpRel8 || opcode == JmpRel32) {
        // A jump out of the function, or back to its very start, is a
        // call that does not return here: a tail call.
        int64_t displacement = 0;
        uint64_t length = 0;
        if (opcode == JmpRel8) {
            int8_t value = 0;
            if (!code.Value(at + 1, &value)) {
                return Status::BadMemory;
            }
            displacement = value;
            length = 2;
        } else {
            int32_t value = 0;
            if (!code.Value(at + 1, &value)) {
                return Status::BadMemory;
            }
            displacement = value;
            length = 5;
        }
        const uint64_t target =
            controlPc + at + length + static_cast<uint64_t>(displacement) - imageBase;
        if (target < functionBegin || target >= functionEnd) {
            *found = true;
        } else if (target == functionBegin && (info.Flags & UNW_FLAG_CHAININFO) == 0) {
            *found = true;
        }
    } else {
        // "jmp [memory]" with a ModRM mod of 00, or with REX.W any
        // indirect jump (REX.W is redundant there; it marks a tail call).
        uint8_t rex = 0;
        uint64_t group = at;
        if ((opcode & RexPrefixMask) == RexPrefix) {
            rex = opcode;
            group = at + 1;
            if (!code.Byte(group, &opcode)) {
                return Status::BadMemory;
            }
        }
        if (opcode == Group5) {
            if (!code.Byte(group + 1, &modRm)) {
                return Status::BadMemory;
            }
            const unsigned mod = modRm >> 6;
            if ((modRm & Group5JmpMask) == Group5Jmp &&
                (mod == 0 || ((rex & RexWMask) == RexW))) {
                *found = true;
            }
        }
    }
    return Status::Ok;
}

void EmulateEpilogue(const MemoryReader& memory, const Epilogue& epilogue, Frame* frame,
                     bool* ok)
{
    CONTEXT& context = frame->Context;
    if (epilogue.Adjustment == Epilogue::Adjust::Add) {
        context.Rsp += static_cast<uint64_t>(epilogue.Displacement);
    } else if (epilogue.Adjustment == Epilogue::Adjust::Lea) {
        context.Rsp = frame->Integer(epilogue.LeaBase) + static_cast<uint64_t>(epilogue.Displacement);
    }
    for (unsigned i = 0; i < epilogue.PopCount; ++i) {
        const uint64_t address = context.Rsp;
        if (!frame->Restore(memory, epilogue.Pops[i], address)) {
            *ok = false;
            return;
        }
        // "pop rsp" loads the stack pointer; every other pop moves it.
        if (epilogue.Pops[i] != RspNumber) {
            context.Rsp = address + StackSlot;
        }
    }
    *ok = frame->Return(memory, epilogue.ReturnPops);
}

// Applies one entry's codes whose instructions have run.
Status ApplyCodes(const MemoryReader& memory, const UnwindInfo& info, uint64_t prologOffset,
                  uint64_t frameBase, Frame* frame, bool* machineFrame)
{
    CONTEXT& context = frame->Context;
    for (const Code& code : info.Codes) {
        if (prologOffset < code.CodeOffset) {
            continue;
        }
        switch (code.Operation) {
        case Op::PushNonvol: {
            const uint64_t address = context.Rsp;
            if (!frame->Restore(memory, code.OpInfo, address)) {
                return Status::BadMemory;
            }
            context.Rsp += StackSlot;
            break;
        }
        case Op::AllocLarge:
        case Op::AllocSmall:
            context.Rsp += code.Value;
            break;
        case Op::SetFpreg:
            context.Rsp = frame->Integer(info.FrameRegister) - info.FrameOffset * FrameOffsetScale;
            break;
        case Op::SaveNonvol:
        case Op::SaveNonvolFar:
            if (!frame->Restore(memory, code.OpInfo, frameBase + code.Value)) {
                return Status::BadMemory;
            }
            break;
        case Op::SaveXmm128:
        case Op::SaveXmm128Far:
            if (!frame->RestoreXmm(memory, code.OpInfo, frameBase + code.Value)) {
                return Status::BadMemory;
            }
            break;
        case Op::PushMachframe: {
            const uint64_t returnSlot = context.Rsp + (code.OpInfo != 0 ? ErrorCodeBytes : 0);
            uint64_t rip = 0;
            uint64_t rsp = 0;
            if (!ReadValue(memory, returnSlot, &rip, &frame->Fault) ||
                !ReadValue(memory, returnSlot + MachineFrameOldRsp, &rsp, &frame->Fault)) {
                return Status::BadMemory;
            }
            context.Rip = rip;
            context.Rsp = rsp;
            *machineFrame = true;
            break;
        }
        case Op::Epilog:
        case Op::SpareCode:
            // Describe no prolog instruction.
            break;
        }
    }
    return Status::Ok;
}

}  // namespace

bool SpanReader::Read(uint64_t address, void* buffer, size_t size) const
{
    if (address < address_ || address - address_ > size_ || size > size_ - (address - address_)) {
        return false;
    }
    if (size != 0) {
        std::memcpy(buffer, bytes_ + (address - address_), size);
    }
    return true;
}

bool ChainReader::Read(uint64_t address, void* buffer, size_t size) const
{
    for (const MemoryReader* reader : readers_) {
        if (reader->Read(address, buffer, size)) {
            return true;
        }
    }
    return false;
}

ULONG64& IntegerRegister(CONTEXT& context, unsigned number)
{
    return context.*IntegerRegisters[number % RegisterCount];
}

Status ReadUnwindInfo(const MemoryReader& memory, uint64_t address, UnwindInfo* info,
                      uint64_t* faultAddress)
{
    uint8_t header[UnwindInfoHeaderSize];
    if (!ReadValue(memory, address, &header, faultAddress)) {
        return Status::BadMemory;
    }
    info->Version = header[0] & 0x7;
    info->Flags = header[0] >> 3;
    info->SizeOfProlog = header[1];
    info->CountOfCodes = header[2];
    info->FrameRegister = header[3] & 0xF;
    info->FrameOffset = header[3] >> 4;
    info->Codes.clear();
    if (info->Version == 0 || info->Version > MaxUnwindVersion) {
        return Status::BadUnwindData;
    }

    // The slot array is padded to an even count.
    const unsigned slotCount = info->CountOfCodes;
    const unsigned paddedSlots = (slotCount + 1) & ~1u;
    uint8_t slots[SlotBytes * 256];
    if (slotCount != 0 &&
        !memory.Read(address + UnwindInfoHeaderSize, slots, SlotBytes * slotCount)) {
        if (faultAddress != nullptr) {
            *faultAddress = address + UnwindInfoHeaderSize;
        }
        return Status::BadMemory;
    }
    for (unsigned index = 0; index < slotCount;) {
        const uint16_t slot = Slot(slots, index);
        Code code;
        code.CodeOffset = static_cast<uint8_t>(slot & 0xFF);
        code.Operation = static_cast<Op>((slot >> 8) & 0xF);
        code.OpInfo = static_cast<uint8_t>(slot >> 12);
        const unsigned used = SlotsOf(code.Operation, code.OpInfo);
        if (used == 0 || index + used > slotCount) {
            return Status::BadUnwindData;
        }
        code.Slots = static_cast<uint8_t>(used);
        const uint32_t next = used > 1 ? Slot(slots, index + 1) : 0;
        const uint32_t nextLong = used > 2 ? next | (uint32_t{Slot(slots, index + 2)} << 16) : 0;
        switch (code.Operation) {
        case Op::AllocLarge:
            code.Value = code.OpInfo == 0 ? next * 8 : nextLong;
            break;
        case Op::AllocSmall:
            code.Value = code.OpInfo * 8u + 8u;
            break;
        case Op::SetFpreg:
            if (info->FrameRegister == 0) {
                // Sets a frame register the entry does not name.
                return Status::BadUnwindData;
            }
            break;
        case Op::SaveNonvol:
            code.Value = next * 8;
            break;
        case Op::SaveXmm128:
            code.Value = next * 16;
            break;
        case Op::SaveNonvolFar:
        case Op::SaveXmm128Far:
            code.Value = nextLong;
            break;
        default:
            break;
        }
        info->Codes.push_back(code);
        index += used;
    }

    info->TrailerAddress = address + UnwindInfoHeaderSize + SlotBytes * paddedSlots;
    info->HandlerRva = 0;
    info->Chained = {};
    if ((info->Flags & UNW_FLAG_CHAININFO) != 0) {
        if (!ReadValue(memory, info->TrailerAddress, &info->Chained, faultAddress)) {
            return Status::BadMemory;
        }
    } else if ((info->Flags & HandlerFlags) != 0) {
        if (!ReadValue(memory, info->TrailerAddress, &info->HandlerRva, faultAddress)) {
            return Status::BadMemory;
        }
    }
    return Status::Ok;
}

Result VirtualUnwind(const MemoryReader& memory, uint32_t handlerType, uint64_t imageBase,
                     uint64_t controlPc, const RUNTIME_FUNCTION& function, CONTEXT* context,
                     KNONVOLATILE_CONTEXT_POINTERS* pointers)
{
    Result result;
    auto fail = [&result](Status status, uint64_t fault) {
        result.Outcome = status;
        result.FaultAddress = fault;
        return result;
    };

    Frame frame;
    frame.Context = *context;
    frame.Pointers = pointers != nullptr ? *pointers : KNONVOLATILE_CONTEXT_POINTERS{};

    UnwindInfo info;
    Status status = ReadUnwindInfo(memory, imageBase + function.UnwindData, &info, &frame.Fault);
    if (status != Status::Ok) {
        return fail(status, frame.Fault);
    }

    // The establisher frame: the stack pointer after the prolog, or the
    // frame register less its offset once the prolog has set it.
    const uint64_t prologOffset = controlPc - (imageBase + function.BeginAddress);
    uint64_t frameBase = frame.Context.Rsp;
    if (info.FrameRegister != 0) {
        bool frameRegisterSet = prologOffset >= info.SizeOfProlog ||
                                (info.Flags & UNW_FLAG_CHAININFO) != 0;
        for (const Code& code : info.Codes) {
            if (code.Operation == Op::SetFpreg) {
                frameRegisterSet = frameRegisterSet || prologOffset >= code.CodeOffset;
                break;
            }
        }
        if (frameRegisterSet) {
            frameBase = frame.Integer(info.FrameRegister) - info.FrameOffset * FrameOffsetScale;
        }
    }
    result.EstablisherFrame = frameBase;

    // Inside an epilogue the prolog's codes no longer describe the stack:
    // run the rest of the epilogue instead. No handler applies there.
    Epilogue epilogue;
    bool inEpilogue = false;
    status = MatchEpilogue(CodeStream(memory, controlPc, &frame.Fault), imageBase, controlPc,
                           function, info, &epilogue, &inEpilogue);
    if (status != Status::Ok) {
        return fail(status, frame.Fault);
    }
    if (inEpilogue) {
        bool ok = false;
        EmulateEpilogue(memory, epilogue, &frame, &ok);
        if (!ok) {
            return fail(Status::BadMemory, frame.Fault);
        }
        result.InEpilogue = true;
        *context = frame.Context;
        if (pointers != nullptr) {
            *pointers = frame.Pointers;
        }
        return result;
    }

    // The prolog, then each chained parent entry in turn.
    RUNTIME_FUNCTION current = function;
    bool machineFrame = false;
    for (unsigned entries = 1;; ++entries) {
        const uint64_t offset = controlPc - (imageBase + current.BeginAddress);
        status = ApplyCodes(memory, info, offset, frameBase, &frame, &machineFrame);
        if (status != Status::Ok) {
            return fail(status, frame.Fault);
        }
        if ((info.Flags & UNW_FLAG_CHAININFO) == 0) {
            break;
        }
        if (entries == MaxChainedEntries) {
            return fail(Status::ChainTooLong, 0);
        }
        current = info.Chained;
        status = ReadUnwindInfo(memory, imageBase + current.UnwindData, &info, &frame.Fault);
        if (status != Status::Ok) {
            return fail(status, frame.Fault);
        }
    }
    if (!machineFrame && !frame.Return(memory)) {
        return fail(Status::BadMemory, frame.Fault);
    }

    // The primary entry's handler, once control is past its prolog.
    const uint64_t primaryOffset = controlPc - (imageBase + current.BeginAddress);
    if (primaryOffset >= info.SizeOfProlog && (info.Flags & handlerType & HandlerFlags) != 0) {
        result.LanguageHandler = imageBase + info.HandlerRva;
        result.HandlerData = info.TrailerAddress + sizeof(uint32_t);
    }
    *context = frame.Context;
    if (pointers != nullptr) {
        *pointers = frame.Pointers;
    }
    return result;
}

bool ReadExceptionDirectory(const MemoryReader& memory, uint64_t imageBase, uint32_t* rva,
                            uint32_t* size)
{
    constexpr uint16_t DosSignature = 0x5A4D;
    constexpr uint32_t PeSignature = 0x00004550;
    constexpr uint16_t Pe32PlusMagic = 0x20B;
    constexpr uint64_t NewHeaderOffset = 0x3C;
    constexpr uint64_t OptionalHeader = 24;       // past the signature and file header
    constexpr uint64_t OptionalSizeField = 20;    // in the file header, past the signature
    constexpr uint64_t RvaCountField = 108;
    constexpr uint64_t Directories = 112;
    constexpr uint32_t ExceptionDirectory = 3;
    constexpr uint64_t DirectorySize = 8;

    uint16_t dos = 0;
    uint32_t newHeader = 0;
    uint32_t signature = 0;
    uint16_t optionalSize = 0;
    uint16_t magic = 0;
    uint32_t directories = 0;
    if (!ReadValue(memory, imageBase, &dos, nullptr) || dos != DosSignature ||
        !ReadValue(memory, imageBase + NewHeaderOffset, &newHeader, nullptr)) {
        return false;
    }
    const uint64_t nt = imageBase + newHeader;
    const uint64_t optional = nt + OptionalHeader;
    const uint64_t entry = optional + Directories + DirectorySize * ExceptionDirectory;
    if (!ReadValue(memory, nt, &signature, nullptr) || signature != PeSignature ||
        !ReadValue(memory, nt + OptionalSizeField, &optionalSize, nullptr) ||
        !ReadValue(memory, optional, &magic, nullptr) || magic != Pe32PlusMagic ||
        optionalSize < Directories + DirectorySize * (ExceptionDirectory + 1) ||
        !ReadValue(memory, optional + RvaCountField, &directories, nullptr) ||
        directories <= ExceptionDirectory) {
        return false;
    }
    return ReadValue(memory, entry, rva, nullptr) &&
           ReadValue(memory, entry + sizeof(uint32_t), size, nullptr) && *size != 0;
}

bool LookupFunctionEntry(const MemoryReader& memory, uint64_t imageBase, uint64_t imageSize,
                         uint64_t controlPc, FoundEntry* found, uint64_t* faultAddress)
{
    uint32_t directory = 0;
    uint32_t directorySize = 0;
    const uint64_t target = controlPc - imageBase;
    if (controlPc < imageBase || target >= imageSize ||
        !ReadExceptionDirectory(memory, imageBase, &directory, &directorySize) ||
        directory > imageSize || directorySize > imageSize - directory) {
        return false;
    }
    // Entries are sorted by address and do not overlap.
    int64_t low = 0;
    int64_t high = static_cast<int64_t>(directorySize / sizeof(RUNTIME_FUNCTION)) - 1;
    while (low <= high) {
        const int64_t middle = low + (high - low) / 2;
        const uint64_t address =
            imageBase + directory + static_cast<uint64_t>(middle) * sizeof(RUNTIME_FUNCTION);
        RUNTIME_FUNCTION entry;
        if (!ReadValue(memory, address, &entry, nullptr)) {
            if (faultAddress != nullptr) {
                *faultAddress = address;
            }
            return false;
        }
        if (target < entry.BeginAddress) {
            high = middle - 1;
        } else if (target >= entry.EndAddress) {
            low = middle + 1;
        } else {
            found->Address = address;
            found->Entry = entry;
            return true;
        }
    }
    return false;
}

}  // namespace model::unwind
