// Fault selectors: a fault picks its call by routine, optionally narrowed
// by pool tag or by the logged detail, and counts only the calls that
// match, so that calls added elsewhere leave it on the same call.
#include "model_test.h"

#include "ntmodel/ntmodel.h"
#include "sim/simulate.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include <string>
#include <vector>

namespace vektest {
namespace {

constexpr ULONG TagModA = 0x41646F4D;  // 'ModA'
constexpr ULONG TagModB = 0x42646F4D;  // 'ModB'

struct Allocation {
    ULONG Tag;
    SIZE_T Size;
};

// What the driver under test allocates, in order.
const std::vector<Allocation> Allocations = {
    {TagModA, 16}, {TagModB, 32}, {TagModA, 48}, {TagModB, 16}, {TagModA, 32}};

struct SelectorCase {
    const char* Name;
    model::Fault Fault;
    int FailingAllocation;  // index into Allocations, -1 for none
};

class FaultSelectorTest : public ModelTest, public ::testing::WithParamInterface<SelectorCase> {};

model::Fault PoolFault(unsigned call, std::string tag = {}, std::string detail = {})
{
    model::Fault fault;
    fault.Routine = "ExAllocatePoolWithTag";
    fault.Call = call;
    fault.Tag = std::move(tag);
    fault.Detail = std::move(detail);
    return fault;
}

TEST_P(FaultSelectorTest, FailsTheNthMatchingCallOnly)
{
    StartMachine();
    std::string error;
    ASSERT_TRUE(model::InjectFault(GetParam().Fault, &error)) << error;
    std::vector<void*> blocks;
    for (size_t i = 0; i < Allocations.size(); ++i) {
        void* block = ExAllocatePoolWithTag(NonPagedPoolNx, Allocations[i].Size, Allocations[i].Tag);
        EXPECT_EQ(block == nullptr, static_cast<int>(i) == GetParam().FailingAllocation)
            << "allocation " << i;
        if (block != nullptr) {
            ExFreePoolWithTag(block, Allocations[i].Tag);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Model, FaultSelectorTest,
    ::testing::Values(SelectorCase{"NthCallOfTheRoutine", PoolFault(2), 1},
                      SelectorCase{"FirstWithTag", PoolFault(1, "ModB"), 1},
                      SelectorCase{"SecondWithTag", PoolFault(2, "ModB"), 3},
                      SelectorCase{"ThirdWithTag", PoolFault(3, "ModA"), 4},
                      SelectorCase{"TagNeverAllocated", PoolFault(1, "ModC"), -1},
                      SelectorCase{"TagIsAWholeWord", PoolFault(1, "Mod"), -1},
                      SelectorCase{"DetailText", PoolFault(2, {}, "size=16 "), 3},
                      SelectorCase{"TagAndDetail", PoolFault(1, "ModA", "size=32"), 4},
                      SelectorCase{"BeyondTheMatches", PoolFault(3, "ModB"), -1}),
    [](const auto& info) { return std::string(info.param.Name); });

using FaultCountTest = ModelTest;

// A fault injected after some calls still counts from the machine's start,
// as the routine's call number always has.
TEST_F(FaultCountTest, CallsBeforeTheInjectionCount)
{
    StartMachine();
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 16, TagModB);
    ASSERT_NE(first, nullptr);
    std::string error;
    ASSERT_TRUE(model::InjectFault(PoolFault(2, "ModB"), &error)) << error;
    void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 16, TagModA);
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 16, TagModB), nullptr);
    ExFreePoolWithTag(first, TagModB);
    ExFreePoolWithTag(other, TagModA);
}

using ScenarioFaultTest = ModelTest;

// A detail selector from a scenario reaches the driver's own lookup: with
// the query routine's lookup failed, the driver never calls it.
TEST_F(ScenarioFaultTest, DetailSelectsTheDriversRoutineLookup)
{
    for (bool faulted : {false, true}) {
        SCOPED_TRACE(faulted);
        std::string text = R"({"events": [{"event": "load"}, {"event": "unload"}]})";
        if (faulted) {
            text = R"({"faults": [{"routine": "MmGetSystemRoutineAddress",
                                   "detail": "NtQuerySystemInformation"}],
                       "events": [{"event": "load"}, {"event": "unload"}]})";
        }
        sim::Scenario scenario;
        std::string error;
        ASSERT_TRUE(sim::ParseScenario(text, &scenario, &error)) << error;
        std::ostringstream log;
        sim::RunScenario(scenario, [](std::string* openError) {
            return model::OpenHostImage(model::DefaultHostImagePath(), openError);
        }, log);
        EXPECT_EQ(log.str(), "");
        EXPECT_EQ(model::CallsTo({"NtQuerySystemInformation"}).size(), faulted ? 0u : 1u);
    }
}

// The scenario guide's table of injectable routines gives each routine that
// fails with a status exactly the statuses the routine table allows.
TEST(FaultStatusGuideTest, ListsEachRoutinesDocumentedStatuses)
{
    std::ifstream file(std::string(VEK_DOCS_DIR) + "/scenarios.md");
    ASSERT_TRUE(file);
    std::vector<std::string> rows;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("| `", 0) == 0 && line.find(" | return") != std::string::npos) {
            rows.push_back(line);
        }
    }
    const std::regex code("0xC[0-9A-F]{7}");
    for (const model::RoutineInfo& routine : model::ExportedRoutines()) {
        if (routine.Statuses.empty()) {
            continue;
        }
        const std::string name = std::string("`") + routine.Name + "`";
        auto row = std::find_if(rows.begin(), rows.end(), [&](const std::string& line) {
            return line.substr(0, line.find(" | return")).find(name) != std::string::npos;
        });
        ASSERT_NE(row, rows.end()) << routine.Name;
        std::set<std::string> listed(std::sregex_token_iterator(row->begin(), row->end(), code),
                                     std::sregex_token_iterator());
        std::set<std::string> allowed;
        for (const model::FailureStatus& status : routine.Statuses) {
            char text[16];
            std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status.Code));
            allowed.insert(text);
        }
        EXPECT_EQ(listed, allowed) << routine.Name;
    }
}

}  // namespace
}  // namespace vektest
