// The emulated processor (see emulator.h for the design).
#include "runner/emulator.h"

#include "runner/pe_image.h"

#include "model/kernel_memory.h"
#include "ntmodel/ntmodel.h"

#include <capstone/capstone.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstring>

namespace runner {

namespace {

constexpr uint64_t PageSize = 4096;
constexpr size_t StackSize = 1 << 20;
constexpr size_t ArenaSize = 64 << 20;

// Kernel-half addresses with nothing mapped: calls to imports land on a
// trampoline slot, and every call into the driver returns to a sentinel.
constexpr uint64_t TrampolineBase = 0xFFFFF80000000000ull;
constexpr uint64_t TrampolineSlot = 16;
constexpr uint64_t SentinelBase = 0xFFFFF80100000000ull;
constexpr uint64_t SentinelSlot = 16;

// Below the frame of an interrupted call, for a call made from inside it.
constexpr uint64_t NestedFrameGap = 256;
constexpr uint64_t ShadowSpace = 32;

// A generous bound: the longest legitimate call, a crash report into a
// dead UART, runs a few million instructions.
constexpr uint64_t DefaultInstructionLimit = 200000000;

constexpr size_t RegisterArguments = 4;
constexpr size_t MaxArguments = 16;

const int ArgumentRegisters[RegisterArguments] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8,
                                                  UC_X86_REG_R9};

uint64_t PageDown(uint64_t value)
{
    return value & ~(PageSize - 1);
}

uint64_t PageUp(uint64_t value)
{
    return (value + PageSize - 1) & ~(PageSize - 1);
}

[[noreturn]] void Fatal(const char* what, uc_err error)
{
    std::fprintf(stderr, "vekcrash: emulator: %s: %s\n", what, uc_strerror(error));
    std::abort();
}

// Capstone's names of the 64-bit general registers, in unicorn's terms.
int UnicornRegister(unsigned capstoneRegister)
{
    switch (capstoneRegister) {
    case X86_REG_RAX: return UC_X86_REG_RAX;
    case X86_REG_RBX: return UC_X86_REG_RBX;
    case X86_REG_RCX: return UC_X86_REG_RCX;
    case X86_REG_RDX: return UC_X86_REG_RDX;
    case X86_REG_RSI: return UC_X86_REG_RSI;
    case X86_REG_RDI: return UC_X86_REG_RDI;
    case X86_REG_RBP: return UC_X86_REG_RBP;
    case X86_REG_RSP: return UC_X86_REG_RSP;
    case X86_REG_R8: return UC_X86_REG_R8;
    case X86_REG_R9: return UC_X86_REG_R9;
    case X86_REG_R10: return UC_X86_REG_R10;
    case X86_REG_R11: return UC_X86_REG_R11;
    case X86_REG_R12: return UC_X86_REG_R12;
    case X86_REG_R13: return UC_X86_REG_R13;
    case X86_REG_R14: return UC_X86_REG_R14;
    case X86_REG_R15: return UC_X86_REG_R15;
    default: return UC_X86_REG_INVALID;
    }
}

}  // namespace

// An instruction the emulator cannot answer by itself: the model does.
struct Emulator::SpecialInstruction {
    enum class Kind { ReadMsr, WriteMsr, ReadCr8, WriteCr8, Pause } What;
    uint32_t Length;
    int Register;  // the general register of a CR8 move
};

Emulator& Emulator::Instance()
{
    static Emulator* emulator = new Emulator();
    return *emulator;
}

