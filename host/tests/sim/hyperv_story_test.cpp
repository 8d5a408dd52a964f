// The documented resume example, run on both driver images: beyond its
// console line, every register goes back in the order the hypervisor
// requires, on every processor, and the reference TSC page whose register
// is gone is rebuilt.
#include "sim/simulate.h"
#include "sim/state_file.h"
#include "runner/sys_image.h"
#include "model/hypervisor.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
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

sim::ImageFactory StoryImages(const std::string& kind)
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

// A scenario file, read as the tool reads it.
sim::Scenario ReadScenario(const std::string& path)
{
    std::ifstream file(path);
    EXPECT_TRUE(file) << path;
    std::ostringstream text;
    text << file.rdbuf();
    sim::Scenario scenario;
    std::string error;
    EXPECT_TRUE(sim::ParseScenario(text.str(), &scenario, &error)) << error;
    return scenario;
}

sim::Scenario Example(const std::vector<model::Fault>& faults)
{
    sim::Scenario scenario = ReadScenario(std::string(VEK_EXAMPLE_DIR) + "/hyperv_resume_restore.json");
    scenario.Faults = faults;
    return scenario;
}

class HyperVStoryTest : public ::testing::TestWithParam<std::string> {};

TEST_P(HyperVStoryTest, HibernationIsUndoneRegisterByRegister)
{
    sim::Scenario scenario = Example({});
    std::ostringstream log;
    sim::RunResult result = sim::RunScenario(scenario, StoryImages(GetParam()), log);
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
    // Seed 0 runs the resume's callbacks on processor 1: the broadcast runs
    // there first, then on processor 0 from its DPC.
    EXPECT_EQ(writes, (std::vector<std::string>{Access(0x40000000, 0x8100000000000000, 1),
                                                Access(0x40000001, 0x7E000001, 1),
                                                Access(0x40000073, 0x7D001001, 1),
                                                Access(0x40000073, 0x7D000001, 0)}));
    EXPECT_EQ(model::CallsTo({"MmMapIoSpaceEx"}).size(), 1u);
    // The rebuilt page runs the clock at the hypervisor's exact 2.6 GHz: a
    // second of ticks is a second of 100 ns units.
    auto time = model::ReferenceTimeFromPage(0x7F000000, 2600000000);
    ASSERT_TRUE(time.has_value());
    EXPECT_NEAR(static_cast<double>(*time), 1e7, 10.0);
}

// Five processors in two groups, the resume's callback on group 1: each
// processor's VP assist page goes back on that processor.
TEST_P(HyperVStoryTest, EveryProcessorOfEveryGroupGetsItsOwnPageBack)
{
    sim::Scenario scenario =
        ReadScenario(std::string(VEK_SCENARIO_DIR) + "/hyperv_restore_on_processor_group_1.json");
    std::ostringstream log;
    sim::RunResult result = sim::RunScenario(scenario, StoryImages(GetParam()), log);
    EXPECT_EQ(result.Violations, std::vector<std::string>{});
    std::vector<std::string> pages;
    for (const model::KernelCall& call : model::CallsTo({"wrmsr"})) {
        if (call.Detail.rfind("0x40000073=", 0) == 0) {
            pages.push_back(call.Detail);
        }
    }
    std::sort(pages.begin(), pages.end());
    std::vector<std::string> expected;
    for (unsigned cpu = 0; cpu < 5; ++cpu) {
        expected.push_back(Access(0x40000073, 0x7D000001 + 0x1000 * cpu, cpu));
    }
    EXPECT_EQ(pages, expected);
}


// The state file shows what the console cannot: the registers as the run
// left them on each processor, the rebuilt page and what it reads after
// 10 s of ticks, and nothing of the driver's left behind. The outcome line
// says "Failed" when the restore's broadcast could not run (its DPC array).
TEST_P(HyperVStoryTest, StateFileAndOutcomeLineTellWhatWasRestored)
{
    struct Case {
        const char* Name;
        std::vector<model::Fault> Faults;
        std::string Console;
        const char* SecondVpAssistPage;
    };
    model::Fault dpcArray{"ExAllocatePoolWithTag", 3};
    dpcArray.Tag = "Xvir";
    const Case cases[] = {
        {"Restored", {}, "Viridian State Restoration is Successful\n", "0x7D001001"},
        {"NoDpcArray", {dpcArray}, "Viridian State Restoration is Failed\n", "0x0"},
    };
    for (const Case& item : cases) {
        std::ostringstream log;
        sim::RunResult result = sim::RunScenario(Example(item.Faults), StoryImages(GetParam()), log);
        EXPECT_EQ(result.Console, item.Console) << item.Name;
        nlohmann::json state = nlohmann::json::parse(sim::MachineStateJson());
        const nlohmann::json& msrs = state["processors"][1]["synthetic_msrs"];
        EXPECT_EQ(msrs["vp_assist_page"], item.SecondVpAssistPage) << item.Name;
        EXPECT_EQ(msrs["guest_os_id"], "0x8100000000000000") << item.Name;
        EXPECT_EQ(msrs["reference_tsc"], "absent") << item.Name;
        EXPECT_EQ(msrs["tsc_frequency"], "0x9AF8DA00") << item.Name;  // 2.6 GHz
        const nlohmann::json& page = state["reference_tsc_page"];
        EXPECT_EQ(page["address"], "0x7F000000") << item.Name;
        EXPECT_EQ(page["offset"], 0) << item.Name;
        EXPECT_EQ(page["time_after_10s"], 99999999) << item.Name;
        EXPECT_EQ(state["pool_blocks"], nlohmann::json::array()) << item.Name;
        EXPECT_EQ(state["open_handles"], 0) << item.Name;
    }
}

