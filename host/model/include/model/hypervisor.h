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
constexpr ULONG HvMsrReferenceTsc = 0x40000021;
constexpr ULONG HvMsrVpAssistPage = 0x40000073;

// What changed across a sleep, as the resume finds the machine.
struct ResumeChanges {
    // Every synthetic MSR reads 0 again, as after a reset (hibernation on
    // some hypervisors); which MSRs are offered does not change.
    bool ResetMsrs = false;
    std::optional<bool> HypervisorPresent;
    std::optional<ULONG> Features;
    std::optional<unsigned> Processors;  // at most MaxProcessors
    std::optional<std::string> ProcessorBrand;
    // MSRs as the resume finds them (after any reset): offered or not, and
    // their values; processor i's VP assist page from slot i.
    std::optional<SyntheticMsr> GuestOsId, Hypercall, ReferenceTsc;
    std::optional<bool> VpAssistPageOffered;
    std::optional<std::vector<uint64_t>> VpAssistPage;
};

// The machine leaves the working state: every registration on
// "\Callback\PowerState" hears PO_CB_SYSTEM_STATE_LOCK with Argument2 0.
void EnterSleep();
// The machine comes back: the changes apply, then every registration hears
// PO_CB_SYSTEM_STATE_LOCK with Argument2 1, then queued work items run.
void Resume(const ResumeChanges& changes);
// Any notification on "\Callback\PowerState", at PASSIVE_LEVEL on
// processor 0; then the work items it queued run.
void NotifyPowerState(uint64_t argument1, uint64_t argument2);
// Runs every queued work item, oldest first, at PASSIVE_LEVEL on a system
// worker (processor 0); items queued meanwhile run too.
void RunQueuedWorkItems();

unsigned ActiveProcessors();
// A synthetic MSR as processor `processor` reads it now; nullopt when the
// hypervisor does not offer it.
std::optional<uint64_t> SyntheticMsrValue(ULONG msr, unsigned processor);
// Reads a reference TSC page the way a guest does under the TLFS: the time
// in 100 ns units for a TSC value, or nullopt when the page is invalid
// (sequence 0) or no RAM is behind it.
std::optional<uint64_t> ReferenceTimeFromPage(uint64_t physical, uint64_t tsc);
// Registrations on "\Callback\PowerState" and work items allocated now.
size_t PowerStateRegistrations();
size_t LiveWorkItems();

}  // namespace model
