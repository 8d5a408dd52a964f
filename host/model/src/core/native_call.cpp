// Calls into driver code built for the host: a routine of the host image
// (or a test's stand-in) called with its arguments as 64-bit slots.
//
// Every routine the kernel calls in a driver takes pointers and integers
// only, so on x86-64 each argument travels in one register or one 8-byte
// stack slot whatever its declared type; calling through a pointer typed
// with the same number of 64-bit parameters passes them where the routine
// looks for them, and a narrower result is read from the low bits of RAX.
#include "core/machine_state.h"

namespace model {

namespace {

using Slot = uint64_t;

template <typename... Slots>
Slot CallWith(const void* routine, Slots... slots)
{
    auto function = reinterpret_cast<Slot (*)(Slots...)>(const_cast<void*>(routine));
    return function(slots...);
}

}  // namespace

#if defined(__clang__)
// The routine's declared type differs from the slot type by design (above).
__attribute__((no_sanitize("function")))
#endif
uint64_t CallNativeRoutine(const DriverCall& call)
{
    const Slot* a = call.Arguments;
    static_assert(MaxDriverCallArguments == 8, "one case per argument count");
    switch (call.ArgumentCount) {
    case 0: return CallWith(call.Routine);
    case 1: return CallWith(call.Routine, a[0]);
    case 2: return CallWith(call.Routine, a[0], a[1]);
    case 3: return CallWith(call.Routine, a[0], a[1], a[2]);
    case 4: return CallWith(call.Routine, a[0], a[1], a[2], a[3]);
    case 5: return CallWith(call.Routine, a[0], a[1], a[2], a[3], a[4]);
    case 6: return CallWith(call.Routine, a[0], a[1], a[2], a[3], a[4], a[5]);
    case 7: return CallWith(call.Routine, a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
    default: return CallWith(call.Routine, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
    }
}

}  // namespace model
