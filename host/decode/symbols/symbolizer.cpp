// Symbol lookup: finding a module's PDB on the symbol path, and asking
// vekcrash-pdb-lookup about a report's frames under a time limit. A child
// that overruns is killed; its PDBs are not asked about again in this run.
#include "decode/symbols/symbolizer.h"

#include "decode/symbols/store_names.h"
#include "decode/symbols/symbol_server.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace decode {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t PageMask = 0xFFF;  // images are mapped at page boundaries

// ---- the child, as the signal handlers see it ------------------------------
volatile sig_atomic_t ChildPid = 0;
volatile sig_atomic_t Resolving = 0;      // a report is being symbolized
volatile sig_atomic_t PendingSignal = 0;  // taken once that report is out
struct sigaction PreviousTerm;
struct sigaction PreviousInt;

bool HasHandler(const struct sigaction& action)
{
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler != SIG_DFL &&
           action.sa_handler != SIG_IGN;
}

// An interrupted decoder leaves no reader spinning behind it, no half
// downloaded file in a cache, and no download running: the report in hand
// is printed without the symbols it was waiting for. A handler installed
// before (the --follow loop's) is called and decides what follows;
// otherwise the decoder ends by the signal, at once or, during a report's
// lookup, once that report is out.
void KillChildAndStop(int signal)
{
    if (ChildPid > 0) {
        ::kill(ChildPid, SIGKILL);
    }
    InterruptDownloads();
    RemovePartialDownload();
    const struct sigaction& previous = signal == SIGTERM ? PreviousTerm : PreviousInt;
    if (HasHandler(previous)) {
        previous.sa_handler(signal);
        return;
    }
    if (Resolving != 0) {
        PendingSignal = signal;
        return;
    }
    ::sigaction(signal, &previous, nullptr);
    ::raise(signal);
}

void WatchSignals()
{
    static bool watching = false;
    if (watching) {
        return;
    }
    watching = true;
    struct sigaction action {};
    action.sa_handler = KillChildAndStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, &PreviousTerm);
    ::sigaction(SIGINT, &action, &PreviousInt);
}

// A write to a child that died must not kill the decoder with SIGPIPE:
// the signal is held and taken back for the one write.
bool WriteAll(int fd, const std::string& bytes)
{
    sigset_t pipeSignal;
    sigset_t previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<size_t>(n);
    }
    if (written < bytes.size()) {
        struct timespec now {};
        ::sigtimedwait(&pipeSignal, nullptr, &now);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return written == bytes.size();
}

std::string IdentityText(std::string_view guid, uint32_t age)
{
    return "GUID " + std::string(guid) + " age " + std::to_string(age);
}

}  // namespace

// ---- finding PDBs ------------------------------------------------------------

SymbolIndex::SymbolIndex(std::vector<SymbolPathEntry> path, ServerLimits limits)
    : Path_(std::move(path)), Limits_(limits)
{
    for (const SymbolPathEntry& entry : Path_) {
        Folders_.push_back(entry.Folder);
    }
    BeginReport();
}

void SymbolIndex::BeginReport()
{
    Deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(Limits_.WaitSecondsPerReport);
    ReportLookups_ = 0;
    ++Report_;
}

std::string SymbolIndex::Spent() const
{
    if (DownloadsInterrupted()) {
        return "interrupted";
    }
    if (std::chrono::steady_clock::now() >= Deadline_) {
        return "the report's " + std::to_string(Limits_.WaitSecondsPerReport) + " s wait for symbols ran out";
    }
    if (ReportLookups_ >= MaxServerLookupsPerReport) {
        return "the report's " + std::to_string(MaxServerLookupsPerReport) + " server lookups are spent";
    }
    if (RunLookups_ >= MaxServerLookupsPerRun) {
        return "the run's " + std::to_string(MaxServerLookupsPerRun) + " server lookups are spent";
    }
    return std::string();
}

