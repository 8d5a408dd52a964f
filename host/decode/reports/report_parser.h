// Turns the lines of one report, from the start line to the end line, into
// a CrashReport. Lines come one at a time; a line the report format does not
// have becomes a warning, never a failure, and every list is bounded.
#pragma once

#include "decode/reports/report.h"

#include <algorithm>
#include <string_view>

namespace decode {

// What a line did to its report, for a later report that prints the same
// line at the same place: a fleet prints one module table, and often one
// stack, in every report of a machine.
enum class LineEffect : uint8_t {
    Other,      // anything else: the line is parsed again wherever it stands
    ModuleRow,  // a row of the module table
    Frame,      // a line of the stack
    Register,   // a register of the context
    Header,     // a keyword line (OUTPUT FORMAT, KERNEL, BUGCHECK CODE, ...)
};

// The keyword lines a later report may take over.
enum class HeaderKind : uint8_t {
    None,
    Format,
    Time,
    Kernel,
    ServicePack,
    Suites,
    Type,
    NoVersion,
    ModuleTable,
    Code,
    Context,
    Stack,
};

// A keyword line read without a warning or a note: the parser's state it
// read (the section, and which lines were seen) and what it set. Only the
// members of its kind are meaningful.
struct HeaderLine {
    HeaderKind Kind = HeaderKind::None;
    uint32_t Before = 0;
    uint32_t Format = 0;
    CrashTime Time;
    uint32_t Major = 0;  // the kernel's or the service pack's
    uint32_t Minor = 0;
    uint32_t Build = 0;
    std::string Text;  // the platform, the service pack's text or the type
    uint32_t Size = 0;
    uint32_t Expected = 0;
    uint64_t Pointer = 0;
    uint32_t Code = 0;
    std::array<uint64_t, 4> Parameters{};
    uint64_t ContextAddress = 0;
};

// The module rows, registers and frames of the reports read before, by
// position in their report: position k holds the k-th of the latest report
// that had one there.
struct RememberedRows {
    ModuleTable Modules;
    FrameList Frames;
    RegisterList Registers;
    std::vector<uint32_t> RegisterBits;  // each register's bit in print order
    // For each frame of the last report checked, the module row that bears
    // its module's name (NoRow for a bare address or a name no row bears):
    // where the next report's frame most likely finds its module too.
    static constexpr uint32_t NoRow = UINT32_MAX;
    std::vector<uint32_t> FrameRows;
    // The stack and table FrameRows were last found right for: a report
    // that shares both has its frames' modules where they were.
    FrameList NamedFrames;
    ModuleTable NamedModules;
    // Keyword lines by their place among the report's keyword lines.
    std::vector<HeaderLine> Headers;
};

// Where a module row's columns part: the tab after the PDB column (the
// last before the GUID's) and the one after the GUID.
struct ModuleRowTabs {
    size_t Pdb = 0;
    size_t Age = 0;
};
// False when the line has no GUID column's tabs, or a tab before the PDB
// column's: the driver's module names are file names, which hold none, and
// two rows run together (the line feed between them lost on the wire) hold
// three there; taken for one row, the first's name would carry the second's
// identity, without a word. False too for a name or PDB column longer than
// the driver prints them, which also bounds what a table holds.
bool FindModuleRowTabs(std::string_view line, ModuleRowTabs* tabs);
// The driver's longest module name (its module map's field) and PDB name
// (the identity's field, less its terminator).
constexpr size_t MaxModuleNameColumn = 256;
constexpr size_t MaxPdbNameColumn = 255;
// The same from a mask of where a line's tabs stand (bit i for byte i).
// Inline: asked for each row of a table read at a stretch.
inline bool FindModuleRowTabs(uint64_t tabBits, ModuleRowTabs* tabs)
{
    constexpr size_t GuidDigits = GuidText::Digits;
    constexpr unsigned HighBit = 63;
    if (tabBits == 0) {
        return false;
    }
    auto ageTab = static_cast<size_t>(HighBit - static_cast<unsigned>(__builtin_clzll(tabBits)));
    if (ageTab < GuidDigits + 2 || (tabBits >> (ageTab - GuidDigits - 1) & 1) == 0) {
        return false;
    }
    // The tabs before the one that opens the GUID column.
    uint64_t pdbBits = tabBits & ((uint64_t{1} << (ageTab - GuidDigits - 1)) - 1);
    if (pdbBits == 0 || (pdbBits & (pdbBits - 1)) != 0) {
        return false;  // (a line this short holds no column too long)
    }
    tabs->Pdb = HighBit - static_cast<unsigned>(__builtin_clzll(pdbBits));
    tabs->Age = ageTab;
    return true;
}

// The first bytes of the keyword lines Feed tries in turn ("OUTPUT
// FORMAT: ", "CRASHED ON: ", "CONTEXT (", "KERNEL: ", "SP: ", "SUITES:",
// "STACK:", "TYPE: ", "NO OS VERSION AVAILABLE: ", "Module\t...",
// "BUGCHECK CODE ", "- ").
inline bool MayStartKeyword(char c)
{
    switch (c) {
    case 'O':
    case 'C':
    case 'K':
    case 'S':
    case 'T':
    case 'N':
    case 'M':
    case 'B':
    case '-':
        return true;
    default:
        return false;
    }
}

// True when Feed takes the line for a keyword line by its first bytes.
bool StartsKeywordLine(std::string_view line);
// True when every byte of the 32 at text is an upper-case hex digit, as a
// module row's GUID column is.
bool AllHexDigits(const char* text);

class ReportParser {
public:
    // At most this many rows of each list are kept; the rest are counted in
    // a warning. Real machines load a few hundred modules.
    static constexpr size_t MaxModules = 4096;
    static constexpr size_t MaxFrames = 64;
    // The version block names each of the 16 suite bits at most once.
    static constexpr size_t MaxSuites = 16;
    // Warnings about single lines (not understood, a value seen twice) are
    // kept up to this many and counted beyond; warnings about the report as
    // a whole are always kept, and there are only a few kinds of them.
    static constexpr size_t MaxWarnings = 32;
    static constexpr size_t MaxReportWarnings = 16;
    // Noise on the wire spoils a line, two where it hit a line feed; a third
    // unfit line in a row is no longer this report (the machine restarted
    // and the next boot's output follows), so the report ends there, cut.
    static constexpr size_t MaxUnfitRun = 3;

