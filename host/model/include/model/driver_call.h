// How a fault inside a kernel routine ends the driver's call.
//
// A routine that meets a bad pointer raises the bug check (its callbacks
// run nested, inside the routine, as on a real kernel) and then throws
// DriverCallEnd. The exception unwinds through the driver's frames (built
// without exceptions, but with unwind tables) to the model frame that
// called into the driver, which catches it in a guarded section: control
// never returns to driver code past the faulting call. During the bug
// check itself the fault is a nested bug check (machine.h): the throw ends
// the callback in progress, and no later one runs.
//
// An emulated image never sees the exception: the thunk that calls the
// routine for the emulator catches it, and the emulator asks
// DriverCallEnding() after every routine to learn that its driver call is
// over.
#pragma once

#include <cstdint>

namespace model {

// Thrown through driver frames; deliberately no std::exception, so that no
// generic handler on the way takes it.
struct DriverCallEnd {
};

// Runs work; a fault that ends it returns false, and the caller goes on.
// Sections nest.
template <typename Work>
bool Guarded(Work&& work)
{
    try {
        work();
        return true;
    } catch (const DriverCallEnd&) {
        return false;
    }
}

// A bad access by a kernel routine, offered to the driver's __try scopes
// before it bug checks: on a real kernel the routine's page fault is an
// exception that a guard in the driver around the call can take.
struct RoutineFault {
    const char* Routine;
    uintptr_t Address;
    bool Write;
};
// Returns true when a guard took the fault: the routine then ends with
// DriverCallEnd, no bug check and no violation, and the guard's owner goes
// on. The runner installs one for the shipped image (its dispatcher); with
// none installed, the host build's RunGuarded sections are the guards.
using RoutineFaultGuard = bool (*)(const RoutineFault& fault, void* data);
void SetRoutineFaultGuard(RoutineFaultGuard guard, void* data);
// Whether a guard takes a page fault: never during the bug check, at
// DISPATCH_LEVEL and above, or on a system-space address (address_space.h),
// where the kernel raises a bug check instead of an exception.
bool OfferToGuard(const RoutineFault& fault);

// Whether the driver call in progress must end now: the machine stopped,
// or the bug check callback in progress was abandoned. The model clears the
// second when the abandoned call has returned to it.
bool DriverCallEnding();

}  // namespace model