bool SymbolIndex::AskServers(const ModuleRow& row, Found* found, std::string* serverSaid)
{
    using Clock = std::chrono::steady_clock;
    ServerRequest request;
    request.Key = row.SymbolKey();
    request.Folders = Folders_;
    request.Limits = Limits_;
    request.Deadline = Deadline_;
    // The file is checked where it landed, before it takes its store place.
    request.Accept = [&row](const std::string& path) {
        std::optional<FileIdentity> identity = ReadPdbIdentity(path);
        return identity && identity->Guid == row.Guid && identity->Age == row.Age;
    };
    for (const SymbolPathEntry& entry : Path_) {
        for (const std::string& url : entry.Urls) {
            auto down = DownUntil_.find(url);
            if (down != DownUntil_.end() && Clock::now() < down->second) {
                found->Transient = true;  // asked again once the server may be back
                continue;
            }
            std::string spent = Spent();
            if (!spent.empty()) {
                found->Transient = RunLookups_ < MaxServerLookupsPerRun;
                *serverSaid = "not asked for: " + spent;
                return false;
            }
            ++ReportLookups_;
            ++RunLookups_;
            request.Url = url;
            request.Cache = entry.Folder;
            ServerAnswer answer = FetchFromServer(request);
            if (answer.Down) {
                found->Transient = true;
                DownUntil_[url] = Clock::now() + std::chrono::seconds(Limits_.ServerPauseSeconds);
                Notes_.push_back("symbol server " + answer.Note + " (not asked again for " +
                                 std::to_string(Limits_.ServerPauseSeconds) + " s)");
                continue;
            }
            found->Transient = found->Transient || answer.Transient;
            if (!answer.Note.empty() && serverSaid->empty()) {
                *serverSaid = answer.Note;
            }
            if (!answer.Path.empty()) {
                std::optional<FileIdentity> identity = ReadPdbIdentity(answer.Path);
                if (identity) {
                    found->Pdb = SymbolFile{answer.Path, *identity};
                    return true;
                }
            }
        }
    }
    return false;
}

const SymbolIndex::Found& SymbolIndex::Find(const ModuleRow& row)
{
    std::string key = row.SymbolKey();
    auto known = Found_.find(row.Name + "|" + key);
    if (known != Found_.end() && (!known->second.Transient || known->second.Report == Report_)) {
        return known->second;
    }
    if (known == Found_.end() && Found_.size() >= MaxRememberedModules) {
        Found_.erase(Found_.begin());  // constant memory, whatever the log names
    }
    Found& found = Found_[row.Name + "|" + key];
    found = Found();
    found.Report = Report_;
    if (!row.HasIdentity()) {
        found.Why = "the report gives it no debug identity";
        return found;
    }
    // Names are data: one that could leave a folder is not looked up at all.
    std::string refused = RefusedModule(row);
    if (!refused.empty()) {
        found.Why = "not looked up: " + refused;
        return found;
    }
    std::string nearMiss;
    std::string serverSaid;
    // A file that is there but is not the module's PDB is named, not used.
    auto take = [&](const std::string& folder, const fs::path& path) {
        std::error_code error;
        if (!LiesUnder(folder, path.string()) || !fs::is_regular_file(path, error)) {
            return false;
        }
        std::optional<FileIdentity> identity = ReadPdbIdentity(path.string());
        if (identity && identity->Guid == row.Guid && identity->Age == row.Age) {
            found.Pdb = SymbolFile{path.string(), *identity};
            return true;
        }
        if (nearMiss.empty()) {
            nearMiss = identity ? path.string() + " has " +
                                      IdentityText(identity->Guid, identity->Age) + ", not " +
                                      IdentityText(row.Guid, row.Age)
                                : path.string() + " is not a PDB it can read";
        }
        return false;
    };
    for (const SymbolPathEntry& entry : Path_) {
        if (take(entry.Folder, fs::path(entry.Folder) / key) ||
            take(entry.Folder, fs::path(entry.Folder) / row.PdbName())) {
            return found;
        }
    }
    if (AskServers(row, &found, &serverSaid)) {
        return found;
    }
    found.Why = !nearMiss.empty()    ? nearMiss
                : !serverSaid.empty() ? serverSaid
                                      : "no PDB with " + IdentityText(row.Guid, row.Age);
    return found;
}

const SymbolFile* SymbolIndex::PdbFor(const ModuleRow& row)
{
    const Found& found = Find(row);
    return found.Pdb ? &*found.Pdb : nullptr;
}

std::string SymbolIndex::WhyNot(const ModuleRow& row)
{
    return Find(row).Why;
}

std::vector<std::string> SymbolIndex::TakeNotes()
{
    std::vector<std::string> notes;
    notes.swap(Notes_);
    return notes;
}

// ---- which frame faulted -------------------------------------------------------

