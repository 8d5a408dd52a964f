// Symbol server client: libcurl for HTTP(S), libmspack for the cabinet of
// a compressed PDB. Files are written under a temporary name in the cache
// folder, checked, and renamed into their store place only when whole and
// right; the store folders are made just before that rename. Every path is
// checked to lie under the cache before it is created, opened, renamed or
// removed (store_names.h).
#include "decode/symbols/symbol_server.h"

#include "decode/symbols/store_names.h"

#include <curl/curl.h>
#include <mspack.h>

#include <dlfcn.h>
#include <fcntl.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace decode {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr long HttpOk = 200;
constexpr long FirstRedirect = 300;
constexpr long FirstClientError = 400;
constexpr long FirstServerError = 500;
constexpr size_t MaxPointerBytes = 4096;
constexpr char AllowedProtocols[] = "http,https";

enum class Got { File, Missing, Down, Late, Interrupted };

volatile std::sig_atomic_t Interrupted = 0;

// The download in progress, for a signal handler to remove: fixed buffers,
// since the handler may not allocate.
constexpr size_t MaxPartialPath = 4096;
char PartialFile[MaxPartialPath];
char PartialCabinet[MaxPartialPath];

void Remember(char (&slot)[MaxPartialPath], const fs::path& path)
{
    std::snprintf(slot, sizeof(slot), "%s", path.native().size() < MaxPartialPath ? path.c_str() : "");
}

// Where a body goes: a file or a string, with the bound it may not pass.
struct Sink {
    int Fd = -1;
    std::string* Text = nullptr;
    uint64_t Max = 0;
    uint64_t Written = 0;
    bool Over = false;

    void Reset()
    {
        Written = 0;
        Over = false;
        if (Text != nullptr) {
            Text->clear();
        }
        if (Fd >= 0 && (::ftruncate(Fd, 0) != 0 || ::lseek(Fd, 0, SEEK_SET) != 0)) {
            Over = true;
        }
    }
};

size_t WriteToSink(char* data, size_t size, size_t count, void* opaque)
{
    auto* sink = static_cast<Sink*>(opaque);
    size_t bytes = size * count;
    if (sink->Written + bytes > sink->Max) {
        sink->Over = true;
        return 0;  // libcurl ends the transfer with a write error
    }
    if (sink->Text != nullptr) {
        sink->Text->append(data, bytes);
    } else {
        for (size_t done = 0; done < bytes;) {
            ssize_t n = ::write(sink->Fd, data + done, bytes - done);
            if (n <= 0) {
                return 0;
            }
            done += static_cast<size_t>(n);
        }
    }
    sink->Written += bytes;
    return bytes;
}

// Called by libcurl several times a second: a stop signal or the report's
// deadline ends the transfer at once.
int Progress(void* deadline, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return Interrupted != 0 || Clock::now() >= *static_cast<Clock::time_point*>(deadline) ? 1 : 0;
}

// libcurl and libmspack are opened on first use, not linked: most runs
// never ask a server, and loading libcurl with its TLS stack costs more than
// decoding a log in page cache.
struct ServerLibraries {
    CURL* (*EasyInit)() = nullptr;
    CURLcode (*EasySetopt)(CURL*, CURLoption, ...) = nullptr;
    CURLcode (*EasyPerform)(CURL*) = nullptr;
    CURLcode (*EasyGetinfo)(CURL*, CURLINFO, ...) = nullptr;
    const char* (*EasyStrerror)(CURLcode) = nullptr;
    char* (*EasyEscape)(CURL*, const char*, int) = nullptr;
    void (*Free)(void*) = nullptr;
    CURLU* (*UrlInit)() = nullptr;
    CURLUcode (*UrlSet)(CURLU*, CURLUPart, const char*, unsigned) = nullptr;
    CURLUcode (*UrlGet)(const CURLU*, CURLUPart, char**, unsigned) = nullptr;
    void (*UrlCleanup)(CURLU*) = nullptr;
    mscab_decompressor* (*CreateCab)(mspack_system*) = nullptr;
    void (*DestroyCab)(mscab_decompressor*) = nullptr;
    std::string Error;  // why they could not be opened
};

constexpr char CurlLibrary[] = "libcurl.so.4";
constexpr char MspackLibrary[] = "libmspack.so.0";

