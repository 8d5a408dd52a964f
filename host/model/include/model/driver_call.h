// How a fault inside a kernel routine ends the driver's call.
//
// A routine that meets a bad pointer raises the bug check (its callbacks
// run nested, inside the routine, as on a real kernel) and then throws
// DriverCallEnd. The exception unwinds through the driver's frames (built
// without exceptions, but with unwind tables) to the model frame that
// called into the driver, which catches it in a guarded section: control
// never returns to driver code past the faulting call. During the bug
// check itself the same throw abandons only the callback in progress.
//
// An emulated image never sees the exception: the thunk that calls the
// routine for the emulator catches it, and the emulator asks
// DriverCallEnding() after every routine to learn that its driver call is
// over.
#pragma once

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

// Whether the driver call in progress must end now: the machine stopped,
// or the bug check callback in progress was abandoned. The model clears the
// second when the abandoned call has returned to it.
bool DriverCallEnding();

}  // namespace model