std::optional<size_t> FaultingFrameIndex(const CrashReport& report)
{
    if (!report.HasCode) {
        return std::nullopt;
    }
    // The parameter that holds the faulting instruction's address.
    size_t parameter = 0;
    switch (report.Code) {
    case 0x0A:  // IRQL_NOT_LESS_OR_EQUAL
    case 0xD1:  // DRIVER_IRQL_NOT_LESS_OR_EQUAL
        parameter = 3;
        break;
    case 0x50:  // PAGE_FAULT_IN_NONPAGED_AREA
    case 0xD5:
    case 0xD6:
        parameter = 2;
        break;
    case 0x1E:  // KMODE_EXCEPTION_NOT_HANDLED
    case 0x7E:
    case 0x1000007E:
    case 0x8E:
    case 0x1000008E:
        parameter = 1;
        break;
    default:
        return std::nullopt;
    }
    uint64_t ip = report.Parameters[parameter];
    if (ip == 0) {
        return std::nullopt;
    }
    // Frames carry module + offset, not the address: the module's base is
    // page aligned, so the faulting frame's offset shares the IP's low bits.
    for (size_t i = 0; i < report.Frames.size(); ++i) {
        const Frame& frame = report.Frames[i];
        if (frame.HasModule ? (frame.Offset & PageMask) == (ip & PageMask) && frame.Offset <= ip
                            : frame.Address == ip) {
            return i;
        }
    }
    return std::nullopt;
}

// ---- the child -----------------------------------------------------------------

// The sanitizers' runtimes reserve terabytes of address space for their
// shadow memory: a reader built with one (as the whole tree is then) runs
// without the bound.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VEK_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VEK_SANITIZED_BUILD 1
#endif
#endif
#if defined(VEK_SANITIZED_BUILD)
const bool Symbolizer::BoundsReaderMemory = false;
#else
const bool Symbolizer::BoundsReaderMemory = true;
#endif

std::string Symbolizer::DefaultTool()
{
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    return (self.parent_path() / "vekcrash-pdb-lookup").string();
}

Symbolizer::Symbolizer(SymbolIndex& index, std::string tool)
    : Index_(index), Tool_(std::move(tool))
{
    WatchSignals();  // before the first download, too
}

Symbolizer::~Symbolizer()
{
    Stop();
}

bool Symbolizer::Start()
{
    if (Pid_ > 0) {
        return true;
    }
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        return false;
    }
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        return false;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // dies with a decoder killed outright
        if (BoundsReaderMemory) {
            const rlimit bound{MaxReaderAddressSpace, MaxReaderAddressSpace};
            ::setrlimit(RLIMIT_AS, &bound);
        }
        ::dup2(toChild[0], STDIN_FILENO);
        ::dup2(fromChild[1], STDOUT_FILENO);
        int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            ::dup2(devNull, STDERR_FILENO);
        }
        ::execl(Tool_.c_str(), Tool_.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    if (pid < 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        return false;
    }
    Pid_ = pid;
    ChildPid = pid;
    ToTool_ = toChild[1];
    FromTool_ = fromChild[0];
    Pending_.clear();
    return true;
}

void Symbolizer::Stop()
{
    if (ToTool_ >= 0) {
        ::close(ToTool_);
        ToTool_ = -1;
    }
    if (FromTool_ >= 0) {
        ::close(FromTool_);
        FromTool_ = -1;
    }
    if (Pid_ > 0) {
        ::kill(Pid_, SIGKILL);
        int status = 0;
        while (::waitpid(Pid_, &status, 0) < 0 && errno == EINTR) {
        }
        Pid_ = -1;
        ChildPid = 0;
    }
}

