// The instructions the emulator cannot answer by itself (RDMSR, WRMSR,
// moves to and from CR8, PAUSE) found in the image's code and hooked where
// they stand, so that the model answers them; and the instruction count of
// every translated block, for the statistics and the runaway bound.
#include "runner/emulator.h"

#include "runner/layout.h"
#include "runner/pe_image.h"

#include "model/uart16550.h"
#include "ntmodel/ntmodel.h"

#include <capstone/capstone.h>

#include <cstdio>

namespace runner {

namespace {

// Bytes one call into the driver may send and still count as progress; a
// crash report is a few kilobytes.
constexpr size_t MaxProgressBytesPerCall = 1 << 20;

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

bool Emulator::HookSpecial(const void* decoded)
{
    const auto* instruction = static_cast<const cs_insn*>(decoded);
    uint64_t at = instruction->address;
    if (specials_.count(at) != 0) {
        return false;
    }
    SpecialInstruction special{SpecialInstruction::Kind::Pause, instruction->size,
                               UC_X86_REG_INVALID, 0};
    const cs_x86& x86 = instruction->detail->x86;
    auto controlRegister = [](unsigned reg) -> int {
        switch (reg) {
        case X86_REG_CR0: return 0;
        case X86_REG_CR2: return 2;
        case X86_REG_CR3: return 3;
        case X86_REG_CR4: return 4;
        case X86_REG_CR8: return 8;
        default: return -1;
        }
    };
    if (instruction->id == X86_INS_RDMSR) {
        special.What = SpecialInstruction::Kind::ReadMsr;
    } else if (instruction->id == X86_INS_WRMSR) {
        special.What = SpecialInstruction::Kind::WriteMsr;
    } else if (instruction->id == X86_INS_PAUSE) {
        special.What = SpecialInstruction::Kind::Pause;
    } else if (instruction->id == X86_INS_MOV && x86.op_count == 2 &&
               x86.operands[0].type == X86_OP_REG && x86.operands[1].type == X86_OP_REG &&
               (controlRegister(x86.operands[0].reg) >= 0 ||
                controlRegister(x86.operands[1].reg) >= 0)) {
        int written = controlRegister(x86.operands[0].reg);
        if (written < 0 && controlRegister(x86.operands[1].reg) != 8) {
            return false;  // reading CR0, CR2, CR3 or CR4 changes nothing
        }
        special.Register = UnicornRegister(written >= 0 ? x86.operands[1].reg : x86.operands[0].reg);
        if (written == 8) {
            special.What = SpecialInstruction::Kind::WriteCr8;
        } else if (written >= 0) {
            special.What = SpecialInstruction::Kind::WriteControl;
            special.Control = static_cast<unsigned>(written);
        } else {
            special.What = SpecialInstruction::Kind::ReadCr8;
        }
    } else if ((instruction->id == X86_INS_LGDT || instruction->id == X86_INS_LIDT) &&
               x86.op_count == 1 && x86.operands[0].type == X86_OP_MEM) {
        const x86_op_mem& memory = x86.operands[0].mem;
        special.What = SpecialInstruction::Kind::LoadDescriptorTable;
        special.InterruptTable = instruction->id == X86_INS_LIDT;
        special.Base = memory.base == X86_REG_RIP ? UC_X86_REG_RIP : UnicornRegister(memory.base);
        special.Index = UnicornRegister(memory.index);
        special.Scale = memory.scale;
        special.Displacement = memory.disp;
    } else if (instruction->id == X86_INS_SWAPGS) {
        special.What = SpecialInstruction::Kind::SwapGs;
    } else if (instruction->id == X86_INS_SYSCALL) {
        special.What = SpecialInstruction::Kind::SystemCall;
    } else if (instruction->id == X86_INS_SUB && x86.op_count == 2 &&
               x86.operands[0].type == X86_OP_REG && x86.operands[0].reg == X86_REG_RSP &&
               x86.operands[1].type == X86_OP_IMM &&
               static_cast<uint64_t>(x86.operands[1].imm) >= PageSize) {
        // A frame of a page or more, allocated without probing its pages,
        // can step over the guard page; smaller ones meet it.
        special.What = SpecialInstruction::Kind::AllocateStack;
        special.Bytes = static_cast<uint64_t>(x86.operands[1].imm);
    } else {
        return false;
    }
    uc_hook hook;
    uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(OnSpecial), this, at, at);
    imageHooks_[ImageOf(at)].push_back(hook);
    specials_[at] = std::make_unique<SpecialInstruction>(special);
    return true;
}

// Hooks what a linear pass over the code sections finds. The pass can
// decode differently from the processor (data in code, a jump into the
// middle of an instruction); the first run of every block checks again.
void Emulator::ScanCode(PeImage& image)
{
    auto handle = static_cast<csh>(capstone_);
    images_[image.Address()] = image.Size();
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
            HookSpecial(instruction);
        }
        cs_free(instruction, 1);
    }
}

