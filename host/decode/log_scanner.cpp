// Report framing. The markers are found anywhere in a line, since noise on
// the wire can stand before them; a start line inside an open report means
// the first was cut short (the machine restarted mid-report).
#include "decode/log_scanner.h"

namespace decode {

namespace {

constexpr std::string_view StartMarker = "BUGCHECK DUMP STARTS";
constexpr std::string_view EndMarker = "BUGCHECK DUMP ENDS";
constexpr std::string_view RestorePrefix = "Viridian State Restoration is ";

}  // namespace

LogScanner::LogScanner(std::string source, ScanSink sink)
    : Source_(std::move(source)), Sink_(std::move(sink))
{
}

void LogScanner::Close(bool complete, const std::string& reason)
{
    CrashReport report = Open_->Finish(complete, reason, LastLine_);
    Open_.reset();
    if (Sink_.Report) {
        Sink_.Report(std::move(report));
    }
}

void LogScanner::Feed(const LogLine& line)
{
    LastLine_ = line.Number;
    std::string_view text = line.Text;
    // Markers and restore lines are short: a cut line still carries them at
    // its start, where they stand on a clean console.
    if (text.find(StartMarker) != std::string_view::npos) {
        if (Open_) {
            LastLine_ = line.Number - 1;
            Close(false, "a new report starts at line " + std::to_string(line.Number) +
                             " before this one's end line");
            LastLine_ = line.Number;
        }
        Open_ = std::make_unique<ReportParser>(Source_, line.Number);
        return;
    }
    if (text.find(EndMarker) != std::string_view::npos) {
        if (Open_) {
            Close(true, std::string());
        }
        return;  // an end line with no start: its report began before the log
    }
    size_t restore = text.find(RestorePrefix);
    if (restore != std::string_view::npos) {
        if (Sink_.Restore) {
            RestoreLine outcome;
            outcome.Source = Source_;
            outcome.Line = line.Number;
            std::string_view rest = text.substr(restore + RestorePrefix.size());
            constexpr size_t OutcomeMax = 64;
            outcome.Outcome = std::string(rest.substr(0, OutcomeMax));
            Sink_.Restore(std::move(outcome));
        }
        return;
    }
    if (Open_) {
        Open_->Feed(text, line.Number);
        if (line.Cut) {
            Open_->Warn("line " + std::to_string(line.Number) + " is longer than " +
                        std::to_string(LineReader::MaxLineLength) + " bytes; the rest was dropped");
        }
    }
}

void LogScanner::Finish()
{
    if (Open_) {
        Close(false, "the log ends at line " + std::to_string(LastLine_) + " before its end line");
    }
}

bool ScanDescriptor(int fd, const std::string& source, const ScanSink& sink)
{
    LineReader reader(fd);
    LogScanner scanner(source, sink);
    LogLine line;
    while (reader.Next(&line)) {
        scanner.Feed(line);
    }
    scanner.Finish();
    return !reader.Failed();
}

}  // namespace decode
