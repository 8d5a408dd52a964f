// The documented resume example, run on both driver images: beyond its
// console line, every register goes back in the order the hypervisor
// requires, on every processor, and the reference TSC page whose register
// is gone is rebuilt.
#include "sim/simulate.h"
#include "runner/sys_image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::string Access(unsigned msr, uint64_t value, unsigned cpu)
{
    char text[64];
    std::snprintf(text, sizeof(text), "0x%X=0x%llX cpu=%u", msr,
                  static_cast<unsigned long long>(value), cpu);
    return text;
}

sim::ImageFactory Images(const std::string& kind)
{
#ifdef VEK_SYS_IMAGE
    if (kind == "sys") {
        return [](std::string* error) { return runner::OpenSysImage(VEK_SYS_IMAGE, error); };
    }
#endif
    (void)kind;
    return [](std::string* error) {
        return model::OpenHostImage(model::DefaultHostImagePath(), error);
    };
}

class HyperVStoryTest : public ::testing::TestWithParam<std::string> {};

TEST_P(HyperVStoryTest, HibernationIsUndoneRegisterByRegister)
{
    std::ifstream file(std::string(VEK_EXAMPLE_DIR) + "/hyperv_resume_restore.json");
    ASSERT_TRUE(file);
    std::ostringstream text;
    text << file.rdbuf();
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(sim::ParseScenario(text.str(), &scenario, &error)) << error;
    std::ostringstream log;
    sim::RunResult result = sim::RunScenario(scenario, Images(GetParam()), log);
    EXPECT_EQ(result.Violations, std::vector<std::string>{});
    EXPECT_EQ(result.Console, "Viridian State Restoration is Successful\n");
    EXPECT_EQ(log.str(), "");

    // The identity first (the hypercall page stays disabled without it),
    // the hypercall page, then each processor's VP assist page on that
    // processor. The reference TSC register is gone: no write, but the page.
    std::vector<std::string> writes;
    for (const model::KernelCall& call : model::CallsTo({"wrmsr", "wrmsr #GP"})) {
        writes.push_back(call.Detail);
    }
    EXPECT_EQ(writes, (std::vector<std::string>{Access(0x40000000, 0x8100000000000000, 0),
                                                Access(0x40000001, 0x7E000001, 0),
                                                Access(0x40000073, 0x7D000001, 0),
                                                Access(0x40000073, 0x7D001001, 1)}));
    EXPECT_EQ(model::CallsTo({"MmMapIoSpaceEx"}).size(), 1u);
    // The rebuilt page runs the clock at the brand string's 2.60GHz, which is
    // also the real rate here: a second of ticks is a second of 100 ns units.
    auto time = model::ReferenceTimeFromPage(0x7F000000, 2600000000);
    ASSERT_TRUE(time.has_value());
    EXPECT_NEAR(static_cast<double>(*time), 1e7, 10.0);
}

#ifdef VEK_SYS_IMAGE
INSTANTIATE_TEST_SUITE_P(Images, HyperVStoryTest, ::testing::Values("host", "sys"));
#else
INSTANTIATE_TEST_SUITE_P(Images, HyperVStoryTest, ::testing::Values("host"));
#endif

}  // namespace
