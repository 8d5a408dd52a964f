// Faults of native driver code: the host build of the driver and the test
// programs' drivers run on the host processor, whose page fault arrives as
// SIGSEGV (or SIGBUS). A real kernel takes the same fault as the emulated
// processor does: an exception the driver's guard may take below
// DISPATCH_LEVEL on a user-space address, and otherwise a bug check (a
// nested one during the bug check). The handler hands the fault to the
// model so, and the throw unwinds through the signal frame and the driver's
// frames (built with unwind tables) to the call's end, as a kernel routine's
// fault does (driver_call.h). A fault that is not driver code's (the model,
// the tool, the runner's emulated images) goes to the handler that was there
// before, as if this one were not.
#include "core/machine_state.h"
#include "core/model_lock.h"

#include "model/driver_call.h"

#include <signal.h>
#include <ucontext.h>

namespace model {

namespace {

struct sigaction PreviousSegv;
struct sigaction PreviousBus;

// The page fault error code's bit for a write.
constexpr greg_t PageFaultWriteBit = 0x2;

void PassOn(int signal, siginfo_t* info, void* context)
{
    const struct sigaction& previous = signal == SIGSEGV ? PreviousSegv : PreviousBus;
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    // The default action, or ignoring: the instruction faults again once
    // this returns, and the process ends as it would have.
    sigaction(signal, &previous, nullptr);
}

bool InNativeDriverCode()
{
    const MachineState& s = State();
    return !s.Processors.empty() && s.Processors[s.Current].CallWhat != nullptr &&
           !InKernelScope() && !RoutineFaultGuardInstalled();
}

void OnNativeFault(int signal, siginfo_t* info, void* context)
{
    if (!InNativeDriverCode()) {
        PassOn(signal, info, context);
        return;
    }
    const auto* machine = static_cast<const ucontext_t*>(context);
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    const bool write = (machine->uc_mcontext.gregs[REG_ERR] & PageFaultWriteBit) != 0;
    const auto rip = static_cast<uint64_t>(machine->uc_mcontext.gregs[REG_RIP]);
    if (signal == SIGSEGV && info->si_code == SI_KERNEL) {
        // A general protection fault (an instruction user mode may not
        // run, a non-canonical address): no page fault, and no address.
        {
            KernelScope kernel;
            RaiseDriverFault({DriverFaultKind::PrivilegedInstruction, 0, rip});
            State().EndingCall = true;
        }
        throw DriverCallEnd{};
    }
    {
        KernelScope kernel;
        if (!OfferToGuard({"driver code", address, write})) {
            DriverFault fault{write ? DriverFaultKind::Write : DriverFaultKind::Read, address, rip};
            fault.Rsp = static_cast<uint64_t>(machine->uc_mcontext.gregs[REG_RSP]);
            RaiseDriverFault(fault);
            State().EndingCall = true;
        }
    }
    throw DriverCallEnd{};
}

}  // namespace

void CatchNativeDriverFaults()
{
    static const bool installed = [] {
        struct sigaction action = {};
        action.sa_sigaction = OnNativeFault;
        // Not deferred: a fault during the bug check the first one raised
        // is a nested one, handled the same way.
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &PreviousSegv);
        sigaction(SIGBUS, &action, &PreviousBus);
        return true;
    }();
    (void)installed;
}

}  // namespace model
