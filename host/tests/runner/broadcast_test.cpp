// The driver's all-processor broadcast on both builds: the broadcast
// fixture, native and as a .sys, prints what ran where. Under one seed both
// builds interleave alike; on either, every processor ran the routine once,
// with its own index, before the call returned (the host tests check the
// IRQL).
#include "model_test.h"

#include "runner/sys_image.h"

#include <set>
#include <sstream>
#include <string>

extern "C" NTSTATUS BroadcastDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace vektest {
namespace {

class NativeBroadcastDriver : public model::DriverImage {
public:
    std::string Name() const override { return "broadcast_driver"; }
    const void* EntryRoutine() const override
    {
        return reinterpret_cast<const void*>(BroadcastDriverEntry);
    }
    uint64_t Call(const model::DriverCall& call) override { return model::CallNativeRoutine(call); }
};

// The console a correct broadcast over `processors` prints, but for the
// order line, which the seed decides.
std::string ExpectedRuns(unsigned processors)
{
    std::ostringstream text;
    text << "BROADCAST 0 ON " << processors << " FINISHED " << processors << "\n";
    for (unsigned i = 0; i < processors; ++i) {
        text << i << " RUNS 1 ON " << i << "\n";
    }
    return text.str();
}

class BroadcastOnBothBuildsTest : public ModelTest {
protected:
    std::string Run(model::DriverImage& image, unsigned processors, uint64_t seed,
                    bool exhaustPool = false)
    {
        model::MachineConfig config = DefaultMachine();
        config.Processors = processors;
        config.Seed = seed;
        StartMachine(config);
        if (exhaustPool) {
            std::string error;
            EXPECT_TRUE(model::InjectFault(
                model::Fault{"ExAllocatePoolWithTag", 1, STATUS_INSUFFICIENT_RESOURCES, "Xvir"},
                &error))
                << error;
        }
        EXPECT_EQ(model::LoadDriver(image), STATUS_SUCCESS) << "seed " << seed;
        model::UnloadDriver();
        // The model checks IRQL, pool tags and that every block was freed.
        for (const std::string& violation : TakeViolations()) {
            ADD_FAILURE() << processors << " processors, seed " << seed << ": " << violation;
        }
        return model::ConsoleBytes();
    }

    std::string RunNative(unsigned processors, uint64_t seed, bool exhaustPool = false)
    {
        NativeBroadcastDriver native;
        return Run(native, processors, seed, exhaustPool);
    }

    std::string RunSys(unsigned processors, uint64_t seed, bool exhaustPool = false)
    {
        std::string error;
        std::unique_ptr<model::DriverImage> image =
            runner::OpenSysImage(std::string(VEK_FIXTURE_DIR) + "/broadcast_driver.sys", &error);
        if (image == nullptr) {
            ADD_FAILURE() << error;
            return {};
        }
        return Run(*image, processors, seed, exhaustPool);
    }
};

TEST_F(BroadcastOnBothBuildsTest, EveryProcessorRunsOnceWithItsOwnIndexAndSeedsMatch)
{
    struct Case {
        unsigned Processors;
        uint64_t Seeds;
    };
    const Case cases[] = {{1, 2}, {2, 10}, {7, 10}, {64, 3}};
    for (const Case& c : cases) {
        for (uint64_t seed = 1; seed <= c.Seeds; ++seed) {
            std::string where = std::to_string(c.Processors) + " processors, seed " +
                                std::to_string(seed);
            std::string host = RunNative(c.Processors, seed);
            std::string sys = RunSys(c.Processors, seed);
            ASSERT_EQ(host, sys) << where;
            std::string runs = ExpectedRuns(c.Processors);
            ASSERT_EQ(sys.substr(0, runs.size()), runs) << where;
            ASSERT_EQ(sys.compare(runs.size(), 5, "ORDER"), 0) << where;
        }
    }
}

// The seed decides the order in which the remote runs finish: different
// seeds interleave them differently, and the same seed repeats its order.
TEST_F(BroadcastOnBothBuildsTest, SeedsGiveDifferentOrdersThatRepeat)
{
    std::set<std::string> orders;
    for (uint64_t seed = 1; seed <= 8; ++seed) {
        std::string first = RunSys(7, seed);
        EXPECT_EQ(RunSys(7, seed), first) << "seed " << seed;
        orders.insert(first.substr(first.find("ORDER")));
    }
    EXPECT_GT(orders.size(), 1u);
}

TEST_F(BroadcastOnBothBuildsTest, ExhaustedPoolRunsTheRoutineNowhereOnBothBuilds)
{
    for (unsigned processors : {1u, 7u}) {
        std::string expected = "BROADCAST C000009A ON " + std::to_string(processors) +
                               " FINISHED 0\n";
        for (unsigned i = 0; i < processors; ++i) {
            expected += std::to_string(i) + " RUNS 0 ON 0\n";
        }
        expected += "ORDER\n";
        EXPECT_EQ(RunNative(processors, 1, true), expected) << processors;
        EXPECT_EQ(RunSys(processors, 1, true), expected) << processors;
    }
}

}  // namespace
}  // namespace vektest
