// `vekcrash decode`: reads console logs (or stdin), finds every crash
// report, and prints each as text or as a JSON line, symbolized when symbol
// folders are given.
#pragma once

#include "decode/reports/report.h"
#include "decode/symbols/symbolizer.h"
#include "decode/triage/json_writer.h"

#include <functional>
#include <memory>
#include <ostream>
#include <string>

namespace decode {

class ReportJsonWriter;  // report_output.h
class ReportTextCache;

constexpr int ExitFoundReport = 0;
constexpr int ExitNoReport = 1;
constexpr int ExitBadCommandLine = 2;

// How long --follow waits on a report cut off before showing it as partial:
// a report at 115200 baud arrives in well under a second.
constexpr double DefaultIdleSeconds = 3.0;
constexpr double MaxIdleSeconds = 86400.0;

struct DecodeOptions {
    bool Json = false;
    bool ListModules = false;  // --modules
    bool ModulesOnce = false;  // --modules-once: each module table one JSON line, reports naming it
    bool Summary = false;      // --summary
    bool Verbose = false;      // --verbose: notes on what was passed over
    bool Follow = false;       // --follow
    double IdleSeconds = DefaultIdleSeconds;  // --idle: a report cut off this long is shown as partial
    // --symbols entries, then those of _NT_SYMBOL_PATH.
    std::vector<SymbolPathEntry> SymbolPath;
    ServerLimits Servers;  // --symbol-max-bytes, --symbol-redirects-anywhere
    std::vector<std::string> Logs;  // none: stdin
};

// The reports of one log on their way out: a report printed again for the
// same crash right after itself is folded into the first; each is
// symbolized, then written.
class ReportStream {
public:
    ReportStream(std::ostream& out, bool json, Symbolizer* symbolizer);
    ~ReportStream();
    // Each report, symbolized, goes to `deliver` instead of being printed.
    void Deliver(std::function<void(CrashReport&)> deliver) { Deliver_ = std::move(deliver); }
    void ListModules(bool list) { ListModules_ = list; }
    // JSON reports name their module table, written once as a line of its
    // own (ReportJsonWriter::ModulesOnce).
    void ModulesOnce(bool once);
    void Report(CrashReport&& report);
    // True when a report with the same content as the last one given would
    // be folded into the report held back; Repeated then takes such a
    // report, known by where it starts, without its being read.
    bool FoldsRepeat() const { return Pending_ != nullptr && LastFolds_; }
    void Repeated(uint64_t firstLine);
    void Restore(RestoreLine&& line);
    // Writes the report held back to see whether it repeats, and hands the
    // text or JSON lines gathered so far to the stream.
    void Flush();
    unsigned Complete() const { return Complete_; }
    unsigned Written() const { return Written_; }

private:
    void WritePending();
    void Write(CrashReport& report);
    void WriteText();

    std::ostream& Out_;
    // Reports' text is put together here and written in large blocks: a
    // stream such as std::cout (tied to C stdio) pays per insertion.
    std::string Text_;
    bool Json_;
    // JSON lines gather here and go to Out_ in large blocks (and on Flush).
    JsonLineWriter JsonOut_{Out_};
    std::unique_ptr<ReportJsonWriter> JsonReports_;
    std::unique_ptr<ReportTextCache> TextCache_;
    Symbolizer* Symbolizer_;
    std::function<void(CrashReport&)> Deliver_;
    bool ListModules_ = false;
    std::unique_ptr<CrashReport> Pending_;
    // The last report given was folded into Pending_, or is Pending_ and
    // would fold into itself: a report the same again would fold.
    bool LastFolds_ = false;
    unsigned Complete_ = 0;
    unsigned Written_ = 0;
};

// Parses the arguments after "decode". On failure returns false with one
// line saying why.
bool ParseDecodeOptions(int argc, char** argv, DecodeOptions* options, std::string* error);

// Runs the command; returns its exit status.
int RunDecode(const DecodeOptions& options, std::ostream& out, std::ostream& err);

extern const char DecodeUsage[];

}  // namespace decode
