// The hypervisor model as a guest meets it under the published Hyper-V
// TLFS: CPUID leaves, synthetic MSRs with their
// gating, reserved bits and per-processor values, the reference TSC page
// the hypervisor fills in, and what a resume changes.
#include "fake_driver.h"

#include <cstring>

namespace vektest {
namespace {

using HypervisorTest = ModelFixture;

constexpr uint64_t TscPage = 0x7F000000;
constexpr uint64_t GuestId = 0x8100000000000000ull;

struct Cpuid {
    ULONG Eax, Ebx, Ecx, Edx;
};
Cpuid Query(ULONG leaf)
{
    ULONG r[4];
    ModelCpuid(leaf, 0, r);
    return {r[0], r[1], r[2], r[3]};
}

model::MachineConfig HyperV(unsigned processors = 2)
{
    model::MachineConfig config;
    config.Processors = processors;
    config.Hypervisor.Present = true;
    return config;
}

TEST_F(HypervisorTest, CpuidLeavesFollowTheMachine)
{
    Cpuid none = Query(1);
    EXPECT_EQ(none.Ecx & 0x80000000u, 0u);
    EXPECT_EQ(Query(0x40000000).Ebx, 0u);

    model::MachineConfig config = HyperV();
    config.Hypervisor.Features = 0x230;
    config.Hypervisor.Recommendations = 0x24;
    config.ProcessorBrand = "AMD EPYC 7763 64-Core Processor";
    StartMachine(config);
    EXPECT_NE(Query(1).Ecx & 0x80000000u, 0u);
    Cpuid vendor = Query(0x40000000);
    EXPECT_EQ(vendor.Eax, 0x40000006u);
    EXPECT_EQ(vendor.Ebx, 0x7263694Du);  // "Micr"
    EXPECT_EQ(vendor.Ecx, 0x666F736Fu);  // "osof"
    EXPECT_EQ(vendor.Edx, 0x76482074u);  // "t Hv"
    EXPECT_EQ(Query(0x40000001).Eax, 0x31237648u);
    EXPECT_EQ(Query(0x40000003).Eax, 0x230u);
    EXPECT_EQ(Query(0x40000004).Eax, 0x24u);
    EXPECT_EQ(Query(0x40000007).Eax, 0u);  // above the highest leaf
    char brand[49] = {};
    for (ULONG leaf = 0; leaf < 3; ++leaf) {
        ULONG r[4];
        ModelCpuid(0x80000002 + leaf, 0, r);
        std::memcpy(brand + leaf * 16, r, 16);
    }
    EXPECT_STREQ(brand, "AMD EPYC 7763 64-Core Processor");
}

// Each row: an MSR access and what the processor does with it.
TEST_F(HypervisorTest, SyntheticMsrsOfferedGatedAndReservedBitsKept)
{
    struct Row {
        const char* What;
        bool Present;
        bool HypercallOffered;
        ULONG Msr;
        uint64_t Write;
        bool Accepted;  // by WRMSR
        bool Readable;
        uint64_t ReadBack;
    };
    // Hypercall and reference TSC start with reserved bits 0x5A0 set.
    const Row rows[] = {
        {"no hypervisor: #GP", false, true, model::HvMsrGuestOsId, 1, false, false, 0},
        {"guest identity", true, true, model::HvMsrGuestOsId, GuestId, true, true, GuestId},
        {"not offered: #GP", true, false, model::HvMsrHypercall, 0x1001, false, false, 0},
        {"VP index is read-only", true, true, model::HvMsrVpIndex, 0, false, true, 0},
        {"unknown synthetic MSR", true, true, 0x40000099, 0, false, false, 0},
        {"reference TSC keeps bits 11:1", true, true, model::HvMsrReferenceTsc,
         TscPage | 0xFFF, true, true, TscPage | 0x5A1},
        {"VP assist page keeps bits 11:1", true, true, model::HvMsrVpAssistPage, 0x9000 | 1,
         true, true, 0x9000 | 0x5A1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.What);
        model::MachineConfig config = HyperV();
        config.Hypervisor.Present = row.Present;
        config.Hypervisor.Hypercall.Offered = row.HypercallOffered;
        config.Hypervisor.ReferenceTsc.Value = 0x5A0;
        config.Hypervisor.VpAssistPage = {0x5A0, 0x5A0};
        StartMachine(config);
        EXPECT_EQ(ModelWriteMsr(row.Msr, row.Write), row.Accepted ? TRUE : FALSE);
        ULONG64 value = 0;
        EXPECT_EQ(ModelReadMsr(row.Msr, &value), row.Readable ? TRUE : FALSE);
        EXPECT_EQ(value, row.ReadBack);
    }
}

// TLFS: each MSR exists for the guest only with its partition privilege
// (CPUID 0x40000003 EAX); without it RDMSR and WRMSR raise #GP.
TEST_F(HypervisorTest, EverySyntheticMsrNeedsItsPrivilege)
{
    constexpr ULONG AllFeatures = 0x2E7F;
    struct Row {
        ULONG Msr;
        ULONG Privilege;
    };
    const Row rows[] = {
        {model::HvMsrGuestOsId, 0x20},       {model::HvMsrHypercall, 0x20},
        {model::HvMsrVpIndex, 0x40},         {model::HvMsrTimeRefCount, 0x2},
        {model::HvMsrReferenceTsc, 0x200},   {model::HvMsrTscFrequency, 0x800},
        {model::HvMsrApicFrequency, 0x800},  {model::HvMsrVpAssistPage, 0x10},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Msr);
        model::MachineConfig config = HyperV();
        config.Hypervisor.Features = AllFeatures;
        StartMachine(config);
        EXPECT_TRUE(model::SyntheticMsrValue(row.Msr, 0).has_value());
        config.Hypervisor.Features = AllFeatures & ~row.Privilege;
        StartMachine(config);
        EXPECT_EQ(model::SyntheticMsrValue(row.Msr, 0), std::nullopt);
        EXPECT_FALSE(ModelWriteMsr(row.Msr, 0));
    }
    // The frequency MSRs exist only where the feature flags (EDX) say so.
    model::MachineConfig config = HyperV();
    config.Hypervisor.FeatureFlags = 0;
    StartMachine(config);
    EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrTscFrequency, 0), std::nullopt);
    // Xen's answer with the privilege alone, its flag clear.
    config.Hypervisor = model::FindHypervisorPreset("xen-viridian")->Config;
    StartMachine(config);
    EXPECT_EQ(Query(0x40000003).Edx & 0x100, 0u);
    EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrTscFrequency, 0), config.Hypervisor.TscFrequency);
}

