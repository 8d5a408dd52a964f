// Physical range mapping: MmMapIoSpaceEx where the kernel has it, found by
// name once at load (MmGetSystemRoutineAddress is PASSIVE_LEVEL only, and
// the restore maps the reference TSC page from the power callback) so that
// the image still loads on kernels without it.
#include "driver/io_space.h"

namespace {

// Set at load, before any mapping; read-only afterwards. Null: the kernel
// lacks the routine and MmMapIoSpace stands in.
MmMapIoSpaceExRoutine MapIoSpaceExRoutine = nullptr;

} // namespace

_Use_decl_annotations_
VOID LookUpIoSpaceRoutines()
{
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, WIDE("MmMapIoSpaceEx"));
    MapIoSpaceExRoutine =
        reinterpret_cast<MmMapIoSpaceExRoutine>(MmGetSystemRoutineAddress(&routineName));
}

_Use_decl_annotations_
PVOID MapIoSpace(ULONG64 PhysicalAddress, SIZE_T Size, ULONG Protection,
                 MEMORY_CACHING_TYPE FallbackCaching)
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = static_cast<LONGLONG>(PhysicalAddress);
    if (MapIoSpaceExRoutine != nullptr) {
        return MapIoSpaceExRoutine(address, Size, Protection);
    }
    return MmMapIoSpace(address, Size, FallbackCaching);
}