template <typename Function>
bool Resolve(void* library, const char* name, Function* function, std::string* error)
{
    *function = reinterpret_cast<Function>(dlsym(library, name));
    if (*function == nullptr && error->empty()) {
        *error = std::string("no ") + name + " in its library";
    }
    return *function != nullptr;
}

const ServerLibraries& Libraries()
{
    static const ServerLibraries libraries = [] {
        ServerLibraries found;
        void* curl = dlopen(CurlLibrary, RTLD_NOW | RTLD_LOCAL);
        void* mspack = dlopen(MspackLibrary, RTLD_NOW | RTLD_LOCAL);
        if (curl == nullptr || mspack == nullptr) {
            found.Error = std::string("cannot load ") + (curl == nullptr ? CurlLibrary : MspackLibrary);
            return found;
        }
        std::string& error = found.Error;
        Resolve(curl, "curl_easy_init", &found.EasyInit, &error);
        Resolve(curl, "curl_easy_setopt", &found.EasySetopt, &error);
        Resolve(curl, "curl_easy_perform", &found.EasyPerform, &error);
        Resolve(curl, "curl_easy_getinfo", &found.EasyGetinfo, &error);
        Resolve(curl, "curl_easy_strerror", &found.EasyStrerror, &error);
        Resolve(curl, "curl_easy_escape", &found.EasyEscape, &error);
        Resolve(curl, "curl_free", &found.Free, &error);
        Resolve(curl, "curl_url", &found.UrlInit, &error);
        Resolve(curl, "curl_url_set", &found.UrlSet, &error);
        Resolve(curl, "curl_url_get", &found.UrlGet, &error);
        Resolve(curl, "curl_url_cleanup", &found.UrlCleanup, &error);
        Resolve(mspack, "mspack_create_cab_decompressor", &found.CreateCab, &error);
        Resolve(mspack, "mspack_destroy_cab_decompressor", &found.DestroyCab, &error);
        return found;
    }();
    return libraries;
}

// One handle for the run, so that libcurl keeps the server's connection
// open between requests (keep-alive); after MaxRequestsPerConnection a
// request opens a fresh one.
struct Session {
    CURL* Handle = nullptr;
    unsigned Requests = 0;
};

Session& TheSession()
{
    static Session session;
    return session;
}

