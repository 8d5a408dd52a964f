// Finds the reports in a console log: everything between "BUGCHECK DUMP
// STARTS" and "BUGCHECK DUMP ENDS" goes to a ReportParser, and restore
// outcome lines are picked up wherever they stand. Whatever else the console
// carried (boot output, other drivers, noise) is passed over.
#pragma once

#include "decode/logs/line_reader.h"
#include "decode/reports/report.h"
#include "decode/reports/report_parser.h"

#include <functional>
#include <memory>
#include <string>

namespace decode {

struct ScanSink {
    std::function<void(CrashReport&&)> Report;
    std::function<void(RestoreLine&&)> Restore;
    // Asked between lines: true ends the scan early (the reader went away).
    std::function<bool()> Stopped;
};

class LogScanner {
public:
    LogScanner(std::string source, ScanSink sink);
    void Feed(const LogLine& line);
    // The end of the log: a report still open is handed on as partial.
    void Finish();
    // Inside a report every line is read; outside only lines that may
    // start one or carry a restore outcome.
    bool InReport() const { return Open_ != nullptr; }

private:
    void Close(bool complete, const std::string& reason);
    void Open(std::string_view text, size_t markerAt, bool exact, uint64_t number);
    // The line without the prefix its start line had (a timestamp, a colour
    // code, a host name), by the same bytes, the same shape, or up to where
    // a line of the report begins.
    std::string_view StripPrefix(std::string_view text) const;

    std::string Source_;
    ScanSink Sink_;
    std::unique_ptr<ReportParser> Open_;
    uint64_t LastLine_ = 0;
    std::string Prefix_;
};

// Where the start marker stands in the line: exactly, or (with *exact
// false) within one substituted, dropped or added byte of it and at the
// line's end, as noise damages it. npos when neither.
size_t FindStartMarker(std::string_view text, bool* exact);

// Reads the whole descriptor through a LogScanner. False when a read
// failed or the input is no console log, with why in *problem when given.
bool ScanDescriptor(int fd, const std::string& source, const ScanSink& sink,
                    std::string* problem = nullptr);

}  // namespace decode
