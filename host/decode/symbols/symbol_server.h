// Symbol servers over HTTP(S): a PDB is asked for as name.pdb/<key>/name.pdb,
// then compressed as name.pd_ (a cabinet), then as file.ptr (a pointer to
// where it lies, or a message). What arrives lands in the cache in the
// store layout. A server that fails to connect or stalls is given up for
// the rest of the run, so it costs one bounded wait.
#pragma once

#include <string>

namespace decode {

// Bounds on one request.
constexpr long ServerConnectSeconds = 5;
constexpr long ServerStallSeconds = 5;    // no byte arriving for this long
constexpr long ServerTotalSeconds = 300;  // a large PDB on a slow line

struct ServerAnswer {
    std::string Path;  // the PDB in the cache, or empty
    std::string Note;  // why not, when the server said something worth telling
    bool Down = false; // the server could not be reached or stalled
};

// Removes the files of a download in progress; safe in a signal handler.
void RemovePartialDownload();

// `key` is the store key "name.pdb/<GUID><age>/name.pdb".
ServerAnswer FetchFromServer(const std::string& url, const std::string& key,
                             const std::string& cache);

}  // namespace decode
