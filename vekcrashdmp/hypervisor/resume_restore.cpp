// Restoring the hypervisor registers on every return to the working state.
// A hibernation (and on some hypervisors a sleep) resets the synthetic MSRs
// the guest programmed at boot; the kernel does not program them again, so
// the driver writes back what it recorded at load.
//
// The callback runs in the thread that delivers the power notification; the
// outcome line is printed later from a system worker thread, never from
// the callback itself.
#include "hypervisor/resume_restore.h"

#include "console/report_print.h"
#include "driver/device_extension.h"
#include "driver/pool_settings.h"
#include "hypervisor/broadcast.h"
#include "hypervisor/reference_tsc.h"

namespace {

constexpr PCWSTR PowerStateObjectName = WIDE("\\Callback\\PowerState");
// The kernel made the object at boot; a driver only opens it.
constexpr ULONG PowerStateObjectAttributes = OBJ_CASE_INSENSITIVE | OBJ_PERMANENT;

// Level given with the outcome line; it does not change the output.
constexpr ULONG RestoreOutcomeLevel = 8;

constexpr ULONG CpuidEax = 0;
constexpr ULONG CpuidEdx = 3;

// The TSC's rate as the hypervisor reports it, or 0 (use the brand string)
// where it grants no frequency registers or has none.
ULONG64 HypervisorTscFrequency(ULONG Features, ULONG FeatureFlags)
{
    if ((Features & HvAccessFrequencyRegs) == 0 || (FeatureFlags & HvFrequencyMsrsAvailable) == 0) {
        return 0;
    }
    return ReadMsr(HvMsrTscFrequency);
}

} // namespace

_Use_decl_annotations_
NTSTATUS RegisterPowerStateCallback(PVOID* Registration, PVOID Context,
                                    PCALLBACK_FUNCTION Callback)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, PowerStateObjectName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, PowerStateObjectAttributes, nullptr, nullptr);

    PCALLBACK_OBJECT object = nullptr;
    NTSTATUS status = ExCreateCallback(&object, &attributes, FALSE, FALSE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Registration = ExRegisterCallback(object, Callback, Context);
    // The registration holds the object; the driver's own reference is
    // not needed beyond this point.
    ObfDereferenceObject(object);
    return *Registration != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

_Use_decl_annotations_
VOID PowerStateCallback(PVOID CallbackContext, PVOID Argument1, PVOID Argument2)
{
    // Argument2 is 0 as the system leaves the working state and nonzero
    // once it is back: only the return has registers to restore.
    if (reinterpret_cast<ULONG_PTR>(Argument1) != PO_CB_SYSTEM_STATE_LOCK || Argument2 == nullptr ||
        CallbackContext == nullptr) {
        return;
    }
    auto* device = static_cast<PDEVICE_OBJECT>(CallbackContext);
    auto* extension = static_cast<CrashDeviceExtension*>(device->DeviceExtension);
    if (extension == nullptr || extension->HypervisorState == nullptr) {
        return;
    }
    RestoreHypervisorState(device, extension->HypervisorState);
}

_Use_decl_annotations_
VOID RestoreVpAssistPage(ULONG ProcessorIndex, PVOID Context)
{
    const auto* args = static_cast<const RestoreArgs*>(Context);
    // A processor index beyond the recorded ones has no slot to read; the
    // restore checks the count first, so this guards only a processor that
    // came online during the broadcast.
    if (ProcessorIndex >= args->State->ProcessorCount) {
        return;
    }
    ULONG64 saved = args->State->VpAssistPage[ProcessorIndex];
    if ((args->CurrentFeatures & HvAccessIntrCtrlRegs) != 0 && saved != 0) {
        WriteMsr(HvMsrVpAssistPage, saved);
    }
}

namespace {

// Queues the outcome line. Without pool or a work item the line is lost;
// the writes already made stand.
VOID QueueRestoreReport(PDEVICE_OBJECT DeviceObject, NTSTATUS Status)
{
    auto* report = static_cast<RestoreReport*>(
        AllocateNonPagedPool(sizeof(RestoreReport), HypervisorPoolTag));
    if (report == nullptr) {
        return;
    }
    // Allocated against the device, which the item keeps referenced while
    // it is queued.
    PIO_WORKITEM item = IoAllocateWorkItem(DeviceObject);
    if (item == nullptr) {
        ExFreePoolWithTag(report, HypervisorPoolTag);
        return;
    }
    report->Status = Status;
    report->WorkItem = item;
    IoQueueWorkItem(item, ReportRestoreOutcome, DelayedWorkQueue, report);
}

} // namespace

_Use_decl_annotations_
NTSTATUS RestoreHypervisorState(PDEVICE_OBJECT DeviceObject, const HypervisorStateRecord* State)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    // Another hypervisor, or other processors, than at load: the recorded
    // values may mean nothing here, so none is written.
    if (DetectHypervisor() &&
        KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS) == State->ProcessorCount) {
        // The privileges may differ after the resume: what the hypervisor
        // offers now decides which registers can be written.
        ULONG registers[4];
        ProcessorCpuid(HvCpuidFeaturesLeaf, registers);
        ULONG features = registers[CpuidEax];
        ULONG featureFlags = registers[CpuidEdx];

        if ((features & HvAccessHypercallMsrs) != 0) {
            // TLFS: the hypercall page stays disabled while the guest
            // identity is 0, so the identity goes first.
            if (State->GuestOsId != 0) {
                WriteMsr(HvMsrGuestOsId, State->GuestOsId);
            }
            if (State->Hypercall != 0) {
                WriteMsr(HvMsrHypercall, State->Hypercall);
            }
        }
        BOOLEAN pageRebuilt = TRUE;
        if (State->ReferenceTsc != 0) {
            if ((features & HvAccessPartitionReferenceTsc) != 0) {
                WriteMsr(HvMsrReferenceTsc, State->ReferenceTsc);
            } else {
                // The register is gone but the guest's clocks still read
                // the page: fill it in ourselves.
                pageRebuilt = RebuildReferenceTscPage(
                    State->ReferenceTsc, HypervisorTscFrequency(features, featureFlags));
            }
        }

        RestoreArgs args = {State, features};
        // A processor the broadcast could not reach keeps its VP assist page
        // unwritten, and a page that could not be mapped keeps the old
        // host's scale: either way the restore did not put everything back.
        status = NT_SUCCESS(BroadcastToAllProcessors(RestoreVpAssistPage, &args)) && pageRebuilt
                     ? STATUS_SUCCESS
                     : STATUS_UNSUCCESSFUL;
    }

    QueueRestoreReport(DeviceObject, status);
    return status;
}

_Use_decl_annotations_
VOID ReportRestoreOutcome(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* report = static_cast<RestoreReport*>(Context);
    if (report == nullptr) {
        return;
    }
    ReportPrint(RestoreOutcomeLevel, "Viridian State Restoration is %s\n",
                report->Status == STATUS_SUCCESS ? "Successful" : "Failed");
    IoFreeWorkItem(report->WorkItem);
    ExFreePoolWithTag(report, HypervisorPoolTag);
}
