// Physical range mapping: MmMapIoSpaceEx where the kernel has it, found by
// name so that the image still loads on kernels without it.
#include "driver/io_space.h"

_Use_decl_annotations_
PVOID MapIoSpace(ULONG64 PhysicalAddress, SIZE_T Size, ULONG Protection,
                 MEMORY_CACHING_TYPE FallbackCaching)
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = static_cast<LONGLONG>(PhysicalAddress);
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, WIDE("MmMapIoSpaceEx"));
    auto mapEx = reinterpret_cast<MmMapIoSpaceExRoutine>(MmGetSystemRoutineAddress(&routineName));
    if (mapEx != nullptr) {
        return mapEx(address, Size, Protection);
    }
    return MmMapIoSpace(address, Size, FallbackCaching);
}
