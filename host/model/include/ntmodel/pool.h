// Pool.
// A part of the model kernel as the driver sees it; ntmodel/ntmodel.h
// includes every part, in order.
#pragma once

#include "ntmodel/records.h"

// A fixed underlying type, as MSVC gives every enum: callers OR flags such
// as the zero flag (1024) into a pool type, and without it such a value lies
// outside the enum's range, which is undefined behaviour in C++.
typedef enum _POOL_TYPE : int32_t {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;
static_assert(sizeof(POOL_TYPE) == 4, "POOL_TYPE is 32 bits");

extern "C" {
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes,
                                                   ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
}