// The registers a guest with the privileges reads: the reference counter
// in 100 ns units since power-on by the machine's clock, the TSC frequency
// the machine was given, Hyper-V's 200 MHz APIC timer.
TEST_F(HypervisorTest, AdvertisedRegistersAnswer)
{
    model::MachineConfig config = HyperV();
    config.SystemTime = 130000000000000000;
    config.Hypervisor.TscFrequency = 2593906000;
    StartMachine(config);
    EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrTimeRefCount, 0), 0u);
    model::SetSystemTime(config.SystemTime + 50000000);  // 5 s later
    EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrTimeRefCount, 1), 50000000u);
    EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrTscFrequency, 0), 2593906000u);
    EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrApicFrequency, 0), 200000000u);
    EXPECT_EQ(Query(0x40000003).Edx, 0x100u);
}

// The TLFS gives no hypervisor leaf a sub-leaf; a query that leaves ECX
// holding anything else is the driver's fault.
TEST_F(HypervisorTest, HypervisorLeafQueriedWithASubleafIsAViolation)
{
    StartMachine(HyperV());
    ULONG r[4];
    ModelCpuid(0x40000003, 0, r);
    ModelCpuid(7, 1, r);  // a processor leaf that takes one
    EXPECT_TRUE(TakeViolations().empty());
    ModelCpuid(0x40000003, 0x40000000, r);
    EXPECT_EQ(r[0], 0x2E7Fu);
    EXPECT_EQ(TakeViolations().size(), 1u);
}

TEST_F(HypervisorTest, HypercallPageStaysDisabledUntilTheGuestIdentifiesItself)
{
    StartMachine(HyperV());
    ULONG64 value = 0;
    EXPECT_TRUE(ModelWriteMsr(model::HvMsrHypercall, 0x5000 | 1));
    ModelReadMsr(model::HvMsrHypercall, &value);
    EXPECT_EQ(value, 0x5000u);  // enable bit refused
    EXPECT_TRUE(ModelWriteMsr(model::HvMsrGuestOsId, GuestId));
    EXPECT_TRUE(ModelWriteMsr(model::HvMsrHypercall, 0x5000 | 1));
    ModelReadMsr(model::HvMsrHypercall, &value);
    EXPECT_EQ(value, 0x5001u);
    // Clearing the identity disables the page again.
    EXPECT_TRUE(ModelWriteMsr(model::HvMsrGuestOsId, 0));
    ModelReadMsr(model::HvMsrHypercall, &value);
    EXPECT_EQ(value, 0x5000u);
    // A locked page is immutable until reset.
    ModelWriteMsr(model::HvMsrGuestOsId, GuestId);
    ModelWriteMsr(model::HvMsrHypercall, 0x5000 | 3);
    EXPECT_TRUE(ModelWriteMsr(model::HvMsrHypercall, 0x6001));
    ModelReadMsr(model::HvMsrHypercall, &value);
    EXPECT_EQ(value, 0x5003u);
}

