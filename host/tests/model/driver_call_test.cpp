// The one way the model calls into a driver: on the chosen processor at the
// chosen IRQL, with the IRQL checked on return and the caller's processor
// and IRQL as they were afterwards, however the calls nest.
#include "fake_driver.h"

namespace vektest {
namespace {

using DriverCallTest = ModelFixture;

struct Seen {
    unsigned Processor;
    KIRQL Irql;
};
Seen SeenInNested;

uint64_t NestedRoutine(uint64_t first, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t,
                       uint64_t eighth)
{
    SeenInNested = {model::CurrentProcessor(), KeGetCurrentIrql()};
    return first + eighth;
}

uint64_t RaisingRoutine()
{
    KfRaiseIrql(DISPATCH_LEVEL);
    return 0;
}

TEST_F(DriverCallTest, RunsOnTheChosenProcessorAndIrqlAndRestoresTheCaller)
{
    model::MachineConfig config;
    config.Processors = 2;
    StartMachine(config);
    uint64_t result = 0;
    Seen inEntryAfter{};
    fake_.Entry = [&](PDRIVER_OBJECT driver) {
        driver->DriverUnload = FakeUnloadRoutine;
        // The last arguments travel on the stack, the first in a register.
        result = model::CallDriver(reinterpret_cast<const void*>(NestedRoutine),
                                   {40, 0, 0, 0, 0, 0, 0, 2}, 1, DISPATCH_LEVEL,
                                   "a nested routine");
        inEntryAfter = {model::CurrentProcessor(), KeGetCurrentIrql()};
        return STATUS_SUCCESS;
    };
    LoadFake();
    EXPECT_EQ(result, 42u);
    EXPECT_EQ(SeenInNested.Processor, 1u);
    EXPECT_EQ(SeenInNested.Irql, DISPATCH_LEVEL);
    EXPECT_EQ(inEntryAfter.Processor, 0u);
    EXPECT_EQ(inEntryAfter.Irql, PASSIVE_LEVEL);
    model::UnloadDriver();
}

TEST_F(DriverCallTest, ARoutineReturningAtAnotherIrqlIsAViolationNamingIt)
{
    fake_.Entry = [](PDRIVER_OBJECT driver) {
        driver->DriverUnload = FakeUnloadRoutine;
        model::CallDriver(reinterpret_cast<const void*>(RaisingRoutine), {}, 0, PASSIVE_LEVEL,
                          "the work item");
        return STATUS_SUCCESS;
    };
    LoadFake();
    EXPECT_EQ(TakeViolations(),
              std::vector<std::string>{"the work item returned at IRQL 2; it was called at IRQL 0"});
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    model::UnloadDriver();
}

TEST_F(DriverCallTest, NothingRunsOnAStoppedMachine)
{
    LoadFake();
    const ULONG_PTR parameters[4] = {};
    model::BugCheck(0xE2, parameters);
    SeenInNested = {};
    EXPECT_EQ(model::CallDriver(reinterpret_cast<const void*>(NestedRoutine), {1, 2, 3, 4, 5, 6, 7, 8}, 0,
                                PASSIVE_LEVEL, "a late routine"),
              0u);
    EXPECT_EQ(SeenInNested.Irql, PASSIVE_LEVEL);
    EXPECT_EQ(SeenInNested.Processor, 0u);
}

}  // namespace
}  // namespace vektest
