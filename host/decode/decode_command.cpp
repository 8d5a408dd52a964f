// The decode command: options, the files in turn, the exit status.
#include "decode/decode_command.h"

#include "decode/logs/follow.h"
#include "decode/logs/log_scanner.h"
#include "decode/triage/report_output.h"
#include "decode/triage/summary.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace decode {

const char DecodeUsage[] =
    "usage: vekcrash decode [--json [--modules-once]] [--modules] [--verbose] [--symbols PATH]... [LOG...]\n"
    "       vekcrash decode --summary [--json] [--symbols PATH]... LOG...\n"
    "       vekcrash decode --follow [--idle SECONDS] [--json [--modules-once]] [--symbols PATH]... LOG|FIFO|unix:SOCKET\n"
    "\n"
    "Finds every crash report in the console logs (stdin when none is named) and\n"
    "prints its time, OS, bug check code and parameters, and stack frames.\n"
    "  --json         one JSON object per line: each report, each restore outcome line\n"
    "  --modules-once with --json: each module table once, as a line of its own\n"
    "                 (\"kind\": \"modules\", \"id\"), before the first report that has\n"
    "                 it; reports give its \"modules_id\" instead of \"modules\"\n"
    "  --symbols PATH where PDBs are (repeatable; _NT_SYMBOL_PATH is read too):\n"
    "                 entries separated by ';': a folder or symbol store,\n"
    "                 srv*CACHE*URL, srv*URL, cache*DIR; frames of modules whose\n"
    "                 PDB has their GUID and age are resolved to function+offset\n"
    "                 and line\n"
    "  --symbol-max-bytes N  largest download (and expanded .pd_) taken from a\n"
    "                 symbol server (1073741824)\n"
    "  --symbol-redirects-anywhere  follow a server's redirects to other hosts\n"
    "  --symbol-wait SECONDS  longest a report waits on symbol servers in all (30)\n"
    "  --symbol-server-pause SECONDS  how long a server that could not be reached\n"
    "                 is left alone (60)\n"
    "  --modules      list each module's PDB, GUID, age and symbol-store key\n"
    "  --verbose      name on stderr what was passed over (a start marker with no\n"
    "                 report after it)\n"
    "  --summary      one row per crash signature (code and culprit): count, first\n"
    "                 and last crash time, the logs it came from\n"
    "  --follow       keep reading a growing file (rotation and truncation as tail -F),\n"
    "                 a FIFO or a UNIX socket, printing each report at its end line;\n"
    "                 runs until SIGINT or SIGTERM, then exits 0\n"
    "  --idle SECONDS with --follow: show a report cut off this long as partial (3)\n"
    "Exit status: 0 when a complete report was found, 1 when none was, 2 for a bad\n"
    "command line or a log that cannot be read.\n";

ReportStream::ReportStream(std::ostream& out, bool json, Symbolizer* symbolizer)
    : Out_(out), Json_(json), JsonReports_(std::make_unique<ReportJsonWriter>(JsonOut_)),
      TextCache_(std::make_unique<ReportTextCache>()), Symbolizer_(symbolizer)
{
}

void ReportStream::ModulesOnce(bool once)
{
    JsonReports_->ModulesOnce(once);
}

ReportStream::~ReportStream()
{
    WriteText();
}

// Text reports gather until this many bytes (or a flush): a write per
// report costs a system call for a few kilobytes, which on a log dense
// with reports is a third of the decoding's time. A quarter of a MiB stays
// in the processor's caches between writes, where a MiB was written out to
// memory and read back by the write (a few percent of a dense log's time).
constexpr size_t TextFlushBytes = size_t{1} << 18;

void ReportStream::WriteText()
{
    if (!Text_.empty()) {
        Out_.write(Text_.data(), static_cast<std::streamsize>(Text_.size()));
        Text_.clear();
    }
}

void ReportStream::Write(CrashReport& report)
{
    if (Symbolizer_ != nullptr) {
        Symbolizer_->Resolve(&report);
    }
    ++Written_;
    if (Deliver_) {
        Deliver_(report);
    } else if (Json_) {
        JsonReports_->Write(report);
    } else {
        if (Written_ > 1) {
            Text_ += '\n';
        }
        AppendReportText(&Text_, report, Written_, ListModules_, TextCache_.get());
        if (Text_.size() >= TextFlushBytes) {
            WriteText();
        }
    }
    if (Symbolizer_ != nullptr && !Deliver_) {
        // Symbols may take a while to come: what is done goes out first.
        WriteText();
        JsonOut_.Flush();
        Out_.flush();
        Symbolizer::RaisePendingSignal();
    }
}