Emulator::Emulator() : instructionLimit_(DefaultInstructionLimit)
{
    uc_err error = uc_open(UC_ARCH_X86, UC_MODE_64, &uc_);
    if (error != UC_ERR_OK) {
        Fatal("cannot start", error);
    }
    csh handle = 0;
    if (cs_open(CS_ARCH_X86, CS_MODE_64, &handle) != CS_ERR_OK) {
        std::fprintf(stderr, "vekcrash: emulator: cannot start the disassembler\n");
        std::abort();
    }
    cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
    capstone_ = handle;

    stack_ = static_cast<uint8_t*>(mmap(nullptr, StackSize, PROT_READ | PROT_WRITE,
                                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    arena_ = static_cast<uint8_t*>(mmap(nullptr, ArenaSize, PROT_READ | PROT_WRITE,
                                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    if (stack_ == MAP_FAILED || arena_ == MAP_FAILED) {
        std::fprintf(stderr, "vekcrash: emulator: cannot reserve guest memory\n");
        std::abort();
    }
    stackTop_ = reinterpret_cast<uintptr_t>(stack_) + StackSize;
    MapHostPages(reinterpret_cast<uintptr_t>(stack_), StackSize, UC_PROT_READ | UC_PROT_WRITE);
    // Kernel routines may touch only guest memory: the guest stack, the
    // image (MapImage) and what the model itself hands out.
    model::RestrictToEnteredMemory();
    model::EnterHostMemory(reinterpret_cast<uintptr_t>(stack_), StackSize, true, "the guest stack");
    MapHostPages(reinterpret_cast<uintptr_t>(arena_), ArenaSize, UC_PROT_READ | UC_PROT_WRITE);
    // The kernel's exported variables live in the model library's data.
    for (const model::DataExport& data : model::ExportedData()) {
        auto address = reinterpret_cast<uintptr_t>(data.Address);
        for (uint64_t page = PageDown(address); page < address + data.Size; page += PageSize) {
            MapHostPages(page, PageSize, UC_PROT_READ | UC_PROT_WRITE);
        }
    }

    uc_hook hook;
    uc_hook_add(uc_, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(OnBlock), this, 1, 0);
    uc_hook_add(uc_, &hook, UC_HOOK_MEM_UNMAPPED | UC_HOOK_MEM_PROT,
                reinterpret_cast<void*>(OnBadAccess), this, 1, 0);
    uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(OnIn), this, 1, 0,
                UC_X86_INS_IN);
    uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(OnOut), this, 1, 0,
                UC_X86_INS_OUT);
    uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(OnCpuid), this, 1, 0,
                UC_X86_INS_CPUID);

    arenaAllocator_ = {ArenaAllocate, ArenaFree, ArenaOwns, this};
    mappingObserver_ = {OnMapped, OnUnmapped, this};
    model::SetIoMappingObserver(&mappingObserver_);
}

void Emulator::MapHostPages(uint64_t address, size_t size, uint32_t protection)
{
    for (uint64_t mapped : hostPagesMapped_) {
        if (mapped == address) {
            return;
        }
    }
    uc_err error = uc_mem_map_ptr(uc_, address, size, protection, reinterpret_cast<void*>(address));
    if (error != UC_ERR_OK) {
        Fatal("cannot share host memory", error);
    }
    hostPagesMapped_.push_back(address);
}

void Emulator::Attach()
{
    if (attached_++ == 0) {
        // One engine cannot yet run two processors' code in turns.
        model::SetProcessorSwitching(false);
        model::SetKernelMemoryAllocator(&arenaAllocator_);
        model::SetRoutineAddressTranslator(TranslateRoutine, this);
    }
}

void Emulator::Detach()
{
    if (--attached_ == 0) {
        model::SetProcessorSwitching(true);
        model::SetKernelMemoryAllocator(nullptr);
        model::SetRoutineAddressTranslator(nullptr, nullptr);
    }
}

bool Emulator::MapImage(PeImage& image, std::string* error)
{
    // Bind every import before anything is mapped: one the model lacks
    // fails the load, naming it.
    const auto& routines = model::ExportedRoutines();
    for (const ImageImport& import : image.Imports()) {
        std::string module = import.Module;
        for (char& c : module) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (module != "ntoskrnl.exe" && module != "hal.dll") {
            *error = "the image imports " + import.Name + " from " + import.Module +
                     ", which is no kernel module";
            return false;
        }
        if (const model::RoutineInfo* routine = model::FindRoutine(import.Name)) {
            image.WriteIat(import, TrampolineBase + TrampolineSlot * static_cast<uint64_t>(
                                                                         routine - routines.data()));
        } else if (const model::DataExport* data = model::FindData(import.Name)) {
            image.WriteIat(import, reinterpret_cast<uintptr_t>(data->Address));
        } else {
            *error = "the image imports " + import.Name + " from " + import.Module +
                     ", which the model kernel does not provide";
            return false;
        }
    }

    for (const ImageRange& range : image.Ranges()) {
        uint32_t protection = (range.Readable ? UC_PROT_READ : 0) |
                              (range.Writable ? UC_PROT_WRITE : 0) |
                              (range.Executable ? UC_PROT_EXEC : 0);
        uint64_t address = image.Address() + range.Rva;
        uc_err mapError = uc_mem_map_ptr(uc_, address, range.Size, protection,
                                         reinterpret_cast<void*>(address));
        if (mapError != UC_ERR_OK) {
            *error = std::string("cannot map the image: ") + uc_strerror(mapError);
            UnmapImage(image);
            return false;
        }
        imageMemory_[image.Address()].push_back(
            model::EnterHostMemory(address, range.Size, range.Writable, "the driver image"));
    }
    ScanCode(image);
    return true;
}

void Emulator::UnmapImage(PeImage& image)
{
    for (model::MemoryRangeId id : imageMemory_[image.Address()]) {
        model::RemoveMemory(id);
    }
    imageMemory_.erase(image.Address());
    for (const ImageRange& range : image.Ranges()) {
        uc_mem_unmap(uc_, image.Address() + range.Rva, range.Size);
    }
    auto hooks = imageHooks_.find(image.Address());
    if (hooks != imageHooks_.end()) {
        for (uc_hook hook : hooks->second) {
            uc_hook_del(uc_, hook);
        }
        imageHooks_.erase(hooks);
    }
    for (auto it = specials_.begin(); it != specials_.end();) {
        bool inImage = it->first >= image.Address() && it->first < image.Address() + image.Size();
        it = inImage ? specials_.erase(it) : std::next(it);
    }
    // No later image reuses these addresses (PeImage keeps them reserved),
    // so the translations of this image's code can never run again.
    blockInstructions_.erase(blockInstructions_.lower_bound(image.Address()),
                             blockInstructions_.lower_bound(image.Address() + image.Size()));
}

// Finds, in the image's code, the instructions the model must answer and
// hooks each one where it stands.
void Emulator::ScanCode(PeImage& image)
{
    auto handle = static_cast<csh>(capstone_);
    std::vector<uc_hook>& hooks = imageHooks_[image.Address()];
    for (const ImageRange& range : image.Ranges()) {
        if (!range.Executable) {
            continue;
        }
        const uint8_t* code = image.Base() + range.Rva;
        size_t size = range.Size;
        uint64_t address = image.Address() + range.Rva;
        cs_insn* instruction = cs_malloc(handle);
        while (size > 0) {
            if (!cs_disasm_iter(handle, &code, &size, &address, instruction)) {
                // Padding or data between functions: step over one byte.
                ++code;
                --size;
                ++address;
                continue;
            }
            auto special = std::make_unique<SpecialInstruction>();
            special->Length = instruction->size;
            special->Register = UC_X86_REG_INVALID;
            const cs_x86& x86 = instruction->detail->x86;
            if (instruction->id == X86_INS_RDMSR) {
                special->What = SpecialInstruction::Kind::ReadMsr;
            } else if (instruction->id == X86_INS_WRMSR) {
                special->What = SpecialInstruction::Kind::WriteMsr;
            } else if (instruction->id == X86_INS_PAUSE) {
                special->What = SpecialInstruction::Kind::Pause;
            } else if (instruction->id == X86_INS_MOV && x86.op_count == 2 &&
                       x86.operands[0].type == X86_OP_REG && x86.operands[1].type == X86_OP_REG &&
                       (x86.operands[0].reg == X86_REG_CR8 || x86.operands[1].reg == X86_REG_CR8)) {
                bool write = x86.operands[0].reg == X86_REG_CR8;
                special->What = write ? SpecialInstruction::Kind::WriteCr8
                                      : SpecialInstruction::Kind::ReadCr8;
                special->Register = UnicornRegister(write ? x86.operands[1].reg : x86.operands[0].reg);
            } else {
                continue;
            }
            uint64_t at = instruction->address;
            uc_hook hook;
            uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(OnSpecial), this, at, at);
            hooks.push_back(hook);
            specials_[at] = std::move(special);
        }
        cs_free(instruction, 1);
    }
}

