// Images of the driver the model can load and call into, and the one way
// the kernel calls driver code.
#pragma once

#include "model/machine_config.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace model {

// ---------------------------------------------------------------------------
// Driver images
// ---------------------------------------------------------------------------
// One call from the kernel into driver code: the routine's address and its
// arguments as 64-bit slots, in the order of the routine's parameters.
constexpr unsigned MaxDriverCallArguments = 8;
struct DriverCall {
    const void* Routine = nullptr;
    uint64_t Arguments[MaxDriverCallArguments] = {};
    unsigned ArgumentCount = 0;
    const char* What = "";  // "the entry routine", for messages
};

// An image of the driver that the model can load and call into. The host
// image is the driver built for Linux; the shipped .sys runs on an emulated
// processor; tests have fakes. Each implements one primitive, Call; the
// kernel's side of every call (processor, IRQL, checks) is the model's.
class DriverImage {
public:
    virtual ~DriverImage() = default;
    virtual std::string Name() const = 0;
    // The address of the image's entry routine (DriverEntry).
    virtual const void* EntryRoutine() const = 0;
    // Runs one driver routine and returns what it left in the result
    // register. Returns without running when the machine has stopped.
    virtual uint64_t Call(const DriverCall& call) = 0;
    // The address of a routine the image exports by name, or null: how a
    // scenario reaches a test driver's routines.
    virtual const void* ExportedRoutine(const std::string& name) const
    {
        (void)name;
        return nullptr;
    }
    // Takes the page holding an address of the image out, as the memory
    // manager trims a page of a driver it may page: an access faults and
    // MmIsAddressValid says no until the image is gone. How a scenario
    // gives a test driver a page that is out; false where the image cannot
    // (the host build's code runs on the host's own pages).
    virtual bool PageOut(const void* address)
    {
        (void)address;
        return false;
    }
};

// Calls a native routine of the host build with the call's arguments, as
// the host image does. Tests' fake images use it too.
uint64_t CallNativeRoutine(const DriverCall& call);

// Calls into the loaded driver on the given processor at the given IRQL, as
// the kernel calls its callbacks, and checks that the routine returns at
// that IRQL. Returns 0 without calling when the machine has stopped.
uint64_t CallDriver(const void* routine, std::initializer_list<uint64_t> arguments,
                    unsigned processor, KIRQL irql, const char* what);
// The same call into a test driver loaded beside the driver (the crasher,
// machine.test_drivers), loaded or not. A processor exception in its code
// raises the bug check the kernel raises for it, but is no violation: the
// scenario asked for it. Code of the driver it leads to (the bug check
// callbacks) is held to every rule as always.
uint64_t CallTestDriver(DriverImage& image, const void* routine,
                        std::initializer_list<uint64_t> arguments, unsigned processor, KIRQL irql,
                        const char* what);

// The host build of the driver, a shared object loaded afresh for every
// image so that each load starts from zeroed driver globals, as a newly
// mapped image does.
std::unique_ptr<DriverImage> OpenHostImage(const std::string& path, std::string* error);

// Where the host image was built; the simulator and tests find it there.
std::string DefaultHostImagePath();

}  // namespace model
