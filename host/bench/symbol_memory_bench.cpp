// Memory held by the symbol index as a log names ever more distinct
// modules: a hostile or merely long log may name a new module in every
// report, and the decoder promises constant memory whatever the log holds.
// Live heap bytes are counted (operator new and delete below), not timed:
// the check is that what the index holds stays under a fixed bound at 10k
// and at 40k names alike.
#include "decode/symbols/symbolizer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <unistd.h>

namespace {

std::atomic<int64_t> LiveBytes{0};

// What the index may hold whatever the log names: MaxRememberedModules
// answers of a few hundred bytes each.
constexpr int64_t MaxHeldBytes = 4 << 20;

}  // namespace

void* operator new(size_t size)
{
    auto* block = static_cast<size_t*>(std::malloc(size + sizeof(std::max_align_t)));
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    *block = size;
    LiveBytes += static_cast<int64_t>(size);
    return reinterpret_cast<char*>(block) + sizeof(std::max_align_t);
}

void operator delete(void* pointer) noexcept
{
    if (pointer != nullptr) {
        auto* block = reinterpret_cast<size_t*>(static_cast<char*>(pointer) - sizeof(std::max_align_t));
        LiveBytes -= static_cast<int64_t>(*block);
        std::free(block);
    }
}

void operator delete(void* pointer, size_t) noexcept
{
    operator delete(pointer);
}

namespace {

void BM_IndexMemoryPerDistinctModules(benchmark::State& state)
{
    namespace fs = std::filesystem;
    fs::path folder = fs::temp_directory_path() / ("vekcrash-symbol-memory-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const auto names = static_cast<unsigned>(state.range(0));
    int64_t held = 0;
    for (auto _ : state) {
        decode::SymbolIndex index({{folder.string(), {}}});
        int64_t before = LiveBytes;
        for (unsigned i = 0; i < names; ++i) {
            decode::ModuleRow row;
            char text[40];
            std::snprintf(text, sizeof(text), "guest%08u.sys", i);
            row.Name = text;
            std::snprintf(text, sizeof(text), "%08X52DD221E4C4C44205044422E", i + 1);
            row.Guid = text;
            row.Age = 1;
            if (i % 64 == 0) {
                index.BeginReport();
            }
            benchmark::DoNotOptimize(index.PdbFor(row));
        }
        held = LiveBytes - before;
    }
    fs::remove_all(folder);
    state.counters["held_kib"] = static_cast<double>(held) / 1024;
    if (held > MaxHeldBytes) {
        state.SkipWithError(("the index holds " + std::to_string(held) + " bytes after " +
                             std::to_string(names) + " distinct modules")
                                .c_str());
    }
}
BENCHMARK(BM_IndexMemoryPerDistinctModules)->Arg(10000)->Arg(40000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
