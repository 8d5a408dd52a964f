// Decoder throughput on a large synthetic console log (reports between boot
// chatter and noise), beside the speed of only reading the same file, in
// the same run: the gap is what decoding costs over the disk,
// and a grep-like scan of the same file to hold decoding against.
#include "decode/decode_command.h"
#include "decode/logs/log_scanner.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t LogBytes = 256u << 20;

const char Report[] =
    "\nBUGCHECK DUMP STARTS\nOUTPUT FORMAT: 2\nCRASHED ON: 2026-12-07 04:36:42:123\n"
    "KERNEL: 10.0 (BUILD 19045) PLATFORM WIN32_NT (x64)\nSUITES:\n- SINGLEUSERTS\n- PERSONAL\n"
    "TYPE: WORKSTATION\nModule\tPdbName\tGuid\tPdbAge\n";
const char ReportTail[] =
    "BUGCHECK CODE 000000D1: 0000000000000010 0000000000000002 0000000000000000 FFFFF8054A2B1C3D\n"
    "CONTEXT (00007FFC6F361630):\n- GS = 002B\n- FS = 0053\n- ES = 002B\n- DS = 002B\n- SS = 0018\n"
    "- CS = 0010\n- EFLAGS = 00000202\n- RDI = 0000000000000001\n- RSI = 0000000000000002\n"
    "- RBX = 0000000000000003\n- RDX = 0000000000000004\n- RCX = 0000000000000005\n"
    "- RAX = 0000000000000006\n- RBP = 0000000000000007\n- RIP = FFFFF8054A2B1000\n"
    "- RSP = FFFFF80312345600\n- R8 = 0000000000000008\n- R9 = 0000000000000009\n"
    "- R10 = 000000000000000A\n- R11 = 000000000000000B\n- R12 = 000000000000000C\n"
    "- R13 = 000000000000000D\n- R14 = 000000000000000E\n- R15 = 000000000000000F\nSTACK:\n";

// A log of `bytes`: each round is `chatter` lines of boot output, then a
// report with a module table of 150 rows and 20 frames. The rounds' reports
// are one crash printed again (folded into one report on output), or with
// `distinct` each a crash of its own, a minute after the one before; with
// `newTables` too, each round's module rows have GUIDs of their own (from a
// counter), so no row is the report before's; with `machines` instead, the
// rounds are those machines' crashes in turn, each machine's table with a
// GUID of its own in every tenth row (other builds of a few drivers), so
// a report's table is the one before's but for some rows here and there.
// Every line may stand behind a prefix: its machine's ("vm3| "), as a
// multiplexer writes a fleet's consoles into one log, or a timestamp that
// changes from line to line, as a logging serial server writes them.
enum class LinePrefix { None, Machine, Timestamp };
std::string WriteLog(const char* name, int chatter, size_t bytes = LogBytes, bool distinct = false,
                     bool newTables = false, unsigned machines = 0, LinePrefix linePrefix = LinePrefix::None)
{
    std::string file = (std::filesystem::temp_directory_path() /
                        ("vekcrash-decode-bench-" + std::to_string(::getpid()) + name))
                           .string();
    {
        std::string round;
        for (int i = 0; i < chatter; ++i) {
            round += "[    1.234567] boot chatter line " + std::to_string(i) +
                     " from some other driver, CR LF ended\r\n";
        }
        round += Report;
        char line[256];
        for (int i = 0; i < 150; ++i) {
            std::snprintf(line, sizeof(line), "module%03d.sys\t\t%08X52DD221E4C4C44205044422E\t1\n",
                          i, 0x6B472C46 + i);
            round += line;
        }
        round += ReportTail;
        for (int i = 0; i < 20; ++i) {
            std::snprintf(line, sizeof(line),
                          "FFFFF803123456%02X: (0000000000000000 FFFFF80312345700 0000000000000001 "
                          "FFFFC00012340000) module%03d.sys + 00000000000025%02X\n",
                          i, i, i);
            round += line;
        }
        round += "BUGCHECK DUMP ENDS\n";
        constexpr std::string_view Time = "2026-12-07 04:36:42:123";
        size_t timeAt = round.find(Time);
        // Where each row's GUID stands: its first 8 digits change a round.
        std::vector<size_t> guidAt;
        for (size_t at = round.find(".sys\t\t"); at != std::string::npos; at = round.find(".sys\t\t", at + 1)) {
            guidAt.push_back(at + 6);
        }
        std::ofstream out(file, std::ios::binary);
        unsigned minute = 0;
        unsigned table = 0;
        unsigned machine = 0;
        unsigned lineNumber = 0;
        std::string prefixed;
        for (size_t written = 0; written < bytes;) {
            const unsigned roundMachine = machine;
            if (distinct) {
                constexpr unsigned MinutesADay = 24 * 60;
                constexpr unsigned Days = 28;
                char time[Time.size() + 1];
                std::snprintf(time, sizeof(time), "2026-12-%02u %02u:%02u:42:123", 1 + minute / MinutesADay % Days,
                              minute / 60 % 24, minute % 60);
                round.replace(timeAt, Time.size(), time, Time.size());
                ++minute;
            }
            if (newTables) {
                for (size_t at : guidAt) {
                    char digits[9];
                    std::snprintf(digits, sizeof(digits), "%08X", table++);
                    round.replace(at, 8, digits, 8);
                }
            }
            if (machines != 0) {
                constexpr unsigned EveryTenth = 10;
                for (size_t i = 0; i < guidAt.size(); ++i) {
                    char digits[9];
                    std::snprintf(digits, sizeof(digits), "%08X",
                                  i % EveryTenth == machine % EveryTenth ? 0xA0000000 + machine
                                                                         : 0x6B472C46 + static_cast<unsigned>(i));
                    round.replace(guidAt[i], 8, digits, 8);
                }
                machine = (machine + 1) % machines;
            }
            if (linePrefix == LinePrefix::None) {
                out << round;
                written += round.size();
                continue;
            }
            prefixed.clear();
            for (size_t at = 0; at < round.size();) {
                size_t end = round.find('\n', at) + 1;
                char prefix[40];
                if (linePrefix == LinePrefix::Machine) {
                    std::snprintf(prefix, sizeof(prefix), "vm%u| ", roundMachine);
                } else {
                    constexpr unsigned Micros = 1000000;
                    ++lineNumber;
                    std::snprintf(prefix, sizeof(prefix), "[2026-12-07 %02u:%02u:%02u.%06u] ", lineNumber / 3600 / 1000 % 24,
                                  lineNumber / 60000 % 60, lineNumber / 1000 % 60, lineNumber * 37 % Micros);
                }
                prefixed += prefix;
                prefixed.append(round, at, end - at);
                at = end;
            }
            out << prefixed;
            written += prefixed.size();
        }
    }
    return file;
}

