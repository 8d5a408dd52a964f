// The all-processor broadcast: runs a routine exactly once on every active
// processor, in all processor groups, at DISPATCH_LEVEL, and returns when
// every run has finished. The hypervisor state capture and the resume
// restore use it for the registers that exist once per processor.
//
// The calling processor runs the routine itself first; every other one runs
// it from a DPC targeted at it. The caller busy-waits with PAUSE, so a
// broadcast costs one pool allocation and no blocking wait.
#pragma once

#include "driver/kernel.h"

// The routine that is broadcast: ProcessorIndex is the system-wide index of
// the processor it runs on (counted across all groups from 0), Context the
// caller's pointer, unchanged. Runs at DISPATCH_LEVEL and must not block;
// runs on other processors may overlap, so it touches only per-processor
// data (slot ProcessorIndex of a table) or data nobody writes meanwhile.
typedef VOID (*BroadcastRoutine)(ULONG ProcessorIndex, PVOID Context);

// One per broadcast, on the calling thread's stack; zero at the start. Set
// after the calling processor's own run and before any DPC is queued.
struct BroadcastBlock {
    BroadcastRoutine Routine;
    // Processors that have finished the routine: 1 for the calling
    // processor's run, then one locked increment per remote run.
    volatile LONG Completed;
};

// Runs Routine(index, Context) once on every processor active when the call
// begins. STATUS_INSUFFICIENT_RESOURCES when the DPC array could not be
// allocated: the routine has then run nowhere. Otherwise the status of the
// first processor lookup or DPC targeting that failed while queueing (the
// routine did not run there), or success when it ran everywhere.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS BroadcastToAllProcessors(BroadcastRoutine Routine, PVOID Context);

// The deferred routine of every DPC of a broadcast: DeferredContext is the
// BroadcastBlock, SystemArgument1 the processor index, SystemArgument2 the
// caller's context. A null DeferredContext does nothing.
KDEFERRED_ROUTINE BroadcastDpcRoutine;
