// IRQL, device memory, lookup, strings, time, version, system information.
// A part of the model kernel as the driver sees it; ntmodel/ntmodel.h
// includes every part, in order.
#pragma once

#include "ntmodel/bugcheck_callbacks.h"

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
} MEMORY_CACHING_TYPE;

#define PAGE_READWRITE 0x04
#define PAGE_NOCACHE 0x200

#define SystemFirmwareTableInformation 76
#define SystemPoolZeroingInformation 227

extern "C" {
NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(void);
NTKERNELAPI KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql);
NTKERNELAPI VOID NTAPI KeLowerIrql(KIRQL NewIrql);

NTKERNELAPI PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                                     MEMORY_CACHING_TYPE CacheType);
NTKERNELAPI VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);
NTKERNELAPI PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);
NTKERNELAPI BOOLEAN NTAPI MmIsAddressValid(PVOID VirtualAddress);

NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

NTKERNELAPI VOID NTAPI KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime);
NTSYSAPI VOID NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields);
// The model's shared user data page (KUSER_SHARED_DATA): the host build
// reads it here, the shipped image at its fixed kernel address, where the
// runner maps the same page.
const volatile UCHAR* ModelSharedUserData(void);

NTSYSAPI NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation);

NTSYSAPI NTSTATUS NTAPI ZwQuerySystemInformation(ULONG SystemInformationClass,
                                                 PVOID SystemInformation,
                                                 ULONG SystemInformationLength,
                                                 PULONG ReturnLength);

// The kernel's memset, memcpy and memmove.
void* ModelMemset(void* Destination, int Value, size_t Size);
void* ModelMemcpy(void* Destination, const void* Source, size_t Size);
void* ModelMemmove(void* Destination, const void* Source, size_t Size);
// The same checks for the host image's own memset, memcpy and memmove
// (hostdriver/block_routines.cpp), without the kernel call: g++ makes such
// calls out of the driver's own loops, which the shipped image keeps as
// loops, so they are no calls into the kernel.
void* ModelImageFill(void* Destination, int Value, size_t Size);
void* ModelImageCopy(void* Destination, const void* Source, size_t Size);
void* ModelImageMove(void* Destination, const void* Source, size_t Size);
}  // extern "C"
