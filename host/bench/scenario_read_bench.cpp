// Cost of reading a scenario against the length of its lists: a list of
// objects must read in time linear in its length (the JSON library's
// filtering parser made it quadratic: a 960 KB list took 49 s).
#include "sim/scenario.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

// A scenario with count faults, each a small object.
std::string FaultList(int64_t count)
{
    std::string text = R"({"faults": [)";
    for (int64_t i = 0; i < count; ++i) {
        text += i == 0 ? "" : ",";
        text += R"({"routine": "RtlGetVersion", "call": 7})";
    }
    return text + R"(], "events": []})";
}

void ReadFaultList(benchmark::State& state)
{
    const std::string text = FaultList(state.range(0));
    for (auto _ : state) {
        sim::Scenario scenario;
        std::string error;
        if (!sim::ParseScenario(text, &scenario, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        benchmark::DoNotOptimize(scenario.Faults.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(ReadFaultList)->RangeMultiplier(4)->Range(1 << 8, 1 << 16)->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