uint64_t Emulator::Register(int id) const
{
    uint64_t value = 0;
    uc_reg_read(uc_, id, &value);
    return value;
}

void Emulator::SetRegister(int id, uint64_t value)
{
    uc_reg_write(uc_, id, &value);
}

bool Emulator::IsTrampoline(uint64_t address) const
{
    uint64_t end = TrampolineBase + TrampolineSlot * model::ExportedRoutines().size();
    return address >= TrampolineBase && address < end && (address - TrampolineBase) % TrampolineSlot == 0;
}

uint64_t Emulator::Call(uint64_t routine, const std::vector<uint64_t>& arguments, const char* what)
{
    if (depth_ == 0) {
        halted_ = false;
        runaway_ = false;
        instructionsThisCall_ = 0;
    }
    if (halted_ || arguments.size() > MaxArguments) {
        return 0;
    }
    ++stats_.DriverCalls;

    // A call made while another is interrupted (from inside a kernel
    // routine the driver called) keeps that one's registers and stack.
    uc_context* interrupted = nullptr;
    uint64_t top = stackTop_;
    if (depth_ > 0) {
        uc_context_alloc(uc_, &interrupted);
        uc_context_save(uc_, interrupted);
        top = Register(UC_X86_REG_RSP) - NestedFrameGap;
    }

    // At the call the stack is 16-byte aligned and holds the shadow space
    // for the four register arguments, then the fifth and later arguments.
    size_t stackArguments = arguments.size() > RegisterArguments ? arguments.size() - RegisterArguments : 0;
    uint64_t frame = ShadowSpace + 8 * stackArguments;
    uint64_t atCall = (top - frame) & ~uint64_t{15};
    for (size_t i = 0; i < stackArguments; ++i) {
        uint64_t value = arguments[RegisterArguments + i];
        std::memcpy(reinterpret_cast<void*>(atCall + ShadowSpace + 8 * i), &value, 8);
    }
    uint64_t sentinel = SentinelBase + SentinelSlot * static_cast<uint64_t>(depth_);
    uint64_t rsp = atCall - 8;
    std::memcpy(reinterpret_cast<void*>(rsp), &sentinel, 8);
    for (size_t i = 0; i < RegisterArguments; ++i) {
        SetRegister(ArgumentRegisters[i], i < arguments.size() ? arguments[i] : 0);
    }
    SetRegister(UC_X86_REG_RSP, rsp);
    SetRegister(UC_X86_REG_RFLAGS, 0x2);
    SetRegister(UC_X86_REG_RIP, routine);

    ++depth_;
    uint64_t result = Run(sentinel, what);
    --depth_;

    if (interrupted != nullptr) {
        uc_context_restore(uc_, interrupted);
        uc_context_free(interrupted);
    }
    return result;
}