bool Symbolizer::Ask(const std::vector<std::string>& queries, std::vector<std::string>* answers,
                     std::string* why)
{
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(SymbolizeMillisecondsPerReport);
    answers->clear();
    if (::access(Tool_.c_str(), X_OK) != 0 || !Start()) {
        *why = "cannot run " + Tool_;
        return false;
    }
    *why = "the PDB reader stopped on it";
    std::string request;
    for (const std::string& query : queries) {
        request += query + "\n";
    }
    // A report's frames are a few kilobytes: the pipe holds them whole.
    if (!WriteAll(ToTool_, request)) {
        return false;
    }
    char buffer[4096];
    while (answers->size() < queries.size()) {
        size_t newline = Pending_.find('\n');
        if (newline != std::string::npos) {
            answers->push_back(Pending_.substr(0, newline));
            Pending_.erase(0, newline + 1);
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        std::string late = "no answer within " +
                           std::to_string(SymbolizeMillisecondsPerReport / 1000) + " s";
        if (left.count() <= 0) {
            *why = late;
            return false;
        }
        struct pollfd wait = {FromTool_, POLLIN, 0};
        int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
        if (DownloadsInterrupted()) {
            *why = "interrupted";
            return false;
        }
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            *why = late;
            return false;
        }
        ssize_t n = ::read(FromTool_, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;  // the reader died on this PDB
        }
        Pending_.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

void Symbolizer::RaisePendingSignal()
{
    int signal = PendingSignal;
    if (signal != 0) {
        ::sigaction(signal, signal == SIGTERM ? &PreviousTerm : &PreviousInt, nullptr);
        ::raise(signal);
    }
}

bool Symbolizer::SignalPending()
{
    return PendingSignal != 0;
}

void Symbolizer::Resolve(CrashReport* report)
{
    Resolving = 1;
    Index_.BeginReport();
    std::optional<size_t> faulting = FaultingFrameIndex(*report);
    std::vector<std::string> notes;
    auto note = [&notes](const std::string& text) {
        if (std::find(notes.begin(), notes.end(), text) == notes.end()) {
            notes.push_back(text);
        }
    };
    std::vector<std::string> queries;
    std::vector<Frame*> asked;
    std::vector<std::string> askedKeys;
    std::vector<std::string> askedPdbs;
    // The frames are given their symbols: a stack shared with another
    // report is copied first, and the pointers below are into the copy.
    std::vector<Frame>* frames = report->Frames.empty() ? nullptr : &report->Frames.Mutable();
    for (size_t i = 0; frames != nullptr && i < frames->size(); ++i) {
        Frame& frame = (*frames)[i];
        if (!frame.HasModule) {
            continue;
        }
        const ModuleRow* row = nullptr;
        for (const ModuleRow& candidate : report->Modules) {
            if (candidate.Name == frame.Module) {
                row = &candidate;
            }
        }
        if (row == nullptr) {
            note(frame.Module + ": not in the report's module table");
            continue;
        }
        const SymbolFile* pdb = Index_.PdbFor(*row);
        if (pdb == nullptr) {
            note(frame.Module + ": " + Index_.WhyNot(*row));
            continue;
        }
        if (Failed_.count(pdb->Path) != 0) {
            note(frame.Module + ": " + pdb->Path + " could not be read earlier in this run");
            continue;
        }
        // A caller's address is where its call returns to; the call itself
        // is the byte before (the return may already be the next line, or
        // code inlined after the call).
        bool atFault = faulting && *faulting == i;
        uint64_t rva = frame.Offset - (atFault || frame.Offset == 0 ? 0 : 1);
        char query[24];
        std::snprintf(query, sizeof(query), "%llX", static_cast<unsigned long long>(rva));
        std::string cacheKey = pdb->Path + "@" + query;
        auto cached = Cache_.find(cacheKey);
        if (cached != Cache_.end()) {
            frame.Symbols = cached->second;
        } else {
            queries.push_back(std::string(query) + " " + pdb->Path);
            asked.push_back(&frame);
            askedKeys.push_back(cacheKey);
            askedPdbs.push_back(pdb->Path);
        }
    }
    std::vector<std::string> answers;
    std::string why;
    if (!queries.empty() && !Ask(queries, &answers, &why)) {
        // Whatever was not answered is left unsymbolized, and its PDB alone.
        Stop();
        for (size_t i = answers.size(); i < asked.size(); ++i) {
            if (Failed_.size() >= MaxRememberedModules) {
                Failed_.erase(Failed_.begin());
            }
            Failed_.insert(askedPdbs[i]);
            note(asked[i]->Module + ": " + askedPdbs[i] + " could not be read: " + why);
        }
    }
    for (size_t i = 0; i < answers.size(); ++i) {
        nlohmann::json answer = nlohmann::json::parse(answers[i], nullptr, false);
        if (answer.is_null() || answer.is_discarded()) {
            Failed_.insert(askedPdbs[i]);
            note(asked[i]->Module + ": " + askedPdbs[i] + " could not be read");
            continue;
        }
        std::vector<SourceLocation> symbols;
        for (const nlohmann::json& entry : answer) {
            if (!entry.is_object()) {
                continue;
            }
            SourceLocation location;
            location.Function = entry.value("function", std::string());
            location.File = entry.value("file", std::string());
            location.Line = entry.value("line", 0u);
            location.PublicSymbol = entry.value("public", false);
            if (entry.contains("start") && entry["start"].is_number_unsigned()) {
                uint64_t start = entry["start"].get<uint64_t>();
                location.HasFunctionOffset = start <= asked[i]->Offset;
                location.FunctionOffset = asked[i]->Offset - start;
            }
            if (!location.Function.empty()) {
                symbols.push_back(std::move(location));
            }
        }
        asked[i]->Symbols = symbols;
        if (Cache_.size() >= MaxRememberedFrames) {
            Cache_.erase(Cache_.begin());
        }
        Cache_[askedKeys[i]] = std::move(symbols);
    }
    for (std::string& text : Index_.TakeNotes()) {
        note(text);
    }
    report->Unsymbolized = std::move(notes);
    Resolving = 0;
}

}  // namespace decode