// The order of register writes is what a restore is judged by: every
// RDMSR and WRMSR is logged with its value and processor, #GP included.
TEST_F(HypervisorTest, MsrAccessesAreLoggedInOrderWithTheirProcessor)
{
    model::MachineConfig config = HyperV();
    config.Hypervisor.ReferenceTsc.Offered = false;
    StartMachine(config);
    ModelWriteMsr(model::HvMsrGuestOsId, GuestId);
    ModelWriteMsr(model::HvMsrReferenceTsc, 1);
    ULONG64 value;
    ModelReadMsr(model::HvMsrVpIndex, &value);
    std::vector<std::string> log;
    for (const model::KernelCall& call : model::CallsTo({"wrmsr", "wrmsr #GP", "rdmsr"})) {
        log.push_back(call.Routine + " " + call.Detail);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"wrmsr 0x40000000=0x8100000000000000 cpu=0",
                                             "wrmsr #GP 0x40000021=0x1 cpu=0",
                                             "rdmsr 0x40000002=0x0 cpu=0"}));
}

// The host build's seam turns a refused RDMSR into the same bug check the
// emulated processor raises.
TEST_F(HypervisorTest, RefusedMsrInDriverCodeBugChecksAndEndsTheCall)
{
    StartMachine(HyperV());
    fake_.Entry = [](PDRIVER_OBJECT) -> NTSTATUS {
        ULONG64 value = 0;
        if (!ModelReadMsr(0x40000099, &value)) {
            ModelRefusedInstruction();
        }
        ADD_FAILURE() << "the call went on past the refused instruction";
        return STATUS_SUCCESS;
    };
    EXPECT_NE(model::LoadDriver(fake_), STATUS_SUCCESS);
    EXPECT_TRUE(model::Stopped());
    EXPECT_EQ(KiBugCheckData[0], 0x7Eu);  // in the entry routine's system thread
    EXPECT_EQ(KiBugCheckData[1], 0xC0000096u);
    EXPECT_NE(TakenText().find("executed an instruction the processor refused"), std::string::npos);
}

TEST_F(HypervisorTest, VpIndexAndVpAssistPageArePerProcessor)
{
    model::MachineConfig config = HyperV(3);
    config.Hypervisor.VpAssistPage = {0x1001, 0x2001};
    StartMachine(config);
    for (unsigned p = 0; p < 3; ++p) {
        EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrVpIndex, p), p);
    }
    EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrVpAssistPage, 1), 0x2001u);
    EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrVpAssistPage, 2), 0u);
    config.Hypervisor.VpAssistPageOffered = false;
    StartMachine(config);
    EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrVpAssistPage, 0), std::nullopt);
}

// The guest's reading of the page: ((TSC * scale) >> 64) + offset, in
// 100 ns units, for TSC frequencies Intel and AMD guests meet.
TEST_F(HypervisorTest, ReferenceTscPageGivesReferenceTimeForTheTscFrequency)
{
    for (uint64_t frequency : {2500000000ull, 3400000000ull, 1875000000ull, 2994372000ull}) {
        SCOPED_TRACE(frequency);
        model::MachineConfig config = HyperV();
        config.Hypervisor.TscFrequency = frequency;
        StartMachine(config);
        EXPECT_EQ(model::ReferenceTimeFromPage(TscPage, 1), std::nullopt);  // no RAM yet
        ASSERT_TRUE(ModelWriteMsr(model::HvMsrReferenceTsc, TscPage | 1));
        for (uint64_t seconds : {1ull, 3600ull, 86400ull * 365}) {
            std::optional<uint64_t> time = model::ReferenceTimeFromPage(TscPage, frequency * seconds);
            ASSERT_TRUE(time);
            EXPECT_LE(seconds * 10000000 - *time, 1u);
        }
        // The driver sees the same page through a RAM mapping.
        PHYSICAL_ADDRESS physical;
        physical.QuadPart = TscPage;
        auto* page = static_cast<ULONG*>(MmMapIoSpace(physical, 4096, MmCached));
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(page[0], 1u);  // first sequence
        MmUnmapIoSpace(page, 4096);
        // Migrated to a host whose TSC runs at another rate: the hypervisor
        // writes the enabled page again with the new scale.
        model::ResumeChanges migrated;
        migrated.TscFrequency = frequency / 2;
        model::Resume(migrated);
        EXPECT_EQ(model::ReferenceTimeFromPage(TscPage, frequency), 20000000u - 1);
    }
}

