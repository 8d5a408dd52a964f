// Scenarios on many processors, on both builds. Long reports (a thousand
// modules and more, also into a slow UART) with the emulated processors'
// quantum cut short, so that quanta end at every kind of block; concurrent
// image loads on 2 to 8 processors under many seeds, with loads before the
// driver's own; and the scenarios that once broke the shipped image. Both
// builds must run clean and print the same console, apart from what
// console_compare.h lets differ. Each case runs in a process of its own
// under ctest: a process keeps every address the emulator ever mapped an
// image at, and after some 64 runs of the shipped image the host build's
// listing of the driver finds no free slot.
#include "sim/console_compare.h"
#include "sim/simulate.h"
#include "runner/sys_image.h"

#include "model/image_registry.h"
#include "model/machine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifdef VEK_SYS_IMAGE

namespace {

// Blocks per quantum on the emulated processors: short, and prime, so that
// quanta end all over the report code.
constexpr uint64_t ShortQuantum = 61;

struct Run {
    sim::RunResult Result;
    std::string Log;
};

Run RunOn(const std::string& kind, const std::string& json, uint64_t seed, uint64_t quantum)
{
    sim::Scenario scenario;
    std::string error;
    EXPECT_TRUE(sim::ParseScenario(json, &scenario, &error)) << error;
    scenario.Machine.Seed = seed;
    sim::ImageFactory images = [](std::string* openError) {
        return model::OpenHostImage(model::DefaultHostImagePath(), openError);
    };
    if (kind == "sys") {
        images = [](std::string* openError) { return runner::OpenSysImage(VEK_SYS_IMAGE, openError); };
    }
    runner::SetQuantum(quantum);
    std::ostringstream log;
    Run run{sim::RunScenario(scenario, images, log), log.str()};
    runner::SetQuantum(0);
    return run;
}

// Runs the scenario on both builds under the seed: both clean, consoles
// alike (the shipped image's is the expected one). A quantum other than the
// default (0) adds switch points the host build lacks: only runs whose
// processors interleave at none of them compare alike.
std::string RunOnBothBuilds(const std::string& json, uint64_t seed, uint64_t quantum = 0)
{
    Run sys = RunOn("sys", json, seed, quantum);
    Run host = RunOn("host", json, seed, quantum);
    for (const Run* run : {&sys, &host}) {
        EXPECT_FALSE(run->Result.ImageError) << "seed " << seed;
        EXPECT_EQ(run->Result.Violations, std::vector<std::string>{}) << "seed " << seed;
    }
    EXPECT_EQ(sys.Log, host.Log) << "seed " << seed;
    std::string difference;
    EXPECT_TRUE(sim::ConsolesAgree(sys.Result.Console, host.Result.Console, &difference,
                                   sim::StackTerms::HostBuild))
        << "seed " << seed << ": " << difference;
    return sys.Result.Console;
}

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "\"0x%llX\"", static_cast<unsigned long long>(value));
    return text;
}

std::string Image(const std::string& path, uint64_t offset, uint64_t size)
{
    return "{\"path\": \"" + path + "\", \"offset\": " + Hex(offset) + ", \"size\": " + Hex(size);
}

// The module table's names, in order.
std::vector<std::string> ModuleRows(const std::string& console)
{
    std::vector<std::string> rows;
    std::istringstream lines(console);
    std::string line;
    bool inTable = false;
    while (std::getline(lines, line)) {
        if (line.rfind("Module\t", 0) == 0) {
            inTable = true;
            continue;
        }
        if (inTable && line.find('\t') == std::string::npos) {
            break;
        }
        if (inTable) {
            rows.push_back(line.substr(0, line.find('\t')));
        }
    }
    return rows;
}

struct LongReport {
    unsigned Processors;
    unsigned BusyReads;  // line status reads that show the transmitter busy
    uint64_t Seed;
};

void PrintTo(const LongReport& c, std::ostream* out)
{
    *out << c.Processors << " processors, busy_reads " << c.BusyReads << ", seed " << c.Seed;
}

class LongReportTest : public ::testing::TestWithParam<LongReport> {};

// A thousand synthetic images, one page each, every other page from 16 MiB.
TEST_P(LongReportTest, ThousandModulesPrintAlikeOnBothBuilds)
{
    constexpr unsigned Modules = 1000;
    const LongReport& c = GetParam();
    std::string images;
    for (unsigned i = 0; i < Modules; ++i) {
        char name[64];
        std::snprintf(name, sizeof(name), "m%04u", i);
        images += (i ? ", " : "") +
                  Image(std::string("\\\\SystemRoot\\\\System32\\\\drivers\\\\") + name + ".sys",
                        0x1000000 + 0x2000 * uint64_t{i}, 0x1000) +
                  ", \"pdb_path\": \"" + name + ".pdb\"}";
    }
    std::string uart = c.BusyReads == 0 ? ""
                                         : ", \"uarts\": [{\"space\": \"io\", \"address\": 1016, "
                                           "\"busy_reads\": " + std::to_string(c.BusyReads) + "}]";
    std::string json = "{\"machine\": {\"processors\": " + std::to_string(c.Processors) + uart +
                       ", \"images\": [" + images +
                       "]}, \"events\": [{\"event\": \"load\"}, {\"event\": \"bugcheck\", "
                       "\"code\": \"0xD1\"}]}";
    std::string console = RunOnBothBuilds(json, c.Seed, ShortQuantum);
    EXPECT_EQ(ModuleRows(console).size(), Modules + 3);  // the kernel's two and the driver
}

