// Finds the reports in a console log: everything between "BUGCHECK DUMP
// STARTS" and "BUGCHECK DUMP ENDS" goes to a ReportParser, and restore
// outcome lines are picked up wherever they stand. Whatever else the console
// carried (boot output, other drivers, noise) is passed over.
#pragma once

#include "decode/line_reader.h"
#include "decode/report.h"
#include "decode/report_parser.h"

#include <functional>
#include <memory>
#include <string>

namespace decode {

struct ScanSink {
    std::function<void(CrashReport&&)> Report;
    std::function<void(RestoreLine&&)> Restore;
};

class LogScanner {
public:
    LogScanner(std::string source, ScanSink sink);
    void Feed(const LogLine& line);
    // The end of the log: a report still open is handed on as partial.
    void Finish();

private:
    void Close(bool complete, const std::string& reason);

    std::string Source_;
    ScanSink Sink_;
    std::unique_ptr<ReportParser> Open_;
    uint64_t LastLine_ = 0;
};

// Reads the whole descriptor through a LogScanner.
bool ScanDescriptor(int fd, const std::string& source, const ScanSink& sink);

}  // namespace decode
