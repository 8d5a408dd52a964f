// IRQL of each processor. Raises must go up and lowers down, as the real
// kernel's checks demand; the model also checks that every callback returns
// at the IRQL it was called at (machine.cpp).
#include "core/machine_state.h"
#include "core/model_lock.h"
#include "processors/scheduler.h"

using namespace model;

extern "C" KIRQL KeGetCurrentIrql(void)
{
    KernelScope kernel;
    // Logged like every routine an image can import, though safe anywhere.
    EnterRoutine("KeGetCurrentIrql", HIGH_LEVEL, AtBugCheck::Allowed);
    return CurrentIrql();
}

extern "C" KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    KernelScope kernel;
    EnterRoutine("KfRaiseIrql", HIGH_LEVEL, AtBugCheck::Allowed, std::to_string(NewIrql));
    MachineState& s = State();
    KIRQL old = CurrentIrql();
    if (NewIrql < old) {
        Violation("KfRaiseIrql to %u below the current IRQL %u", unsigned{NewIrql}, unsigned{old});
    }
    if (NewIrql > HIGH_LEVEL) {
        Violation("KfRaiseIrql to %u, above HIGH_LEVEL", unsigned{NewIrql});
        return old;
    }
    s.Processors[s.Current].Irql = NewIrql;
    return old;
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql)
{
    KernelScope kernel;
    EnterRoutine("KeLowerIrql", HIGH_LEVEL, AtBugCheck::Allowed, std::to_string(NewIrql));
    MachineState& s = State();
    if (NewIrql > CurrentIrql()) {
        Violation("KeLowerIrql to %u above the current IRQL %u", unsigned{NewIrql},
                  unsigned{CurrentIrql()});
        return;
    }
    s.Processors[s.Current].Irql = NewIrql;
    // DPCs queued to this processor run as soon as it drops below
    // DISPATCH_LEVEL.
    DeliverDpcs();
}