void ReportStream::Report(CrashReport&& report)
{
    if (Pending_ && SameCrash(*Pending_, report)) {
        Repeated(report.FirstLine);
        return;
    }
    if (report.Complete) {
        ++Complete_;
    }
    WritePending();
    Pending_ = std::make_unique<CrashReport>(std::move(report));
    // SameCrash reads only what the lines say, never where they stand.
    LastFolds_ = SameCrash(*Pending_, *Pending_);
}

void ReportStream::Repeated(uint64_t firstLine)
{
    // Only a complete report folds.
    ++Complete_;
    // Counted always, listed up to a bound: memory stays constant over a
    // log that repeats one report without end.
    constexpr size_t MaxRepeatLines = 16;
    ++Pending_->Repeats;
    if (Pending_->RepeatLines.size() < MaxRepeatLines) {
        Pending_->RepeatLines.push_back(firstLine);
    }
    LastFolds_ = true;
}

void ReportStream::Restore(RestoreLine&& line)
{
    WritePending();
    if (Deliver_) {
        return;
    }
    if (Json_) {
        WriteRestoreJson(JsonOut_, line);
    } else {
        WriteText();
        PrintRestoreText(Out_, line);
    }
}

void ReportStream::WritePending()
{
    if (Pending_) {
        Write(*Pending_);
        Pending_.reset();
        LastFolds_ = false;
    }
}

void ReportStream::Flush()
{
    WritePending();
    WriteText();
    JsonOut_.Flush();
}

bool ParseDecodeOptions(int argc, char** argv, DecodeOptions* options, std::string* error)
{
    bool optionsEnd = false;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (!optionsEnd && arg == "--json") {
            options->Json = true;
        } else if (!optionsEnd && arg == "--modules") {
            options->ListModules = true;
        } else if (!optionsEnd && arg == "--modules-once") {
            options->ModulesOnce = true;
        } else if (!optionsEnd && arg == "--verbose") {
            options->Verbose = true;
        } else if (!optionsEnd && arg == "--summary") {
            options->Summary = true;
        } else if (!optionsEnd && arg == "--follow") {
            options->Follow = true;
        } else if (!optionsEnd && arg == "--idle") {
            char* end = nullptr;
            options->IdleSeconds = i + 1 < argc ? std::strtod(argv[i + 1], &end) : 0;
            if (end == nullptr || end == argv[i + 1] || *end != '\0' ||
                !(options->IdleSeconds > 0 && options->IdleSeconds <= MaxIdleSeconds)) {
                *error = "--idle needs a number of seconds above 0, up to a day";
                return false;
            }
            ++i;
        } else if (!optionsEnd && arg == "--symbols") {
            if (i + 1 >= argc) {
                *error = "--symbols needs a folder or symbol path";
                return false;
            }
            size_t first = options->SymbolPath.size();
            if (!ParseSymbolPath(argv[++i], DefaultSymbolCache(), &options->SymbolPath, error)) {
                return false;
            }
            // A plain folder given by hand is checked now (only the folder,
            // never what is in it); a cache is made, as srv* makes its own.
            for (size_t entry = first; entry < options->SymbolPath.size(); ++entry) {
                const SymbolPathEntry& added = options->SymbolPath[entry];
                std::error_code fault;
                if (added.Cache) {
                    std::filesystem::create_directories(added.Folder, fault);
                }
                if (added.Urls.empty() && !std::filesystem::is_directory(added.Folder, fault)) {
                    *error = "--symbols: not a folder: " + added.Folder;
                    return false;
                }
            }
        } else if (!optionsEnd && arg == "--symbol-max-bytes") {
            char* end = nullptr;
            unsigned long long bytes = i + 1 < argc ? std::strtoull(argv[i + 1], &end, 10) : 0;
            if (end == nullptr || end == argv[i + 1] || *end != '\0' || bytes == 0 ||
                argv[i + 1][0] == '-') {
                *error = "--symbol-max-bytes needs a number of bytes above 0";
                return false;
            }
            options->Servers.MaxBytes = bytes;
            ++i;
        } else if (!optionsEnd && (arg == "--symbol-wait" || arg == "--symbol-server-pause")) {
            char* end = nullptr;
            unsigned long long seconds = i + 1 < argc ? std::strtoull(argv[i + 1], &end, 10) : 0;
            if (end == nullptr || end == argv[i + 1] || *end != '\0' || seconds == 0 ||
                seconds > MaxSymbolSeconds || argv[i + 1][0] == '-') {
                *error = arg + " needs a number of seconds from 1 to " + std::to_string(MaxSymbolSeconds);
                return false;
            }
            (arg == "--symbol-wait" ? options->Servers.WaitSecondsPerReport
                                    : options->Servers.ServerPauseSeconds) = static_cast<int>(seconds);
            ++i;
        } else if (!optionsEnd && arg == "--symbol-redirects-anywhere") {
            options->Servers.AnyRedirectHost = true;
        } else if (!optionsEnd && arg == "--") {
            optionsEnd = true;
        } else if (!optionsEnd && arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option " + arg;
            return false;
        } else {
            options->Logs.push_back(arg);
        }
    }
    if (options->Follow && (options->Summary || options->Logs.size() > 1)) {
        *error = "--follow reads one log, and not with --summary";
        return false;
    }
    // Text and the summary print no module rows to write once: the option
    // would be quietly ignored there.
    if (options->ModulesOnce && (!options->Json || options->Summary)) {
        *error = "--modules-once goes with --json, and not with --summary";
        return false;
    }
    const char* environment = std::getenv("_NT_SYMBOL_PATH");
    if (environment != nullptr &&
        !ParseSymbolPath(environment, DefaultSymbolCache(), &options->SymbolPath, error)) {
        *error = "_NT_SYMBOL_PATH: " + *error;
        return false;
    }
    return true;
}

