// Hypervisors by name: what a guest sees of the Hyper-V compatible
// interface under the configurations users run, leaf by leaf, as each
// hypervisor's public sources give it. A scenario names one inside its
// hypervisor object ("preset") and may override any field beside it.
#include "model/hypervisor.h"

namespace model {

namespace {

// EBX, ECX, EDX of 0x40000000.
constexpr const char* MicrosoftVendor = "Microsoft Hv";
// KVM's own vendor, which QEMU's hv-passthrough copies from the host
// (KVM_GET_SUPPORTED_HV_CPUID, Linux arch/x86/kvm/hyperv.c).
constexpr const char* KvmVendor = "Linux KVM Hv";

// Highest hypervisor leaves (EAX of 0x40000000).
constexpr ULONG ImplementationLimitsLeaf = 0x40000005;  // QEMU: HV_CPUID_IMPLEMENT_LIMITS
constexpr ULONG HardwareFeaturesLeaf = 0x40000006;      // Xen: "Maximum leaf"
constexpr ULONG NestedFeaturesLeaf = 0x4000000A;        // QEMU with hv-evmcs
// Hyper-V itself: what a current host answers (a WSL2 guest's CPUID dump
// reads 4000000B-7263694D-666F736F-76482074, "Microsoft Hv").
constexpr ULONG HyperVHighestLeaf = 0x4000000B;

// Partition privileges (EAX of 0x40000003), TLFS bit positions.
constexpr ULONG AccessVpRunTimeReg = 1u << 0;
constexpr ULONG AccessSynicRegs = 1u << 2;
constexpr ULONG AccessSyntheticTimerRegs = 1u << 3;
constexpr ULONG AccessResetReg = 1u << 7;
constexpr ULONG AccessReenlightenmentControls = 1u << 13;

// Implementation recommendations (EAX of 0x40000004).
constexpr ULONG ApicAccessRecommended = 1u << 3;     // hv-vapic
constexpr ULONG RelaxedTimingRecommended = 1u << 5;  // hv-relaxed; Xen's CPUID4A_RELAX_TIMER_INT
constexpr ULONG EnlightenedVmcsRecommended = 1u << 14;  // hv-evmcs
// Feature flags (EDX of 0x40000003): Xen's CPUID3D_CRASH_MSRS.
constexpr ULONG CrashMsrsAvailable = 1u << 10;

// QEMU (target/i386/kvm/kvm.c, hyperv_fill_cpuids; docs/hyperv.rst): the
// hypercall MSRs with any enlightenment; hv-vapic the APIC access MSRs
// (VP assist page); hv-time the reference counter and reference TSC.
constexpr ULONG QemuHvTime = HvAccessHypercallMsrs | HvAccessIntrCtrlRegs |
                             HvAccessPartitionReferenceCounter | HvAccessPartitionReferenceTsc;
static_assert(QemuHvTime == 0x232, "hv-relaxed,hv-vapic,hv-time");
// hv-frequencies: the frequency MSRs, and EDX bit 8 that says they exist;
// hv-reenlightenment: the reenlightenment controls.
constexpr ULONG QemuHvFrequencies = QemuHvTime | HvAccessFrequencyRegs | AccessReenlightenmentControls;
static_assert(QemuHvFrequencies == 0x2A32, "with hv-frequencies,hv-reenlightenment");
// hv-passthrough: everything the host's KVM offers.
constexpr ULONG KvmAll = QemuHvFrequencies | AccessVpRunTimeReg | AccessSynicRegs |
                         AccessSyntheticTimerRegs | HvAccessVpIndex | AccessResetReg;

// Xen (xen/arch/x86/hvm/viridian/viridian.c, cpuid_viridian_leaves): the
// APIC, hypercall and VP index MSRs always; the frequency MSRs unless
// "no_freq", the reference counter with "time_ref_count" and the
// reference TSC with "reference_tsc". viridian=1 is base, freq,
// time_ref_count, apic_assist and crash_ctl (xl.cfg). Xen never sets EDX
// bit 8, although its frequency MSRs answer.
constexpr ULONG XenViridian = HvAccessIntrCtrlRegs | HvAccessHypercallMsrs | HvAccessVpIndex |
                              HvAccessFrequencyRegs | HvAccessPartitionReferenceCounter;
static_assert(XenViridian == 0x872, "viridian=1");

HypervisorConfig Preset(const char* vendor, ULONG highestLeaf, ULONG features,
                        ULONG featureFlags, ULONG recommendations)
{
    HypervisorConfig hv;
    hv.Present = true;
    hv.Vendor = vendor;
    hv.HighestLeaf = highestLeaf;
    hv.Features = features;
    hv.FeatureFlags = featureFlags;
    hv.Recommendations = recommendations;
    return hv;
}

// Xen's frequency MSRs answer without the feature flag that says they exist.
HypervisorConfig Xen(HypervisorConfig hv)
{
    hv.FrequencyMsrsNeedFlag = false;
    return hv;
}

}  // namespace

const std::vector<HypervisorPreset>& HypervisorPresets()
{
    constexpr ULONG qemuHints = RelaxedTimingRecommended | ApicAccessRecommended;
    static const std::vector<HypervisorPreset> presets = {
        {"qemu-kvm-hv-time", "QEMU/KVM, `hv-relaxed,hv-vapic,hv-time`",
         Preset(MicrosoftVendor, ImplementationLimitsLeaf, QemuHvTime, 0, qemuHints)},
        {"qemu-kvm-hv-frequencies", "the same with `hv-frequencies,hv-reenlightenment`",
         Preset(MicrosoftVendor, ImplementationLimitsLeaf, QemuHvFrequencies,
                HvFrequencyMsrsAvailable, qemuHints)},
        {"qemu-kvm-hv-evmcs", "`qemu-kvm-hv-time` with `hv-evmcs`",
         Preset(MicrosoftVendor, NestedFeaturesLeaf, QemuHvTime, 0,
                qemuHints | EnlightenedVmcsRecommended)},
        {"qemu-kvm-hv-passthrough", "QEMU/KVM, `hv-passthrough`",
         Preset(KvmVendor, NestedFeaturesLeaf, KvmAll, HvFrequencyMsrsAvailable, qemuHints)},
        {"xen-viridian", "Xen, `viridian=1`",
         Xen(Preset(MicrosoftVendor, HardwareFeaturesLeaf, XenViridian, CrashMsrsAvailable,
                    RelaxedTimingRecommended))},
        {"xen-viridian-reference-tsc", "Xen, `viridian_enlightenments` with `reference_tsc`",
         Xen(Preset(MicrosoftVendor, HardwareFeaturesLeaf,
                    XenViridian | HvAccessPartitionReferenceTsc, CrashMsrsAvailable,
                    RelaxedTimingRecommended))},
        // Hyper-V's privileges as the model's default machine has them.
        {"hyper-v", "Hyper-V",
         Preset(MicrosoftVendor, HyperVHighestLeaf, HypervisorConfig{}.Features,
                HvFrequencyMsrsAvailable, HypervisorConfig{}.Recommendations)},
    };
    return presets;
}

const HypervisorPreset* FindHypervisorPreset(const std::string& name)
{
    for (const HypervisorPreset& preset : HypervisorPresets()) {
        if (name == preset.Name) {
            return &preset;
        }
    }
    return nullptr;
}

}  // namespace model
