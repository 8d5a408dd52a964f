// The module map: insertions in load order and in random order, a stack
// trace's worth of lookups, and what the module table costs on the wire.
// Every insertion also pays the model kernel's pool and residency calls,
// as the driver does on a real kernel.
#include "model/machine.h"
#include "model/uart16550.h"

#include "console/serial_console.h"
#include "modules/module_map.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint64_t FirstImage = 0xFFFFF80540000000ull;
constexpr uint64_t ImageStride = 0x100000;
constexpr uint64_t ImageSize = 0x80000;
constexpr int StackFrames = 20;
constexpr double BitsPerByte = 10.0;  // 8N1: start, eight data bits, stop
constexpr double Baud = 115200.0;

// A named machine, not a {} temporary (g++ 12 warns falsely on those).
const model::MachineConfig& Machine()
{
    static const model::MachineConfig machine;
    return machine;
}

void StartMachine()
{
    model::ResetMachine(Machine());
    model::UartAt(0).SetLogging(false);
    ConsolePort = ConsolePortRecord{};
    ConsolePort.Base = 0x3F8;
    ConsolePort.Mode = ConsolePortIo;
    ModuleMap = ModuleMapRecord{};
    ModuleMap.Entries.Flink = ModuleMap.Entries.Blink = &ModuleMap.Entries;
    ModuleMap.Cursor = &ModuleMap.Entries;
}

void FreeMap()
{
    PLIST_ENTRY head = &ModuleMap.Entries;
    while (head->Flink != head) {
        PLIST_ENTRY first = head->Flink;
        head->Flink = first->Flink;
        first->Flink->Blink = head;
        ExFreePoolWithTag(first, ModuleMapTag);  // Links come first in the entry
    }
    head->Blink = head;
    ModuleMap.Cursor = head;
}

std::vector<uint64_t> Starts(size_t count, bool shuffled)
{
    std::vector<uint64_t> starts(count);
    for (size_t i = 0; i < count; ++i) {
        starts[i] = FirstImage + i * ImageStride;
    }
    if (shuffled) {
        std::shuffle(starts.begin(), starts.end(), std::mt19937_64(42));
    }
    return starts;
}

void Inserts(benchmark::State& state, bool shuffled)
{
    StartMachine();
    std::vector<uint64_t> starts = Starts(static_cast<size_t>(state.range(0)), shuffled);
    for (auto _ : state) {
        for (uint64_t start : starts) {
            InsertModuleEntry(&ModuleMap, "driver.sys", start, ImageSize);
        }
        state.PauseTiming();
        FreeMap();
        StartMachine();  // drops the model's call log
        state.ResumeTiming();
    }
    state.counters["ns_per_insert"] = benchmark::Counter(
        static_cast<double>(starts.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void InsertsInLoadOrder(benchmark::State& state) { Inserts(state, false); }
void InsertsInRandomOrder(benchmark::State& state) { Inserts(state, true); }
BENCHMARK(InsertsInLoadOrder)->Arg(100)->Arg(1000)->Arg(10000)->ArgName("images")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(InsertsInRandomOrder)->Arg(100)->Arg(1000)->Arg(10000)->ArgName("images")
    ->Unit(benchmark::kMicrosecond);

// A stack trace's lookups over a map of 1,000 images: return addresses
// spread over the whole map, as a trace through many drivers gives.
void StackTraceLookups(benchmark::State& state)
{
    StartMachine();
    for (uint64_t start : Starts(1000, false)) {
        InsertModuleEntry(&ModuleMap, "driver.sys", start, ImageSize);
    }
    std::mt19937_64 random(7);
    uint64_t frames[StackFrames];
    for (uint64_t& frame : frames) {
        frame = FirstImage + (random() % 1000) * ImageStride + 0x1234;
    }
    KIRQL previous = KfRaiseIrql(HIGH_LEVEL);
    for (auto _ : state) {
        for (uint64_t frame : frames) {
            PCSTR name;
            ULONG64 offset;
            LookupModuleByAddress(frame, &name, &offset);
            benchmark::DoNotOptimize(name);
        }
    }
    KeLowerIrql(previous);
    FreeMap();
}
BENCHMARK(StackTraceLookups)->Unit(benchmark::kMicrosecond);

// The module table of a machine with 150 modules: names of typical length,
// most PDB names matching their module (an empty column), the rest not.
void ModuleTableOnTheWire(benchmark::State& state)
{
    constexpr int Modules = 150;
    std::string console;
    for (auto _ : state) {
        state.PauseTiming();
        StartMachine();
        for (int i = 0; i < Modules; ++i) {
            std::string name = "drv" + std::to_string(1000 + i) + ".sys";
            InsertModuleEntry(&ModuleMap, name.c_str(), FirstImage + i * ImageStride, ImageSize);
            auto* entry = reinterpret_cast<ModuleEntry*>(ModuleMap.Cursor);
            entry->Identity.PdbAge = 1;
            std::memset(&entry->Identity.PdbGuid, 0xAB, sizeof(GUID));
            std::string pdb = i % 5 == 0 ? "kernelmode" + std::to_string(i) + ".pdb"
                                         : "drv" + std::to_string(1000 + i) + ".pdb";
            std::strcpy(entry->Identity.PdbName, pdb.c_str());
        }
        state.ResumeTiming();
        KIRQL previous = KfRaiseIrql(HIGH_LEVEL);
        PrintModuleTable();
        KeLowerIrql(previous);
        state.PauseTiming();
        console = model::ConsoleBytes();
        FreeMap();
        state.ResumeTiming();
    }
    const double header = std::strlen("Module\tPdbName\tGuid\tPdbAge\n");
    const double bytes = static_cast<double>(console.size());
    state.counters["table_bytes"] = bytes;
    state.counters["bytes_per_module"] = (bytes - header) / Modules;
    state.counters["wire_ms_115200"] = bytes * BitsPerByte / Baud * 1000.0;
}
BENCHMARK(ModuleTableOnTheWire)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
