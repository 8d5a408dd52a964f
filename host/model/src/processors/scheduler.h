// Virtual processors of the host build: who runs now, and when another
// processor gets its turn.
//
// Driver code runs on lanes, one at a time: the lane that holds the baton
// runs, every other waits. A lane is a host thread in the host build, where
// driver code runs natively, and a fiber of one thread under the runner,
// whose one emulated processor serves every virtual one in turn. The baton passes only at
// fixed points (the entry of a kernel routine, PAUSE, the end of a call
// from the kernel) and the next holder is drawn from a generator seeded by
// the machine, so a run repeats exactly for its seed. The thread that calls
// into the driver from outside (load, unload, bug check) is the main lane;
// a DPC aimed at another processor runs there on that processor's own
// worker thread, at DISPATCH_LEVEL.
#pragma once

#include "core/machine_state.h"

#include <functional>
#include <vector>

namespace model {

enum class SwitchReason {
    KernelCall,  // a kernel routine was entered
    Pause,       // the processor executed PAUSE: it spins
    Quantum,     // an emulated processor ran a quantum of code without a kernel call
};

// Where the baton may pass. Runs the current processor's pending DPCs
// first when its IRQL allows them, then may give the turn to another
// processor; returns when this lane has the turn again. Counts spinning: a
// machine whose processors only spin is stopped as deadlocked.
void SwitchPoint(SwitchReason reason);

// Runs the DPCs queued to the current processor, if its IRQL is below
// DISPATCH_LEVEL (the kernel delivers them as soon as it drops there).
void DeliverDpcs();

// Called when a call from the kernel into the driver begins and ends.
// EnterMainCall tells whether this is the outermost call of the main lane;
// LeaveMainCall gets that answer back. At the end of the outermost one,
// DPCs queued to other processors run before control goes back to the
// kernel's caller.
bool EnterMainCall(unsigned processor, const char* what);
void LeaveMainCall(bool outermost);
// True when this thread runs a call the kernel made into the driver (any
// DPC lane, or the main lane inside such a call), where LaneAbandoned is
// caught; false for a test calling driver code directly.
bool InKernelCall();

// Kernel work at PASSIVE_LEVEL on chosen processors, all at once, as
// threads on several processors would run it (image-load notifications of
// loads that happen together): each piece runs on its processor's lane, the
// pieces interleave at the switch points, and the call returns when all
// have finished or the machine stopped. From outside driver code; inside it,
// or on a machine of one processor, the pieces run one after another.
struct ProcessorWork {
    unsigned Processor = 0;
    const char* What = "";  // for the deadlock line: "a load image notify routine"
    std::function<void()> Run;
};
void RunOnProcessors(std::vector<ProcessorWork> work);

// A DPC was queued to the processor: on a free-running machine its worker
// starts, or wakes, to run it.
void DpcQueued(unsigned processor);

// Whether processors run on fiber lanes (an emulated processor, which one
// host thread drives): then never free-running, whatever the machine asks.
bool FiberLanesRequested();

// Kernel memory a lane held when a deadlock abandoned it: freed once every
// lane has stopped (lanes of host threads unwind at once, and the model's
// state is no place for them to meet).
void FreeWhenLanesStop(void* block);

// Stops every worker; their driver code never resumes. Called when the
// machine is reset.
void StopScheduler(MachineState& state);

}  // namespace model