uint64_t Emulator::Run(uint64_t sentinel, const char* what)
{
    for (;;) {
        lastBadAccess_.Valid = false;
        pendingPrivilegeFault_ = false;
        uint64_t rip = Register(UC_X86_REG_RIP);
        uc_err error = uc_emu_start(uc_, rip, sentinel, 0, 0);
        rip = Register(UC_X86_REG_RIP);

        if (halted_ && model::Stopped()) {
            return 0;
        }
        if (runaway_) {
            char message[256];
            std::snprintf(message, sizeof(message),
                          "driver code ran more than %llu instructions in %s without returning "
                          "(runaway code, stopped)",
                          static_cast<unsigned long long>(instructionLimit_), what);
            model::ReportViolation(message);
            model::HaltMachine();
            halted_ = true;
            return 0;
        }
        if (rip == sentinel) {
            return Register(UC_X86_REG_RAX);
        }
        if (error == UC_ERR_FETCH_UNMAPPED && IsTrampoline(rip)) {
            if (!DispatchImport(rip) || halted_) {
                return 0;
            }
            continue;
        }

        model::RaiseDriverFault(FaultFromStop(error, rip));
        if (model::Stopped()) {
            halted_ = true;
        }
        // Either the machine stopped, or the kernel abandoned a bug check
        // callback: this call is over.
        return 0;
    }
}

model::DriverFault Emulator::FaultFromStop(uc_err error, uint64_t rip) const
{
    model::DriverFault fault{model::DriverFaultKind::InvalidInstruction, 0, rip};
    if (pendingPrivilegeFault_) {
        fault.Kind = model::DriverFaultKind::PrivilegedInstruction;
        return fault;
    }
    switch (error) {
    case UC_ERR_READ_UNMAPPED:
    case UC_ERR_READ_PROT:
        fault.Kind = model::DriverFaultKind::Read;
        break;
    case UC_ERR_WRITE_UNMAPPED:
    case UC_ERR_WRITE_PROT:
        fault.Kind = model::DriverFaultKind::Write;
        break;
    case UC_ERR_FETCH_UNMAPPED:
    case UC_ERR_FETCH_PROT:
        fault.Kind = model::DriverFaultKind::Execute;
        fault.Address = rip;
        return fault;
    case UC_ERR_EXCEPTION:
        fault.Kind = model::DriverFaultKind::PrivilegedInstruction;
        return fault;
    default:
        return fault;
    }
    if (lastBadAccess_.Valid) {
        fault.Address = lastBadAccess_.Address;
    }
    return fault;
}