    ReportParser(std::string source, uint64_t startLine);
    // A report whose first lines are missing (its start line lost on the
    // wire, or a log that begins inside it) is read from the first of its
    // lines there are. True where a line has the shape of a line of some
    // section of a report.
    static bool FitsSomeSection(std::string_view line);
    // Reads on from `line` (the first there is of the report, not yet fed)
    // as from inside the section it stands in, that section taken as begun.
    // False, with nothing done, for a line of no section and for a frame:
    // a stack without its first frames would blame whichever frame is left.
    bool BeginInside(std::string_view line);
    void Feed(std::string_view line, uint64_t number);
    // Feeds the line only as far as it fits the report: one that does not
    // is passed over without a word and counts toward no run of unfit
    // lines (another source's line, on a console that interleaves them).
    // True where it fit: then the lines passed over since the last one fed
    // were the report's own, behind a prefix that changes (a timestamp),
    // and are named as not understood, as Feed names them. `tagged`: the
    // line's prefix has the shape of the report's (another source's tag).
    bool FeedIfFits(std::string_view line, uint64_t number, bool tagged);
    // The report's source is known to share the console with others (its
    // lines came again after another's tagged line, or another source's
    // report opened beside it): from then on FeedIfFits feeds nothing, for
    // a line that does not carry the report's prefix byte for byte is
    // another's, fit or not.
    void MarkInterleaved() { Interleaved_ = true; }
    // FeedIfFits would feed a line that fits as Feed does, and do nothing
    // more: no source known to share the console, no line passed over.
    bool FeedsWhatFits() const { return !Interleaved_ && QuietNotes_.empty(); }
    // Feeds a line of the module table being read, whose tabs FindModuleRowTabs
    // found, when Feed would take it for a row (one past the bound is
    // counted, as Feed counts it); false, with nothing done, for any other
    // line (a keyword line, one Feed would note), which is then fed.
    bool FeedModuleRow(std::string_view line, uint64_t number, ModuleRowTabs tabs);
    bool ReadsModuleRows() const { return Section_ == Section::Modules; }
    size_t ModuleCount() const { return Report_.Modules.size(); }
    // How many more rows the table keeps before it counts them instead.
    size_t ModuleRoom() const { return MaxModules - std::min(Report_.Modules.size(), MaxModules); }
    // Holds plain rows of the module table being read (their columns found
    // and checked whole: a GUID of upper-case hex digits, an age that fits
    // 32 bits) that follow one another from `text` on, up to the first where
    // FeedModuleRow would do more: a row that starts as a keyword line, or
    // one past the table's bound. How many; LastPosition is then the last
    // one's place. Inline: a fleet's table has hundreds of rows.
    size_t HoldRows(const char* text, const PlainRow* rows, size_t count)
    {
        const size_t before = Report_.Modules.size();
        count = std::min(count, ModuleRoom());
        size_t held = 0;
        for (const char* row = text; held < count; row += rows[held++].Length + 1u) {
            if (MayStartKeyword(*row) && StartsKeywordLine(std::string_view(row, rows[held].Length))) {
                break;
            }
        }
        if (held != 0) {
            Position_ = before + held - 1;
            Report_.Modules.HoldRows(text, rows, held);
        }
        return held;
    }
    // HoldRows for rows that each stand behind `prefix` bytes (a timestamp
    // before every line), one after another from `text` on: each held as
    // FeedModuleRow holds the row after its prefix.
    size_t HoldRowsBehindPrefix(const char* text, size_t prefix, const PlainRow* rows, size_t count)
    {
        const size_t before = Report_.Modules.size();
        count = std::min(count, ModuleRoom());
        size_t held = 0;
        for (const char* row = text + prefix; held < count; row += rows[held++].Length + 1u + prefix) {
            if (MayStartKeyword(*row) && StartsKeywordLine(std::string_view(row, rows[held].Length))) {
                break;
            }
        }
        if (held != 0) {
            Position_ = before + held - 1;
            Report_.Modules.HoldRowsBehindPrefix(text, prefix, rows, held);
        }
        return held;
    }
    // After rows held, the last numbered `number`: where FeedModuleRow
    // leaves the parser after a row.
    void RowsHeld(uint64_t number)
    {
        Effect_ = LineEffect::ModuleRow;
        Report_.LastLine = number;
        UnfitRun_ = 0;
        UnfitNotes_ = 0;
        LastFit_ = number;
    }
    // What the last line fed did, and where in the report: a row or frame
    // at Position, or Other for a line that changed anything else (a
    // section, a warning) or nothing.
    LineEffect LastEffect() const { return Effect_; }
    size_t LastPosition() const { return Position_; }
    // Keeps the row or frame the last line gave at its position in *rows.
    void Remember(RememberedRows* rows) const;
    // Keeps the module row at `position` in rows, as Remember keeps the
    // row just parsed.
    void KeepModuleRow(RememberedRows* rows, size_t position) const { rows->Modules.Keep(position, Report_.Modules); }
    // The report's modules, registers and frames become rows' (shared): row
    // p of each list is what the line with that effect at position p gave,
    // whether it was read or taken over. Before Finish.
    void KeepLists(RememberedRows* rows) const
    {
        rows->Modules = Report_.Modules;
        rows->Registers = Report_.Registers;
        rows->Frames = Report_.Frames;
    }
    // Takes `count` lines in a row, numbered from `number`, as the lines
    // that had `effect` at positions from `position` on in an earlier
    // report, byte for byte the same: what Feed would make of them, without
    // reading them again. How many were taken: none where the report is not
    // at that place (another section, another count of rows before), and
    // the lines from the first not taken are then fed.
    size_t RepeatRun(const RememberedRows& rows, LineEffect effect, size_t position, size_t count,
                     uint64_t number);
    // True once MaxUnfitRun lines in a row fit no line of the report; the
    // report is over at the line before the first of them.
    bool Derailed() const { return UnfitRun_ >= MaxUnfitRun; }
    uint64_t LastFittingLine() const { return LastFit_; }
    // The last line fed, whether or not it fit: the report's source was
    // last heard from there.
    uint64_t LastFedLine() const { return Report_.LastLine; }
    uint64_t StartLine() const { return Report_.FirstLine; }
    // Ends the report: complete when its end line was seen, otherwise cut
    // short for the reason given. The parser is spent afterwards.
    // With rows, the frames' modules are first looked for at the rows the
    // last report's frames found theirs (and the rows found are kept there).
    CrashReport Finish(bool complete, const std::string& cutReason, uint64_t lastLine,
                       RememberedRows* rows = nullptr);
    // A warning about the report as a whole: always kept.
    void Warn(std::string text);
    // A warning about one line: kept up to MaxWarnings.
    void Note(std::string text);

private:
    enum class Section { Header, Suites, Modules, Context, Stack };
    // The section a line of that shape stands in; false for none. Keyword
    // lines set their own section, and are the header's here.
    static bool SectionOfShape(std::string_view line, Section* section);
    bool ParseKernel(std::string_view rest);
    bool ParseRegister(std::string_view rest);
    bool ParseModuleRow(std::string_view line);
    bool ParseModuleColumns(std::string_view line, ModuleRowTabs tabs);
    bool ParseTime(std::string_view rest, uint64_t number);
    bool ParseSuite(std::string_view name, uint64_t number);
    // False, with a note, when the line's kind was already seen.
    bool First(bool seen, const char* what, uint64_t number);
    bool ParseFrame(std::string_view line);
    // False, with a warning each, where a line fits its shape but says what
    // the driver never prints.
    bool ShowsWhatTheGuestWrote(RememberedRows* rows);
    // True when every frame's module is the name of the row rows' FrameRows
    // gives it: each is then in the table, with no search.
    bool FramesNameRowsAt(const RememberedRows& rows) const;
    // What a keyword line reads besides its bytes: the section and a bit
    // for each kind of line seen. Equal states and equal bytes make the
    // same effect.
    uint32_t HeaderState() const;
    // The last keyword line's record, from what it set.
    HeaderLine LastHeader() const;
    // Sets what a keyword line, read clean in an earlier report, set.
    void ApplyHeader(const HeaderLine& header);

