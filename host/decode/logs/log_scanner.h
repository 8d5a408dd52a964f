// Finds the reports in a console log: everything between "BUGCHECK DUMP
// STARTS" and "BUGCHECK DUMP ENDS" goes to a ReportParser, and restore
// outcome lines are picked up wherever they stand. Whatever else the console
// carried (boot output, other drivers, noise) is passed over.
#pragma once

#include "decode/logs/line_reader.h"
#include "decode/logs/marker_search.h"
#include "decode/logs/plain_rows.h"
#include "decode/reports/report.h"
#include "decode/reports/report_parser.h"

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace decode {

struct ScanSink {
    std::function<void(CrashReport&&)> Report;
    std::function<void(RestoreLine&&)> Restore;
    // Asked after a line that handed the sink a report or a restore line:
    // true ends the scan early (the reader went away).
    std::function<bool()> Stopped;
    // What was passed over and why (a start marker with no report after
    // it), for --verbose.
    std::function<void(std::string&&)> Note;
    // Optional. Asked when a report's lines, its end line included, are
    // byte for byte the last report's (whose end line was seen): true when
    // a report with the last one's content would be folded into one, as
    // Repeated then does without the report being read again.
    std::function<bool()> FoldsRepeat;
    std::function<void(uint64_t firstLine)> Repeated;
    // False: nothing is taken over from the report before and every line
    // is read and parsed one at a time, which is what taking over and
    // reading a table's rows at a stretch must always come to (a judge for
    // the fuzzer and the tests).
    bool TakeOver = true;
};

class LogScanner {
public:
    LogScanner(std::string source, ScanSink sink);
    void Feed(const LogLine& line);
    // The end of the log, its last line's number where known: a report
    // still open is handed on as partial.
    void Finish(uint64_t lastLine = 0);
    // Inside a report every line is read; outside only lines that may
    // start one or carry a restore outcome.
    bool InReport() const { return !Open_.empty(); }
    // Where the lines before a line come from, for a report whose start
    // line is missing: without it, such a report is passed over.
    void LookBackThrough(LineReader* reader) { Reader_ = reader; }
    // Takes the reader's next whole lines where they repeat the previous
    // report's lines at the same place byte for byte, as Feed would have
    // taken them one by one; how many. 0 where the next line is to be fed.
    size_t Repeat(LineReader* reader);
    // False where Repeat would take nothing for want of a line to hold the
    // next one against: asked inline before every line of a report, since
    // a table of other modules has hundreds that are not taken.
    bool MayRepeat() const
    {
        if (!Remembering_ || Open_.size() != 1) {
            return false;
        }
        size_t index = CurrentLines();
        // The first line may begin a report printed again whole.
        return index < Previous_.Lines.size() && (index == 0 || Previous_.Lines[index].Effect != LineEffect::Other);
    }

    // Takes the reader's next whole lines while they are rows of the lone
    // open report's module table, as Feed would have taken them one by one
    // (a fleet of machines prints a table of its own in every report, a
    // few hundred rows); how many. 0 where the next line is to be fed.
    size_t TableRows(LineReader* reader);
    bool ReadsTable() const { return Open_.size() == 1 && Open_[0].Parser->ReadsModuleRows(); }

    // Reports open at once: one per source of a console that interleaves
    // several (a multiplexer writing "vm1| ", "vm2| " before each line).
    // As many as the sources whose last reports are kept: a console server
    // of 48 ports logging into one file, whose guests all stop together
    // when their storage goes, interleaves that many (with 8, nine such
    // reports came out as eight, four of them whole).
    static constexpr size_t MaxSources = 64;
    // A report behind a source's tag hears nothing of its source while
    // the other sources' lines pass over it: one whose source stopped
    // printing is cut at its last line once this many lines have passed
    // (a console server's chunks of a few KB from each of 64 ports stand
    // at most about 4,500 lines apart), rather than held open to the log's
    // end, every report after it read line by line.
    static constexpr uint64_t MaxLinesWithoutItsSource = 16384;

private:
    // The lines of a report as read (line ends and all) and what each did:
    // a line without the report's prefix (its bytes or its shape), a cut
    // line and one with bytes passed over are Other.
    struct LineMemory {
        std::string Prefix;
        std::string Raw;
        struct Entry {
            size_t End;  // where the line's bytes end in Raw
            LineEffect Effect;
            size_t Position;
        };
        std::vector<Entry> Lines;
        // Every line was read whole, up to and with the end line: Raw is
        // the report's bytes after its start line as they stood.
        bool Whole = true;
        bool Ended = false;
        // Every line carried Prefix byte for byte: a source's tag ("vm1| "),
        // not a timestamp.
        bool PrefixExact = true;
        void Clear()
        {
            Prefix.clear();
            Raw.clear();
            Lines.clear();
            Whole = true;
            Ended = false;
            PrefixExact = true;
        }
    };
    // A report of a few thousand modules is remembered whole; lines past
    // these bounds are only ever parsed.
    static constexpr size_t MaxRememberedLines = ReportParser::MaxModules + 1024;
    static constexpr size_t MaxRememberedBytes = 1u << 20;

    struct OpenReport {
        std::unique_ptr<ReportParser> Parser;
        std::string Prefix;      // what stood before the start marker
        bool PrefixExact = true;  // every line so far carried it byte for byte
        mutable uint64_t Key = 0;  // SourceKeyHash(Prefix), once KeyMade: see KeyOf
        mutable bool KeyMade = false;
        // A line after the start line stood behind the prefix's bytes or
        // the source's words: only from then on is a line behind another
        // source's words passed over. Until then the start line's prefix
        // may be the one damaged, and its report's lines all "another's".
        bool OwnWords = false;
        uint64_t LastLine = 0;
    };
    // Whether a line (`text`) stands behind its source's words (Same) or
    // another's (Other): on a console whose sources are both tagged and
    // stamped ("vm1| [10:00:01.123] ") the bytes change from line to line
    // and the words tell the sources apart. Same for the prefix's own
    // bytes; otherwise Neither where the report's prefix names no source,
    // or no prefix like it is found before the line.
    enum class HeadSource { Neither, Same, Other };
    // SourceKeyHash of a line's first bytes, for each length asked, kept
    // while the line is held against the open reports.
    struct HeadHashes {
        static constexpr size_t MaxLengths = 4;
        size_t Count = 0;
        size_t Lengths[MaxLengths] = {};
        uint64_t Hashes[MaxLengths] = {};
        uint64_t Of(std::string_view text, size_t length);
    };
    // `wider` false: Neither for a prefix of another width than the report's.
    static HeadSource SourceOf(const OpenReport& open, std::string_view text, HeadHashes* hashes = nullptr,
                               bool wider = true);
    static uint64_t KeyOf(const OpenReport& open);
    // A line behind another source's words: none of the report's, which
    // is then known to share the console.
    void PassOver(OpenReport* open);
    // Feed's work; true when the line went to a report's parser.
    bool FeedLine(const LogLine& line);
    void CloseSilentSources(uint64_t number);
    uint64_t SilentAfter_ = UINT64_MAX;  // no open report is silent before this line
    void Close(size_t index, bool complete, const std::string& reason);
    // The last report handed on was partial, and its source's words.
    bool LastPartial_ = false;
    uint64_t LastPartialKey_ = 0;
    // An end line with no report open: the report whose lines stand before
    // it, back to the first that is none of a report's, where its start
    // line was lost or the log begins inside it, read from there.
    void ReadWithoutStart(const LogLine& line, size_t endAt);
    // The lines of a report that end where `before` does: where the
    // earliest begins and how many there are; whether the walk came to the
    // start of the bytes looked at (not the log's) with them, and how many
    // lines that fit none stand before the earliest.
    struct ReportRun {
        size_t First = 0;
        uint64_t Lines = 0;
        bool AtHeldStart = false;
        size_t Unfit = 0;
    };
    static ReportRun FindReportRun(std::string_view before, bool fromStart, const OpenReport& source);
    // A report's lines are looked for in no more than this many bytes
    // before its end line: a table of a thousand modules, and the same
    // bytes however the reader holds them.
    static constexpr size_t LookBackBytes = 256u << 10;
    LineReader* Reader_ = nullptr;
    // The most of a line before its marker kept as its report's prefix.
    static constexpr size_t MaxPrefixBytes = 256;
    void Open(std::string_view text, size_t markerAt, bool exact, uint64_t number);
    // The open report a line belongs to: the one whose prefix it carries
    // byte for byte, else the latest. Inline for the lone report of most
    // logs, asked at every line.
    size_t Owner(std::string_view text) const { return Open_.size() == 1 ? 0 : OwnerAmongSeveral(text); }
    size_t OwnerAmongSeveral(std::string_view text) const;
    // True when a start line with this prefix is another source's report
    // rather than the start that cuts the open ones short.
    bool AnotherSource(std::string_view prefix) const;
    // The line without the prefix its start line had (a timestamp, a colour
    // code, a host name), by the same bytes, the same shape, or up to where
    // a line of the report begins.
    // Inline for most consoles: nothing before the lines, and no colour
    // reset after them unless the line ends in its 'm'.
    static std::string_view StripPrefix(std::string_view text, const std::string& prefix)
    {
        return prefix.empty() && (text.empty() || text.back() != 'm') ? text : StripAnyPrefix(text, prefix);
    }
    static std::string_view StripAnyPrefix(std::string_view text, const std::string& prefix);

    // The line of a lone open report just fed, and what it did; false
    // past the bounds, where no more of its lines are remembered.
    bool Remember(const LogLine& line, bool parsed);
    // Remembers lines TableRows took: `raw` holds their bytes, `ends`
    // where each ends in them, and the first is numbered `number`. As
    // Remember for each, with one copy of their bytes. Without positions
    // they are rows the next report is to parse again (kept as Other);
    // with them, each row is kept at its place in the table (NotKept for
    // a row past the table's bound).
    void RememberRows(std::string_view raw, const std::vector<size_t>& ends, const std::vector<size_t>* positions,
                      uint64_t number);
    static constexpr size_t NotKept = SIZE_MAX;
    // Row `index` of those RememberRows remembers, at *entry: its effect,
    // and the row itself kept where positions say it is kept.
    void KeepRow(LineMemory::Entry* entry, const std::vector<size_t>* positions, size_t index);
    // Which of a line's effects the next report may take over it.
    LineEffect EffectToRemember(const LogLine& line, bool parsed);
    // The open report's lines remembered so far, and their bytes, wherever
    // they are kept.
    size_t CurrentLines() const { return Mirror_ ? MirrorLines_ : Current_.Lines.size(); }
    size_t CurrentBytes() const
    {
        if (!Mirror_) {
            return Current_.Raw.size();
        }
        return MirrorLines_ == 0 ? 0 : Previous_.Lines[MirrorLines_ - 1].End;
    }
    // The open report's lines so far copied out of Previous_, where they
    // were written over the report before's: a line of another length came.
    void Unmirror();
    // TableRows' work where the rows stand behind a prefix: a row at a
    // time, each split as Next splits it and fed as FeedLine feeds it.
    size_t TableRowsBehindPrefix(LineReader* reader);
    // Repeat's steps, shared by both of its ways. The stretches of the
    // report before's lines from `index` up to the first not to be taken
    // over or to `limit`, into Stretches_; where they end.
    size_t FindStretches(size_t index, size_t limit);
    // FindStretches' walk, on from `index` where it stopped at its limit,
    // to a further `limit`: the last stretch grows where its lines go on.
    size_t ExtendStretches(size_t index, size_t limit);
    // Takes over the stretches' lines before `end`, the first numbered
    // `number`, a stretch at a time, up to the first the parser refuses;
    // how many.
    size_t TakeStretches(size_t end, uint64_t number);
    // Remembers the `count` lines taken over from `index` on, as the
    // reader holds them, and takes them from the reader. Only the first
    // `differing` bytes of each line (a prefix; none where its bytes are
    // the same) may differ from the report before's.
    void TakeLines(LineReader* reader, size_t index, size_t count, uint64_t number, size_t differing);
    // Repeat's work where the open report's lines stand behind a prefix
    // of the same shape as the report before's but other bytes (a
    // timestamp): each line held against that report's at its place
    // after the prefix.
    size_t RepeatBehindPrefixes(LineReader* reader, size_t index, uint64_t number);
    // Has PrefixShapes_ hold the prefix's shapes; false for one too long.
    bool MakeShapesOf(const std::string& prefix);
    // Passes over the open report, just begun, where its lines up to its
    // end line are the previous report's and the sink folds it; the count
    // of lines passed over.
    size_t FoldWhole(LineReader* reader);
    void Forget();

    std::string Source_;
    ScanSink Sink_;
    std::vector<OpenReport> Open_;
    // The lines of the report before and of the open one, while one report
    // at a time is open; the rows their lines gave.
    LineMemory Previous_;
    LineMemory Current_;
    // The last reports of the other sources of a console that carries
    // several, each told by its prefix ("vm1| "): a multiplexer writes
    // their reports in turn, and each source's next report takes over from
    // its own last one, not from another machine's.
    struct SourceMemory {
        LineMemory Lines;
        RememberedRows Rows;
        unsigned ModuleMisses = 0;
        uint64_t Parked = 0;  // when it was parked, of SourcesParked_: the least was heard from longest ago
    };
    std::vector<SourceMemory> OtherSources_;
    uint64_t SourcesParked_ = 0;
    LineMemory Spare_;  // the buffers of the last memory given up
    // Each source's memory holds no more than a seventh of what one report
    // may: a fleet's reports of a few hundred rows each are kept, while
    // sources whose tables run to thousands of rows are held against the
    // report before as one source's are (keeping each would cost more in
    // the memory's faults than their rows cost to read).
    static constexpr size_t MaxSourceBytes = MaxRememberedBytes / 7;
    // The other sources' last reports kept, and the fleet's: each machine
    // of a fleet of up to 64 behind prefixes, or 32 without, takes over
    // from its own machine's last report (sixteen machines' consoles
    // multiplexed read 3.8 times as long as grep where only seven were
    // kept), within a few MB however large. Fewer without prefixes: until
    // the fleet's memories are all there, every report is held against
    // them (a log whose every table is new pays that once, and for 63 it
    // paid 6% of its time in the faults of their pages), and once paused
    // no more are kept than a probe needs (given up a probe at a time
    // from 63 they cost a tenth of its time, in the heap's churn).
    static constexpr size_t MaxKeptMemories = 63;
    static constexpr size_t MaxFleetMemories = 31;
    static constexpr size_t PausedFleetMemories = 7;
    static constexpr size_t MaxKeptMemoriesBytes = 2u << 20;
    // The other source heard from longest ago (OtherSources_ not empty).
    std::vector<SourceMemory>::iterator OldestSource();
    // Gives up the memory of the source heard from longest ago while the
    // others together hold more than MaxKeptMemoriesBytes.
    void TrimOtherSources();
    // Puts the memory of the source whose report opens with this prefix
    // in Previous_ and Rows_, and the one there among the others when it
    // is a source's; a report behind a timestamp keeps the one there.
    void TakeSourceMemory(const std::string& prefix);
    // A fleet's machines printing their crashes in turn into one console,
    // with nothing before the lines to tell them apart: each report's table
    // differs from the report before's in the rows of each machine's own
    // builds, and is the same as its own machine's last report's. After
    // MissesBeforePause reports that took over too little, reports are held
    // against the last few reports: where a line differs from the memory
    // it is held against, the memory that has the most of the report the
    // same from there on is taken instead, as long as it gives at least a
    // line more. The memories are then only read: the open report's lines
    // go to Current_, its rows to CurrentRows_, unless the rest of the
    // report is one memory's whole (its machine's last report), which the
    // report's lines are then written over as over the report before's.
    bool Fleet_ = false;
    bool FleetSwitched_ = false;  // the open report took another memory
    unsigned FleetMisses_ = 0;    // fleet's reports in a row that missed
    RememberedRows CurrentRows_;
    std::deque<SourceMemory> FleetMemories_;  // the first kept is given up first
    // A report's searches of the memories for one that holds more of it,
    // each at a line that parted from the memory held against, stop after
    // this many found none: a table of its own parts from every memory at
    // every row, and would cost a search of them all a row.
    static constexpr unsigned MaxFleetSearchesMissed = 4;
    unsigned FleetSearchesMissed_ = 0;
    // Once paused, every FleetProbeEvery_-th report searches the memories
    // again, twice as far apart after each search that missed (each looks
    // through them all at a few lines), back to ProbeEvery on a hit.
    static constexpr unsigned MaxFleetProbeEvery = 512;
    unsigned FleetProbeEvery_ = ProbeEvery;
    bool FleetSearching_ = false;  // the open report may search them
    // Takes the fleet memory that has more than *same bytes from its line
    // `index` on the same as `ahead` (its line `index` whole), the most
    // of them, in Previous_'s place, and sets *same to how many; false
    // when none has.
    bool TakeFleetMemory(size_t index, std::string_view ahead, size_t* same);
    // The open report, its first `index` lines in Current_, goes on as one
    // that is no fleet's, its lines written over the memory just taken
    // (as the report before's are) where they stand as that one's do.
    void AdoptFleetMemory(size_t index);
    // The rows of `count` lines taken over from `position` on, kept in
    // CurrentRows_ where the report's own lists will not hold them.
    void KeepTakenRows(LineEffect effect, size_t position, size_t count);
    // Empties rows, keeping the buffers of those it owns.
    static void ClearRows(RememberedRows* rows);
    // The row the line just read gave, kept where the next report will
    // look for it.
    void KeepParsedRow(LineEffect effect);
    // Close's work for a fleet's report: its memory becomes Previous_, and
    // the one it was last held against is kept among the others unless
    // this one takes its place (most of its table was taken over).
    void CloseFleetReport(bool superseded);
    // The stretches of the run Repeat looks at: lines of one kind at
    // positions one after another, as [first line, count). Kept to reuse
    // its memory.
    struct Stretch {
        size_t First;
        size_t Count;
    };
    std::vector<Stretch> Stretches_;
    // Where the lines TableRows takes end, from the first. Kept to reuse
    // its memory.
    std::vector<size_t> RowEnds_;
    std::vector<size_t> RowPositions_;  // and each row's place in the table
    // The shapes of the prefix lines were last held against, made again
    // when the open report's prefix is another.
    PrefixShapes PrefixShapes_;
    // The plain rows of a batch TableRows splits (a few batches a table).
    static constexpr size_t PlainRowsBatch = 64;
    // The first batch of each call, each next one twice as many up to the
    // above. Rows that each end the call (each holding a marker's anchor,
    // or starting as a keyword line, as a hostile guest may print a table)
    // then cost a split of 16 rows each instead of 64; a table of 150
    // plain rows takes four splits instead of three.
    static constexpr size_t FirstPlainRowsBatch = 16;
    std::array<PlainRow, PlainRowsBatch> PlainRows_{};
    // While set, the open report's first MirrorLines_ lines are kept in
    // Previous_, written over the report before's lines of the same
    // lengths; Current_ holds only its prefix and flags.
    bool Mirror_ = false;
    size_t MirrorLines_ = 0;
    bool Remembering_ = false;
    RememberedRows Rows_;
    // Module rows are kept for the next report while reports take theirs
    // from the one before: after MissesBeforePause reports in a row that
    // took no more than half their table (a fleet of machines with tables
    // of their own, or that differ here and there), only every
    // ProbeEvery-th report keeps its rows, so a table that comes back is
    // taken over again from the report after it. A row not kept is parsed:
    // the output is the same either way.
    static constexpr unsigned MissesBeforePause = 2;
    static constexpr unsigned ProbeEvery = 8;
    bool KeepModuleRows_ = true;
    unsigned ModuleMisses_ = 0;
    uint64_t ReportsRemembered_ = 0;
    size_t ModuleRowsKept_ = 0;   // of the open report
    size_t ModuleRowsTaken_ = 0;  // of the open report, from the one before
};

// Where the start marker stands in the line: exactly, or (with *exact
// false) within one substituted, dropped or added byte of it and at the
// line's end, as noise damages it. npos when neither.
size_t FindStartMarker(std::string_view text, bool* exact);

// The words of a line's prefix that name its source ("vm1", "node-03" in
// "vm1| [10:00:01.123] ", "Dec 10 10:00:01 node-03 kernel: "), each
// followed by a blank; empty where none do (a timestamp alone). A
// timestamp's numbers and the names of months and days are none of them.
std::string SourceKey(std::string_view prefix);
// A hash of SourceKey(prefix), made without it; 0 for an empty one.
uint64_t SourceKeyHash(std::string_view prefix);

// Reads the whole descriptor through a LogScanner. False when a read
// failed or the input is no console log, with why in *problem when given.
bool ScanDescriptor(int fd, const std::string& source, const ScanSink& sink,
                    std::string* problem = nullptr);

}  // namespace decode
