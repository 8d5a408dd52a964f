// Detection of the Hyper-V compatible interface and the capture of its
// registers at load. Capture runs once, at PASSIVE_LEVEL in the load
// thread; the per-processor part runs through the all-processor broadcast.
#include "hypervisor/hypervisor_state.h"

#include "driver/pool_settings.h"
#include "hypervisor/broadcast.h"

namespace {

enum CpuidRegister { Eax = 0, Ebx = 1, Ecx = 2, Edx = 3 };

} // namespace

_Use_decl_annotations_
BOOLEAN DetectHypervisor()
{
    ULONG registers[4];
    ProcessorCpuid(CpuidFeatureLeaf, registers);
    if ((registers[Ecx] & CpuidHypervisorPresentBit) == 0) {
        return FALSE;
    }

    // The highest leaf is compared signed, and only from above: a
    // hypervisor with leaves beyond those this driver knows may give the
    // registers other meanings.
    ProcessorCpuid(HvCpuidVendorLeaf, registers);
    if (registers[Ebx] != HvVendorSignatureEbx || registers[Ecx] != HvVendorSignatureEcx ||
        registers[Edx] != HvVendorSignatureEdx ||
        static_cast<LONG>(registers[Eax]) >= HvFirstRejectedHighestLeaf) {
        return FALSE;
    }

    ProcessorCpuid(HvCpuidInterfaceLeaf, registers);
    return registers[Eax] == HvInterfaceSignature ? TRUE : FALSE;
}

_Use_decl_annotations_
VOID CaptureVpAssistPage(ULONG ProcessorIndex, PVOID Context)
{
    auto* state = static_cast<HypervisorStateRecord*>(Context);
    // A processor that came online after the count was taken has no slot:
    // it is left out rather than written past the record.
    if (ProcessorIndex >= state->ProcessorCount) {
        return;
    }
    if ((state->Features & HvAccessIntrCtrlRegs) != 0) {
        state->VpAssistPage[ProcessorIndex] = ReadMsr(HvMsrVpAssistPage);
    }
}

_Use_decl_annotations_
HypervisorStateRecord* CaptureHypervisorState()
{
    if (!DetectHypervisor()) {
        return nullptr;
    }

    ULONG count = KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
    // One slot more than the processors: room for a processor that comes
    // online while the capture runs, which the capture then leaves out.
    auto* state = static_cast<HypervisorStateRecord*>(
        AllocateNonPagedPool(HypervisorStateSize(count + 1), HypervisorPoolTag));
    if (state == nullptr) {
        return nullptr;
    }
    state->ProcessorCount = count;

    // Partition-wide registers: any processor reads the same values.
    ULONG registers[4];
    ProcessorCpuid(HvCpuidFeaturesLeaf, registers);
    state->Features = registers[Eax];
    ProcessorCpuid(HvCpuidRecommendationsLeaf, registers);
    state->Recommendations = registers[Eax];

    // Every register only with the privilege that grants it: the guest
    // identity shares the hypercall registers' privilege. Without it the
    // slot stays 0, nothing to restore.
    if ((state->Features & HvAccessHypercallMsrs) != 0) {
        state->GuestOsId = ReadMsr(HvMsrGuestOsId);
        state->Hypercall = ReadMsr(HvMsrHypercall);
    }
    if ((state->Features & HvAccessPartitionReferenceTsc) != 0) {
        state->ReferenceTsc = ReadMsr(HvMsrReferenceTsc);
    }

    if (!NT_SUCCESS(BroadcastToAllProcessors(CaptureVpAssistPage, state))) {
        // No slot was read: a record without them would restore nothing on
        // the processors.
        FreeHypervisorState(state);
        return nullptr;
    }
    return state;
}

_Use_decl_annotations_
VOID FreeHypervisorState(HypervisorStateRecord* State)
{
    if (State != nullptr) {
        ExFreePoolWithTag(State, HypervisorPoolTag);
    }
}
