// A Hyper-V compatible hypervisor under the guest, as Microsoft's
// published Hyper-V TLFS (Top-Level Functional document) shows it: CPUID
// leaves 0x40000000 up, and the synthetic MSRs for the guest OS identity,
// the hypercall page, the VP index, the reference TSC page and the
// per-processor VP assist page. The machine's description decides which
// MSRs are offered, and the partition privileges (EAX of CPUID 0x40000003)
// which of them the guest may touch; any other, one whose privilege is
// clear, or any at all without a hypervisor, raises #GP as on real hardware
// (the caller turns false into the fault).
#include "core/machine_state.h"

#include <algorithm>
#include <cstring>

namespace model {

namespace {

constexpr ULONG LastHypervisorLeaf = 0x4FFFFFFF;
constexpr ULONG InterfaceLeaf = 0x40000001;
constexpr ULONG VersionLeaf = 0x40000002;
constexpr ULONG FeaturesLeaf = 0x40000003;
constexpr ULONG RecommendationsLeaf = 0x40000004;
constexpr ULONG LimitsLeaf = 0x40000005;
constexpr ULONG ReportedBuild = 19045;
constexpr ULONG ReportedVersion = 0x000A0000;  // 10.0
constexpr ULONG SpinlockRetriesNever = 0xFFFFFFFF;
constexpr ULONG MaxVirtualProcessors = 64;

// TLFS register layouts: bit 0 enables, bits 11:1 are reserved and keep
// what they held whatever a write says, bits 63:12 are a guest page number.
// The hypercall MSR's bit 1 locks it until the next reset.
constexpr uint64_t EnableBit = 0x1;
constexpr uint64_t HypercallLockedBit = 0x2;
constexpr uint64_t HypercallReserved = 0xFFC;
constexpr uint64_t PageMsrReserved = 0xFFE;
constexpr uint64_t PageNumberMask = ~uint64_t{0xFFF};
constexpr size_t TscPageSize = 4096;
// 100 ns units per second: the reference time's tick.
constexpr uint64_t ReferenceTicksPerSecond = 10000000;
// What Hyper-V reports in HV_X64_MSR_APIC_FREQUENCY: its virtual local
// APIC timer runs at 200 MHz.
constexpr uint64_t ApicTimerFrequency = 200000000;

// The reference TSC page as the TLFS lays it out.
struct ReferenceTscPage {
    ULONG TscSequence;
    ULONG Reserved1;
    ULONG64 TscScale;
    int64_t TscOffset;
};
static_assert(sizeof(ReferenceTscPage) == 24, "reference TSC page layout");

uint64_t KeepReserved(uint64_t written, uint64_t held, uint64_t reserved)
{
    return (written & ~reserved) | (held & reserved);
}

// The page lies in guest RAM; a hypervisor overlays it wherever the guest
// asks, so the model adds the RAM when no range of the machine holds it.
ReferenceTscPage* TscPageAt(uint64_t physical)
{
    uint64_t page = physical & PageNumberMask;
    if (uint8_t* ram = RamBehind(page, TscPageSize)) {
        return reinterpret_cast<ReferenceTscPage*>(ram);
    }
    State().Config.Ram.push_back(PhysicalRam{page, TscPageSize});
    return reinterpret_cast<ReferenceTscPage*>(RamBehind(page, TscPageSize));
}

// What the hypervisor writes when the guest enables the page: the exact
// scale for the TSC frequency (10^7 * 2^64 / f), offset 0, and a new
// sequence, never 0 (invalid) nor 0xFFFFFFFF.
void FillReferenceTscPage(uint64_t msrValue)
{
    MachineState& s = State();
    s.TscPageDue = false;
    ReferenceTscPage* page = TscPageAt(msrValue);
    // The scale must fit in 64 bits: a frequency of 10 MHz or less (which
    // the scenario reader refuses) leaves the page invalid.
    if (page == nullptr || s.Config.Hypervisor.TscFrequency <= ReferenceTicksPerSecond) {
        if (page != nullptr) {
            page->TscSequence = 0;
        }
        return;
    }
    s.TscPageAddress = msrValue & PageNumberMask;
    unsigned __int128 scale = (static_cast<unsigned __int128>(ReferenceTicksPerSecond) << 64) /
                              s.Config.Hypervisor.TscFrequency;
    page->TscScale = static_cast<ULONG64>(scale);
    page->TscOffset = 0;
    ULONG sequence = page->TscSequence + 1;
    page->TscSequence = sequence == 0 || sequence == 0xFFFFFFFF ? 1 : sequence;
}

}  // namespace

void StartHypervisor(MachineState& s)
{
    const HypervisorConfig& hv = s.Config.Hypervisor;
    s.GuestOsId = hv.GuestOsId.Value;
    s.Hypercall = hv.Hypercall.Value;
    s.ReferenceTsc = hv.ReferenceTsc.Value;
    s.VpAssistPage.assign(s.Processors.size(), 0);
    for (size_t i = 0; i < hv.VpAssistPage.size() && i < s.VpAssistPage.size(); ++i) {
        s.VpAssistPage[i] = hv.VpAssistPage[i];
    }
    if (hv.Present && hv.ReferenceTsc.Offered && (s.ReferenceTsc & EnableBit) != 0) {
        // Enabled at power-on: the page is filled once memory is first made
        // for it, by then from the allocator the machine's processor reaches.
        uint64_t page = s.ReferenceTsc & PageNumberMask;
        bool held = std::any_of(s.Config.Ram.begin(), s.Config.Ram.end(), [&](const PhysicalRam& ram) {
            return page >= ram.Address && page - ram.Address <= ram.Size &&
                   TscPageSize <= ram.Size - (page - ram.Address);
        });
        if (!held) {
            s.Config.Ram.push_back(PhysicalRam{page, TscPageSize});
        }
        s.TscPageDue = true;
    }
}

void PhysicalRamMade()
{
    MachineState& s = State();
    if (s.TscPageDue) {
        s.TscPageDue = false;
        FillReferenceTscPage(s.ReferenceTsc);
    }
}

HypervisorConfig HypervisorAfterResume(HypervisorConfig hv, const ResumeChanges& changes)
{
    // A migration or an upgrade of the hypervisor may change what it is.
    hv.Present = changes.HypervisorPresent.value_or(hv.Present);
    hv.Vendor = changes.Vendor.value_or(hv.Vendor);
    hv.HighestLeaf = changes.HighestLeaf.value_or(hv.HighestLeaf);
    hv.Interface = changes.Interface.value_or(hv.Interface);
    hv.Features = changes.Features.value_or(hv.Features);
    hv.FeatureFlags = changes.FeatureFlags.value_or(hv.FeatureFlags);
    hv.TscFrequency = changes.TscFrequency.value_or(hv.TscFrequency);
    hv.GuestOsId = changes.GuestOsId.value_or(hv.GuestOsId);
    hv.Hypercall = changes.Hypercall.value_or(hv.Hypercall);
    hv.ReferenceTsc = changes.ReferenceTsc.value_or(hv.ReferenceTsc);
    hv.VpAssistPageOffered = changes.VpAssistPageOffered.value_or(hv.VpAssistPageOffered);
    hv.VpAssistPage = changes.VpAssistPage.value_or(hv.VpAssistPage);
    return hv;
}

void ApplyHypervisorChanges(const ResumeChanges& changes)
{
    MachineState& s = State();
    HypervisorConfig& hv = s.Config.Hypervisor;
    // The hypervisor wrote the page when the guest enabled it; the model
    // only puts it off until memory is made. A sleep that changes the
    // register must find the page as the running guest left it.
    if (s.TscPageDue) {
        FillReferenceTscPage(s.ReferenceTsc);
    }
    if (changes.ResetMsrs) {
        s.GuestOsId = 0;
        s.Hypercall = 0;
        s.ReferenceTsc = 0;
        std::fill(s.VpAssistPage.begin(), s.VpAssistPage.end(), 0);
    }
    hv = HypervisorAfterResume(hv, changes);
    // The registers' values as the resume finds them.
    auto apply = [](const std::optional<SyntheticMsr>& change, uint64_t* value) {
        if (change) {
            *value = change->Value;
        }
    };
    apply(changes.GuestOsId, &s.GuestOsId);
    apply(changes.Hypercall, &s.Hypercall);
    apply(changes.ReferenceTsc, &s.ReferenceTsc);
    if (changes.VpAssistPage) {
        for (size_t i = 0; i < s.VpAssistPage.size(); ++i) {
            s.VpAssistPage[i] = i < changes.VpAssistPage->size() ? (*changes.VpAssistPage)[i] : 0;
        }
    }
    // A page the register enables is the hypervisor's to keep right: a new
    // frequency (a migration) gets a new scale too.
    if ((changes.ReferenceTsc || changes.TscFrequency) && hv.Present && hv.ReferenceTsc.Offered &&
        (s.ReferenceTsc & EnableBit) != 0) {
        FillReferenceTscPage(s.ReferenceTsc);
    }
}

bool HypervisorCpuid(ULONG leaf, ULONG registers[4])
{
    if (leaf < HvCpuidVendorLeaf || leaf > LastHypervisorLeaf) {
        return false;
    }
    const HypervisorConfig& hv = State().Config.Hypervisor;
    if (!hv.Present || leaf > std::max(hv.HighestLeaf, HvCpuidVendorLeaf)) {
        return true;  // zeros
    }
    switch (leaf) {
    case HvCpuidVendorLeaf: {
        char vendor[12] = {};
        std::memcpy(vendor, hv.Vendor.data(), std::min(hv.Vendor.size(), sizeof(vendor)));
        registers[0] = hv.HighestLeaf;
        std::memcpy(&registers[1], vendor, 12);  // EBX, ECX, EDX in order
        break;
    }
    case InterfaceLeaf:
        registers[0] = hv.Interface;
        break;
    case VersionLeaf:
        registers[0] = ReportedBuild;
        registers[1] = ReportedVersion;
        break;
    case FeaturesLeaf:
        registers[0] = hv.Features;
        registers[3] = hv.FeatureFlags;
        break;
    case RecommendationsLeaf:
        registers[0] = hv.Recommendations;
        registers[1] = SpinlockRetriesNever;
        break;
    case LimitsLeaf:
        registers[0] = MaxVirtualProcessors;
        break;
    default:
        break;
    }
    return true;
}

ULONG HvMsrPrivilege(ULONG msr)
{
    switch (msr) {
    case HvMsrGuestOsId:
    case HvMsrHypercall:
        return HvAccessHypercallMsrs;
    case HvMsrVpIndex:
        return HvAccessVpIndex;
    case HvMsrTimeRefCount:
        return HvAccessPartitionReferenceCounter;
    case HvMsrReferenceTsc:
        return HvAccessPartitionReferenceTsc;
    case HvMsrTscFrequency:
    case HvMsrApicFrequency:
        return HvAccessFrequencyRegs;
    case HvMsrVpAssistPage:
        return HvAccessIntrCtrlRegs;
    default:
        return 0;
    }
}

namespace {

// TLFS: an MSR exists for the guest only with the privilege that grants it
// (and, for the frequency MSRs, the feature flag that says they exist), and
// only where the machine's description offers it.
bool Granted(ULONG msr)
{
    const HypervisorConfig& hv = State().Config.Hypervisor;
    ULONG privilege = HvMsrPrivilege(msr);
    if (!hv.Present || privilege == 0 || (hv.Features & privilege) == 0) {
        return false;
    }
    switch (msr) {
    case HvMsrGuestOsId:
        return hv.GuestOsId.Offered;
    case HvMsrHypercall:
        return hv.Hypercall.Offered;
    case HvMsrReferenceTsc:
        return hv.ReferenceTsc.Offered;
    case HvMsrVpAssistPage:
        return hv.VpAssistPageOffered;
    case HvMsrTscFrequency:
    case HvMsrApicFrequency:
        return !hv.FrequencyMsrsNeedFlag || (hv.FeatureFlags & HvFrequencyMsrsAvailable) != 0;
    default:
        return true;
    }
}

// The partition reference counter: 100 ns units since power-on, by the
// machine's clock (which only a scenario moves).
uint64_t ReferenceCount()
{
    MachineState& s = State();
    return s.SystemTime > s.Config.SystemTime
               ? static_cast<uint64_t>(s.SystemTime - s.Config.SystemTime)
               : 0;
}

}  // namespace

bool HypervisorReadMsr(ULONG msr, ULONG64* value)
{
    MachineState& s = State();
    if (!Granted(msr)) {
        return false;
    }
    unsigned processor = s.Current;
    switch (msr) {
    case HvMsrGuestOsId:
        *value = s.GuestOsId;
        break;
    case HvMsrHypercall:
        *value = s.Hypercall;
        break;
    case HvMsrVpIndex:
        *value = processor;
        break;
    case HvMsrTimeRefCount:
        *value = ReferenceCount();
        break;
    case HvMsrReferenceTsc:
        *value = s.ReferenceTsc;
        break;
    case HvMsrTscFrequency:
        *value = s.Config.Hypervisor.TscFrequency;
        break;
    case HvMsrApicFrequency:
        *value = ApicTimerFrequency;
        break;
    case HvMsrVpAssistPage:
        *value = processor < s.VpAssistPage.size() ? s.VpAssistPage[processor] : 0;
        break;
    default:
        return false;
    }
    return true;
}

bool HypervisorWriteMsr(ULONG msr, ULONG64 value)
{
    MachineState& s = State();
    // The VP index, the reference counter and the frequencies are
    // read-only: a write raises #GP like a missing MSR.
    if (!Granted(msr)) {
        return false;
    }
    switch (msr) {
    case HvMsrGuestOsId:
        s.GuestOsId = value;
        // TLFS: with no guest identity the hypercall page is disabled.
        if (value == 0) {
            s.Hypercall &= ~EnableBit;
        }
        return true;
    case HvMsrHypercall:
        if ((s.Hypercall & HypercallLockedBit) != 0) {
            return true;  // locked: immutable until reset
        }
        value = KeepReserved(value, s.Hypercall, HypercallReserved);
        // TLFS: the page cannot be enabled before the guest identifies itself.
        if (s.GuestOsId == 0) {
            value &= ~EnableBit;
        }
        s.Hypercall = value;
        return true;
    case HvMsrReferenceTsc:
        s.ReferenceTsc = KeepReserved(value, s.ReferenceTsc, PageMsrReserved);
        if ((s.ReferenceTsc & EnableBit) != 0) {
            FillReferenceTscPage(s.ReferenceTsc);
        }
        return true;
    case HvMsrVpAssistPage:
        if (s.Current >= s.VpAssistPage.size()) {
            return false;
        }
        s.VpAssistPage[s.Current] = KeepReserved(value, s.VpAssistPage[s.Current], PageMsrReserved);
        return true;
    default:
        return false;
    }
}

std::optional<uint64_t> SyntheticMsrValue(ULONG msr, unsigned processor)
{
    MachineState& s = State();
    unsigned saved = s.Current;
    s.Current = processor;
    ULONG64 value = 0;
    bool offered = HypervisorReadMsr(msr, &value);
    s.Current = saved;
    return offered ? std::optional<uint64_t>(value) : std::nullopt;
}

std::optional<ReferenceTscPageFields> ReadReferenceTscPage(uint64_t physical)
{
    const uint8_t* ram = RamBehind(physical & PageNumberMask, TscPageSize);
    if (ram == nullptr) {
        return std::nullopt;
    }
    ReferenceTscPage page;
    std::memcpy(&page, ram, sizeof(page));
    return ReferenceTscPageFields{page.TscSequence, page.TscScale, page.TscOffset};
}

std::optional<uint64_t> ReferenceTimeFromPage(uint64_t physical, uint64_t tsc)
{
    std::optional<ReferenceTscPageFields> page = ReadReferenceTscPage(physical);
    if (!page || page->Sequence == 0) {
        return std::nullopt;
    }
    auto product = static_cast<unsigned __int128>(tsc) * page->Scale;
    return static_cast<uint64_t>(product >> 64) + static_cast<uint64_t>(page->Offset);
}

std::optional<uint64_t> ReferenceTscPageAddress()
{
    return State().TscPageAddress;
}

}  // namespace model
