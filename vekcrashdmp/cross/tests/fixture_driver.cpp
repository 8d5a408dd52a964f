// A small driver for testing the image gate: built with the same compile and
// link rules as vekcrashdmp.sys, it holds one function of each kind the gate
// tells apart.
#include "driver/kernel.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

// Value the guarded read returns when the read faults.
constexpr LONG FaultedReadValue = -1;

constexpr ULONG ScratchCount = 16;

} // namespace

// One name in read-only data and one in writable data, for the gate's
// read-only check.
constexpr CHAR ReadOnlyName[] = "fixture";
CHAR WritableName[] = "fixture";

// A leaf: no call, no push, no stack adjustment, so no unwind data either.
__declspec(noinline) LONG AddOffset(LONG Value, LONG Offset)
{
    return Value + Offset;
}

// Calls nothing, yet needs unwind data: its array takes a stack frame.
__declspec(noinline) LONG SumScratch(LONG Seed)
{
    volatile LONG scratch[ScratchCount];
    for (ULONG i = 0; i < ScratchCount; ++i) {
        scratch[i] = Seed + static_cast<LONG>(i);
    }
    LONG sum = 0;
    for (ULONG i = 0; i < ScratchCount; ++i) {
        sum += scratch[i];
    }
    return sum;
}

// Kept out of line: clang catches a fault raised inside a call made from
// the __try body, not one raised by an instruction of the body itself.
__declspec(noinline) LONG ReadValue(volatile LONG* Address)
{
    return *Address;
}

// Carries the one __try guard of the image.
__declspec(noinline) LONG GuardedRead(volatile LONG* Address)
{
    LONG value = FaultedReadValue;
    __try {
        value = ReadValue(Address);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        value = FaultedReadValue;
    }
    return value;
}

// Counts a name's characters; takes the names' addresses, so both stay in
// the image.
__declspec(noinline) LONG NameLength(const CHAR* Name)
{
    LONG length = 0;
    while (Name[length] != 0) {
        ++length;
    }
    return length;
}

// Reaches a kernel routine the way compiled code does without naming it:
// the fill becomes a call of memset through the linker's import thunk.
__declspec(noinline) VOID ClearName(PCHAR Name, SIZE_T Length)
{
    RtlZeroMemory(Name, Length);
}

// Reaches a kernel routine through a direct import call.
__declspec(noinline) LONG StampTime()
{
    LARGE_INTEGER now;
    KeQuerySystemTimePrecise(&now);
    return static_cast<LONG>(now.LowPart & 1);
}

// Non-leaf and unguarded.
_Use_decl_annotations_
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    volatile LONG length = RegistryPath->Length;
    LONG value = AddOffset(GuardedRead(&length), SumScratch(1));
    value += NameLength(ReadOnlyName) + NameLength(WritableName) + StampTime();
    ClearName(WritableName, sizeof(WritableName));
    return value > 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
