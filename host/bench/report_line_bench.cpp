// Cost of one crash report line: host time per output byte and UART
// register accesses per output byte, with a transmitter that is always
// ready and with one that needs a few status polls per byte.
#include "model/machine.h"
#include "model/uart16550.h"

#include "console/report_print.h"
#include "console/serial_console.h"

#include <benchmark/benchmark.h>

namespace {

void PrepareMachine(uint64_t busyReads)
{
    model::MachineConfig config;
    config.Uarts[0].BusyReads = busyReads;
    model::ResetMachine(config);
    model::UartAt(0).SetLogging(false);
    ConsolePort = ConsolePortRecord{};
    ConsolePort.Base = 0x3F8;
    ConsolePort.Mode = ConsolePortIo;
}

// A stack line of the report in its longest common form.
void PrintStackLine()
{
    ReportPrint(ReportLevelCrash, "%016llX: (%016llX %016llX %016llX %016llX) %s + %p\n",
                0xFFFFF80312345670ull, 0ull, 0xFFFFF80312345700ull, 1ull, 0xFFFFC00012340000ull,
                "ntoskrnl.exe", reinterpret_cast<void*>(0x1F2A3B));
}

void ReportLine(benchmark::State& state)
{
    PrepareMachine(static_cast<uint64_t>(state.range(0)));
    model::Uart16550& uart = model::UartAt(0);
    uint64_t bytes = 0;
    for (auto _ : state) {
        PrintStackLine();
        bytes += uart.Transmitted().size();
        uart.DiscardTransmitted();
    }
    const double accesses = static_cast<double>(uart.ReadCount() + uart.WriteCount());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["ns_per_byte"] = benchmark::Counter(
        static_cast<double>(bytes), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["accesses_per_byte"] = accesses / static_cast<double>(bytes);
    state.counters["line_bytes"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
}
BENCHMARK(ReportLine)->Arg(0)->Arg(3)->ArgName("busy_reads");

}  // namespace

BENCHMARK_MAIN();
