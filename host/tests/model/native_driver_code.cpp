// Driver code as the host image builds it: no exceptions, no RTTI. A fault
// inside a kernel routine it calls must unwind through these frames (they
// carry unwind tables, not handlers) back to the model.
#include "ntmodel/ntmodel.h"

namespace {

// Kept out of line, so that a real frame of this code lies between the
// routine that faults and the model that called the driver.
__attribute__((noinline)) void QueryTime(PLARGE_INTEGER time, volatile int* reached)
{
    KeQuerySystemTimePrecise(time);
    *reached = 1;
}

}  // namespace

extern "C" NTSTATUS NativeQueryTime(PLARGE_INTEGER time, volatile int* reached)
{
    QueryTime(time, reached);
    *reached = 2;
    return STATUS_SUCCESS;
}

// Guarded work as the driver would hand RunGuarded: context points at
// {time, reached}.
extern "C" NTSTATUS NTAPI NativeGuardedQuery(PVOID context)
{
    auto** arguments = static_cast<void**>(context);
    return NativeQueryTime(static_cast<PLARGE_INTEGER>(arguments[0]),
                           static_cast<volatile int*>(arguments[1]));
}

// Guarded work that reads the word at arguments[0] itself, as the driver
// reads memory it does not own: the host processor's fault, not a kernel
// routine's. context points at {address, reached}.
extern "C" NTSTATUS NTAPI NativeGuardedRead(PVOID context)
{
    auto** arguments = static_cast<void**>(context);
    auto* reached = static_cast<volatile int*>(arguments[1]);
    ULONG value = *static_cast<volatile ULONG*>(arguments[0]);
    *reached = 1;
    return static_cast<NTSTATUS>(value);
}
