// The return to the working state: the registration on the kernel's
// power-state callback object, the callback, the restore of the recorded
// hypervisor registers and the work item that prints its outcome line.
#pragma once

#include "driver/kernel.h"
#include "hypervisor/hypervisor_state.h"

// What every processor's run of the restore receives; it lives on the
// restoring thread's stack for the length of the broadcast.
struct RestoreArgs {
    const HypervisorStateRecord* State;
    // Features leaf EAX as the hypervisor offers it now, at resume.
    ULONG CurrentFeatures;
};

// Context of the outcome work item; owned by the item's routine once
// queued.
struct RestoreReport {
    NTSTATUS Status;
    PIO_WORKITEM WorkItem;
};

// Opens "\Callback\PowerState" and registers Callback with Context on it.
// The handle is stored in *Registration even when null; STATUS_UNSUCCESSFUL
// when the kernel refuses the registration.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RegisterPowerStateCallback(PVOID* Registration, PVOID Context,
                                    PCALLBACK_FUNCTION Callback);

// Registered on "\Callback\PowerState" with the device object as context:
// starts the restore when the system is back in the working state.
CALLBACK_FUNCTION PowerStateCallback;

// Writes the recorded registers back (partition-wide ones on this
// processor, the VP assist page on every processor) and queues the outcome
// line. STATUS_UNSUCCESSFUL when the interface is gone or the processor
// count changed, in which case nothing is written, and when a processor's
// VP assist page could not be written back (the broadcast failed there).
// PASSIVE_LEVEL: the page rebuild looks up a kernel routine.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RestoreHypervisorState(PDEVICE_OBJECT DeviceObject, const HypervisorStateRecord* State);

// Broadcast routine of the restore: writes this processor's recorded VP
// assist page register back. Context is a RestoreArgs.
_IRQL_requires_(DISPATCH_LEVEL)
VOID RestoreVpAssistPage(ULONG ProcessorIndex, PVOID Context);

// Work item routine: prints the outcome line and frees its report.
IO_WORKITEM_ROUTINE ReportRestoreOutcome;
