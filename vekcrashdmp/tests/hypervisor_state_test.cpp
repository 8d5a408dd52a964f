// Detection of the Hyper-V compatible interface, the capture of its
// registers, and the per-processor routines' bounds, called directly on a
// model machine.
#include "fake_driver.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "driver/pool_settings.h"
#include "hypervisor/broadcast.h"
#include "hypervisor/hypervisor_state.h"
#include "hypervisor/pool_tag.h"
#include "hypervisor/resume_restore.h"

namespace vektest {
namespace {

constexpr uint64_t GuestOsIdValue = 0x8100000000000000;
constexpr uint64_t HypercallValue = 0x7E000001;
constexpr uint64_t ReferenceTscValue = 0x7F000001;
constexpr uint64_t VpAssistBase = 0x7D000001;

// An MSR access as the model logs it.
std::string MsrAccess(ULONG msr, uint64_t value, unsigned cpu)
{
    char text[64];
    std::snprintf(text, sizeof(text), "0x%X=0x%llX cpu=%u", msr,
                  static_cast<unsigned long long>(value), cpu);
    return text;
}

model::MachineConfig Guest(unsigned processors, ULONG features = 0x2E7F)
{
    model::MachineConfig config;
    config.Processors = processors;
    config.Hypervisor.Present = true;
    config.Hypervisor.Features = features;
    config.Hypervisor.GuestOsId.Value = GuestOsIdValue;
    config.Hypervisor.Hypercall.Value = HypercallValue;
    config.Hypervisor.ReferenceTsc.Value = ReferenceTscValue;
    for (unsigned i = 0; i < processors + 1; ++i) {
        config.Hypervisor.VpAssistPage.push_back(VpAssistBase + 0x1000 * i);
    }
    return config;
}

class HypervisorStateTest : public ModelFixture {
protected:
    // Runs the work from the entry routine of a stand-in driver on a fresh
    // machine, as the load would: DPCs reach the other processors only
    // from driver code. The work must release what it allocates.
    void InDriver(const model::MachineConfig& config, const std::function<void()>& work,
                  const std::vector<model::Fault>& faults = {})
    {
        StartMachine(config);
        for (const model::Fault& fault : faults) {
            std::string error;
            EXPECT_TRUE(model::InjectFault(fault, &error)) << error;
        }
        FakeDriver fake;
        fake.Entry = [&](PDRIVER_OBJECT driver) {
            driver->DriverUnload = FakeUnloadRoutine;
            work();
            return STATUS_SUCCESS;
        };
        EXPECT_EQ(model::LoadDriver(fake), STATUS_SUCCESS);
        model::UnloadDriver();
    }
};

TEST_F(HypervisorStateTest, DetectsOnlyTheHyperVCompatibleInterface)
{
    struct Case {
        const char* Name;
        bool Present;
        const char* Vendor;
        ULONG HighestLeaf;
        ULONG Interface;
        bool Expected;
    };
    const Case cases[] = {
        {"HyperV", true, "Microsoft Hv", 0x40000006, 0x31237648, true},
        {"NoHypervisorBit", false, "Microsoft Hv", 0x40000006, 0x31237648, false},
        {"OtherVendor", true, "KVMKVMKVM\x01\x01\x01", 0x40000006, 0x31237648, false},
        {"VendorOneByteOff", true, "Microsoft Hw", 0x40000006, 0x31237648, false},
        {"HighestLeafAtLimit", true, "Microsoft Hv", 0x40000008, 0x31237648, true},
        {"HighestLeafBeyondLimit", true, "Microsoft Hv", 0x40000009, 0x31237648, false},
        // Signed comparison: no lower bound, a "negative" leaf passes.
        {"HighestLeafNegative", true, "Microsoft Hv", 0x80000000, 0x31237648, true},
        // The interface leaf lies above the highest and reads 0.
        {"HighestLeafBelowInterface", true, "Microsoft Hv", 0x40000000, 0x31237648, false},
        {"OtherInterface", true, "Microsoft Hv", 0x40000006, 0x32237648, false},
    };
    for (const Case& item : cases) {
        model::MachineConfig config = Guest(1);
        config.Hypervisor.Present = item.Present;
        config.Hypervisor.Vendor = item.Vendor;
        config.Hypervisor.HighestLeaf = item.HighestLeaf;
        config.Hypervisor.Interface = item.Interface;
        InDriver(config, [&] {
            EXPECT_EQ(DetectHypervisor() != FALSE, item.Expected) << item.Name;
            HypervisorStateRecord* state = CaptureHypervisorState();
            EXPECT_EQ(state != nullptr, item.Expected) << item.Name;
            FreeHypervisorState(state);
        });
        // Nothing is read from a hypervisor that is not recognised.
        if (!item.Expected) {
            EXPECT_TRUE(model::CallsTo({"rdmsr"}).empty()) << item.Name;
        }
    }
}

TEST_F(HypervisorStateTest, CaptureReadsWhatTheFeaturesGrant)
{
    struct Case {
        const char* Name;
        ULONG Features;
        uint64_t Hypercall;
        uint64_t ReferenceTsc;
        bool VpAssist;
    };
    const Case cases[] = {
        {"All", 0x2E7F, HypercallValue, ReferenceTscValue, true},
        {"NoHypercall", 0x2E5F, 0, ReferenceTscValue, true},
        {"NoReferenceTsc", 0x2C7F, HypercallValue, 0, true},
        {"NoVpAssist", 0x2E6F, HypercallValue, ReferenceTscValue, false},
        {"None", 0, 0, 0, false},
    };
    for (const Case& item : cases) {
        InDriver(Guest(3, item.Features), [&] {
            HypervisorStateRecord* state = CaptureHypervisorState();
            ASSERT_NE(state, nullptr) << item.Name;
            EXPECT_EQ(state->Features, item.Features) << item.Name;
            EXPECT_EQ(state->Recommendations, 0x20u) << item.Name;
            EXPECT_EQ(state->ProcessorCount, 3u) << item.Name;
            // The identity shares the hypercall registers' privilege.
            EXPECT_EQ(state->GuestOsId, item.Hypercall != 0 ? GuestOsIdValue : 0) << item.Name;
            EXPECT_EQ(state->Hypercall, item.Hypercall) << item.Name;
            EXPECT_EQ(state->ReferenceTsc, item.ReferenceTsc) << item.Name;
            for (unsigned i = 0; i < 3; ++i) {
                EXPECT_EQ(state->VpAssistPage[i], item.VpAssist ? VpAssistBase + 0x1000 * i : 0)
                    << item.Name << " slot " << i;
            }
            // The spare slot stays empty.
            EXPECT_EQ(state->VpAssistPage[3], 0u) << item.Name;
            // The record alone outlives the capture.
            EXPECT_EQ(model::LivePoolBlocks()[HypervisorPoolTag], 1u) << item.Name;
            FreeHypervisorState(state);
        });

        // Each VP assist page is read on its own processor.
        std::vector<std::string> reads;
        for (const model::KernelCall& call : model::CallsTo({"rdmsr"})) {
            if (call.Detail.rfind("0x40000073=", 0) == 0) {
                reads.push_back(call.Detail.substr(call.Detail.find("cpu=")));
            }
        }
        std::sort(reads.begin(), reads.end());
        std::vector<std::string> expected;
        if (item.VpAssist) {
            expected = {"cpu=0", "cpu=1", "cpu=2"};
        }
        EXPECT_EQ(reads, expected) << item.Name;

        // One record, tagged 'Xvir', of n + 1 slots.
        auto allocations = model::CallsTo({"ExAllocatePoolWithTag"});
        ASSERT_FALSE(allocations.empty()) << item.Name;
        EXPECT_NE(allocations[0].Detail.find("size=" + std::to_string(HypervisorStateSize(4)) +
                                             " tag=Xvir"),
                  std::string::npos)
            << allocations[0].Detail;
    }
}

TEST_F(HypervisorStateTest, CaptureWithoutPoolGivesNoRecord)
{
    // The record itself, then the broadcast's DPC array.
    for (unsigned call : {1u, 2u}) {
        model::Fault fault{"ExAllocatePoolWithTag", call};
        fault.Tag = "Xvir";
        InDriver(Guest(2), [&] {
            EXPECT_EQ(CaptureHypervisorState(), nullptr) << call;
            EXPECT_EQ(model::LivePoolBlocks().count(HypervisorPoolTag), 0u) << call;
        }, {fault});
    }
}

TEST_F(HypervisorStateTest, CaptureZeroFillsWhenTheKernelDoesNot)
{
    model::MachineConfig config = Guest(2, 0);  // nothing but the identity is read
    config.Zeroing = model::PoolZeroing::NotSupported;
    InDriver(config, [&] {
        PoolZeroingSupported = FALSE;
        HypervisorStateRecord* state = CaptureHypervisorState();
        ASSERT_NE(state, nullptr);
        EXPECT_EQ(state->Hypercall, 0u);
        EXPECT_EQ(state->ReferenceTsc, 0u);
        EXPECT_EQ(state->VpAssistPage[0], 0u);
        EXPECT_EQ(state->VpAssistPage[2], 0u);
        FreeHypervisorState(state);
        PoolZeroingSupported = TRUE;
    });
}

// A processor that comes online after the count was taken has no slot: the
// per-processor routines must neither fill nor read past the recorded ones.
TEST_F(HypervisorStateTest, PerProcessorRoutinesStayWithinTheRecordedProcessors)
{
    model::MachineConfig config = Guest(2);
    config.MaxProcessors = 4;
    StartMachine(config);
    HypervisorStateRecord* state = nullptr;
    FakeDriver fake;
    fake.Entry = [&](PDRIVER_OBJECT driver) {
        driver->DriverUnload = FakeUnloadRoutine;
        state = CaptureHypervisorState();
        return STATUS_SUCCESS;
    };
    std::vector<std::string> writes;
    fake.Unload = [&](PDRIVER_OBJECT) {
        EXPECT_EQ(BroadcastToAllProcessors(CaptureVpAssistPage, state), STATUS_SUCCESS);
        EXPECT_EQ(state->VpAssistPage[2], 0u) << "processor 2 filled the spare slot";
        // Were processor 2 to read the spare slot, it would write this back.
        state->VpAssistPage[2] = 0x7C000001;
        size_t before = model::Calls().size();
        RestoreArgs args = {state, 0x2E7F};
        EXPECT_EQ(BroadcastToAllProcessors(RestoreVpAssistPage, &args), STATUS_SUCCESS);
        for (size_t i = before; i < model::Calls().size(); ++i) {
            if (model::Calls()[i].Routine.rfind("wrmsr", 0) == 0) {
                writes.push_back(model::Calls()[i].Detail);
            }
        }
        FreeHypervisorState(state);
    };
    ASSERT_EQ(model::LoadDriver(fake), STATUS_SUCCESS);
    ASSERT_NE(state, nullptr);
    ASSERT_EQ(state->ProcessorCount, 2u);
    model::ResumeChanges changes;
    changes.Processors = 3;
    model::Resume(changes);  // nothing is registered: only the count changes
    ASSERT_EQ(model::ActiveProcessors(), 3u);
    model::UnloadDriver();

    std::sort(writes.begin(), writes.end());
    const std::vector<std::string> expected = {
        MsrAccess(HvMsrVpAssistPage, VpAssistBase, 0),
        MsrAccess(HvMsrVpAssistPage, VpAssistBase + 0x1000, 1)};
    EXPECT_EQ(writes, expected);
}

TEST_F(HypervisorStateTest, RestoreVpAssistPageWritesOnlyGrantedNonZeroSlots)
{
    struct Case {
        const char* Name;
        ULONG Features;
        uint64_t Slot;
        bool Written;
    };
    const Case cases[] = {
        {"Granted", 0x10, VpAssistBase, true},
        {"NotGranted", 0x2E6F, VpAssistBase, false},
        {"Empty", 0x10, 0, false},
    };
    for (const Case& item : cases) {
        InDriver(Guest(1), [&] {
            alignas(HypervisorStateRecord) UCHAR storage[HypervisorStateSize(2)] = {};
            auto* state = reinterpret_cast<HypervisorStateRecord*>(storage);
            state->ProcessorCount = 1;
            state->VpAssistPage[0] = item.Slot;
            state->VpAssistPage[1] = VpAssistBase;
            RestoreArgs args = {state, item.Features};
            KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
            RestoreVpAssistPage(0, &args);
            // An index past the recorded processors is left alone.
            RestoreVpAssistPage(1, &args);
            KeLowerIrql(old);
        });
        EXPECT_EQ(model::CallsTo({"wrmsr"}).size(), item.Written ? 1u : 0u) << item.Name;
    }
}

}  // namespace
}  // namespace vektest