// Dense with reports: what parsing costs.
const std::string& LogPath()
{
    static const std::string path = WriteLog(".log", 40);
    return path;
}

// As dense, each report a crash of its own: what writing them out costs
// (the JSON output is about three times the log's size, hence the smaller
// log).
const std::string& DistinctLogPath()
{
    static const std::string path = WriteLog("-distinct.log", 40, LogBytes / 4, true);
    return path;
}

// As dense with distinct crashes, each with a module table of its own (a
// fleet of machines that load other builds): every module row is parsed.
const std::string& NewTablesLogPath()
{
    static const std::string path = WriteLog("-tables.log", 40, LogBytes / 4, true, true);
    return path;
}

// As dense with distinct crashes, from eight machines in turn whose tables
// differ in some rows: each report takes over most of the one before's.
const std::string& FleetLogPath()
{
    constexpr unsigned Machines = 8;
    static const std::string path = WriteLog("-fleet.log", 40, LogBytes / 4, true, false, Machines);
    return path;
}

// As the fleet's, from sixteen machines: more than the decoder keeps each
// one's last report apart, so each report's table is parsed anew, and the
// JSON writer knows it again by its rows.
const std::string& LargeFleetLogPath()
{
    constexpr unsigned Machines = 16;
    static const std::string path = WriteLog("-large-fleet.log", 40, LogBytes / 4, true, false, Machines);
    return path;
}

// The fleet's log as a multiplexer writes it, each line behind its
// machine's prefix: each report takes over most of its own machine's last.
const std::string& MultiplexedLogPath()
{
    constexpr unsigned Machines = 8;
    static const std::string path =
        WriteLog("-multiplexed.log", 40, LogBytes / 4, true, false, Machines, LinePrefix::Machine);
    return path;
}

// The dense log of distinct crashes with a timestamp before every line
// (each line's its own): nothing is the report before's byte for byte.
const std::string& TimestampedLogPath()
{
    static const std::string path =
        WriteLog("-timestamped.log", 40, LogBytes / 4, true, false, 0, LinePrefix::Timestamp);
    return path;
}

