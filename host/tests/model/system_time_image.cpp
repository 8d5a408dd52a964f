// A host image that calls KeQuerySystemTime as a routine, as a driver that
// declares it by hand would: no x64 kernel exports it (the kit reads the
// shared user data page instead), so no version loads the image.
#include "ntmodel/ntmodel.h"

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT,
                                                                        PUNICODE_STRING)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return STATUS_SUCCESS;
}
