// Symbol servers over HTTP(S): a PDB is asked for as name.pdb/<key>/name.pdb,
// then compressed as name.pd_ (a cabinet), then as file.ptr (a pointer to
// where it lies, or a message). What arrives is checked (the caller's
// test: the module's GUID and age) in a temporary file under the cache and
// only then put in its store place, folders and all; a lookup that fails
// leaves nothing. A server that cannot be reached or stalls is given up for
// a bounded time; anything else a server does costs only that lookup.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace decode {

// Bounds on one request.
constexpr long ServerConnectSeconds = 5;
constexpr long ServerStallSeconds = 5;        // averaging below ServerLowSpeedBytes this long
constexpr long ServerLowSpeedBytes = 1024;    // per second: a trickle is a stalled server
constexpr long ServerTotalSeconds = 300;      // a large PDB on a slow line
constexpr long MaxServerRedirects = 5;
constexpr unsigned MaxRequestsPerConnection = 100;  // then a fresh connection
constexpr uint64_t DefaultMaxDownloadBytes = uint64_t{1} << 30;

// What one report may wait on symbol servers in all, after which it is
// printed with the symbols it has; how long a server that could not be
// reached is left alone.
constexpr int DefaultSymbolWaitSeconds = 30;
constexpr int DefaultServerPauseSeconds = 60;
// The longest either may be set to: a day.
constexpr int MaxSymbolSeconds = 86400;

struct ServerLimits {
    // One download, and one expanded .pd_, at most (--symbol-max-bytes).
    uint64_t MaxBytes = DefaultMaxDownloadBytes;
    // Redirects to hosts other than the server's (--symbol-redirects-anywhere).
    bool AnyRedirectHost = false;
    int WaitSecondsPerReport = DefaultSymbolWaitSeconds;  // --symbol-wait
    int ServerPauseSeconds = DefaultServerPauseSeconds;   // --symbol-server-pause
};

struct ServerRequest {
    std::string Url;
    std::string Key;    // "name.pdb/<GUID><age>/name.pdb", its parts already checked
    std::string Cache;  // the store folder answers land in
    std::vector<std::string> Folders;  // a file.ptr PATH: must lie under one
    ServerLimits Limits;
    std::chrono::steady_clock::time_point Deadline;  // the report's wait for symbols
    std::function<bool(const std::string& path)> Accept;  // the file is the module's PDB
};

struct ServerAnswer {
    std::string Path;  // the PDB in the cache, or empty
    std::string Note;  // why not, when the server said something worth telling
    bool Down = false;         // the server could not be reached or stalled
    bool Transient = false;    // interrupted or out of time: ask again later
};

// Removes the files of a download in progress; safe in a signal handler.
void RemovePartialDownload();
// Ends the download in progress and refuses new ones; safe in a signal
// handler.
void InterruptDownloads();
bool DownloadsInterrupted();

ServerAnswer FetchFromServer(const ServerRequest& request);

}  // namespace decode
