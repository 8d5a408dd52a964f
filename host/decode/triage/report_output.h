// How decoded reports are shown: readable text, or one JSON object per line
// (a report, or a restore outcome line), in the order they stand in the log.
#pragma once

#include "decode/reports/bugcheck_codes.h"
#include "decode/reports/report.h"
#include "decode/triage/json_writer.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <deque>
#include <ostream>
#include <string>
#include <vector>

namespace decode {

// What a report's culprit, bug check block and stack are made from, as
// the last report given had it: a fleet's next report most often has the
// same, and the text or JSON made for the last one stands for it.
class LastStack {
public:
    struct Same {
        bool Code;     // code and parameters
        bool Meaning;  // those and the build, which the code's meaning reads
        bool Stack;    // every frame
        bool Culprit;  // all the culprit line reads: both, the build and the cut
    };
    // How the report compares with the last one given; it is the last one
    // afterwards.
    Same Compare(const CrashReport& report);

private:
    bool Valid_ = false;
    bool HasCode_ = false;
    uint32_t Code_ = 0;
    std::array<uint64_t, 4> Parameters_{};
    uint32_t Build_ = 0;
    bool HasStack_ = false;
    bool StackCut_ = false;
    FrameList Frames_;
};

// Reports as JSON lines, one each. The module table's JSON is kept from
// one report to the next: the machines of a fleet mostly load the same
// modules (a row holds no load address), and the table is most of a line.
// So are the culprit's and the stack's, while they are the same.
class ReportJsonWriter {
public:
    explicit ReportJsonWriter(JsonLineWriter& out) : Out_(out) {}
    void Write(const CrashReport& report);
    // Each module table as a line of its own ("kind": "modules", with an
    // "id"), written before the first report that has it, and reports
    // naming it by "modules_id" instead of holding its rows: a fleet's
    // dense log otherwise writes every row of every report, over twenty
    // times the text's bytes. A table met again past the ones kept is
    // written again under a new id.
    void ModulesOnce(bool once) { ModulesOnce_ = once; }

private:
    JsonLineWriter& Out_;
    JsonLineWriter Values_;  // where the values kept are made
    ModuleTable Modules_;  // the table last written
    std::string ModulesJson_ = "[]";  // and its JSON
    bool ModulesOnce_ = false;
    uint64_t TableId_ = 0;      // with ModulesOnce, the last table's line's id
    uint64_t TablesWritten_ = 0;  // and how many table lines went out
    // A table's prints (ModuleTable::EndsPrint, then RowsPrint), each
    // made once, and the second only where the first agrees with another
    // table's.
    struct TablePrints {
        bool Made = false;
        uint64_t Ends = 0;
        bool RowsMade = false;
        uint64_t Rows = 0;
    };
    // True when the tables hold the same rows, told by their prints first.
    static bool SameTable(const ModuleTable& a, TablePrints* aPrints, const ModuleTable& b, TablePrints* bPrints);
    TablePrints ModulesPrints_;  // and its prints, as far as made
    // Tables written before it, and their JSON: a fleet's machines print
    // their crashes in turn, each report's table the same as its own
    // machine's last one. Told by the rows the parser shares (a pointer's
    // compare) or, where it parsed them anew (more machines than it keeps
    // apart), by SameTable. Up to KeptTables, each JSON up to MaxKeptJson
    // bytes and all of them MaxKeptJsonBytes.
    struct KeptTable {
        ModuleTable Modules;
        // Kept with ModulesOnce too, though only the id is written again:
        // its size keeps a guest's largest tables out, as without.
        std::string Json;
        uint64_t Id = 0;
        TablePrints Prints;
    };
    std::deque<KeptTable> KeptTables_;  // least recent first
    size_t KeptJsonBytes_ = 0;
    // A fleet of 64 machines taking turns, with tables of a few hundred
    // rows, writes each machine's table once; the kept JSON's bound holds
    // the writer to a few MB whatever the tables.
    static constexpr size_t KeptTables = 64;
    static constexpr size_t MaxKeptJson = 256 * 1024;
    static constexpr size_t MaxKeptJsonBytes = 4 << 20;
    LastStack Last_;
    std::string CulpritLineJson_;
    std::string CulpritJson_;
    std::string StackJson_;
    std::string BugCheckJson_;
    // The OS last written, and its JSON.
    bool OsValid_ = false;
    OsVersion Os_;
    std::string OsJson_;
    // The register context last written, and its JSON.
    bool ContextValid_ = false;
    bool HasContext_ = false;
    uint64_t ContextAddress_ = 0;
    RegisterList Registers_;
    std::string ContextJson_;
};
// A restore outcome as one JSON line.
void WriteRestoreJson(JsonLineWriter& out, const RestoreLine& line);
// A report's line, without its line end.
std::string ReportJsonLine(const CrashReport& report);
// The same line read back, for a caller that looks inside it.
nlohmann::ordered_json ReportJson(const CrashReport& report);
// A value dumped as the decoder writes its JSON lines (json_writer.h):
// valid UTF-8 whatever bytes the log held.
std::string JsonLine(const nlohmann::ordered_json& value);
// The parts of a report's text that the next report of a fleet most often
// prints again: the culprit line, the OS lines, the bug check block and the
// stack, made anew only where what they show changed. The text is the same
// either way.
class ReportTextCache {
public:
    // The texts, made from the report or taken from the last one.
    void Update(const CrashReport& report);
    const std::string& Culprit() const { return Culprit_; }
    const std::string& BugCheck() const { return BugCheck_; }
    const std::string& Stack() const { return Stack_; }
    const std::string& Os() const { return Os_; }

private:
    LastStack Last_;
    std::string Culprit_;
    std::string BugCheck_;
    std::string Stack_;
    bool OsValid_ = false;
    OsVersion LastOs_;  // what Os_ shows
    std::string Os_;
};

// Opens with the culprit line; listModules adds each module's PDB, GUID,
// age and symbol-store key. With a cache, the parts the last report
// appended through it alike come from there.
void AppendReportText(std::string* out, const CrashReport& report, unsigned number, bool listModules = false,
                      ReportTextCache* cache = nullptr);
void PrintReportText(std::ostream& out, const CrashReport& report, unsigned number, bool listModules = false);
void AppendModulesText(std::string* out, const CrashReport& report);
void PrintRestoreText(std::ostream& out, const RestoreLine& line);
// A symbolized frame as a debugger names it, "crasher.sys!CrasherTouch+0x13
// (crasher.cpp:64)", from its containing function; empty when unsymbolized.
std::string FrameSymbolText(const Frame& frame);

}  // namespace decode
