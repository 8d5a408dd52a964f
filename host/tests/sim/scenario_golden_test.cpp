// Scenario golden tests: every NAME.json in the scenarios folder runs on the
// driver image, and the serial console must receive exactly the bytes of
// NAME.console. A run that is meant to print diagnostics (a failed load)
// has them in NAME.stderr; any other run must print none.
#include "sim/console_compare.h"
#include "sim/simulate.h"
#include "runner/sys_image.h"

#include "model/image_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path ScenarioFolder = VEK_SCENARIO_DIR;
const fs::path ExampleFolder = VEK_EXAMPLE_DIR;

// The driver images every scenario runs on: the host build, and where the
// cross build made it, the shipped image on the emulated processor. Their
// consoles must agree.
std::vector<std::string> ImageKinds()
{
#ifdef VEK_SYS_IMAGE
    return {"host", "sys"};
#else
    return {"host"};
#endif
}

sim::ImageFactory ScenarioImages(const std::string& kind = "host")
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

// Test drivers (machine.test_drivers) run only on the shipped image.
sim::TestDriverFactory ScenarioTestDrivers(const std::string& kind)
{
    if (kind != "sys") {
        return nullptr;
    }
    return [](const std::string& name, std::string* error) {
        return runner::OpenTestDriver(model::DefaultTestDriverPath(name), error);
    };
}

bool ReadFile(const fs::path& path, std::string* text)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    *text = contents.str();
    return true;
}

std::vector<std::string> FilesWithExtension(const std::string& extension,
                                            const fs::path& folder = ScenarioFolder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.path().extension() == extension) {
            names.push_back(entry.path().stem().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> ScenarioNames()
{
    return FilesWithExtension(".json");
}

using ScenarioOnImage = std::tuple<std::string, std::string>;

// GoogleTest names allow only letters, digits and underscores.
std::string TestName(const ::testing::TestParamInfo<ScenarioOnImage>& info)
{
    std::string name = std::get<0>(info.param) + "_on_" + std::get<1>(info.param);
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

class ScenarioGoldenTest : public ::testing::TestWithParam<ScenarioOnImage> {};

TEST_P(ScenarioGoldenTest, ConsoleReceivesExactlyTheExpectedBytes)
{
    const auto& [name, kind] = GetParam();
    const fs::path base = ScenarioFolder / name;
    std::string text;
    std::string expectedConsole;
    ASSERT_TRUE(ReadFile(base.string() + ".json", &text));
    ASSERT_TRUE(ReadFile(base.string() + ".console", &expectedConsole))
        << "no expected console bytes in " << base.string() << ".console";
    std::string expectedLog;
    ReadFile(base.string() + ".stderr", &expectedLog);

    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(sim::ParseScenario(text, &scenario, &error)) << error;
    std::ostringstream log;
    sim::RunResult result = sim::RunScenario(scenario, ScenarioImages(kind), log);

    EXPECT_FALSE(result.ImageError);
    EXPECT_EQ(result.Violations, std::vector<std::string>{});
    std::string difference;
    // The expected consoles are the shipped image's; the host build shows
    // the stack trace its own code allows.
    sim::StackTerms terms = kind == "host" ? sim::StackTerms::HostBuild : sim::StackTerms::Same;
    EXPECT_TRUE(sim::ConsolesAgree(expectedConsole, result.Console, &difference, terms))
        << difference;
    EXPECT_EQ(log.str(), expectedLog);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ScenarioGoldenTest,
                         ::testing::Combine(::testing::ValuesIn(ScenarioNames()),
                                            ::testing::ValuesIn(ImageKinds())),
                         TestName);

// A wrong folder would otherwise pass with no scenarios at all, and an
// expected file left behind by a renamed scenario would check nothing.
TEST(ScenarioFolderTest, HoldsScenariosAndNoExpectedFileWithoutOne)
{
    std::vector<std::string> scenarios = ScenarioNames();
    EXPECT_FALSE(scenarios.empty()) << "no scenarios in " << ScenarioFolder;
    for (const char* extension : {".console", ".stderr"}) {
        for (const std::string& name : FilesWithExtension(extension)) {
            EXPECT_TRUE(std::binary_search(scenarios.begin(), scenarios.end(), name))
                << name << extension << " has no " << name << ".json";
        }
    }
}

// The documented examples must stay runnable as the format changes.
TEST(ExampleScenariosTest, EveryExampleReadsAndRunsClean)
{
    std::vector<std::string> examples = FilesWithExtension(".json", ExampleFolder);
    EXPECT_FALSE(examples.empty()) << "no examples in " << ExampleFolder;
    for (const std::string& name : examples) {
        SCOPED_TRACE(name);
        std::string text;
        ASSERT_TRUE(ReadFile(ExampleFolder / (name + ".json"), &text));
        sim::Scenario scenario;
        std::string error;
        ASSERT_TRUE(sim::ParseScenario(text, &scenario, &error)) << error;
        for (const std::string& kind : ImageKinds()) {
            if (!scenario.Machine.TestDrivers.empty() && kind != "sys") {
                continue;
            }
            std::ostringstream kindLog;
            sim::RunResult result = sim::RunScenario(scenario, ScenarioImages(kind), kindLog,
                                                     ScenarioTestDrivers(kind));
            EXPECT_FALSE(result.ImageError) << kind << ": " << kindLog.str();
            EXPECT_EQ(result.Violations, std::vector<std::string>{}) << kind;
        }
    }
}

#ifdef VEK_SYS_IMAGE
// The emulator keeps the addresses of the images it ran reserved for the
// rest of the process: a host-build run after a .sys run must still list
// the driver, with its identity, in its module table.
TEST(ScenarioImagesInOneProcess, HostRunAfterShippedImageRunStillListsTheDriver)
{
    std::string text;
    ASSERT_TRUE(ReadFile((ScenarioFolder / "default_machine.json").string(), &text));
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(sim::ParseScenario(text, &scenario, &error)) << error;
    std::string consoles[2];
    const char* kinds[2] = {"sys", "host"};
    for (int run = 0; run < 2; ++run) {
        std::ostringstream log;
        sim::RunResult result = sim::RunScenario(scenario, ScenarioImages(kinds[run]), log);
        EXPECT_FALSE(result.ImageError) << log.str();
        consoles[run] = result.Console;
    }
    auto driverRow = [](const std::string& console) {
        size_t at = console.find("\nvekcrashdmp.sys\t");
        return at == std::string::npos ? std::string()
                                       : console.substr(at + 1, console.find('\n', at + 1) - at);
    };
    EXPECT_NE(driverRow(consoles[0]), "");
    EXPECT_EQ(driverRow(consoles[1]), driverRow(consoles[0]));
}
#endif

}  // namespace