// One report whose module table runs on past the table's bound to the
// log's end, as a hostile or looping guest may print it: every row after
// the bound is counted, none kept.
const std::string& PastBoundLogPath()
{
    static const std::string path = [] {
        std::string file = (std::filesystem::temp_directory_path() /
                            ("vekcrash-decode-bench-" + std::to_string(::getpid()) + "-past-bound.log"))
                               .string();
        std::ofstream out(file, std::ios::binary);
        out << Report;
        char line[80];
        for (size_t written = 0, i = 0; written < LogBytes / 4; ++i) {
            int length = std::snprintf(line, sizeof(line), "m%07zu.sys\t\t6B472C4652DD221E4C4C44205044422E\t1\n", i);
            out.write(line, length);
            written += static_cast<size_t>(length);
        }
        return file;
    }();
    return path;
}

// Mostly boot output, as a machine's console log is: what passing over
// noise costs.
const std::string& NoiseLogPath()
{
    static const std::string path = WriteLog("-noise.log", 20000);
    return path;
}

size_t FileSize()
{
    return static_cast<size_t>(std::filesystem::file_size(LogPath()));
}

void BM_ReadOnly(benchmark::State& state)
{
    std::vector<char> buffer(1 << 16);
    for (auto _ : state) {
        int fd = ::open(LogPath().c_str(), O_RDONLY);
        size_t total = 0;
        ssize_t got = 0;
        while ((got = ::read(fd, buffer.data(), buffer.size())) > 0) {
            total += static_cast<size_t>(got);
        }
        ::close(fd);
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize()));
}
BENCHMARK(BM_ReadOnly)->Unit(benchmark::kMillisecond);

void BM_ScanAndParse(benchmark::State& state)
{
    size_t reports = 0;
    for (auto _ : state) {
        int fd = ::open(LogPath().c_str(), O_RDONLY);
        decode::ScanSink sink;
        sink.Report = [&reports](decode::CrashReport&&) { ++reports; };
        decode::ScanDescriptor(fd, "bench.log", sink);
        ::close(fd);
    }
    state.counters["reports"] = static_cast<double>(reports) / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize()));
}
BENCHMARK(BM_ScanAndParse)->Unit(benchmark::kMillisecond);

// What grep -c does: the file read in large blocks, the start marker
// searched with memmem and the line ends counted.
size_t PlainScan(const std::string& path)
{
    constexpr std::string_view Marker = "BUGCHECK DUMP STARTS";
    std::vector<char> buffer(1 << 17);
    int fd = ::open(path.c_str(), O_RDONLY);
    size_t found = 0;
    size_t lines = 0;
    size_t kept = 0;
    ssize_t got = 0;
    while ((got = ::read(fd, buffer.data() + kept, buffer.size() - kept)) > 0) {
        size_t size = kept + static_cast<size_t>(got);
        for (const char* at = buffer.data(); (at = static_cast<const char*>(
                                                   ::memmem(at, buffer.data() + size - at, Marker.data(),
                                                            Marker.size()))) != nullptr;
             at += Marker.size()) {
            ++found;
        }
        lines += static_cast<size_t>(std::count(buffer.data(), buffer.data() + size, '\n'));
        kept = std::min(size, Marker.size() - 1);
        std::memmove(buffer.data(), buffer.data() + size - kept, kept);
    }
    ::close(fd);
    return found + lines;
}

// Decoding beside a plain scan of the same file in the same run: the ratio
// (decode time over scan time) is the figure to hold at or below 1.
void BM_DecodeOverPlainScan(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    double scanSeconds = 0;
    double decodeSeconds = 0;
    for (auto _ : state) {
        Clock::time_point begin = Clock::now();
        benchmark::DoNotOptimize(PlainScan(NoiseLogPath()));
        Clock::time_point middle = Clock::now();
        int fd = ::open(NoiseLogPath().c_str(), O_RDONLY);
        size_t reports = 0;
        decode::ScanSink sink;
        sink.Report = [&reports](decode::CrashReport&&) { ++reports; };
        decode::ScanDescriptor(fd, "bench.log", sink);
        ::close(fd);
        benchmark::DoNotOptimize(reports);
        scanSeconds += std::chrono::duration<double>(middle - begin).count();
        decodeSeconds += std::chrono::duration<double>(Clock::now() - middle).count();
    }
    state.counters["scan_ms"] = scanSeconds * 1000 / static_cast<double>(state.iterations());
    state.counters["decode_ms"] = decodeSeconds * 1000 / static_cast<double>(state.iterations());
    state.counters["decode_over_scan"] = decodeSeconds / scanSeconds;
}
BENCHMARK(BM_DecodeOverPlainScan)->Unit(benchmark::kMillisecond);