// The scheme and host of `url`, lower case as libcurl normalizes them.
bool SchemeAndHost(const std::string& url, std::string* scheme, std::string* host)
{
    const ServerLibraries& lib = Libraries();
    CURLU* parsed = lib.UrlInit();
    if (parsed == nullptr) {
        return false;
    }
    char* part = nullptr;
    bool ok = lib.UrlSet(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
              lib.UrlGet(parsed, CURLUPART_SCHEME, &part, 0) == CURLUE_OK;
    if (ok) {
        *scheme = part;
        lib.Free(part);
        part = nullptr;
        ok = lib.UrlGet(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK;
    }
    if (ok) {
        *host = part;
        lib.Free(part);
    }
    lib.UrlCleanup(parsed);
    return ok;
}

// libcurl's own escaping of one path component: anything but unreserved
// characters becomes %XX, so a name is never read as a path or a query.
std::string Escaped(const std::string& part)
{
    const ServerLibraries& lib = Libraries();
    char* escaped = lib.EasyEscape(nullptr, part.data(), static_cast<int>(part.size()));
    if (escaped == nullptr) {
        return std::string();
    }
    std::string text = escaped;
    lib.Free(escaped);
    return text;
}

bool IsDown(CURLcode result)
{
    switch (result) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR:
        return true;
    default:
        return false;
    }
}

// GETs `url` into `sink`, following at most MaxServerRedirects redirects
// by hand: each must be http or https and, unless allowed, on the
// server's own host. File for 200; Down only when the server cannot be
// reached or stops sending; any other failure is this lookup's (Missing),
// a 4xx without a note.
Got Get(std::string url, Sink* sink, const ServerRequest& request, std::string* why)
{
    const ServerLibraries& lib = Libraries();
    if (!lib.Error.empty()) {
        *why = lib.Error;
        return Got::Down;
    }
    Session& session = TheSession();
    if (session.Handle == nullptr && (session.Handle = lib.EasyInit()) == nullptr) {
        *why = "cannot start libcurl";
        return Got::Down;
    }
    std::string scheme;
    std::string host;
    if (!SchemeAndHost(url, &scheme, &host)) {
        *why = "not a URL libcurl takes: " + url;
        return Got::Missing;
    }
    CURL* curl = session.Handle;
    Clock::time_point deadline = request.Deadline;
    for (long hop = 0;; ++hop) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (Interrupted != 0) {
            return Got::Interrupted;
        }
        if (left <= 0) {
            return Got::Late;
        }
        sink->Reset();
        bool fresh = ++session.Requests % MaxRequestsPerConnection == 0;
        lib.EasySetopt(curl, CURLOPT_URL, url.c_str());
        lib.EasySetopt(curl, CURLOPT_PROTOCOLS_STR, AllowedProtocols);
        lib.EasySetopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        lib.EasySetopt(curl, CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);
        // No CURLOPT_FAILONERROR: libcurl closes the connection on the
        // error it makes of a 404, and most lookups are 404s.
        lib.EasySetopt(curl, CURLOPT_NOSIGNAL, 1L);
        lib.EasySetopt(curl, CURLOPT_CONNECTTIMEOUT, ServerConnectSeconds);
        lib.EasySetopt(curl, CURLOPT_TIMEOUT_MS, std::min<long>(ServerTotalSeconds * 1000, static_cast<long>(left)));
        lib.EasySetopt(curl, CURLOPT_LOW_SPEED_LIMIT, ServerLowSpeedBytes);
        lib.EasySetopt(curl, CURLOPT_LOW_SPEED_TIME, ServerStallSeconds);
        lib.EasySetopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink->Max));
        lib.EasySetopt(curl, CURLOPT_USERAGENT, "vekcrash-decode");
        lib.EasySetopt(curl, CURLOPT_WRITEFUNCTION, WriteToSink);
        lib.EasySetopt(curl, CURLOPT_WRITEDATA, sink);
        lib.EasySetopt(curl, CURLOPT_NOPROGRESS, 0L);
        lib.EasySetopt(curl, CURLOPT_XFERINFOFUNCTION, Progress);
        lib.EasySetopt(curl, CURLOPT_XFERINFODATA, &deadline);
        CURLcode result = lib.EasyPerform(curl);
        long status = 0;
        lib.EasyGetinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (result == CURLE_OK && status == HttpOk) {
            return Got::File;
        }
        if (result == CURLE_OK && status >= FirstRedirect && status < FirstClientError) {
            char* location = nullptr;
            lib.EasyGetinfo(curl, CURLINFO_REDIRECT_URL, &location);
            std::string next = location != nullptr ? location : "";
            std::string nextScheme;
            std::string nextHost;
            if (next.empty()) {
                *why = url + " answers HTTP " + std::to_string(status) + " without a place";
                return Got::Missing;
            }
            if (hop == MaxServerRedirects) {
                *why = url + " redirects more than " + std::to_string(MaxServerRedirects) + " times";
                return Got::Missing;
            }
            if (!SchemeAndHost(next, &nextScheme, &nextHost) ||
                (nextScheme != "http" && nextScheme != "https")) {
                *why = url + " redirects to " + next + ", not http or https";
                return Got::Missing;
            }
            if (nextHost != host && !request.Limits.AnyRedirectHost) {
                *why = url + " redirects to another host, " + nextHost;
                return Got::Missing;
            }
            url = next;
            continue;
        }
        if (result == CURLE_ABORTED_BY_CALLBACK) {
            return Interrupted != 0 ? Got::Interrupted : Got::Late;
        }
        // libcurl times the report's wait on its own clock from a whole
        // number of milliseconds: it may end it a little before ours does,
        // which is no server's stall (one taken for a stall left the server
        // unasked for a minute).
        constexpr auto DeadlineSlack = std::chrono::milliseconds(50);
        if (result == CURLE_OPERATION_TIMEDOUT && Clock::now() + DeadlineSlack >= deadline) {
            return Got::Late;
        }
        if (sink->Over || result == CURLE_FILESIZE_EXCEEDED) {
            *why = url + " sends more than " + std::to_string(sink->Max) + " bytes";
            return Got::Missing;
        }
        if (result == CURLE_OK) {
            if (status >= FirstServerError || status < FirstClientError) {
                *why = url + " answers HTTP " + std::to_string(status);
            }
            return Got::Missing;
        }
        *why = url + ": " + lib.EasyStrerror(result);
        return IsDown(result) ? Got::Down : Got::Missing;
    }
}

