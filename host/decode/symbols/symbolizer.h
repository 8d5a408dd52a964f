// Resolves stack frames to functions and source lines. The symbol path
// (folders, symbol stores, symbol servers) is searched for a module's PDB
// only when a frame of a report asks for that module, and a PDB is used
// only when its GUID and age are those of the module's row in the report.
// The PDB alone is enough: vekcrash-pdb-lookup reads it in a child process
// that is given a bounded time per report and killed when it overruns.
#pragma once

#include "decode/reports/report.h"
#include "decode/symbols/symbol_files.h"
#include "decode/symbols/symbol_path.h"
#include "decode/symbols/symbol_server.h"

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace decode {

// What the child may take for one report's frames before it is killed and
// the frames are printed unsymbolized.
constexpr int SymbolizeMillisecondsPerReport = 5000;
// The child's address space: LLVM's reader maps the PDB and sizes what it
// allocates by what the file says, so a PDB that claims more stops it
// instead of the machine. Four times the largest download a server may
// send (DefaultMaxDownloadBytes), the reader's own code and a kernel PDB's
// tables within it.
constexpr uint64_t MaxReaderAddressSpace = uint64_t{4} << 30;
// How many modules one report and the run may ask servers for (the time a
// report may wait and a server's pause are ServerLimits').
constexpr unsigned MaxServerLookupsPerReport = 16;
constexpr unsigned MaxServerLookupsPerRun = 1024;
// Modules and frames remembered across reports: past these the oldest
// answers are forgotten, so memory stays flat whatever the log names.
constexpr size_t MaxRememberedModules = 4096;
constexpr size_t MaxRememberedFrames = 16384;

struct SymbolFile {
    std::string Path;
    FileIdentity Identity;
};

class SymbolIndex {
public:
    explicit SymbolIndex(std::vector<SymbolPathEntry> path = {}, ServerLimits limits = {});
    // A new report: its wait for symbols and its server lookups start over.
    void BeginReport();
    // The PDB of a module: looked for on the first ask, then remembered.
    const SymbolFile* PdbFor(const ModuleRow& row);
    // Why PdbFor finds none (no identity, a file of that name with another
    // GUID or age, what a server said, none found), or empty.
    std::string WhyNot(const ModuleRow& row);
    // Servers given up since the last call, one note each.
    std::vector<std::string> TakeNotes();

private:
    struct Found {
        std::optional<SymbolFile> Pdb;
        std::string Why;
        bool Transient = false;  // out of time or lookups: ask again in a later report
        unsigned Report = 0;     // the report it was found for
    };
    const Found& Find(const ModuleRow& row);
    // Why no server may be asked now (interrupted, out of time or lookups),
    // or empty.
    std::string Spent() const;
    // Asks the servers of the path; true when one gave the module's PDB.
    bool AskServers(const ModuleRow& row, Found* found, std::string* serverSaid);

    std::vector<SymbolPathEntry> Path_;
    std::vector<std::string> Folders_;  // every folder of the path
    ServerLimits Limits_;
    std::map<std::string, Found> Found_;  // by module name and symbol key
    std::map<std::string, std::chrono::steady_clock::time_point> DownUntil_;  // by URL
    std::vector<std::string> Notes_;
    std::chrono::steady_clock::time_point Deadline_;
    unsigned ReportLookups_ = 0;
    unsigned Report_ = 0;
    unsigned RunLookups_ = 0;
};

// The frame that holds the faulting instruction, for the bug checks whose
// parameters name it; every other frame's address is a return address.
std::optional<size_t> FaultingFrameIndex(const CrashReport& report);

class Symbolizer {
public:
    // vekcrash-pdb-lookup beside the running program.
    static std::string DefaultTool();
    // Whether the child is held to MaxReaderAddressSpace (not in a build
    // with a sanitizer).
    static const bool BoundsReaderMemory;

    Symbolizer(SymbolIndex& index, std::string tool = DefaultTool());
    ~Symbolizer();
    Symbolizer(const Symbolizer&) = delete;
    Symbolizer& operator=(const Symbolizer&) = delete;

    // Fills the frames' Symbols and the report's Unsymbolized list.
    void Resolve(CrashReport* report);
    // A SIGINT or SIGTERM that came during Resolve, outside --follow, is
    // taken here once the report it held is out: the decoder ends by it.
    static void RaisePendingSignal();
    static bool SignalPending();

private:
    bool Start();
    void Stop();
    // Sends the queries and reads one answer line each, until the deadline;
    // on failure says why in `why`.
    bool Ask(const std::vector<std::string>& queries, std::vector<std::string>* answers,
             std::string* why);

    SymbolIndex& Index_;
    std::string Tool_;
    int Pid_ = -1;
    int ToTool_ = -1;
    int FromTool_ = -1;
    std::string Pending_;                 // bytes read past the last answer
    std::set<std::string> Failed_;        // PDBs the child could not answer for in time
    std::map<std::string, std::vector<SourceLocation>> Cache_;  // "path@rva"
};

}  // namespace decode