// The whole command, text (json:0), JSON (json:1) or JSON with each module
// table written once (json:2) written to a file, on
// the report-dense log (log:0), the noise log (log:1) or the dense log of
// distinct crashes (log:2) or of distinct crashes whose module tables all
// differ (log:3) or differ from the one before's in some rows (log:4),
// or the log of one table past its bound (log:5), or the fleet's log
// multiplexed (log:6), or the timestamped log (log:7), or sixteen machines'
// log (log:8), beside a plain scan of
// the same log in the same run: the ratios to hold are text at or below 1
// and JSON within 1.5 of text.
void BM_DenseDecodeOverPlainScan(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    const std::string& log = state.range(0) == 0   ? LogPath()
                             : state.range(0) == 1 ? NoiseLogPath()
                             : state.range(0) == 2 ? DistinctLogPath()
                             : state.range(0) == 3 ? NewTablesLogPath()
                             : state.range(0) == 4 ? FleetLogPath()
                             : state.range(0) == 5 ? PastBoundLogPath()
                             : state.range(0) == 6 ? MultiplexedLogPath()
                             : state.range(0) == 7 ? TimestampedLogPath()
                                                   : LargeFleetLogPath();
    decode::DecodeOptions options;
    options.Json = state.range(1) != 0;
    options.ModulesOnce = state.range(1) == 2;
    options.Logs = {log};
    std::string output = log + ".out";
    double scanSeconds = 0;
    double decodeSeconds = 0;
    for (auto _ : state) {
        // The last run's output goes before the clock starts: freeing its
        // pages is no part of this run's decoding.
        std::remove(output.c_str());
        Clock::time_point begin = Clock::now();
        benchmark::DoNotOptimize(PlainScan(log));
        Clock::time_point middle = Clock::now();
        {
            std::ofstream out(output, std::ios::binary | std::ios::trunc);
            std::ostringstream err;
            benchmark::DoNotOptimize(decode::RunDecode(options, out, err));
        }
        scanSeconds += std::chrono::duration<double>(middle - begin).count();
        decodeSeconds += std::chrono::duration<double>(Clock::now() - middle).count();
    }
    std::remove(output.c_str());
    state.counters["scan_ms"] = scanSeconds * 1000 / static_cast<double>(state.iterations());
    state.counters["decode_ms"] = decodeSeconds * 1000 / static_cast<double>(state.iterations());
    state.counters["decode_over_scan"] = decodeSeconds / scanSeconds;
}
BENCHMARK(BM_DenseDecodeOverPlainScan)
    ->ArgNames({"log", "json"})
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6, 7, 8}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond);

// The whole command without symbols: scanning, parsing and JSON output.
void BM_DecodeToJson(benchmark::State& state)
{
    decode::DecodeOptions options;
    options.Json = true;
    options.Logs = {LogPath()};
    for (auto _ : state) {
        std::ostringstream err;
        struct NullBuffer : std::streambuf {
            int overflow(int c) override { return c; }
            std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
        } null;
        std::ostream out(&null);
        benchmark::DoNotOptimize(decode::RunDecode(options, out, err));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize()));
}
BENCHMARK(BM_DecodeToJson)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    LogPath();
    NoiseLogPath();
    DistinctLogPath();
    NewTablesLogPath();
    FleetLogPath();
    PastBoundLogPath();
    MultiplexedLogPath();
    TimestampedLogPath();
    LargeFleetLogPath();
    benchmark::RunSpecifiedBenchmarks();
    std::filesystem::remove(LogPath());
    std::filesystem::remove(NoiseLogPath());
    std::filesystem::remove(DistinctLogPath());
    std::filesystem::remove(NewTablesLogPath());
    std::filesystem::remove(FleetLogPath());
    std::filesystem::remove(PastBoundLogPath());
    std::filesystem::remove(MultiplexedLogPath());
    std::filesystem::remove(TimestampedLogPath());
    std::filesystem::remove(LargeFleetLogPath());
    return 0;
}
