// The all-processor broadcast. The calling processor runs the routine
// directly at DISPATCH_LEVEL; every other processor runs it from a DPC
// targeted at it, and the caller spins with PAUSE on the completion count.
#include "hypervisor/broadcast.h"

#include "driver/pool_settings.h"
#include "hypervisor/pool_tag.h"

namespace {

bool SameProcessor(const PROCESSOR_NUMBER& Left, const PROCESSOR_NUMBER& Right)
{
    // The reserved byte carries nothing and is not compared.
    return Left.Group == Right.Group && Left.Number == Right.Number;
}

} // namespace

_Use_decl_annotations_
VOID NTAPI BroadcastDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    auto* block = static_cast<BroadcastBlock*>(DeferredContext);
    if (block == nullptr) {
        return;
    }
    block->Routine(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(SystemArgument1)),
                   SystemArgument2);
    // The last access to the block: the waiter may return, and its stack
    // frame (the block) go, as soon as the count is complete.
    AtomicIncrement(&block->Completed);
}

_Use_decl_annotations_
NTSTATUS BroadcastToAllProcessors(BroadcastRoutine Routine, PVOID Context)
{
    // At least 1: the calling processor is active.
    ULONG count = KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);

    auto* dpcs = static_cast<PKDPC>(AllocateNonPagedPool(SIZE_T{count} * sizeof(KDPC),
                                                          HypervisorPoolTag));
    if (dpcs == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    BroadcastBlock block = {};
    for (ULONG i = 0; i < count; ++i) {
        KeInitializeDpc(&dpcs[i], BroadcastDpcRoutine, &block);
    }

    // Raised, the thread stays on one processor for the whole run, so the
    // index passed is that of the processor running the routine.
    PROCESSOR_NUMBER here = {};
    KIRQL oldIrql = KfRaiseIrql(DISPATCH_LEVEL);
    ULONG hereIndex = KeGetCurrentProcessorNumberEx(&here);
    Routine(hereIndex, Context);
    KeLowerIrql(oldIrql);

    // Set only now, so that no remote run can overlap the local one.
    block.Routine = Routine;
    block.Completed = 1;

    // The first failure sticks: a processor the routine did not run on is
    // reported whichever index it was, not only the last.
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG i = 0; i < count; ++i) {
        PROCESSOR_NUMBER target = {};
        NTSTATUS status = KeGetProcessorNumberFromIndex(i, &target);
        if (NT_SUCCESS(status) && SameProcessor(target, here)) {
            continue;
        }
        if (NT_SUCCESS(status)) {
            status = KeSetTargetProcessorDpcEx(&dpcs[i], &target);
        }
        if (NT_SUCCESS(status)) {
            KeInsertQueueDpc(&dpcs[i], reinterpret_cast<PVOID>(ULONG_PTR{i}), Context);
        } else if (i != hereIndex) {
            // A processor that cannot be looked up or targeted is counted as
            // done, so that the wait ends; the failure is returned. The
            // calling processor's index is counted already.
            AtomicIncrement(&block.Completed);
            if (NT_SUCCESS(result)) {
                result = status;
            }
        }
    }

    // The exchange never changes the count; it is the one way this thread
    // reads it, so every remote increment is seen.
    LONG target = static_cast<LONG>(count);
    while (AtomicCompareExchange(&block.Completed, target, target) != target) {
        ProcessorPause();
    }

    // Nothing is queued any more: every DPC has started (and finished) its
    // routine. The removal guards against a kernel that thinks otherwise.
    for (ULONG i = 0; i < count; ++i) {
        KeRemoveQueueDpc(&dpcs[i]);
    }
    ExFreePoolWithTag(dpcs, HypervisorPoolTag);
    return result;
}