int RunDecode(const DecodeOptions& options, std::ostream& out, std::ostream& err)
{
    if (options.Follow) {
        return RunFollow(options, out, err);
    }
    SymbolIndex index(options.SymbolPath, options.Servers);
    std::unique_ptr<Symbolizer> symbolizer;
    if (!options.SymbolPath.empty()) {
        symbolizer = std::make_unique<Symbolizer>(index);
    }

    // Each log in turn, opened only when its turn comes: one that cannot be
    // read is named on one line and the others are still decoded.
    std::vector<std::string> logs = options.Logs;
    if (logs.empty()) {
        logs.push_back("-");
    }
    bool unreadable = false;
    ReportStream stream(out, options.Json, symbolizer.get());
    stream.ListModules(options.ListModules);
    stream.ModulesOnce(options.ModulesOnce);
    FleetSummary summary;
    if (options.Summary) {
        stream.Deliver([&summary](CrashReport& report) { summary.Add(report); });
    }
    for (const std::string& name : logs) {
        int fd = name == "-" ? STDIN_FILENO : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            err << "vekcrash: cannot read " << name << ": " << std::strerror(errno) << "\n";
            unreadable = true;
            continue;
        }
        ScanSink sink;
        sink.Report = [&stream](CrashReport&& report) { stream.Report(std::move(report)); };
        sink.Restore = [&stream](RestoreLine&& line) { stream.Restore(std::move(line)); };
        sink.FoldsRepeat = [&stream] { return stream.FoldsRepeat(); };
        sink.Repeated = [&stream](uint64_t firstLine) { stream.Repeated(firstLine); };
        // A reader that went away (decode | head) ends the run quietly.
        // So does a stop signal taken during a lookup, once the summary of
        // what was read is out.
        sink.Stopped = [&out] { return !out.good() || Symbolizer::SignalPending(); };
        if (options.Verbose) {
            sink.Note = [&err](std::string&& note) { err << "vekcrash: note: " << EscapeBytes(note) << "\n"; };
        }
        std::string problem;
        if (!ScanDescriptor(fd, name, sink, &problem)) {
            err << "vekcrash: cannot read " << name << ": " << problem << "\n";
            unreadable = true;
        }
        if (fd != STDIN_FILENO) {
            ::close(fd);
        }
        // Reports of different logs are never one crash printed twice.
        stream.Flush();
        out.flush();
        if (!out.good()) {
            return stream.Complete() != 0 ? ExitFoundReport : ExitNoReport;
        }
        if (Symbolizer::SignalPending()) {
            break;
        }
    }
    if (options.Summary) {
        options.Json ? summary.PrintJson(out) : summary.PrintText(out);
    }
    out.flush();
    Symbolizer::RaisePendingSignal();
    if (unreadable) {
        return ExitBadCommandLine;  // said already, one line a log
    }
    if (stream.Written() == 0) {
        err << "vekcrash: no crash report found\n";
    } else if (stream.Complete() == 0) {
        err << "vekcrash: only partial reports found\n";
    }
    return stream.Complete() != 0 ? ExitFoundReport : ExitNoReport;
}

}  // namespace decode
