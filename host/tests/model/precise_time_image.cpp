// A host image that calls KeQuerySystemTimePrecise directly, as a driver
// that imports it statically would: kernels before Windows 8 refuse it.
#include "ntmodel/ntmodel.h"

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT,
                                                                        PUNICODE_STRING)
{
    LARGE_INTEGER now;
    KeQuerySystemTimePrecise(&now);
    return STATUS_SUCCESS;
}
