// The all-processor broadcast on the host build: what one broadcast costs,
// and per processor, from 1 to 64 processors, with the model's processors
// taking turns under a seed and running free. The cost includes the model
// kernel's own bookkeeping of every DPC and switch, as the driver pays the
// real kernel's.
#include "model/driver_image.h"
#include "model/machine.h"

#include "hypervisor/broadcast.h"

#include <benchmark/benchmark.h>

namespace {

benchmark::State* CurrentState = nullptr;

VOID CountRun(ULONG, PVOID context)
{
    AtomicIncrement(static_cast<volatile LONG*>(context));
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

// The benchmark's loop runs inside the entry routine, where the driver's
// code runs on a real load.
NTSTATUS NTAPI BroadcastLoop(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = Unload;
    volatile LONG runs = 0;
    for (auto _ : *CurrentState) {
        NTSTATUS status = BroadcastToAllProcessors(CountRun, const_cast<LONG*>(&runs));
        benchmark::DoNotOptimize(status);
    }
    return STATUS_SUCCESS;
}

class LoopDriver : public model::DriverImage {
public:
    std::string Name() const override { return "broadcast_bench"; }
    const void* EntryRoutine() const override { return reinterpret_cast<const void*>(BroadcastLoop); }
    uint64_t Call(const model::DriverCall& call) override { return model::CallNativeRoutine(call); }
};

void RunBroadcasts(benchmark::State& state, bool freeRunning)
{
    model::MachineConfig config;
    config.Processors = static_cast<unsigned>(state.range(0));
    config.Seed = 1;
    config.FreeRunning = freeRunning;
    model::ResetMachine(config);
    CurrentState = &state;
    LoopDriver driver;
    if (model::LoadDriver(driver) != STATUS_SUCCESS || !model::Violations().empty()) {
        state.SkipWithError("the broadcast failed");
        return;
    }
    model::UnloadDriver();
    state.counters["per_processor"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(state.range(0)),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_BroadcastSeeded(benchmark::State& state) { RunBroadcasts(state, false); }
void BM_BroadcastFreeRunning(benchmark::State& state) { RunBroadcasts(state, true); }

BENCHMARK(BM_BroadcastSeeded)->RangeMultiplier(2)->Range(1, 64)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BroadcastFreeRunning)->RangeMultiplier(2)->Range(1, 64)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