uint64_t Emulator::ImageOf(uint64_t address) const
{
    auto image = images_.upper_bound(address);
    if (image == images_.begin()) {
        return 0;
    }
    --image;
    return address < image->first + image->second ? image->first : 0;
}

void Emulator::ForgetCode(PeImage& image)
{
    images_.erase(image.Address());
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
    // A later image may take these addresses: it counts its blocks afresh.
    blockInstructions_.erase(blockInstructions_.lower_bound(image.Address()),
                             blockInstructions_.lower_bound(image.Address() + image.Size()));
}

void Emulator::CountBlock(uint64_t address, uint32_t size)
{
    auto known = blockInstructions_.find(address);
    uint32_t count = 0;
    if (known != blockInstructions_.end()) {
        count = known->second;
    } else {
        // First meeting: count the block's instructions, decoded from where
        // the processor decodes them, and hook any special one among them.
        cs_insn* instructions = nullptr;
        count = static_cast<uint32_t>(cs_disasm(static_cast<csh>(capstone_),
                                                reinterpret_cast<const uint8_t*>(address), size,
                                                address, 0, &instructions));
        bool hooked = false;
        for (uint32_t i = 0; i < count; ++i) {
            hooked = HookSpecial(&instructions[i]) || hooked;
        }
        cs_free(instructions, count);
        blockInstructions_[address] = count;
        if (hooked) {
            // The block was translated without its hooks and has not run
            // yet: drop the translation and start it again.
            uc_ctl_remove_cache(uc_, address, address + size);
            restartBlock_ = true;
            restartAt_ = address;
            uc_emu_stop(uc_);
            return;
        }
    }
    if (QuantumEnds(address)) {
        return;
    }
    stats_.Instructions += count;
    lane_.InstructionsSinceProgress += count;
    if (lane_.InstructionsSinceProgress > instructionLimit_ && !lane_.Runaway) {
        lane_.Runaway = true;
        uc_emu_stop(uc_);
    }
}

void Emulator::NoteDeviceProgress()
{
    size_t accepted = 0;
    for (size_t i = 0; i < model::UartCount(); ++i) {
        accepted += model::UartAt(i).Transmitted().size();
    }
    if (accepted != bytesAccepted_) {
        // Output without end is no progress either: past a bound far above
        // any report, bytes no longer restart the count.
        if (accepted > bytesAccepted_) {
            lane_.ProgressThisCall += accepted - bytesAccepted_;
        }
        bytesAccepted_ = accepted;
        if (lane_.ProgressThisCall <= MaxProgressBytesPerCall) {
            lane_.InstructionsSinceProgress = 0;
        }
    }
}

