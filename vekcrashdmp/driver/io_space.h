// Maps a range of physical addresses into system space, through the
// routine each kernel offers for it.
#pragma once

#include "driver/kernel.h"

// Looks MmMapIoSpaceEx up by name; the load calls it before the first
// mapping, and again on every load.
_IRQL_requires_(PASSIVE_LEVEL)
VOID LookUpIoSpaceRoutines();

// Maps Size bytes at PhysicalAddress with Protection (PAGE_* flags). Kernels
// before Windows 10 lack MmMapIoSpaceEx; there MmMapIoSpace maps the range
// with FallbackCaching, which must say the same as Protection. Null when the
// kernel cannot map it; MmUnmapIoSpace releases it. DISPATCH_LEVEL or
// below, as both mapping routines' pages say.
_IRQL_requires_max_(DISPATCH_LEVEL)
PVOID MapIoSpace(ULONG64 PhysicalAddress, SIZE_T Size, ULONG Protection,
                 MEMORY_CACHING_TYPE FallbackCaching);