// 2.5 GHz: the exact scale 10^7 * 2^64 / f.
TEST_F(HypervisorTest, ScaleIsExactForTwoAndAHalfGigahertz)
{
    model::MachineConfig config = HyperV();
    config.Hypervisor.ReferenceTsc.Value = TscPage | 1;  // enabled at power-on
    StartMachine(config);
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = TscPage;
    auto* page = static_cast<ULONG64*>(MmMapIoSpace(physical, 4096, MmCached));
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page[1], 0x010624DD2F1A9FBEull);
    EXPECT_EQ(page[2], 0u);
    // Sequence 0xFFFFFFFE becomes 1 on the next enable: never 0xFFFFFFFF.
    reinterpret_cast<ULONG*>(page)[0] = 0xFFFFFFFE;
    ModelWriteMsr(model::HvMsrReferenceTsc, TscPage | 1);
    EXPECT_EQ(reinterpret_cast<ULONG*>(page)[0], 1u);
    MmUnmapIoSpace(page, 4096);
}

TEST_F(HypervisorTest, ResumeAppliesWhatChangedAcrossTheSleep)
{
    model::MachineConfig config = HyperV(2);
    config.MaxProcessors = 4;
    config.Hypervisor.GuestOsId.Value = GuestId;
    config.Hypervisor.VpAssistPage = {0x1001, 0x2001};
    StartMachine(config);
    EXPECT_EQ(KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS), 2u);
    PROCESSOR_NUMBER number;
    EXPECT_EQ(KeGetProcessorNumberFromIndex(2, &number), STATUS_INVALID_PARAMETER);

    model::ResumeChanges changes;
    changes.ResetMsrs = true;
    changes.Processors = 3;
    changes.Features = 0x20;
    changes.ProcessorBrand = "Changed @ 3.00GHz";
    changes.ReferenceTsc = model::SyntheticMsr{false, 0};
    model::Resume(changes);
    EXPECT_EQ(KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS), 3u);
    EXPECT_EQ(KeGetProcessorNumberFromIndex(2, &number), STATUS_SUCCESS);
    EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrGuestOsId, 0), 0u);
    // AccessIntrCtrlRegs went with the features: the VP assist page with it.
    EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrVpAssistPage, 1), std::nullopt);
    EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrReferenceTsc, 0), std::nullopt);
    EXPECT_EQ(Query(0x40000003).Eax, 0x20u);
    ULONG r[4];
    ModelCpuid(0x80000002, 0, r);
    EXPECT_EQ(std::memcmp(r, "Changed @ 3.00GH", 16), 0);

    // A migration, or an upgrade of the hypervisor, changes what it is.
    model::ResumeChanges migrated;
    migrated.Vendor = "Linux KVM Hv";
    migrated.HighestLeaf = 0x40000005;
    migrated.Interface = 0x31235356;
    migrated.Features = 0x800;
    migrated.FeatureFlags = 0x100;
    migrated.TscFrequency = 3000000000;
    model::Resume(migrated);
    Cpuid vendor = Query(0x40000000);
    EXPECT_EQ(vendor.Eax, 0x40000005u);
    EXPECT_EQ(vendor.Ebx, 0x756E694Cu);  // "Linu"
    EXPECT_EQ(Query(0x40000001).Eax, 0x31235356u);
    EXPECT_EQ(Query(0x40000003).Edx, 0x100u);
    EXPECT_EQ(model::SyntheticMsrValue(model::HvMsrTscFrequency, 0), 3000000000u);

    model::ResumeChanges tooMany;
    tooMany.Processors = 5;
    model::Resume(tooMany);
    EXPECT_EQ(TakeViolations().size(), 1u);
    EXPECT_EQ(model::ActiveProcessors(), 3u);
}

}  // namespace
}  // namespace vektest