bool Emulator::DispatchImport(uint64_t slot)
{
    const model::RoutineInfo& routine =
        model::ExportedRoutines()[(slot - TrampolineBase) / TrampolineSlot];
    uint64_t rsp = Register(UC_X86_REG_RSP);
    // The return address and the stack arguments are read on the host: a
    // driver that wrecked its stack pointer faults here, as it would in the
    // kernel, instead of taking the host down.
    uint64_t stackBytes = 8 + ShadowSpace +
                          8 * (routine.Arity > RegisterArguments ? routine.Arity - RegisterArguments : 0);
    uint64_t stackBase = reinterpret_cast<uintptr_t>(stack_);
    if (rsp < stackBase || rsp + stackBytes > stackTop_) {
        model::RaiseDriverFault({model::DriverFaultKind::Read, rsp, slot});
        halted_ = model::Stopped();
        return false;
    }
    uint64_t slots[MaxArguments] = {};
    for (unsigned i = 0; i < routine.Arity && i < MaxArguments; ++i) {
        if (i < RegisterArguments) {
            slots[i] = Register(ArgumentRegisters[i]);
        } else {
            // Past the return address and the shadow space.
            std::memcpy(&slots[i],
                        reinterpret_cast<const void*>(rsp + 8 + ShadowSpace + 8 * (i - RegisterArguments)),
                        8);
        }
    }
    ++stats_.ImportCalls;
    uint64_t result = routine.Thunk(slots);
    // A routine that faulted has ended this call into the driver.
    if (halted_ || model::DriverCallEnding()) {
        halted_ = halted_ || model::Stopped();
        return false;
    }
    uint64_t returnAddress = 0;
    std::memcpy(&returnAddress, reinterpret_cast<const void*>(rsp), 8);
    SetRegister(UC_X86_REG_RAX, result);
    SetRegister(UC_X86_REG_RSP, rsp + 8);
    SetRegister(UC_X86_REG_RIP, returnAddress);
    return true;
}

void Emulator::CountBlock(uint64_t address, uint32_t size)
{
    auto known = blockInstructions_.find(address);
    uint32_t count = 0;
    if (known != blockInstructions_.end()) {
        count = known->second;
    } else {
        cs_insn* instructions = nullptr;
        count = static_cast<uint32_t>(cs_disasm(static_cast<csh>(capstone_),
                                                reinterpret_cast<const uint8_t*>(address), size,
                                                address, 0, &instructions));
        cs_free(instructions, count);
        blockInstructions_[address] = count;
    }
    stats_.Instructions += count;
    instructionsThisCall_ += count;
    if (instructionsThisCall_ > instructionLimit_ && !runaway_) {
        runaway_ = true;
        uc_emu_stop(uc_);
    }
}

void Emulator::OnBlock(uc_engine*, uint64_t address, uint32_t size, void* self)
{
    static_cast<Emulator*>(self)->CountBlock(address, size);
}

bool Emulator::OnBadAccess(uc_engine*, uc_mem_type type, uint64_t address, int, int64_t, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    emulator->lastBadAccess_ = {type, address, true};
    return false;
}

uint32_t Emulator::OnIn(uc_engine*, uint32_t port, int size, void*)
{
    uint32_t value = 0;
    for (int i = 0; i < size; ++i) {
        value |= static_cast<uint32_t>(ModelPortReadByte(static_cast<USHORT>(port + i))) << (8 * i);
    }
    return value;
}

void Emulator::OnOut(uc_engine*, uint32_t port, int size, uint32_t value, void*)
{
    for (int i = 0; i < size; ++i) {
        ModelPortWriteByte(static_cast<USHORT>(port + i), static_cast<UCHAR>(value >> (8 * i)));
    }
}

int Emulator::OnCpuid(uc_engine*, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    ULONG registers[4] = {};
    ModelCpuid(static_cast<ULONG>(emulator->Register(UC_X86_REG_RAX)),
               static_cast<ULONG>(emulator->Register(UC_X86_REG_RCX)), registers);
    emulator->SetRegister(UC_X86_REG_RAX, registers[0]);
    emulator->SetRegister(UC_X86_REG_RBX, registers[1]);
    emulator->SetRegister(UC_X86_REG_RCX, registers[2]);
    emulator->SetRegister(UC_X86_REG_RDX, registers[3]);
    return 1;  // the model's answer replaces the instruction
}