// The scenario guide's preset table, row by row: a load, a hibernation
// that resets the four registers programmed at boot, a resume on the same
// hypervisor. Whether the state was captured shows as a line at all; the
// registers put back as the writes (and the page rebuilt) after it.
TEST_P(HyperVStoryTest, PresetTableMatchesBothBuilds)
{
    std::ifstream guide(std::string(VEK_DOCS_DIR) + "/scenarios.md");
    ASSERT_TRUE(guide);
    const std::string header = "| preset | state captured at load | line after the resume |";
    std::string line;
    bool inTable = false;
    size_t rows = 0;
    while (std::getline(guide, line)) {
        if (line.rfind(header, 0) == 0) {
            inTable = true;
            continue;
        }
        if (!inTable || line.rfind("|---", 0) == 0) {
            continue;
        }
        if (line.empty() || line[0] != '|') {
            break;
        }
        std::vector<std::string> cells;
        std::istringstream row(line.substr(1));
        for (std::string cell; std::getline(row, cell, '|');) {
            cell.erase(0, cell.find_first_not_of(" `"));
            cell.erase(cell.find_last_not_of(" `") + 1);
            cells.push_back(cell);
        }
        ASSERT_EQ(cells.size(), 4u) << line;
        const std::string& preset = cells[0];
        ++rows;

        sim::Scenario scenario;
        std::string error;
        ASSERT_TRUE(sim::ParseScenario(R"({"machine": {"processors": 2,
            "processor_brand": "Intel(R) Xeon(R) Platinum 8272CL CPU @ 2.60GHz",
            "hypervisor": {"preset": ")" + preset + R"(", "msrs": {
              "guest_os_id": "0x8100000000000000", "hypercall": "0x7E000001",
              "reference_tsc": "0x7F000001", "vp_assist_page": ["0x7D000001", "0x7D001001"]}}},
          "events": [{"event": "load"}, {"event": "sleep", "state": "hibernate"},
                     {"event": "resume", "reset_msrs": true}, {"event": "unload"}]})",
                                       &scenario, &error))
            << preset << ": " << error;
        std::ostringstream log;
        sim::RunResult result = sim::RunScenario(scenario, StoryImages(GetParam()), log);
        EXPECT_EQ(result.Violations, std::vector<std::string>{}) << preset;

        bool captured = cells[1] == "yes";
        EXPECT_EQ(result.Console, captured ? cells[2] + "\n" : "") << preset;
        EXPECT_EQ(captured, cells[2] != "none") << preset;
        std::vector<std::string> restored;
        const std::pair<const char*, const char*> names[] = {
            {"0x40000000=", "guest OS identity"}, {"0x40000001=", "hypercall"},
            {"0x40000021=", "reference TSC"}, {"0x40000073=", "VP assist pages"}};
        std::vector<model::KernelCall> writes = model::CallsTo({"wrmsr"});
        for (const auto& register_ : names) {
            const char* prefix = register_.first;
            if (std::any_of(writes.begin(), writes.end(), [prefix](const model::KernelCall& call) {
                    return call.Detail.rfind(prefix, 0) == 0;
                })) {
                restored.push_back(register_.second);
            }
        }
        std::string text;
        for (const std::string& name : restored) {
            text += (text.empty() ? "" : ", ") + name;
        }
        EXPECT_EQ(text.empty() ? "none" : text, cells[3]) << preset;
    }
    EXPECT_EQ(rows, model::HypervisorPresets().size());
}

// The guide's table of the presets' leaves is the model's, row for row.
TEST(HypervisorPresetGuideTest, ListsEachPresetsLeaves)
{
    std::ifstream guide(std::string(VEK_DOCS_DIR) + "/scenarios.md");
    ASSERT_TRUE(guide);
    std::string documented, line;
    bool inTable = false;
    while (std::getline(guide, line)) {
        if (line.rfind("| preset | what users run |", 0) == 0) {
            inTable = true;
        } else if (inTable && line.rfind("| `", 0) == 0) {
            documented += line + "\n";
        } else if (inTable && line.rfind("|---", 0) != 0) {
            break;
        }
    }
    std::string expected;
    for (const model::HypervisorPreset& preset : model::HypervisorPresets()) {
        char leaves[160];
        std::snprintf(leaves, sizeof(leaves), " | `%s` | `0x%X` | `0x%X` | `0x%X` |\n",
                      preset.Config.Vendor.c_str(), static_cast<unsigned>(preset.Config.HighestLeaf),
                      static_cast<unsigned>(preset.Config.Features),
                      static_cast<unsigned>(preset.Config.FeatureFlags));
        expected += std::string("| `") + preset.Name + "` | " + preset.Description + leaves;
    }
    EXPECT_EQ(documented, expected);
}

#ifdef VEK_SYS_IMAGE
INSTANTIATE_TEST_SUITE_P(Images, HyperVStoryTest, ::testing::Values("host", "sys"));
#else
INSTANTIATE_TEST_SUITE_P(Images, HyperVStoryTest, ::testing::Values("host"));
#endif

}  // namespace
