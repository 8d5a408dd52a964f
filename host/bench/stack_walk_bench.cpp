// The crash report's context block and a 20-frame stack trace, beside the
// time its lines take on a 115200-baud wire. The frames are leaves (return
// addresses in no image) over a resident stack, and half of them fall in a
// module of a map of 150, as a trace through the kernel and drivers gives.
// The console's own transmit wait is part of the measured time, as the
// model's UART answers each byte at once.
#include "model/address_space.h"
#include "model/machine.h"
#include "model/uart16550.h"

#include "console/serial_console.h"
#include "modules/module_map.h"
#include "report/context_stack.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr uint64_t FirstImage = 0xFFFFF80540000000ull;
constexpr uint64_t ImageStride = 0x100000;
constexpr uint64_t ImageSize = 0x80000;
constexpr int Modules = 150;
constexpr size_t StackBytes = 4096;
constexpr double BitsPerByte = 10.0;  // 8N1
constexpr double Baud = 115200.0;

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
    for (int i = 0; i < Modules; ++i) {
        std::string name = "drv" + std::to_string(1000 + i) + ".sys";
        InsertModuleEntry(&ModuleMap, name.c_str(), FirstImage + i * ImageStride, ImageSize);
    }
}

void FreeMap()
{
    PLIST_ENTRY head = &ModuleMap.Entries;
    while (head->Flink != head) {
        PLIST_ENTRY first = head->Flink;
        head->Flink = first->Flink;
        first->Flink->Blink = head;
        ExFreePoolWithTag(first, ModuleMapTag);
    }
}

void ContextAndTwentyFrames(benchmark::State& state)
{
    StartMachine();
    void* stack = std::aligned_alloc(StackBytes, StackBytes);
    auto* words = static_cast<uint64_t*>(stack);
    for (size_t i = 0; i < StackBytes / sizeof(uint64_t); ++i) {
        // Even frames in a module, odd ones in none; never 0, so the walk
        // runs to the frame limit.
        words[i] = i % 2 == 0 ? FirstImage + (i * 7 % Modules) * ImageStride + 0x1234
                              : 0xFFFFF80300001000ull + i;
    }
    model::MemoryRangeId range = model::EnterMemory(
        {reinterpret_cast<uintptr_t>(stack), StackBytes, model::MemoryKind::Ram, true, true, "stack"},
        model::MemoryOwner::Host);
    size_t bytes = 0;
    for (auto _ : state) {
        CONTEXT context = {};
        context.Rip = 0xFFFFF80300000001ull;
        context.Rsp = reinterpret_cast<uintptr_t>(stack);
        size_t before = model::ConsoleBytes().size();
        KIRQL previous = KfRaiseIrql(HIGH_LEVEL);
        PrintContextAndStack(&context);
        KeLowerIrql(previous);
        state.PauseTiming();
        bytes = model::ConsoleBytes().size() - before;
        if (model::ConsoleBytes().size() > (1u << 24)) {
            model::RemoveMemory(range);
            FreeMap();
            StartMachine();
            range = model::EnterMemory({reinterpret_cast<uintptr_t>(stack), StackBytes,
                                        model::MemoryKind::Ram, true, true, "stack"},
                                       model::MemoryOwner::Host);
        }
        state.ResumeTiming();
    }
    model::RemoveMemory(range);
    FreeMap();
    std::free(stack);
    state.counters["section_bytes"] = static_cast<double>(bytes);
    state.counters["wire_ms_115200"] = static_cast<double>(bytes) * BitsPerByte / Baud * 1000.0;
}
BENCHMARK(ContextAndTwentyFrames)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
