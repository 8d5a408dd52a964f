// libFuzzer target: arbitrary bytes as a console log through the decoder,
// from the line reader to the JSON and text output. Nothing may fault,
// every list stays within its bound, a report passed over unread as the
// last one printed again, and lines taken over from the report before,
// must give what reading and parsing them gives, and every JSON line reads
// back.
#include "decode/decode_command.h"
#include "decode/logs/log_scanner.h"
#include "decode/reports/report_parser.h"
#include "decode/triage/report_output.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// The log in fd through the scanner and a report stream: what came out,
// and the count of complete reports.
struct Decoded {
    std::string Out;
    unsigned Complete = 0;
    bool operator!=(const Decoded& other) const
    {
        return Out != other.Out || Complete != other.Complete;
    }
};

Decoded Decode(int fd, bool json, bool foldUnread, bool takeOver = true)
{
    std::ostringstream out;
    decode::ReportStream stream(out, json, nullptr);
    decode::ScanSink sink;
    sink.Report = [&stream](decode::CrashReport&& report) {
        if (report.Modules.size() > decode::ReportParser::MaxModules ||
            report.Frames.size() > decode::ReportParser::MaxFrames ||
            report.Registers.size() > 24 ||
            report.Os.Suites.size() > decode::ReportParser::MaxSuites ||
            report.Warnings.size() > decode::ReportParser::MaxReportWarnings +
                                         decode::ReportParser::MaxWarnings + 1) {
            std::abort();
        }
        stream.Report(std::move(report));
    };
    sink.Restore = [&stream](decode::RestoreLine&& line) { stream.Restore(std::move(line)); };
    if (foldUnread) {
        sink.FoldsRepeat = [&stream] { return stream.FoldsRepeat(); };
        sink.Repeated = [&stream](uint64_t firstLine) { stream.Repeated(firstLine); };
    }
    sink.TakeOver = takeOver;
    decode::ScanDescriptor(fd, "fuzz", sink);
    stream.Flush();
    ::lseek(fd, 0, SEEK_SET);
    return {out.str(), stream.Complete()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int fd = ::memfd_create("console", 0);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
        return 0;
    }
    if (size != 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) {
        return 0;
    }
    ::lseek(fd, 0, SEEK_SET);
    for (bool json : {true, false}) {
        Decoded decoded = Decode(fd, json, true);
        if (decoded != Decode(fd, json, false) || decoded != Decode(fd, json, false, false)) {
            std::abort();
        }
        // Each JSON line reads back, and nlohmann writes what it read back
        // as the line stands: the streaming writer spells every byte as a
        // JSON library does.
        std::istringstream lines(json ? decoded.Out : std::string());
        for (std::string line; std::getline(lines, line);) {
            if (decode::JsonLine(nlohmann::ordered_json::parse(line)) != line) {
                std::abort();
            }
        }
    }
    return 0;
}
