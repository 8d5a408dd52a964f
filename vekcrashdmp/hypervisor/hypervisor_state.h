// The enlightenment registers of a Hyper-V compatible hypervisor, recorded
// once at load so that a resume can write them back: detection of the
// interface, the record, its capture and its release.
//
// Register and leaf numbers are those of Microsoft's published Hyper-V
// Top-Level Functional Specification (TLFS). The record is written only
// during capture, at PASSIVE_LEVEL in the load thread; afterwards every
// reader (the power-state callback, the per-processor restore) sees it
// read-only, so it needs no lock.
#pragma once

#include "driver/kernel.h"
#include "hypervisor/pool_tag.h"

// CPUID leaves; every query uses sub-leaf 0.
constexpr ULONG CpuidFeatureLeaf = 1;
constexpr ULONG CpuidHypervisorPresentBit = 0x80000000;  // leaf 1 ECX bit 31
constexpr ULONG HvCpuidVendorLeaf = 0x40000000;
constexpr ULONG HvCpuidInterfaceLeaf = 0x40000001;
constexpr ULONG HvCpuidFeaturesLeaf = 0x40000003;
constexpr ULONG HvCpuidRecommendationsLeaf = 0x40000004;

// The vendor signature "Microsoft Hv" in EBX, ECX, EDX of the vendor leaf,
// and the interface signature "Hv#1" in EAX of the interface leaf.
constexpr ULONG HvVendorSignatureEbx = 0x7263694D;  // "Micr"
constexpr ULONG HvVendorSignatureEcx = 0x666F736F;  // "osof"
constexpr ULONG HvVendorSignatureEdx = 0x76482074;  // "t Hv"
constexpr ULONG HvInterfaceSignature = 0x31237648;  // "Hv#1"
// A highest leaf from here on is not a hypervisor this driver knows.
constexpr LONG HvFirstRejectedHighestLeaf = 0x40000009;

// Partition privilege flags, EAX of the features leaf. Under the TLFS an
// MSR whose privilege is clear raises #GP, a bug check in this driver.
constexpr ULONG HvAccessIntrCtrlRegs = 0x10;             // VP assist page MSR
constexpr ULONG HvAccessHypercallMsrs = 0x20;            // guest identity, hypercall MSRs
constexpr ULONG HvAccessPartitionReferenceTsc = 0x200;  // reference TSC MSR
constexpr ULONG HvAccessFrequencyRegs = 0x800;           // TSC and APIC frequency MSRs
// Feature flags, EDX of the features leaf: the frequency MSRs exist.
constexpr ULONG HvFrequencyMsrsAvailable = 0x100;

// Synthetic MSRs.
constexpr ULONG HvMsrGuestOsId = 0x40000000;
constexpr ULONG HvMsrHypercall = 0x40000001;
constexpr ULONG HvMsrReferenceTsc = 0x40000021;
constexpr ULONG HvMsrTscFrequency = 0x40000022;
constexpr ULONG HvMsrVpAssistPage = 0x40000073;

struct HypervisorStateRecord {
    ULONG Features;         // features leaf EAX at capture
    ULONG Recommendations;  // recommendations leaf EAX at capture; kept, never read
    // The registers as the guest had programmed them; 0 means nothing to
    // write back.
    ULONG64 GuestOsId;
    ULONG64 Hypercall;
    // Bit 0 enables the page; the value less its low 12 bits is the page's
    // guest physical address.
    ULONG64 ReferenceTsc;
    // Active processors in all groups at capture.
    ULONG ProcessorCount;
    // Slot i: processor i's VP assist page register. ProcessorCount slots
    // are used, one more is allocated.
    ULONG64 VpAssistPage[1];
};
static_assert(offsetof(HypervisorStateRecord, GuestOsId) == 8, "hypervisor record layout");
static_assert(offsetof(HypervisorStateRecord, ReferenceTsc) == 24, "hypervisor record layout");
static_assert(offsetof(HypervisorStateRecord, ProcessorCount) == 32, "hypervisor record layout");
static_assert(offsetof(HypervisorStateRecord, VpAssistPage) == 40, "hypervisor record layout");

// Bytes of a record with room for SlotCount VP assist page slots.
constexpr SIZE_T HypervisorStateSize(ULONG SlotCount)
{
    return offsetof(HypervisorStateRecord, VpAssistPage) + SIZE_T{SlotCount} * sizeof(ULONG64);
}

// True when the guest runs on a hypervisor with the Hyper-V compatible
// interface (vendor "Microsoft Hv", interface "Hv#1").
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN DetectHypervisor();

// Records the enlightenment registers of every processor; null without a
// compatible hypervisor or when pool or the broadcast fails, which is no
// error: the driver then runs without restoration.
_IRQL_requires_(PASSIVE_LEVEL)
HypervisorStateRecord* CaptureHypervisorState();

// Accepts null.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FreeHypervisorState(HypervisorStateRecord* State);

// Broadcast routine of the capture: stores this processor's VP assist page
// register into slot ProcessorIndex of the record (Context).
_IRQL_requires_(DISPATCH_LEVEL)
VOID CaptureVpAssistPage(ULONG ProcessorIndex, PVOID Context);
