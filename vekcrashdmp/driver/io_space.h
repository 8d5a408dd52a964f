// Maps a range of physical addresses into system space, through the
// routine each kernel offers for it.
#pragma once

#include "driver/kernel.h"

// Maps Size bytes at PhysicalAddress with Protection (PAGE_* flags). Kernels
// before Windows 10 lack MmMapIoSpaceEx; there MmMapIoSpace maps the range
// with FallbackCaching, which must say the same as Protection. Null when the
// kernel cannot map it; MmUnmapIoSpace releases it.
_IRQL_requires_(PASSIVE_LEVEL)
PVOID MapIoSpace(ULONG64 PhysicalAddress, SIZE_T Size, ULONG Protection,
                 MEMORY_CACHING_TYPE FallbackCaching);
