// Driver-wide pool settings, fixed once by the load routine before the
// first allocation, and the allocation convention that uses them.
#pragma once

#include "driver/kernel.h"

// Pool type of every non-paged allocation the driver's own code makes:
// NonPagedPool, or NonPagedPoolNx from Windows 8 (6.2) on.
extern POOL_TYPE NonPagedPoolType;
// True when the kernel zeroes blocks requested with PoolZeroFillFlag, so
// that the driver can skip its own fill.
extern BOOLEAN PoolZeroingSupported;

// Added to the pool type to ask the kernel for a zero-filled block.
constexpr ULONG PoolZeroFillFlag = 1024;

// Queries the kernel version and the pool zeroing support and fixes the two
// variables above. PASSIVE_LEVEL, load routine only.
_IRQL_requires_(PASSIVE_LEVEL)
VOID FixPoolSettings();

// Non-paged, zero-filled block of Size bytes with Tag, or null.
_IRQL_requires_max_(DISPATCH_LEVEL)
PVOID AllocateNonPagedPool(SIZE_T Size, ULONG Tag);