    CrashReport Report_;
    Section Section_ = Section::Header;
    size_t DroppedModules_ = 0;
    bool TableHeadMissing_ = false;  // read from inside the table (BeginInside)
    size_t DroppedFrames_ = 0;
    size_t DroppedWarnings_ = 0;
    size_t DroppedSuites_ = 0;
    std::vector<std::string> LineWarnings_;
    uint32_t RegistersSeen_ = 0;  // a bit per register, in print order
    size_t UnfitRun_ = 0;
    size_t UnfitNotes_ = 0;  // notes kept for the lines of the unfit run
    uint64_t LastFit_ = 0;
    bool QuietUnfit_ = false;  // FeedIfFits is feeding
    // What FeedIfFits passed over without a word since line QuietSince_.
    std::vector<std::string> QuietNotes_;
    uint64_t QuietSince_ = 0;
    bool QuietTagged_ = false;  // one of them was behind another source's tag
    bool Interleaved_ = false;
    LineEffect Effect_ = LineEffect::Other;
    size_t Position_ = 0;
    uint32_t LastRegisterBit_ = 0;  // the bit of the last register line read
    size_t Said_ = 0;               // warnings and notes asked for, kept or not
    size_t HeaderLines_ = 0;        // keyword lines so far
    HeaderKind LastHeaderKind_ = HeaderKind::None;
    uint32_t LastHeaderBefore_ = 0;
};

}  // namespace decode
