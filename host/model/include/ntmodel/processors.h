// Processors and DPCs.
// A part of the model kernel as the driver sees it; ntmodel/ntmodel.h
// includes every part, in order.
#pragma once

#include "ntmodel/loaded_images.h"

typedef struct _PROCESSOR_NUMBER {
    USHORT Group;
    UCHAR Number;
    UCHAR Reserved;
} PROCESSOR_NUMBER, *PPROCESSOR_NUMBER;
static_assert(sizeof(PROCESSOR_NUMBER) == 4, "PROCESSOR_NUMBER layout");

#define ALL_PROCESSOR_GROUPS 0xFFFF

struct _KDPC;
typedef VOID NTAPI KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext,
                                     PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile PVOID DpcData;
} KDPC, *PKDPC, *PRKDPC;
static_assert(sizeof(KDPC) == 64, "KDPC layout");
static_assert(offsetof(KDPC, DeferredRoutine) == 24, "KDPC layout");
static_assert(offsetof(KDPC, DpcData) == 56, "KDPC layout");

extern "C" {
NTKERNELAPI ULONG NTAPI KeQueryActiveProcessorCountEx(USHORT GroupNumber);
NTKERNELAPI ULONG NTAPI KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER ProcNumber);
NTKERNELAPI NTSTATUS NTAPI KeGetProcessorNumberFromIndex(ULONG ProcIndex,
                                                         PPROCESSOR_NUMBER ProcNumber);
NTKERNELAPI VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                       PVOID DeferredContext);
NTKERNELAPI NTSTATUS NTAPI KeSetTargetProcessorDpcEx(PKDPC Dpc, PPROCESSOR_NUMBER ProcNumber);
NTKERNELAPI BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1,
                                           PVOID SystemArgument2);
NTKERNELAPI BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
}
