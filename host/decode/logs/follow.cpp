// The follow loop. One descriptor is read at a time; the loop sleeps in
// poll() between reads (on the descriptor for FIFOs, sockets and stdin, on
// nothing for a regular file, which is always readable), so a quiet console
// costs a few wake-ups a second. Lines are cut here rather than by
// LineReader, which ends at the first end of file.
#include "decode/logs/follow.h"

#include "decode/logs/log_scanner.h"
#include "decode/triage/report_output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sstream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace decode {

namespace {

// How often a regular file is checked for growth, rotation and truncation,
// and how often a console that is missing or refused is tried again.
constexpr int FilePollMilliseconds = 100;
constexpr int RetryMilliseconds = 200;
// A socket that accepts and closes at once is connected again after a pause
// that doubles up to this, and starts over when bytes arrive.
constexpr int MaxReconnectMilliseconds = 5000;
constexpr size_t ReadChunk = 1 << 16;
constexpr const char* SocketPrefix = "unix:";

volatile std::sig_atomic_t StopRequested = 0;

void RequestStop(int)
{
    StopRequested = 1;
}

// SIGINT and SIGTERM end the loop; no SA_RESTART, so a poll() in progress
// returns at once.
class StopSignals {
public:
    StopSignals()
    {
        StopRequested = 0;
        struct sigaction action {};
        action.sa_handler = RequestStop;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &OldInt_);
        ::sigaction(SIGTERM, &action, &OldTerm_);
    }
    ~StopSignals()
    {
        ::sigaction(SIGTERM, &OldTerm_, nullptr);
        ::sigaction(SIGINT, &OldInt_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction OldInt_ {};
    struct sigaction OldTerm_ {};
};

enum class ConsoleKind { File, Fifo, Socket, Stdin };

// Cuts bytes into lines as LineReader does (LF ends a line, CRs around it
// are dropped, a CR between text ends a line too, an overlong line keeps its
// first MaxLineLength bytes).
class LineCutter {
public:
    explicit LineCutter(LogScanner* scanner) : Scanner_(scanner) {}

    void Feed(const char* data, size_t size)
    {
        for (size_t at = 0; at < size;) {
            const void* feed = std::memchr(data + at, '\n', size - at);
            size_t end = feed != nullptr ? static_cast<size_t>(static_cast<const char*>(feed) - data) : size;
            size_t room = LineReader::MaxLineLength - Line_.size();
            size_t take = end - at;
            if (take > room) {
                Cut_ = true;
                take = room;
            }
            Line_.append(data + at, take);
            if (feed == nullptr) {
                return;
            }
            Emit();
            at = end + 1;
        }
    }

    // The console went quiet or away: a line without its line feed is
    // taken as it is.
    void FlushPartial()
    {
        if (!Line_.empty() || Cut_) {
            Emit();
        }
    }

    // A new file: line numbers start again.
    void Restart()
    {
        FlushPartial();
        Number_ = 0;
    }

private:
    void Emit()
    {
        std::string_view text(Line_);
        // A CR between text ends a line too: a console that changed its
        // line ends mid-report.
        for (;;) {
            text.remove_prefix(std::min(text.find_first_not_of('\r'), text.size()));
            size_t cr = text.find('\r');
            size_t rest = cr == std::string_view::npos ? cr : text.find_first_not_of('\r', cr);
            if (rest == std::string_view::npos) {
                break;
            }
            FeedOne(text.substr(0, cr), false);
            text.remove_prefix(rest);
        }
        while (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        }
        FeedOne(text, Cut_);
        Line_.clear();
        Cut_ = false;
    }

    void FeedOne(std::string_view text, bool cut)
    {
        LogLine line;
        line.Text = text;
        line.Number = ++Number_;
        line.Cut = cut;
        Scanner_->Feed(line);
    }

    LogScanner* Scanner_;
    std::string Line_;
    bool Cut_ = false;
    uint64_t Number_ = 0;
};

class Console {
public:
    Console(const std::string& name, std::ostream& err) : Err_(err)
    {
        if (name.empty() || name == "-") {
            Kind_ = ConsoleKind::Stdin;
            Path_ = "-";
        } else if (name.compare(0, std::strlen(SocketPrefix), SocketPrefix) == 0) {
            Kind_ = ConsoleKind::Socket;
            Path_ = name.substr(std::strlen(SocketPrefix));
        } else {
            Path_ = name;
            struct stat info {};
            if (::stat(name.c_str(), &info) == 0) {
                Kind_ = S_ISFIFO(info.st_mode)   ? ConsoleKind::Fifo
                        : S_ISSOCK(info.st_mode) ? ConsoleKind::Socket
                                                 : ConsoleKind::File;
            }
        }
    }
    ~Console() { Close(); }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    ConsoleKind Kind() const { return Kind_; }
    int Fd() const { return Fd_; }
    bool IsOpen() const { return Fd_ >= 0; }

    bool Open()
    {
        int error = 0;
        switch (Kind_) {
        case ConsoleKind::Stdin:
            Fd_ = STDIN_FILENO;
            return true;
        case ConsoleKind::Fifo:
            // Opened for writing too, so the FIFO never reads as ended
            // between one writer and the next.
            Fd_ = ::open(Path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            break;
        case ConsoleKind::File:
            Fd_ = ::open(Path_.c_str(), O_RDONLY | O_CLOEXEC);
            if (Fd_ >= 0) {
                struct stat info {};
                ::fstat(Fd_, &info);
                Device_ = info.st_dev;
                Inode_ = info.st_ino;
                Offset_ = 0;
            }
            break;
        case ConsoleKind::Socket:
            Fd_ = Connect();
            break;
        }
        error = errno;
        if (Fd_ < 0) {
            if (!Waiting_) {
                Err_ << "vekcrash: waiting for " << Path_ << ": " << std::strerror(error) << "\n";
                Waiting_ = true;
            }
            return false;
        }
        Waiting_ = false;
        return true;
    }

    void Close()
    {
        if (Fd_ >= 0 && Kind_ != ConsoleKind::Stdin) {
            ::close(Fd_);
        }
        Fd_ = -1;
    }

    // What follows a regular file's end: nothing, a rotation (the name now
    // points at another file) or a truncation.
    enum class FileChange { None, Rotated, Truncated };
    FileChange CheckFile()
    {
        struct stat byName {};
        if (::stat(Path_.c_str(), &byName) != 0) {
            return FileChange::None;  // moved away, the new one not there yet
        }
        if (byName.st_dev != Device_ || byName.st_ino != Inode_) {
            return FileChange::Rotated;
        }
        if (static_cast<uint64_t>(byName.st_size) < Offset_) {
            ::lseek(Fd_, 0, SEEK_SET);
            Offset_ = 0;
            return FileChange::Truncated;
        }
        return FileChange::None;
    }

    void Advance(size_t bytes) { Offset_ += bytes; }
    const std::string& Path() const { return Path_; }

private:
    int Connect()
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        if (Path_.size() >= sizeof(address.sun_path)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(address.sun_path, Path_.c_str(), Path_.size() + 1);
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return -1;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
        return fd;
    }

    std::ostream& Err_;
    ConsoleKind Kind_ = ConsoleKind::File;
    std::string Path_;
    int Fd_ = -1;
    bool Waiting_ = false;
    dev_t Device_ = 0;
    ino_t Inode_ = 0;
    uint64_t Offset_ = 0;
};

// Sleeps up to `milliseconds`, or until the descriptor (when given) has
// data; a stop signal ends the wait early.
void Wait(int fd, int milliseconds)
{
    pollfd entry {fd, POLLIN, 0};
    ::poll(fd >= 0 ? &entry : nullptr, fd >= 0 ? 1 : 0, milliseconds);
}

// Stdin and a socket block on read: they are read only when poll() says a
// read returns at once (with data, or with the end).
bool Readable(int fd)
{
    pollfd entry {fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

}  // namespace

int RunFollow(const DecodeOptions& options, std::ostream& out, std::ostream& err)
{
    using Clock = std::chrono::steady_clock;
    StopSignals signals;

    SymbolIndex index(options.SymbolPath, options.Servers);
    std::unique_ptr<Symbolizer> symbolizer;
    if (!options.SymbolPath.empty()) {
        symbolizer = std::make_unique<Symbolizer>(index);
    }
    ReportStream stream(out, options.Json, symbolizer.get());
    stream.ListModules(options.ListModules);
    stream.ModulesOnce(options.ModulesOnce);

    Console console(options.Logs.empty() ? std::string("-") : options.Logs[0], err);
    // A report printed again right after itself (a second callback pass) is
    // not printed twice; the one shown is already out, so a note says so.
    std::optional<CrashReport> last;
    bool idleCut = false;
    std::ostringstream idleNote;
    idleNote << "nothing arrived for " << options.IdleSeconds << " s; shown as it stands";
    ScanSink sink;
    sink.Report = [&](CrashReport&& report) {
        if (!report.Complete && idleCut) {
            report.Warnings.push_back(idleNote.str());
        }
        if (last && SameCrash(*last, report)) {
            if (options.Json) {
                JsonLineWriter line(out);
                line.StartObject();
                line.OwnKey("kind");
                line.String("repeat");
                line.OwnKey("first_line");
                line.Uint(report.FirstLine);
                line.OwnKey("of_report_at_line");
                line.Uint(last->FirstLine);
                line.EndObject();
                line.EndLine();
            } else {
                out << "The report at line " << last->FirstLine << " printed again at line " << report.FirstLine
                    << " (the kernel ran the callback again)\n";
            }
            out.flush();
            return;
        }
        last = report;
        stream.Report(std::move(report));
        stream.Flush();
        out.flush();
    };
    sink.Restore = [&](RestoreLine&& line) {
        stream.Restore(std::move(line));
        stream.Flush();
        out.flush();
    };
    LogScanner scanner(console.Path(), sink);
    LineCutter cutter(&scanner);

    const auto idle = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.IdleSeconds));
    Clock::time_point lastData = Clock::now();
    bool quietHandled = true;
    std::vector<char> buffer(ReadChunk);
    bool ended = false;
    int reconnectPause = RetryMilliseconds;
    while (StopRequested == 0 && !ended) {
        if (!console.IsOpen() && !console.Open()) {
            Wait(-1, RetryMilliseconds);
            continue;
        }
        ssize_t got = -1;
        errno = EAGAIN;
        if (console.Kind() == ConsoleKind::File || Readable(console.Fd())) {
            got = ::read(console.Fd(), buffer.data(), buffer.size());
        }
        if (got > 0) {
            console.Advance(static_cast<size_t>(got));
            reconnectPause = RetryMilliseconds;
            cutter.Feed(buffer.data(), static_cast<size_t>(got));
            lastData = Clock::now();
            quietHandled = false;
            continue;
        }
        if (got < 0 && errno != EAGAIN && errno != EINTR) {
            err << "vekcrash: reading " << console.Path() << " failed: " << std::strerror(errno) << "\n";
            console.Close();
            continue;
        }
        if (got == 0) {
            switch (console.Kind()) {
            case ConsoleKind::Stdin:
                ended = true;
                continue;
            case ConsoleKind::Socket:
                // The VMM closed the port (it stopped or restarted the guest):
                // connect again.
                console.Close();
                cutter.FlushPartial();
                Wait(-1, reconnectPause);
                reconnectPause = std::min(2 * reconnectPause, MaxReconnectMilliseconds);
                continue;
            case ConsoleKind::File: {
                Console::FileChange change = console.CheckFile();
                if (change == Console::FileChange::Rotated) {
                    // Whatever the old file still held has been read.
                    console.Close();
                    cutter.Restart();
                    scanner.Finish();
                    continue;
                }
                if (change == Console::FileChange::Truncated) {
                    cutter.Restart();
                    scanner.Finish();
                    continue;
                }
                break;
            }
            case ConsoleKind::Fifo:
                break;
            }
        }
        if (!quietHandled && Clock::now() - lastData >= idle) {
            // Quiet for the idle time: a report still open was cut off.
            // A line still without its line feed stays pending: its rest
            // may yet come.
            idleCut = true;
            scanner.Finish();
            idleCut = false;
            quietHandled = true;
            continue;
        }
        int untilIdle = quietHandled ? FilePollMilliseconds
                                     : static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                            idle - (Clock::now() - lastData))
                                                            .count()) +
                                           1;
        Wait(console.Kind() == ConsoleKind::File ? -1 : console.Fd(),
             console.Kind() == ConsoleKind::File ? std::min(untilIdle, FilePollMilliseconds) : untilIdle);
    }
    cutter.FlushPartial();
    scanner.Finish();
    stream.Flush();
    out.flush();
    return ExitFoundReport;
}

}  // namespace decode
