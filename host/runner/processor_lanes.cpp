// Virtual processors on the one engine. The model's scheduler runs each
// processor's work on a lane of its own (a host fiber) and switches lanes
// only while emulation is stopped; the hooks here hand the engine over: the
// registers and the state of the lane's call from the kernel are parked as
// a lane leaves and put back as it resumes. Emulation stops for the
// scheduler at PAUSE, at a CR8 write that lowers the IRQL (DPCs may be due)
// and after a quantum of blocks without a kernel call, so that a processor
// that spins without PAUSE still lets the others run.
#include "runner/emulator.h"

#include "runner/layout.h"

#include <algorithm>

namespace runner {

namespace {

// Basic blocks a processor runs without a kernel call or PAUSE before
// another may take a turn: about a million instructions, long enough that
// code which calls the kernel or pauses as it goes never meets it, so such
// code interleaves exactly as it does in the host build.
constexpr uint64_t DefaultQuantumBlocks = 100000;

}  // namespace

void Emulator::StartLanes()
{
    parkedLanes_.resize(model::MaxProcessorLanes);
    laneRegisters_.assign(model::MaxProcessorLanes, nullptr);
    laneHooks_.Leaving = OnLaneLeaving;
    laneHooks_.Entering = OnLaneEntering;
    laneHooks_.Context = this;
    laneIndex_ = 0;
    SetQuantum(0);
    CreateLaneStacks(0);
}

void Emulator::CreateLaneStacks(unsigned lane)
{
    uint64_t slot = KernelStackAddress + uint64_t{lane} * LaneStackStride;
    lane_.Stack = CreateStack(slot);
    lane_.Spare = CreateStack(slot + SpareStackOffset);
}

void Emulator::OnLaneLeaving(unsigned lane, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    if (lane >= emulator->parkedLanes_.size()) {
        return;
    }
    uc_context*& registers = emulator->laneRegisters_[lane];
    if (registers == nullptr) {
        uc_context_alloc(emulator->uc_, &registers);
    }
    uc_context_save(emulator->uc_, registers);
    emulator->parkedLanes_[lane] = emulator->lane_;
}

void Emulator::OnLaneEntering(unsigned lane, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    if (lane >= emulator->parkedLanes_.size()) {
        return;
    }
    emulator->laneIndex_ = lane;
    emulator->lane_ = emulator->parkedLanes_[lane];
    if (emulator->lane_.Stack.High == 0) {
        emulator->CreateLaneStacks(lane);
    }
    // A lane that never ran starts its first call from the pristine state.
    if (emulator->laneRegisters_[lane] != nullptr) {
        uc_context_restore(emulator->uc_, emulator->laneRegisters_[lane]);
    }
    emulator->blocksSinceYield_ = 0;
}

void Emulator::SetQuantum(uint64_t blocks)
{
    quantumBlocks_ = blocks != 0 ? blocks : DefaultQuantumBlocks;
}

void Emulator::YieldAfter(Yield yield, uint64_t address, uint32_t length)
{
    yield_ = yield;
    yieldAt_ = address;
    yieldLength_ = length;
    uc_emu_stop(uc_);
}

void Emulator::TakeYield()
{
    Yield yield = yield_;
    yield_ = Yield::None;
    blocksSinceYield_ = 0;
    if (yield == Yield::Quantum) {
        // A stop from a block hook leaves RIP where the engine last synced
        // it, which may be an instruction of an earlier block: resuming
        // there would run it twice. The block that ended the quantum has
        // not started.
        SetRegister(UC_X86_REG_RIP, yieldAt_);
    } else if (Register(UC_X86_REG_RIP) == yieldAt_) {
        SetRegister(UC_X86_REG_RIP, yieldAt_ + yieldLength_);
    }
    switch (yield) {
    case Yield::None:
        return;
    case Yield::Pause:
        model::YieldProcessor(model::ProcessorYield::Pause);
        return;
    case Yield::Quantum:
        // The lane resumes wherever the engine stopped.
        model::YieldProcessor(model::ProcessorYield::Quantum);
        return;
    case Yield::LowerIrql:
        model::DeliverPendingDpcs();
        return;
    }
}

bool Emulator::QuantumEnds(uint64_t block)
{
    if (++blocksSinceYield_ < quantumBlocks_ || yield_ != Yield::None ||
        std::max(model::Config().Processors, model::Config().MaxProcessors) < 2) {
        return false;
    }
    yield_ = Yield::Quantum;
    yieldAt_ = block;
    uc_emu_stop(uc_);
    return true;
}

}  // namespace runner