void Emulator::OnBlock(uc_engine*, uint64_t address, uint32_t size, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    // A trampoline is no driver code, and its bytes are not host memory.
    if (!emulator->InTrampolines(address)) {
        emulator->CountBlock(address, size);
    }
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
        // Another processor may take its turn, which must not happen inside
        // a hook: emulation stops first (a stop after a write of RIP in a
        // hook is lost, so the run steps over the PAUSE itself).
        emulator->YieldAfter(Yield::Pause, address, special.Length);
        return;
    case SpecialInstruction::Kind::ReadCr8:
        emulator->SetRegister(special.Register, ModelReadCr8());
        next();
        return;
    case SpecialInstruction::Kind::WriteCr8: {
        auto irql = static_cast<KIRQL>(emulator->Register(special.Register) & 0xFF);
        bool lowered = irql < ModelReadCr8();
        model::WriteCr8WithoutDelivery(irql);
        if (lowered) {
            // DPCs may be due, which are calls into the driver: they run
            // only once emulation has stopped.
            emulator->YieldAfter(Yield::LowerIrql, address, special.Length);
            return;
        }
        next();
        return;
    }
    case SpecialInstruction::Kind::WriteControl: {
        // The kernel owns paging, protection and the processor's features;
        // the write is refused and named, and the processor keeps its state.
        char message[160];
        std::snprintf(message, sizeof(message),
                      "driver code wrote CR%u (value 0x%llX) at 0x%llX; the kernel's control "
                      "registers are not the driver's to change (write ignored)",
                      special.Control,
                      static_cast<unsigned long long>(emulator->Register(special.Register)),
                      static_cast<unsigned long long>(address));
        model::ReportViolation(message);
        next();
        return;
    }
    case SpecialInstruction::Kind::LoadDescriptorTable: {
        // The kernel owns the descriptor tables. A zero one (limit and
        // base 0) leaves the next interrupt no handler and no way to report
        // it: a triple fault resets the machine, with no bug check.
        uint64_t operand = special.Base == UC_X86_REG_RIP ? address + special.Length
                                                          : emulator->Register(special.Base);
        if (special.Index != UC_X86_REG_INVALID) {
            operand += emulator->Register(special.Index) * static_cast<uint64_t>(special.Scale);
        }
        operand += static_cast<uint64_t>(special.Displacement);
        uint8_t descriptor[10] = {};
        bool read = uc_mem_read(emulator->uc_, operand, descriptor, sizeof(descriptor)) == UC_ERR_OK;
        bool zero = read;
        for (uint8_t byte : descriptor) {
            zero = zero && byte == 0;
        }
        const char* table = special.InterruptTable ? "interrupt descriptor table (lidt)"
                                                   : "global descriptor table (lgdt)";
        char message[256];
        if (zero) {
            std::snprintf(message, sizeof(message),
                          "driver code loaded a zero %s at 0x%llX: the next interrupt finds no "
                          "handler and the processor resets (triple fault), with no bug check "
                          "and no report (stopped)",
                          table, static_cast<unsigned long long>(address));
            model::ReportViolation(message);
            emulator->Halt();
            return;
        }
        std::snprintf(message, sizeof(message),
                      "driver code loaded the %s at 0x%llX; the kernel's descriptor tables are "
                      "not the driver's to change (load ignored)",
                      table, static_cast<unsigned long long>(address));
        model::ReportViolation(message);
        next();
        return;
    }
    case SpecialInstruction::Kind::SwapGs:
    case SpecialInstruction::Kind::SystemCall: {
        // In kernel mode GS already holds the processor's control region:
        // swapgs trades it for the user-mode base, and syscall enters the
        // system call handler as if from user mode, which swaps it too. The
        // kernel's next use of GS then faults in ways no report survives.
        char message[256];
        std::snprintf(message, sizeof(message),
                      "driver code executed %s at 0x%llX in kernel mode: GS no longer addresses "
                      "the processor's control region, and the kernel cannot go on (stopped)",
                      special.What == SpecialInstruction::Kind::SwapGs ? "swapgs" : "syscall",
                      static_cast<unsigned long long>(address));
        model::ReportViolation(message);
        emulator->Halt();
        return;
    }
    case SpecialInstruction::Kind::AllocateStack: {
        // A frame that reaches below the stack it is allocated on: the
        // kernel stack has one guard page and nothing to grow into, so the
        // next touch of the frame's far end, or the next interrupt, finds
        // the guard page and the processor a double fault (0x7F).
        uint64_t rsp = emulator->Register(UC_X86_REG_RSP);
        for (const GuestStack* stack : {&emulator->lane_.Stack, &emulator->lane_.Spare}) {
            if (rsp > stack->Low && rsp <= stack->High && rsp - stack->Low < special.Bytes) {
                emulator->SetRegister(UC_X86_REG_RSP, rsp - special.Bytes);
                emulator->pendingStackOverflow_ = true;
                uc_emu_stop(emulator->uc_);
                return;
            }
        }
        return;  // the instruction runs
    }
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

}  // namespace runner
