// The lock over the model's state on a free-running machine.
//
// Free-running processors run driver code truly in parallel, so the
// model's own state (queues, pool, address space map, call log) is
// serialized by one lock, held for exactly as long as a thread is inside
// kernel code: every kernel routine holds a KernelScope for its whole
// body, and a call from the kernel into the driver (CallDriver) lets go of
// it for as long as driver code runs. Driver code itself never runs under
// the lock; otherwise DPCs could not overlap and ThreadSanitizer would see
// the driver's own races hidden behind the model's ordering.
//
// A scope object in each routine is what makes "exactly the duration"
// hold: the routine-entry call (EnterRoutine) returns into the routine and
// cannot see its end, and a driver that calls a kernel routine directly
// gives no hook at the return either.
//
// On a machine driven by the baton the lock is never taken: one thread
// runs at a time there.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace model {

// Whether the machine in use runs its processors free (MachineConfig::
// FreeRunning); set when a machine is made, while no other thread runs.
void SetFreeRunning(bool enabled);
bool FreeRunning();

// Held by kernel code; nests on one thread.
class KernelScope {
public:
    KernelScope();
    ~KernelScope();
    KernelScope(const KernelScope&) = delete;
    KernelScope& operator=(const KernelScope&) = delete;

private:
    bool taken_;
};

// Lets go of the lock entirely (however deeply nested) for driver code or
// a wait, and takes it back as deep as it was.
class KernelLeave {
public:
    KernelLeave();
    ~KernelLeave();
    KernelLeave(const KernelLeave&) = delete;
    KernelLeave& operator=(const KernelLeave&) = delete;

private:
    unsigned depth_;
};

// Whether this thread holds the lock.
bool InKernelScope();

// Waits on the condition under the lock, which this thread holds.
void WaitInKernel(std::condition_variable& changed, const std::function<bool()>& ready);

}  // namespace model
