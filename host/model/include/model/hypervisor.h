// The hypervisor the machine runs on, and the sleeps and resumes that
// reset what it keeps: driven by scenarios and tests, read back by them.
#pragma once

#include "model/machine_config.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace model {

// ---------------------------------------------------------------------------
// Hypervisor, sleep and power notifications (hypervisor.cpp, power.cpp)
// ---------------------------------------------------------------------------
// The synthetic MSR numbers and CPUID leaves of the TLFS the model answers.
constexpr ULONG HvCpuidVendorLeaf = 0x40000000;
constexpr ULONG HvMsrGuestOsId = 0x40000000;
constexpr ULONG HvMsrHypercall = 0x40000001;
constexpr ULONG HvMsrVpIndex = 0x40000002;
constexpr ULONG HvMsrTimeRefCount = 0x40000020;
constexpr ULONG HvMsrReferenceTsc = 0x40000021;
constexpr ULONG HvMsrTscFrequency = 0x40000022;
constexpr ULONG HvMsrApicFrequency = 0x40000023;
constexpr ULONG HvMsrVpAssistPage = 0x40000073;

// Partition privileges (EAX of CPUID 0x40000003) that grant the MSRs the
// model offers; an MSR whose privilege is clear raises #GP.
constexpr ULONG HvAccessPartitionReferenceCounter = 1u << 1;  // TIME_REF_COUNT
constexpr ULONG HvAccessIntrCtrlRegs = 1u << 4;               // VP assist page
constexpr ULONG HvAccessHypercallMsrs = 1u << 5;              // GUEST_OS_ID, HYPERCALL
constexpr ULONG HvAccessVpIndex = 1u << 6;                    // VP_INDEX
constexpr ULONG HvAccessPartitionReferenceTsc = 1u << 9;      // REFERENCE_TSC
constexpr ULONG HvAccessFrequencyRegs = 1u << 11;             // TSC/APIC_FREQUENCY
// Feature flags (EDX of CPUID 0x40000003): the frequency MSRs exist.
constexpr ULONG HvFrequencyMsrsAvailable = 1u << 8;
// The privilege an MSR needs, 0 for one the model does not know.
ULONG HvMsrPrivilege(ULONG msr);

// A hypervisor by the name users know it by (presets.cpp): what a guest
// sees of it, each leaf as its public sources give it.
struct HypervisorPreset {
    const char* Name;         // the scenario's "preset"
    const char* Description;  // the configuration as users write it, options in `code`
    HypervisorConfig Config;  // present, MSRs all 0
};
const std::vector<HypervisorPreset>& HypervisorPresets();
// Null for a name no preset has.
const HypervisorPreset* FindHypervisorPreset(const std::string& name);

// What changed across a sleep, as the resume finds the machine.
struct ResumeChanges {
    // Every synthetic MSR reads 0 again, as after a reset (hibernation on
    // some hypervisors); which MSRs are offered does not change.
    bool ResetMsrs = false;
    std::optional<bool> HypervisorPresent;
    std::optional<ULONG> Features, FeatureFlags, HighestLeaf, Interface;
    std::optional<std::string> Vendor;
    std::optional<uint64_t> TscFrequency;
    std::optional<unsigned> Processors;  // at most MaxProcessors
    // The groups the active processors come back in (as
    // MachineConfig::Groups); none: Windows' own layout when the count
    // changes, else as before.
    std::optional<std::vector<unsigned>> Groups;
    // Where the callbacks of the resume run (default processor 0), and at
    // which IRQL (any up to DISPATCH_LEVEL: "Using a System-Defined Callback
    // Object" promises no more).
    unsigned CallbackProcessor = 0;
    KIRQL CallbackIrql = PASSIVE_LEVEL;
    std::optional<std::string> ProcessorBrand;
    // MSRs as the resume finds them (after any reset): offered or not, and
    // their values; processor i's VP assist page from slot i.
    std::optional<SyntheticMsr> GuestOsId, Hypercall, ReferenceTsc;
    std::optional<bool> VpAssistPageOffered;
    std::optional<std::vector<uint64_t>> VpAssistPage;
};

// The hypervisor's description as a resume with CHANGES leaves it (what it
// offers and the MSRs' values as the resume finds them).
HypervisorConfig HypervisorAfterResume(HypervisorConfig hypervisor, const ResumeChanges& changes);

// The machine leaves the working state: every registration on
// "\Callback\PowerState" hears PO_CB_SYSTEM_STATE_LOCK with Argument2 0.
void EnterSleep(unsigned processor = 0, KIRQL irql = PASSIVE_LEVEL);
// The machine comes back: the changes apply, then every registration hears
// PO_CB_SYSTEM_STATE_LOCK with Argument2 1, then queued work items run.
void Resume(const ResumeChanges& changes);
// Any notification on "\Callback\PowerState", on `processor` (an active
// one) at `irql` (PASSIVE_LEVEL to DISPATCH_LEVEL); then the work items it
// queued run.
void NotifyPowerState(uint64_t argument1, uint64_t argument2, unsigned processor = 0,
                      KIRQL irql = PASSIVE_LEVEL);
// Runs every queued work item, oldest first, at PASSIVE_LEVEL on a system
// worker (processor 0); items queued meanwhile run too.
void RunQueuedWorkItems();

unsigned ActiveProcessors();
// The group of the processor with system-wide index `index`, and its
// number in that group.
PROCESSOR_NUMBER ProcessorNumberOf(unsigned index);
// A synthetic MSR as processor `processor` reads it now; nullopt when the
// hypervisor does not offer it.
std::optional<uint64_t> SyntheticMsrValue(ULONG msr, unsigned processor);
// Reads a reference TSC page the way a guest does under the TLFS: the time
// in 100 ns units for a TSC value, or nullopt when the page is invalid
// (sequence 0) or no RAM is behind it.
std::optional<uint64_t> ReferenceTimeFromPage(uint64_t physical, uint64_t tsc);
// The guest physical address of the reference TSC page the hypervisor last
// filled (the register enabled it), or nullopt when it never did.
std::optional<uint64_t> ReferenceTscPageAddress();
// The page's fields as they stand; nullopt without RAM behind it.
struct ReferenceTscPageFields {
    ULONG Sequence = 0;
    uint64_t Scale = 0;
    int64_t Offset = 0;
};
std::optional<ReferenceTscPageFields> ReadReferenceTscPage(uint64_t physical);
// Registrations on "\Callback\PowerState" and work items allocated now.
size_t PowerStateRegistrations();
size_t LiveWorkItems();

}  // namespace model
