// Virtual processors on the emulated processor: the same counter driver,
// built natively and as a .sys, bumps shared counters from a DPC on every
// other processor. Under one seed both builds interleave alike; plain
// increments lose updates under some seeds, interlocked ones never.
#include "model_test.h"

#include "runner/sys_image.h"

#include <cstdio>
#include <set>
#include <string>

extern "C" NTSTATUS CounterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace vektest {
namespace {

// The counter driver compiled into this test, against the model kernel.
class NativeCounterDriver : public model::DriverImage {
public:
    std::string Name() const override { return "counter_driver"; }
    const void* EntryRoutine() const override
    {
        return reinterpret_cast<const void*>(CounterDriverEntry);
    }
    uint64_t Call(const model::DriverCall& call) override { return model::CallNativeRoutine(call); }
};

struct Counts {
    unsigned Plain = 0, Interlocked = 0, Expected = 0;
};

Counts ReadCounts(const std::string& console)
{
    Counts counts;
    if (std::sscanf(console.c_str(), "PLAIN %u INTERLOCKED %u OF %u", &counts.Plain,
                    &counts.Interlocked, &counts.Expected) != 3) {
        ADD_FAILURE() << "no counts in: " << console;
    }
    return counts;
}

class ProcessorsOnBothBuildsTest : public ModelTest {
protected:
    // Loads the driver on a fresh machine and returns its console.
    std::string Run(model::DriverImage& image, unsigned processors, uint64_t seed)
    {
        model::MachineConfig config = DefaultMachine();
        config.Processors = processors;
        config.Seed = seed;
        StartMachine(config);
        EXPECT_EQ(model::LoadDriver(image), STATUS_SUCCESS) << "seed " << seed;
        model::UnloadDriver();
        for (const std::string& violation : TakeViolations()) {
            ADD_FAILURE() << "seed " << seed << ": " << violation;
        }
        return model::ConsoleBytes();
    }

    std::string RunSys(unsigned processors, uint64_t seed)
    {
        std::string error;
        std::unique_ptr<model::DriverImage> image =
            runner::OpenSysImage(std::string(VEK_FIXTURE_DIR) + "/counter_driver.sys", &error);
        if (image == nullptr) {
            ADD_FAILURE() << error;
            return {};
        }
        return Run(*image, processors, seed);
    }
};

TEST_F(ProcessorsOnBothBuildsTest, TheSameSeedGivesTheSameCountsOnBothBuilds)
{
    constexpr uint64_t Seeds = 16;
    bool lost = false;
    for (unsigned processors : {2u, 4u}) {
        for (uint64_t seed = 1; seed <= Seeds; ++seed) {
            NativeCounterDriver native;
            std::string host = Run(native, processors, seed);
            std::string sys = RunSys(processors, seed);
            EXPECT_EQ(host, sys) << processors << " processors, seed " << seed;
            Counts counts = ReadCounts(sys);
            EXPECT_EQ(counts.Interlocked, counts.Expected) << "seed " << seed;
            EXPECT_LE(counts.Plain, counts.Expected) << "seed " << seed;
            lost = lost || counts.Plain < counts.Expected;
        }
    }
    EXPECT_TRUE(lost) << "no seed interleaved the plain read and write";
}

TEST_F(ProcessorsOnBothBuildsTest, SeedsGiveDifferentInterleavingsThatRepeat)
{
    std::set<unsigned> plainCounts;
    for (uint64_t seed = 1; seed <= 8; ++seed) {
        std::string first = RunSys(4, seed);
        EXPECT_EQ(RunSys(4, seed), first) << "seed " << seed;
        plainCounts.insert(ReadCounts(first).Plain);
    }
    EXPECT_GT(plainCounts.size(), 1u);
}

// A processor that spins without PAUSE still gives the others a turn when
// its quantum ends; processors that all spin with PAUSE stop the machine as
// deadlocked, naming where each was, and every lane's host frames unwind.
TEST_F(ProcessorsOnBothBuildsTest, SpinningProcessorsLetOthersRunAndADeadlockStopsTheMachine)
{
    model::MachineConfig config = DefaultMachine();
    config.Processors = 2;
    config.SpinLimit = 10000;
    StartMachine(config);
    std::string error;
    std::unique_ptr<model::DriverImage> image =
        runner::OpenSysImage(std::string(VEK_FIXTURE_DIR) + "/spin_driver.sys", &error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_NE(model::LoadDriver(*image), STATUS_SUCCESS);
    EXPECT_EQ(model::ConsoleBytes(), "FLAG SET\n");
    EXPECT_TRUE(model::Stopped());
    std::vector<std::string> violations = TakeViolations();
    ASSERT_FALSE(violations.empty());
    EXPECT_NE(violations.front().find("deadlock: every processor spins and none makes progress "
                                      "(processor 0 in the entry routine, spinning; processor 1 "
                                      "in a DPC routine, spinning)"),
              std::string::npos)
        << violations.front();
    // The machine is usable again once reset: the lanes are gone.
    image.reset();
    EXPECT_EQ(RunSys(2, 1).substr(0, 6), "PLAIN ");
}

}  // namespace
}  // namespace vektest