void Emulator::OnSpecial(uc_engine*, uint64_t address, uint32_t, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    auto found = emulator->specials_.find(address);
    if (found == emulator->specials_.end()) {
        return;
    }
    const SpecialInstruction& special = *found->second;
    auto next = [&] { emulator->SetRegister(UC_X86_REG_RIP, address + special.Length); };
    switch (special.What) {
    case SpecialInstruction::Kind::Pause:
        ModelPause();
        if (model::Stopped()) {
            // Every processor only spun: the machine stopped as deadlocked.
            emulator->halted_ = true;
            uc_emu_stop(emulator->uc_);
        }
        return;  // executes as the no-op it is
    case SpecialInstruction::Kind::ReadCr8:
        emulator->SetRegister(special.Register, ModelReadCr8());
        next();
        return;
    case SpecialInstruction::Kind::WriteCr8:
        ModelWriteCr8(static_cast<KIRQL>(emulator->Register(special.Register) & 0xFF));
        next();
        return;
    case SpecialInstruction::Kind::ReadMsr: {
        ULONG64 value = 0;
        if (!ModelReadMsr(static_cast<ULONG>(emulator->Register(UC_X86_REG_RCX)), &value)) {
            emulator->pendingPrivilegeFault_ = true;
            uc_emu_stop(emulator->uc_);
            return;
        }
        emulator->SetRegister(UC_X86_REG_RAX, value & 0xFFFFFFFF);
        emulator->SetRegister(UC_X86_REG_RDX, value >> 32);
        next();
        return;
    }
    case SpecialInstruction::Kind::WriteMsr: {
        ULONG64 value = (emulator->Register(UC_X86_REG_RDX) << 32) |
                        (emulator->Register(UC_X86_REG_RAX) & 0xFFFFFFFF);
        if (!ModelWriteMsr(static_cast<ULONG>(emulator->Register(UC_X86_REG_RCX)), value)) {
            emulator->pendingPrivilegeFault_ = true;
            uc_emu_stop(emulator->uc_);
            return;
        }
        next();
        return;
    }
    }
}

uint64_t Emulator::OnMmioRead(uc_engine*, uint64_t offset, unsigned size, void* base)
{
    uint64_t value = 0;
    auto address = reinterpret_cast<uintptr_t>(base) + offset;
    for (unsigned i = 0; i < size; ++i) {
        value |= static_cast<uint64_t>(
                     ModelRegisterReadByte(reinterpret_cast<volatile UCHAR*>(address + i)))
                 << (8 * i);
    }
    return value;
}

void Emulator::OnMmioWrite(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* base)
{
    auto address = reinterpret_cast<uintptr_t>(base) + offset;
    for (unsigned i = 0; i < size; ++i) {
        ModelRegisterWriteByte(reinterpret_cast<volatile UCHAR*>(address + i),
                               static_cast<UCHAR>(value >> (8 * i)));
    }
}

void Emulator::OnMapped(uintptr_t address, size_t size, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    uint64_t first = PageDown(address);
    uint64_t length = PageUp(address + size) - first;
    uc_err error = uc_mmio_map(emulator->uc_, first, length, OnMmioRead,
                               reinterpret_cast<void*>(first), OnMmioWrite,
                               reinterpret_cast<void*>(first));
    if (error != UC_ERR_OK) {
        Fatal("cannot map device memory", error);
    }
}

void Emulator::OnUnmapped(uintptr_t address, size_t size, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    uint64_t first = PageDown(address);
    uc_mem_unmap(emulator->uc_, first, PageUp(address + size) - first);
}

void* Emulator::TranslateRoutine(const model::RoutineInfo& routine, void*)
{
    const auto& routines = model::ExportedRoutines();
    return reinterpret_cast<void*>(TrampolineBase +
                                   TrampolineSlot * static_cast<uint64_t>(&routine - routines.data()));
}

// Kernel memory for the shipped image: carved from one region the
// processor shares, never reused, so a stale pointer never meets a new
// object.
void* Emulator::ArenaAllocate(size_t size, size_t alignment, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    size_t start = (emulator->arenaUsed_ + alignment - 1) / alignment * alignment;
    if (start + size > ArenaSize) {
        return nullptr;
    }
    emulator->arenaUsed_ = start + size;
    return emulator->arena_ + start;
}

void Emulator::ArenaFree(void*, void*)
{
}

bool Emulator::ArenaOwns(const void* block, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    auto address = static_cast<const uint8_t*>(block);
    return address >= emulator->arena_ && address < emulator->arena_ + ArenaSize;
}

}  // namespace runner