std::vector<LongReport> LongReports()
{
    std::vector<LongReport> cases;
    for (unsigned processors : {1u, 2u, 4u, 8u}) {
        for (uint64_t seed : {0u, 1u}) {
            cases.push_back({processors, 0, seed});
        }
        if (processors != 1) {
            cases.push_back({processors, 3, 7});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Processors, LongReportTest, ::testing::ValuesIn(LongReports()),
                         [](const ::testing::TestParamInfo<LongReport>& info) {
                             return std::to_string(info.param.Processors) + "_busy" +
                                    std::to_string(info.param.BusyReads) + "_seed" +
                                    std::to_string(info.param.Seed);
                         });

class ConcurrentLoadsTest : public ::testing::TestWithParam<unsigned> {};

// An image load on the last processor before the driver's own load; then
// six images that load together, spread over the processors, two pairs of
// them at one offset; a second group; the bug check on a processor the seed
// picks. Odd seeds add a hypervisor, whose load broadcasts to every
// processor. Both builds interleave alike under each seed, and every image
// is listed once: of two at one offset, the one listed last.
TEST_P(ConcurrentLoadsTest, EverySeedRunsCleanAndAlikeWithNoRowLost)
{
    constexpr uint64_t Seeds = 32;
    const unsigned processors = GetParam();
    auto on = [&](unsigned i) { return ", \"processor\": " + std::to_string(i % processors) + "}"; };
    std::string first = Image("\\\\x\\\\z.sys", 0x1000, 0x1000) + on(processors - 1);
    std::string group;
    for (unsigned i = 0; i < 6; ++i) {
        // c0 and c1, c2 and c3 share an offset; c4 and c5 stand alone.
        uint64_t offset = 0x100000 + 0x10000 * uint64_t{i < 4 ? i / 2 : i};
        group += (i ? ", " : "") +
                 Image("\\\\x\\\\c" + std::to_string(i) + ".sys", offset, i % 2 ? 0x3000 : 0x1000) +
                 on(i + 1);
    }
    std::string second = Image("\\\\x\\\\d0.sys", 0x800000, 0x1000) + on(1) + ", " +
                         Image("\\\\x\\\\d1.sys", 0x900000, 0x2000) + on(0);
    for (uint64_t seed = 0; seed < Seeds; ++seed) {
        std::string json = std::string("{\"machine\": {\"processors\": ") + std::to_string(processors) +
                           (seed % 2 ? ", \"hypervisor\": {}" : "") +
                           "}, \"events\": [{\"event\": \"image-load\", \"images\": [" + first +
                           "]}, {\"event\": \"load\"}, {\"event\": \"image-load\", \"images\": [" +
                           group + "]}, {\"event\": \"image-load\", \"images\": [" + second +
                           "]}, {\"event\": \"bugcheck\", \"code\": \"0xD1\", \"processor\": " +
                           std::to_string(seed % processors) + "}]}";
        std::vector<std::string> rows = ModuleRows(RunOnBothBuilds(json, seed));
        std::multiset<std::string> listed(rows.begin(), rows.end());
        for (const char* alone : {"z.sys", "c4.sys", "c5.sys", "d0.sys", "d1.sys"}) {
            EXPECT_EQ(listed.count(alone), 1u) << alone << ", seed " << seed;
        }
        for (const auto& [a, b] : {std::pair{"c0.sys", "c1.sys"}, std::pair{"c2.sys", "c3.sys"}}) {
            EXPECT_EQ(listed.count(a) + listed.count(b), 1u) << a << " or " << b << ", seed " << seed;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Processors, ConcurrentLoadsTest, ::testing::Range(2u, 9u));

// Scenarios that once broke the shipped image on several processors (a
// fault only it showed, or a violation only its plain build showed), kept
// as they were found; the images they list come from this build.
class FoundScenarioTest : public ::testing::TestWithParam<std::string> {};

TEST_P(FoundScenarioTest, RunsCleanAndAlikeOnBothBuilds)
{
    std::ifstream file(std::string(VEK_FOUND_SCENARIO_DIR) + "/" + GetParam() + ".json",
                       std::ios::binary);
    ASSERT_TRUE(file);
    std::ostringstream contents;
    contents << file.rdbuf();
    std::string json = contents.str();
    const std::pair<std::string, std::string> paths[] = {
        {"@SYS_IMAGE@", VEK_SYS_IMAGE}, {"@KERNEL_IMAGE@", model::DefaultKernelImagePath()}};
    for (const auto& [token, path] : paths) {
        for (size_t at = json.find(token); at != std::string::npos; at = json.find(token, at)) {
            json.replace(at, token.size(), path);
            at += path.size();
        }
    }
    for (uint64_t seed : {0u, 2u}) {
        RunOnBothBuilds(json, seed);
    }
}

INSTANTIATE_TEST_SUITE_P(Found, FoundScenarioTest,
                         ::testing::Values("write_past_data", "read_EF00000010"));

}  // namespace

#endif

// A fault of the model's own (its scheduler deadlocked) ends the run with
// one line and a status of its own, blaming no driver.
TEST(ToolFailureTest, EndsTheProcessWithOneLineAndItsOwnStatus)
{
    EXPECT_EXIT(model::ToolFailure("the processor scheduler deadlocked"),
                ::testing::ExitedWithCode(model::ToolFailureStatus),
                "^vekcrash: tool failure: the processor scheduler deadlocked\n$");
}
