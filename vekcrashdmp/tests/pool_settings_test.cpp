// Pool settings chosen at load, and the allocation convention that uses
// them.
#include "driver_test.h"

#include "driver/pool_settings.h"

namespace vektest {
namespace {

class PoolSettingsTest : public DriverTest {
protected:
    void Fix(const model::MachineConfig& config)
    {
        UseMachine(config);
        // A freshly mapped image starts from these.
        NonPagedPoolType = NonPagedPool;
        PoolZeroingSupported = FALSE;
        FixPoolSettings();
    }
};

model::MachineConfig Windows(ULONG major, ULONG minor)
{
    model::MachineConfig config;
    config.Version.Major = major;
    config.Version.Minor = minor;
    return config;
}

TEST_F(PoolSettingsTest, NoExecutePoolFromWindows8On)
{
    struct Case {
        ULONG Major;
        ULONG Minor;
        POOL_TYPE Expected;
    };
    const Case cases[] = {
        {5, 2, NonPagedPool},   {6, 0, NonPagedPool},   {6, 1, NonPagedPool},
        {6, 2, NonPagedPoolNx}, {6, 3, NonPagedPoolNx}, {10, 0, NonPagedPoolNx},
        {7, 0, NonPagedPoolNx},
    };
    for (const Case& item : cases) {
        Fix(Windows(item.Major, item.Minor));
        EXPECT_EQ(NonPagedPoolType, item.Expected) << item.Major << "." << item.Minor;
    }
}

TEST_F(PoolSettingsTest, ZeroingIsTrustedOnlyWhenTheKernelSaysSo)
{
    struct Case {
        const char* Name;
        model::PoolZeroing Zeroing;
        bool QueryRoutinePresent;
        bool QueryFails;
        BOOLEAN Expected;
    };
    const Case cases[] = {
        {"Supported", model::PoolZeroing::Supported, true, false, TRUE},
        {"AnswersNo", model::PoolZeroing::NotSupported, true, false, FALSE},
        {"ClassUnknown", model::PoolZeroing::QueryUnsupported, true, false, FALSE},
        {"NoQueryRoutine", model::PoolZeroing::Supported, false, false, FALSE},
        {"QueryFails", model::PoolZeroing::Supported, true, true, FALSE},
    };
    for (const Case& item : cases) {
        model::MachineConfig config;
        config.Zeroing = item.Zeroing;
        config.Routines["NtQuerySystemInformation"] = item.QueryRoutinePresent;
        UseMachine(config);
        if (item.QueryFails) {
            std::string error;
            ASSERT_TRUE(model::InjectFault({"NtQuerySystemInformation", 1, STATUS_INSUFFICIENT_RESOURCES},
                                           &error));
        }
        NonPagedPoolType = NonPagedPool;
        PoolZeroingSupported = FALSE;
        FixPoolSettings();
        EXPECT_EQ(PoolZeroingSupported, item.Expected) << item.Name;
    }
}

TEST_F(PoolSettingsTest, AllocationsAreZeroedWhicheverSideZeroes)
{
    for (auto zeroing : {model::PoolZeroing::Supported, model::PoolZeroing::NotSupported}) {
        model::MachineConfig config = Windows(10, 0);
        config.Zeroing = zeroing;
        Fix(config);
        auto* block = static_cast<UCHAR*>(AllocateNonPagedPool(64, 0x55444F4Du));
        ASSERT_NE(block, nullptr);
        for (int i = 0; i < 64; ++i) {
            ASSERT_EQ(block[i], 0) << i;
        }
        auto allocations = model::CallsTo({"ExAllocatePoolWithTag"});
        ASSERT_EQ(allocations.size(), 1u);
        // NonPagedPoolNx (512) with the zero flag (1024).
        EXPECT_EQ(allocations[0].Detail, "type=1536 size=64 tag=MODU");
        ExFreePoolWithTag(block, 0x55444F4Du);
    }
}

TEST_F(PoolSettingsTest, FailedAllocationIsNull)
{
    Fix(Windows(6, 1));
    std::string error;
    ASSERT_TRUE(model::InjectFault({"ExAllocatePoolWithTag", 1, 0}, &error));
    EXPECT_EQ(AllocateNonPagedPool(64, 0x72697658u), nullptr);
    EXPECT_EQ(model::CallsTo({"ExAllocatePoolWithTag"})[0].Detail, "type=1024 size=64 tag=Xvir");
}

}  // namespace
}  // namespace vektest
