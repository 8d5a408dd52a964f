// Pool settings and the driver's allocation convention. The settings are
// fixed by the load routine before anything is allocated and never change
// afterwards, so readers need no synchronisation.
#include "driver/pool_settings.h"

POOL_TYPE NonPagedPoolType = NonPagedPool;
BOOLEAN PoolZeroingSupported = FALSE;

namespace {

// Assumed when the kernel will not say which version it is.
constexpr ULONG FallbackMajorVersion = 5;
constexpr ULONG FallbackMinorVersion = 0;

// First version whose kernel offers no-execute non-paged pool.
constexpr ULONG NxPoolMajorVersion = 6;
constexpr ULONG NxPoolMinorVersion = 2;

BOOLEAN IsNxPoolAvailable(ULONG Major, ULONG Minor)
{
    return Major > NxPoolMajorVersion ||
           (Major == NxPoolMajorVersion && Minor >= NxPoolMinorVersion);
}

// Asks the kernel whether it zeroes blocks requested with the zero flag.
// Older kernels lack the query routine or the information class; both
// mean no.
BOOLEAN QueryPoolZeroing()
{
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, WIDE("NtQuerySystemInformation"));
    auto query = reinterpret_cast<NtQuerySystemInformationRoutine>(
        MmGetSystemRoutineAddress(&routineName));
    if (query == nullptr) {
        return FALSE;
    }

    UCHAR zeroing = 0;
    NTSTATUS status = query(SystemPoolZeroingInformation, &zeroing, sizeof(zeroing), nullptr);
    return NT_SUCCESS(status) && zeroing != 0;
}

} // namespace

_Use_decl_annotations_
VOID FixPoolSettings()
{
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOW);
    if (!NT_SUCCESS(RtlGetVersion(&version))) {
        version.dwMajorVersion = FallbackMajorVersion;
        version.dwMinorVersion = FallbackMinorVersion;
    }

    PoolZeroingSupported = QueryPoolZeroing();

    if (IsNxPoolAvailable(version.dwMajorVersion, version.dwMinorVersion)) {
        NonPagedPoolType = NonPagedPoolNx;
    }
}

_Use_decl_annotations_
PVOID AllocateNonPagedPool(SIZE_T Size, ULONG Tag)
{
    auto type = static_cast<POOL_TYPE>(NonPagedPoolType | PoolZeroFillFlag);
    PVOID block = ExAllocatePoolWithTag(type, Size, Tag);
    if (block != nullptr && !PoolZeroingSupported) {
        RtlZeroMemory(block, Size);
    }
    return block;
}