// The first file of a cabinet, written to `to`, when the cabinet says it
// expands to at most `max` bytes (libmspack writes exactly the length the
// cabinet declares, or fails).
bool Expand(const fs::path& cabinet, const fs::path& to, uint64_t max, std::string* why)
{
    const ServerLibraries& lib = Libraries();
    if (!lib.Error.empty()) {
        return false;
    }
    mscab_decompressor* cab = lib.CreateCab(nullptr);
    if (cab == nullptr) {
        return false;
    }
    bool ok = false;
    mscabd_cabinet* opened = cab->open(cab, cabinet.c_str());
    if (opened != nullptr && opened->files != nullptr &&
        static_cast<uint64_t>(opened->files->length) > max) {
        *why = "expands to " + std::to_string(opened->files->length) + " bytes, more than " +
               std::to_string(max);
    } else if (opened != nullptr) {
        ok = opened->files != nullptr && cab->extract(cab, opened->files, to.c_str()) == MSPACK_ERR_OK;
    }
    if (opened != nullptr) {
        cab->close(cab, opened);
    }
    lib.DestroyCab(cab);
    return ok;
}

// A temporary file of this process in the cache folder, made new (never an
// existing file or a link).
int MakeTemporary(const fs::path& cache, const char* suffix, fs::path* path)
{
    static unsigned counter = 0;
    *path = cache / (".vekcrash-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + suffix);
    if (!LiesUnder(cache.string(), path->string())) {
        return -1;
    }
    return ::open(path->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// Removes the empty folders from `from` up to, not including, `cache`.
void RemoveEmptyFolders(const fs::path& cache, fs::path from)
{
    std::error_code error;
    while (from != cache && from.has_relative_path() && LiesUnder(cache.string(), from.string()) &&
           fs::is_empty(from, error) && !error) {
        fs::remove(from, error);
        from = from.parent_path();
    }
}

}  // namespace

void RemovePartialDownload()
{
    if (PartialFile[0] != '\0') {
        ::unlink(PartialFile);
    }
    if (PartialCabinet[0] != '\0') {
        ::unlink(PartialCabinet);
    }
}

void InterruptDownloads()
{
    Interrupted = 1;
}

bool DownloadsInterrupted()
{
    return Interrupted != 0;
}

ServerAnswer FetchFromServer(const ServerRequest& request)
{
    ServerAnswer answer;
    const fs::path cache = fs::path(request.Cache).lexically_normal();
    // The key's three parts were checked (store_names.h): each is one name.
    const std::string& key = request.Key;
    std::string pdb = key.substr(0, key.find('/'));
    std::string identity = key.substr(pdb.size() + 1, key.rfind('/') - pdb.size() - 1);
    const fs::path target = cache / pdb / identity / pdb;
    std::error_code error;
    if (!LiesUnder(cache.string(), target.string())) {
        answer.Note = target.string() + " would lie outside the cache " + cache.string();
        return answer;
    }
    // A folder where the PDB belongs (an earlier, damaged run) is cleared
    // when it is empty; anything else there is named and left.
    if (fs::is_directory(fs::symlink_status(target, error))) {
        if (!fs::is_empty(target, error) || !fs::remove(target, error)) {
            answer.Note = target.string() + " is taken by a folder";
            return answer;
        }
        RemoveEmptyFolders(cache, target.parent_path());
    }

    bool madeCache = !fs::exists(cache, error);
    fs::create_directories(cache, error);
    fs::path partial;
    fs::path compressed;
    int partialFd = error ? -1 : MakeTemporary(cache, ".part", &partial);
    int compressedFd = partialFd < 0 ? -1 : MakeTemporary(cache, ".cab", &compressed);
    if (compressedFd < 0) {
        answer.Note = "cannot write in the cache folder " + cache.string();
        if (partialFd >= 0) {
            ::close(partialFd);
            fs::remove(partial, error);
        }
        if (madeCache) {
            fs::remove(cache, error);
        }
        return answer;
    }
    Remember(PartialFile, partial);
    Remember(PartialCabinet, compressed);
    std::string why;
    std::string base = request.Url;
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    std::string folderUrl = base + "/" + Escaped(pdb) + "/" + Escaped(identity);
    Sink file;
    file.Fd = partialFd;
    file.Max = request.Limits.MaxBytes;

    auto finish = [&](Got got) {
        ::close(partialFd);
        ::close(compressedFd);
        if (got == Got::File && !request.Accept(partial.string())) {
            got = Got::Missing;
            why = request.Url + " sends a file that is not the module's PDB";
        }
        if (got == Got::File) {
            fs::create_directories(target.parent_path(), error);
            if (!error && LiesUnder(cache.string(), target.string())) {
                fs::rename(partial, target, error);
            }
            if (error) {
                why = "cannot put it at " + target.string() + ": " + error.message();
                RemoveEmptyFolders(cache, target.parent_path());
            } else {
                answer.Path = target.string();
            }
        }
        answer.Down = got == Got::Down;
        answer.Transient = got == Got::Late || got == Got::Interrupted;
        if (got == Got::Late) {
            why = "the report's wait for symbols ran out";
        } else if (got == Got::Interrupted) {
            why = "interrupted";
        }
        if (answer.Path.empty() && !why.empty()) {
            answer.Note = why.rfind(request.Url, 0) == 0 ? why : request.Url + ": " + why;
        }
        fs::remove(partial, error);
        fs::remove(compressed, error);
        PartialFile[0] = '\0';
        PartialCabinet[0] = '\0';
        if (madeCache) {
            RemoveEmptyFolders(cache.parent_path(), cache);
        }
        return answer;
    };

    Got got = Get(folderUrl + "/" + Escaped(pdb), &file, request, &why);
    if (got != Got::Missing || !why.empty()) {
        return finish(got);
    }
    std::string compressedName = pdb.substr(0, pdb.size() - 1) + "_";
    Sink cabinet;
    cabinet.Fd = compressedFd;
    cabinet.Max = request.Limits.MaxBytes;
    got = Get(folderUrl + "/" + Escaped(compressedName), &cabinet, request, &why);
    if (got == Got::File) {
        std::string bound;
        if (!Expand(compressed, partial, request.Limits.MaxBytes, &bound)) {
            why = folderUrl + "/" + Escaped(compressedName) + " is not a cabinet it can expand" +
                  (bound.empty() ? "" : ": it " + bound);
            return finish(Got::Missing);
        }
        return finish(Got::File);
    }
    if (got != Got::Missing || !why.empty()) {
        return finish(got);
    }
    std::string pointer;
    Sink text;
    text.Text = &pointer;
    text.Max = MaxPointerBytes;
    got = Get(folderUrl + "/file.ptr", &text, request, &why);
    if (got != Got::File) {
        return finish(got);
    }
    while (!pointer.empty() && (pointer.back() == '\n' || pointer.back() == '\r')) {
        pointer.pop_back();
    }
    if (pointer.rfind("PATH:", 0) == 0) {
        // Only a file under a folder of the symbol path is copied: the
        // server is not to make the decoder read anything else.
        std::string source = pointer.substr(5);
        if (source.find('\0') != std::string::npos || !LiesUnderAny(request.Folders, source)) {
            why = request.Url + " points to " + source + ", outside every folder of the symbol path";
            return finish(Got::Missing);
        }
        uintmax_t size = fs::file_size(source, error);
        if (!error && size > request.Limits.MaxBytes) {
            why = request.Url + " points to " + source + ", larger than " +
                  std::to_string(request.Limits.MaxBytes) + " bytes";
            return finish(Got::Missing);
        }
        if (!error && fs::is_regular_file(source, error)) {
            fs::copy_file(source, partial, fs::copy_options::overwrite_existing, error);
        }
        if (!error) {
            return finish(Got::File);
        }
        why = request.Url + " points to " + source + ", which cannot be read";
    } else if (pointer.rfind("MSG:", 0) == 0) {
        why = request.Url + " says: " + pointer.substr(4);
    }
    return finish(Got::Missing);
}

}  // namespace decode
