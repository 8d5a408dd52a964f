// Report framing. The markers are found anywhere in a line, since noise on
// the wire can stand before them; a start line inside an open report means
// the first was cut short (the machine restarted mid-report). Whatever
// stood before the start marker on its line is taken to stand before every
// line of the report, and is stripped.
#include "decode/logs/log_scanner.h"

#include "decode/logs/marker_search.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>

namespace decode {

namespace {

// The bytes of the memories' lines together.
template <typename Memories>
size_t MemoryBytes(const Memories& memories)
{
    size_t bytes = 0;
    for (const auto& memory : memories) {
        bytes += memory.Lines.Raw.size();
    }
    return bytes;
}

constexpr std::string_view StartMarker = "BUGCHECK DUMP STARTS";
constexpr std::string_view EndMarker = "BUGCHECK DUMP ENDS";
constexpr std::string_view RestorePrefix = "Viridian State Restoration is ";
// The halves of the start marker FindAnchor looks for.
constexpr std::string_view StartHead = "BUGCHECK D";
constexpr std::string_view StartTail = "UMP STARTS";
static_assert(StartHead.size() == AnchorLength && StartTail.size() == AnchorLength);
// The anchors HoldsAnchor looks for, in every line a marker search can take.
static_assert(StartMarker.substr(0, AnchorLength) == StartHead && StartMarker.substr(AnchorLength) == StartTail &&
              EndMarker.substr(0, AnchorLength) == StartHead &&
              RestorePrefix.substr(0, AnchorLength) == std::string_view("Viridian S"));
// The bytes MayHoldMarker passes lines over without.
static_assert(StartHead.find('U') != std::string_view::npos && StartTail.find('U') != std::string_view::npos &&
              EndMarker.find('U') != std::string_view::npos && RestorePrefix.find('V') != std::string_view::npos);

// True when piece is marker with at most one byte substituted, dropped or
// added.
bool WithinOneEdit(std::string_view piece, std::string_view marker)
{
    if (piece.size() == marker.size()) {
        size_t differ = 0;
        for (size_t i = 0; i < piece.size() && differ < 2; ++i) {
            differ += piece[i] != marker[i] ? 1 : 0;
        }
        return differ <= 1;
    }
    std::string_view longer = piece.size() > marker.size() ? piece : marker;
    std::string_view shorter = piece.size() > marker.size() ? marker : piece;
    if (longer.size() != shorter.size() + 1) {
        return false;
    }
    size_t i = 0;
    while (i < shorter.size() && shorter[i] == longer[i]) {
        ++i;
    }
    return shorter.substr(i) == longer.substr(i + 1);
}

// Only blanks or a terminal escape may follow a damaged marker: chatter
// that merely resembles it goes on with words.
bool EndsLine(std::string_view rest)
{
    size_t text = rest.find_first_not_of(" \t");
    return text == std::string_view::npos || rest[text] == '\x1B';
}

// A terminal colour reset (an SGR sequence, ESC [ ... m) at the end of a
// line.
std::string_view StripTrailingEscapes(std::string_view text)
{
    while (!text.empty() && text.back() == 'm') {
        size_t escape = text.rfind('\x1B');
        if (escape == std::string_view::npos || escape + 2 > text.size() || text[escape + 1] != '[') {
            return text;
        }
        std::string_view tail = text.substr(escape + 2);
        if (tail.find_first_not_of("0123456789;") != tail.size() - 1) {
            return text;
        }
        text = text.substr(0, escape);
        while (!text.empty() && text.back() == ' ') {
            text.remove_suffix(1);
        }
    }
    return text;
}

bool SameShape(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && SamePrefixShape(a.data(), b.data(), a.size());
}

// The starts of the report's lines that have a fixed one (module rows are
// names, and are left to the prefix's bytes and shape).
bool StartsReportLine(std::string_view text)
{
    constexpr std::string_view Starts[] = {
        "OUTPUT FORMAT: ", "CRASHED ON: ", "KERNEL: ", "SP: ", "SUITES:", "TYPE: ",
        "NO OS VERSION AVAILABLE: ", "Module\t", "BUGCHECK CODE ", "CONTEXT (", "STACK:",
        "- ", EndMarker,
    };
    for (std::string_view start : Starts) {
        if (text.substr(0, start.size()) == start) {
            return true;
        }
    }
    // A frame line: 16 hex digits and ": (".
    constexpr size_t Digits = 16;
    if (text.size() < Digits + 3 || text.substr(Digits, 3) != ": (") {
        return false;
    }
    for (size_t i = 0; i < Digits; ++i) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

// Three letters in lower case, in one word.
constexpr uint32_t Packed(const char* letters)
{
    return (static_cast<uint32_t>(static_cast<unsigned char>(letters[0] | 0x20)) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(letters[1] | 0x20)) << 8) |
           static_cast<unsigned char>(letters[2] | 0x20);
}

// Month and day names stand in timestamps, and change with the date.
bool CalendarWord(std::string_view word)
{
    if (word.size() != 3) {
        return false;
    }
    switch (Packed(word.data())) {
    case Packed("jan"):
    case Packed("feb"):
    case Packed("mar"):
    case Packed("apr"):
    case Packed("may"):
    case Packed("jun"):
    case Packed("jul"):
    case Packed("aug"):
    case Packed("sep"):
    case Packed("oct"):
    case Packed("nov"):
    case Packed("dec"):
    case Packed("mon"):
    case Packed("tue"):
    case Packed("wed"):
    case Packed("thu"):
    case Packed("fri"):
    case Packed("sat"):
    case Packed("sun"):
        return true;
    default:
        return false;
    }
}

// Calls `word` with each word of the prefix that names its source.
template <typename Word>
void ForEachSourceWord(std::string_view prefix, Word&& word)
{
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    bool lastNamed = false;
    size_t lastEnd = 0;
    size_t at = 0;
    while (at < prefix.size()) {
        if (!letter(prefix[at]) && !digit(prefix[at])) {
            ++at;
            continue;
        }
        const size_t begin = at;
        while (at < prefix.size() && (letter(prefix[at]) || digit(prefix[at]))) {
            ++at;
        }
        const std::string_view text = prefix.substr(begin, at - begin);
        bool named = false;
        if (letter(text[0])) {
            named = !CalendarWord(text);
        } else {
            // A number names a source only as part of a name ("node-03",
            // "vm_2", "vm 2"), not as a field of a time or a date after
            // one ("host1 10:00:01", "kernel 12.5", "vm1 2026-12-10").
            const std::string_view between = prefix.substr(lastEnd, begin - lastEnd);
            const char after = at < prefix.size() ? prefix[at] : ' ';
            named = lastNamed && (between == "-" || between == "_" ||
                                  (between == " " && std::string_view(":.-/,").find(after) == std::string_view::npos));
        }
        if (named) {
            word(text);
        }
        lastNamed = named;
        lastEnd = at;
    }
}

}  // namespace

std::string SourceKey(std::string_view prefix)
{
    std::string key;
    ForEachSourceWord(prefix, [&key](std::string_view word) {
        key.append(word);
        key.push_back(' ');
    });
    return key;
}

uint64_t SourceKeyHash(std::string_view prefix)
{
    // A timestamp alone, most often: no word, so no name.
    if (std::none_of(prefix.begin(), prefix.end(), [](char c) { return ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); })) {
        return 0;
    }
    // FNV-1a over SourceKey's bytes, made without them; 0 stands for none.
    constexpr uint64_t Basis = 14695981039346656037ull;
    constexpr uint64_t Prime = 1099511628211ull;
    uint64_t hash = Basis;
    bool any = false;
    ForEachSourceWord(prefix, [&](std::string_view word) {
        for (char c : word) {
            hash = (hash ^ static_cast<unsigned char>(c)) * Prime;
        }
        hash = (hash ^ ' ') * Prime;
        any = true;
    });
    return any ? (hash == 0 ? 1 : hash) : 0;
}

namespace {

// How many bytes a and b have the same at their heads.
size_t CommonLength(std::string_view a, std::string_view b)
{
    return decode::CommonLength(a.data(), b.data(), std::min(a.size(), b.size()));
}

// Every marker and restore line holds an anchor whole: the exact markers
// and the restore prefix hold one, and a start marker with one byte
// damaged keeps one of its halves. Lines of a report that hold a 'U'
// ("OUTPUT FORMAT", "BUGCHECK CODE") mostly hold none, and skip the
// searches for each kind.
bool HoldsAnchor(std::string_view text)
{
    uint64_t lineEnds = 0;
    return FindAnchor(text.data(), text.size(), '\n', &lineEnds) != text.size();
}

// Warnings quote a line briefly and printably.
std::string Printable(std::string_view text)
{
    constexpr size_t QuoteMax = 60;
    return EscapeBytes(text, QuoteMax);
}

}  // namespace

size_t FindStartMarker(std::string_view text, bool* exact)
{
    size_t at = text.find(StartMarker);
    if (at != std::string_view::npos) {
        *exact = true;
        return at;
    }
    *exact = false;
    // Only blanks, then the line's end or an escape, follow a damaged
    // marker: it ends at or after the last word before the first escape.
    // A half found further back than a marker's length from there starts
    // none, so a line of nothing but halves costs one search, not a check
    // at each.
    const size_t escape = std::min(text.find('\x1B'), text.size());
    const size_t lastWord = text.substr(0, escape).find_last_not_of(" \t");
    const size_t wordsEnd = lastWord == std::string_view::npos ? 0 : lastWord + 1;
    constexpr size_t Reach = StartMarker.size() + 2;  // from a half's start to a marker's end, at most
    const size_t from = wordsEnd > Reach ? wordsEnd - Reach : 0;
    // Every damaged marker keeps one half whole: the marker begins at the
    // head, or just before the tail, give or take the byte lost or added.
    for (std::string_view half : {StartHead, StartTail}) {
        for (size_t found = text.find(half, from); found != std::string_view::npos;
             found = text.find(half, found + 1)) {
            for (size_t before : {size_t{0}, size_t{1}, size_t{2}}) {
                size_t back = half == StartHead ? 0 : StartHead.size() - 1 + before;
                if ((half == StartHead && before != 0) || back > found) {
                    continue;
                }
                size_t begin = found - back;
                for (size_t length : {StartMarker.size() - 1, StartMarker.size(), StartMarker.size() + 1}) {
                    if (begin + length <= text.size() &&
                        WithinOneEdit(text.substr(begin, length), StartMarker) &&
                        EndsLine(text.substr(begin + length))) {
                        return begin;
                    }
                }
            }
        }
    }
    return std::string_view::npos;
}

LogScanner::LogScanner(std::string source, ScanSink sink)
    : Source_(std::move(source)), Sink_(std::move(sink))
{
}

void LogScanner::Forget()
{
    Remembering_ = false;
    Mirror_ = false;
    Fleet_ = false;
    Previous_.Clear();
    Current_.Clear();
}

void LogScanner::Unmirror()
{
    if (!Mirror_) {
        return;
    }
    size_t bytes = CurrentBytes();
    Mirror_ = false;
    if (MirrorLines_ == Previous_.Lines.size()) {
        // Every line of the report before is this one's now: its memory is
        // taken whole, and nothing is left to hold the next lines against.
        std::swap(Current_.Raw, Previous_.Raw);
        std::swap(Current_.Lines, Previous_.Lines);
        Current_.Raw.resize(bytes);
        Previous_.Clear();
        return;
    }
    Current_.Raw.assign(Previous_.Raw, 0, bytes);
    Current_.Lines.assign(Previous_.Lines.begin(), Previous_.Lines.begin() + static_cast<std::ptrdiff_t>(MirrorLines_));
}

LineEffect LogScanner::EffectToRemember(const LogLine& line, bool parsed)
{
    const OpenReport& open = Open_[0];
    LineEffect effect = LineEffect::Other;
    // A line behind the prefix's bytes, or its shape (a timestamp), was
    // stripped of as many: the next report may take it over behind either.
    if (parsed && !line.Raw.empty() &&
        (open.Prefix.empty() || line.Text.substr(0, open.Prefix.size()) == open.Prefix ||
         SameShape(line.Text.substr(0, open.Prefix.size()), open.Prefix))) {
        effect = open.Parser->LastEffect();
    }
    if (effect == LineEffect::ModuleRow) {
        if (!KeepModuleRows_) {
            effect = LineEffect::Other;  // parsed again in the next report
        } else {
            ++ModuleRowsKept_;
        }
    }
    return effect;
}

bool LogScanner::Remember(const LogLine& line, bool parsed)
{
    OpenReport& open = Open_[0];
    if (line.Number != open.Parser->StartLine() + 1 + CurrentLines() || CurrentLines() >= MaxRememberedLines ||
        CurrentBytes() + line.Raw.size() > MaxRememberedBytes) {
        return false;  // past the bounds: the rest of the report is not remembered
    }
    if (Mirror_) {
        // A line as long as the report before's at its place is written
        // over that one: the lines before it are held against nothing more.
        size_t index = MirrorLines_;
        size_t from = CurrentBytes();
        if (index < Previous_.Lines.size() && !line.Raw.empty() &&
            line.Raw.size() == Previous_.Lines[index].End - from) {
            std::memcpy(Previous_.Raw.data() + from, line.Raw.data(), line.Raw.size());
            LineMemory::Entry& entry = Previous_.Lines[index];
            entry.Effect = EffectToRemember(line, parsed);
            entry.Position = open.Parser->LastPosition();
            ++MirrorLines_;
            if (entry.Effect != LineEffect::Other) {
                KeepParsedRow(entry.Effect);
            }
            return true;
        }
        Unmirror();
    }
    if (line.Raw.empty()) {
        Current_.Whole = false;
        // The bytes after the line before are not in Raw, and where that
        // line ended depends on them.
        if (!Current_.Lines.empty()) {
            Current_.Lines.back().Effect = LineEffect::Other;
        }
    }
    LineEffect effect = EffectToRemember(line, parsed);
    Current_.Raw.append(line.Raw);
    // Each member stored in place: an entry put together on the stack was
    // read back whole over its one-byte store, a stall a line.
    LineMemory::Entry& entry = Current_.Lines.emplace_back();
    entry.End = Current_.Raw.size();
    entry.Effect = effect;
    entry.Position = open.Parser->LastPosition();
    if (effect != LineEffect::Other) {
        KeepParsedRow(effect);
    }
    return true;
}

void LogScanner::KeepParsedRow(LineEffect effect)
{
    if (!Fleet_) {
        Open_[0].Parser->Remember(&Rows_);
    } else if (effect == LineEffect::Register || effect == LineEffect::Header) {
        // Module rows and frames are the report's own lists at Close.
        Open_[0].Parser->Remember(&CurrentRows_);
    }
}

void LogScanner::ClearRows(RememberedRows* rows)
{
    rows->Modules.clear();
    rows->Frames = FrameList();
    rows->Registers = RegisterList();
    rows->RegisterBits.clear();
    rows->FrameRows.clear();
    rows->NamedFrames = FrameList();
    rows->NamedModules.clear();
    rows->Headers.clear();
}

void LogScanner::KeepTakenRows(LineEffect effect, size_t position, size_t count)
{
    auto keep = [position, count](auto* kept, const auto& from) {
        if (kept->size() < position + count) {
            kept->resize(position + count);
        }
        std::copy(from.begin() + static_cast<std::ptrdiff_t>(position),
                  from.begin() + static_cast<std::ptrdiff_t>(position + count),
                  kept->begin() + static_cast<std::ptrdiff_t>(position));
    };
    if (effect == LineEffect::Register) {
        keep(&CurrentRows_.RegisterBits, Rows_.RegisterBits);
    } else if (effect == LineEffect::Header) {
        keep(&CurrentRows_.Headers, Rows_.Headers);
    }
}

bool LogScanner::TakeFleetMemory(size_t index, std::string_view ahead, size_t* same)
{
    if (FleetSearchesMissed_ == MaxFleetSearchesMissed) {
        return false;
    }
    constexpr size_t EndLookahead = 2;  // as Repeat compares
    size_t best = FleetMemories_.size();
    size_t bestFrom = 0;
    for (size_t i = FleetMemories_.size(); i-- > 0;) {
        const LineMemory& memory = FleetMemories_[i].Lines;
        if (index >= memory.Lines.size() || memory.Lines[index].Effect == LineEffect::Other) {
            continue;
        }
        // Most memories differ within a few rows: the compare stops there.
        const size_t from = index == 0 ? 0 : memory.Lines[index - 1].End;
        const size_t common = CommonLength(ahead, std::string_view(memory.Raw).substr(from));
        if (common <= *same) {
            continue;
        }
        // Taken only for a line more than the one before would give: a
        // memory whose time line differs a digit later is no better.
        auto lines = memory.Lines.begin();
        auto more = std::partition_point(lines + static_cast<std::ptrdiff_t>(index), memory.Lines.end(),
                                         [&](const LineMemory::Entry& line) {
                                             return line.End - from + EndLookahead <= *same;
                                         });
        if (more != memory.Lines.end() && common >= more->End - from + EndLookahead) {
            best = i;
            bestFrom = from;
            *same = common;
        }
    }
    if (best == FleetMemories_.size()) {
        ++FleetSearchesMissed_;
        return false;
    }
    // The memory given up stays among the others, in the place of the one
    // taken (a fleet of no more machines than are kept gives none up),
    // unless it is too large to keep beside them.
    std::swap(Previous_, FleetMemories_[best].Lines);
    std::swap(Rows_, FleetMemories_[best].Rows);
    if (FleetMemories_[best].Lines.Raw.size() > MaxSourceBytes) {
        Spare_ = std::move(FleetMemories_[best].Lines);
        FleetMemories_.erase(FleetMemories_.begin() + static_cast<std::ptrdiff_t>(best));
    }
    FleetSwitched_ = true;
    // The rest of the report is that memory's whole: its machine's report
    // again, which this one takes the place of. A memory the report parts
    // from is kept for its own machine's next one.
    if (*same >= Previous_.Raw.size() - bestFrom) {
        AdoptFleetMemory(index);
    }
    return true;
}

void LogScanner::AdoptFleetMemory(size_t index)
{
    // The lines so far must stand where the memory's stand, with the same
    // effects at the same places: the memory's later lines then name rows
    // at other places than those written over. They are keyword lines
    // (and lines of no effect): a report parts from the last before its
    // table, at the line after its time.
    std::vector<LineMemory::Entry>& kept = Previous_.Lines;
    if (Current_.Lines.size() != index || kept.size() <= index) {
        return;
    }
    for (size_t i = 0; i < index; ++i) {
        const LineMemory::Entry& line = Current_.Lines[i];
        if (line.End != kept[i].End || line.Effect != kept[i].Effect ||
            (line.Effect != LineEffect::Other &&
             (line.Effect != LineEffect::Header || line.Position != kept[i].Position ||
              Rows_.Headers.size() <= line.Position || CurrentRows_.Headers.size() <= line.Position))) {
            return;
        }
    }
    for (size_t i = 0; i < index; ++i) {
        const LineMemory::Entry& line = Current_.Lines[i];
        if (line.Effect == LineEffect::Header) {
            Rows_.Headers[line.Position] = CurrentRows_.Headers[line.Position];
        }
    }
    std::memcpy(Previous_.Raw.data(), Current_.Raw.data(), Current_.Raw.size());
    Current_.Raw.clear();
    Current_.Lines.clear();
    Fleet_ = false;
    Mirror_ = true;
    MirrorLines_ = index;
}

size_t LogScanner::FoldWhole(LineReader* reader)
{
    OpenReport& open = Open_[0];
    if (!Previous_.Ended || !Previous_.Whole || Previous_.Raw.empty() || Previous_.Raw.back() != '\n' ||
        open.Prefix != Previous_.Prefix || !Sink_.FoldsRepeat || !Sink_.Repeated || !Sink_.FoldsRepeat()) {
        return 0;
    }
    // The end line ends at its LF here as it did there unless a CR follows
    // it, which the line end would take too: a byte after it is needed.
    std::string_view ahead = reader->Ahead();
    const std::string& raw = Previous_.Raw;
    if (ahead.size() <= raw.size() || ahead[raw.size()] == '\r' ||
        std::memcmp(ahead.data(), raw.data(), raw.size()) != 0) {
        return 0;
    }
    uint64_t firstLine = open.Parser->StartLine();
    size_t count = Previous_.Lines.size();
    Open_.clear();
    Remembering_ = false;
    Mirror_ = false;
    Current_.Clear();
    reader->Skip(raw.size(), count);
    Sink_.Repeated(firstLine);
    return count;
}

size_t LogScanner::Repeat(LineReader* reader)
{
    if (!Remembering_ || Open_.size() != 1) {
        return 0;
    }
    OpenReport& open = Open_[0];
    size_t index = CurrentLines();
    uint64_t number = reader->LinesTaken() + 1;
    if (index == 0 && number == open.Parser->StartLine() + 1) {
        // A report printed again whole: its lines are the last report's,
        // and it is folded into that one.
        if (size_t folded = FoldWhole(reader)) {
            return folded;
        }
    }
    if (number != open.Parser->StartLine() + 1 + index || index >= Previous_.Lines.size() ||
        Previous_.Lines[index].Effect == LineEffect::Other) {
        return 0;
    }
    if (open.Prefix != Previous_.Prefix) {
        return open.Prefix.size() == Previous_.Prefix.size() && SameShape(open.Prefix, Previous_.Prefix)
                   ? RepeatBehindPrefixes(reader, index, number)
                   : 0;
    }
    // Where a line ends depends on the bytes after its line end too (an LF
    // CR pair, a CR LF pair): two more of them must be the same.
    constexpr size_t EndLookahead = 2;
    std::string_view ahead = reader->Ahead();
    size_t from = index == 0 ? 0 : Previous_.Lines[index - 1].End;
    std::string_view before = std::string_view(Previous_.Raw).substr(from);
    // Most lines that differ do so in the first: a table of other modules
    // costs a line's compare a line, not the run's.
    size_t firstLength = Previous_.Lines[index].End - from + EndLookahead;
    if (ahead.size() < firstLength || before.size() < firstLength ||
        std::memcmp(ahead.data(), before.data(), firstLength) != 0) {
        // Behind a prefix, a line may differ in the prefix's digits alone
        // (a timestamp after a start line whose own was the same).
        if (!open.Prefix.empty()) {
            return RepeatBehindPrefixes(reader, index, number);
        }
        size_t none = 0;
        if (!Fleet_ || !TakeFleetMemory(index, ahead, &none)) {
            return 0;
        }
        from = index == 0 ? 0 : Previous_.Lines[index - 1].End;
        before = std::string_view(Previous_.Raw).substr(from);
    }
    // The run of lines that may be taken, and its bytes: only those are
    // compared. Both are found a stretch of lines at a time, each next
    // four times the last, while all is the same: a run that parts from the
    // memory within a few rows (a fleet's table, another machine's builds)
    // costs those rows' walk, not the whole table's.
    constexpr size_t FirstLinesWalked = 32;
    constexpr size_t Growth = 4;
    const size_t memoryLines = Previous_.Lines.size();
    size_t walked = std::min(memoryLines, index + FirstLinesWalked);
    size_t run = FindStretches(index, walked);
    size_t span = Previous_.Lines[run - 1].End - from + EndLookahead;
    size_t same = CommonLength(ahead.substr(0, span), before.substr(0, span));
    while (same == span && run == walked && walked != memoryLines) {
        walked = std::min(memoryLines, index + Growth * (walked - index));
        run = ExtendStretches(run, walked);
        const size_t further = Previous_.Lines[run - 1].End - from + EndLookahead;
        same += CommonLength(ahead.substr(span, further - span), before.substr(span, further - span));
        span = further;
    }
    auto lines = Previous_.Lines.begin();
    // A fleet's report that parts from the memory before its run ends may
    // be another machine's: the memory that holds more of it is taken
    // before any of the run is (a table taken whole from one memory is
    // shared, not copied a row at a time). Its lines are walked only as
    // far as they are the same.
    if (Fleet_ && same < span && TakeFleetMemory(index, ahead, &same)) {
        from = index == 0 ? 0 : Previous_.Lines[index - 1].End;
        lines = Previous_.Lines.begin();
        const auto within = std::partition_point(
            lines + static_cast<std::ptrdiff_t>(index), Previous_.Lines.end(),
            [&](const LineMemory::Entry& entry) { return entry.End - from + EndLookahead <= same; });
        run = FindStretches(index, static_cast<size_t>(within - lines));
    }
    size_t base = CurrentBytes();
    // Lines that may be taken: their bytes and the two after them the same,
    // within the bounds. Their ends only grow, so the first that fails ends
    // them all.
    size_t end = static_cast<size_t>(
        std::partition_point(lines + static_cast<std::ptrdiff_t>(index), lines + static_cast<std::ptrdiff_t>(run),
                             [&](const LineMemory::Entry& entry) {
                                 return entry.End - from + EndLookahead <= same &&
                                        base + entry.End - from <= MaxRememberedBytes;
                             }) -
        lines);
    end = std::min(end, MaxRememberedLines);
    // A line taken carries the start line's prefix as its memory did. Where
    // some line of the memory did not (a timestamp that stood the same
    // before both start lines), lines are taken only up to the first that
    // does not, while every line of the report so far did: FeedLine weighs
    // that one (another source's, or the first behind a timestamp).
    // The first line taken behind the prefix's bytes or its source's words.
    size_t ownWords = Previous_.PrefixExact || open.PrefixExact ? index : SIZE_MAX;
    if (open.PrefixExact && !Previous_.PrefixExact) {
        const std::string& prefix = open.Prefix;
        for (size_t i = index; i < end; ++i) {
            const size_t start = i == 0 ? 0 : Previous_.Lines[i - 1].End;
            if (Previous_.Raw.compare(start, prefix.size(), prefix) != 0) {
                end = i;
                break;
            }
        }
    } else if (!Previous_.PrefixExact && KeyOf(open) != 0) {
        // Nor past another source's line, behind its own words (where
        // every line of the memory carried the prefix, none is), which
        // FeedLine weighs.
        for (size_t i = index; i < end; ++i) {
            const size_t start = i == 0 ? 0 : Previous_.Lines[i - 1].End;
            std::string_view text = std::string_view(Previous_.Raw).substr(start, Previous_.Lines[i].End - start);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
                text.remove_suffix(1);  // as the reader gives the line
            }
            const HeadSource source = SourceOf(open, text);
            if (source == HeadSource::Other) {
                end = i;
                break;
            }
            if (source == HeadSource::Same) {
                ownWords = std::min(ownWords, i);
            }
        }
    }
    const size_t count = TakeStretches(end, number);
    if (ownWords < index + count) {
        open.OwnWords = true;  // as FeedLine finds
    }
    TakeLines(reader, index, count, number, 0);
    return count;
}

size_t LogScanner::FindStretches(size_t index, size_t limit)
{
    // Rows of one kind at positions one after another, taken a stretch at
    // a time. Walked by pointer: an index into entries of this size was a
    // multiply and a bound's reload for each of a few hundred lines.
    Stretches_.clear();
    return ExtendStretches(index, limit);
}

size_t LogScanner::ExtendStretches(size_t index, size_t limit)
{
    const LineMemory::Entry* const first = Previous_.Lines.data();
    const LineMemory::Entry* const last = first + limit;
    const LineMemory::Entry* head = first + index;
    if (!Stretches_.empty() && head != last) {
        Stretch& open = Stretches_.back();
        const LineMemory::Entry* tail = first + open.First + open.Count - 1;
        if (tail + 1 == head && head->Effect == tail->Effect) {
            size_t position = tail->Position;
            while (head != last && head->Effect == tail->Effect && head->Position == ++position) {
                ++head;
            }
            open.Count = static_cast<size_t>(head - first) - open.First;
        }
    }
    while (head != last && head->Effect != LineEffect::Other) {
        const LineMemory::Entry* next = head + 1;
        size_t position = head->Position;
        while (next != last && next->Effect == head->Effect && next->Position == ++position) {
            ++next;
        }
        Stretches_.push_back({static_cast<size_t>(head - first), static_cast<size_t>(next - head)});
        head = next;
    }
    return static_cast<size_t>(head - first);
}

size_t LogScanner::TakeStretches(size_t end, uint64_t number)
{
    ReportParser& parser = *Open_[0].Parser;
    size_t count = 0;
    for (const Stretch& piece : Stretches_) {
        if (piece.First >= end) {
            break;
        }
        const LineMemory::Entry& head = Previous_.Lines[piece.First];
        size_t stretch = std::min(piece.Count, end - piece.First);
        size_t took = parser.RepeatRun(Rows_, head.Effect, head.Position, stretch, number + count);
        if (Fleet_ && took != 0) {
            KeepTakenRows(head.Effect, head.Position, took);
        }
        count += took;
        if (head.Effect == LineEffect::ModuleRow) {
            ModuleRowsTaken_ += took;
        }
        if (took != stretch) {
            break;
        }
    }
    return count;
}

void LogScanner::TakeLines(LineReader* reader, size_t index, size_t count, uint64_t number, size_t differing)
{
    if (count == 0) {
        return;
    }
    const std::string_view ahead = reader->Ahead();
    const size_t from = index == 0 ? 0 : Previous_.Lines[index - 1].End;
    const size_t taken = Previous_.Lines[index + count - 1].End - from;
    if (Mirror_) {
        // Each line is as long as the report before's at its place: where
        // that one's bytes stand, already, or written over them. Behind
        // prefixes only the prefixes are written: a copy of the whole was
        // a fifth of the instructions of a timestamped log.
        char* const raw = Previous_.Raw.data() + from;
        if (differing != 0) {
            // The rest being the same, a whole step of a line's bytes is
            // written where it has one: a copy of fixed size, made inline.
            constexpr size_t Step = LongestPrefixInOneStep;
            for (size_t i = index, start = 0; i < index + count; ++i) {
                const size_t end = Previous_.Lines[i].End - from;
                if (differing <= Step && end - start >= Step) {
                    std::memcpy(raw + start, ahead.data() + start, Step);
                } else {
                    std::memcpy(raw + start, ahead.data() + start, differing);
                }
                start = end;
            }
        }
        MirrorLines_ += count;
    } else {
        // The lines as they were, their ends moved to where their bytes
        // stand now.
        const size_t base = CurrentBytes();
        auto lines = Previous_.Lines.begin() + static_cast<std::ptrdiff_t>(index);
        Current_.Lines.insert(Current_.Lines.end(), lines, lines + static_cast<std::ptrdiff_t>(count));
        for (size_t i = index; i < index + count; ++i) {
            Current_.Lines[i].End = Current_.Lines[i].End - from + base;
        }
        Current_.Raw.append(ahead.substr(0, taken));
    }
    Open_[0].LastLine = number + count - 1;
    reader->Skip(taken, count);
}

bool LogScanner::MakeShapesOf(const std::string& prefix)
{
    const bool made =
        PrefixShapes_.Size == prefix.size() && std::memcmp(PrefixShapes_.Bytes, prefix.data(), prefix.size()) == 0;
    return made || MakePrefixShapes(prefix.data(), prefix.size(), &PrefixShapes_);
}

size_t LogScanner::RepeatBehindPrefixes(LineReader* reader, size_t index, uint64_t number)
{
    OpenReport& open = Open_[0];
    const std::string& prefix = open.Prefix;
    const std::vector<LineMemory::Entry>& kept = Previous_.Lines;
    const std::string_view ahead = reader->Ahead();
    const size_t from = index == 0 ? 0 : kept[index - 1].End;
    const size_t base = CurrentBytes();
    // The lines that are the report before's at their places behind a
    // prefix of the same shape: each split as Next splits it, and taken
    // only where nothing but the prefix's digits and letters differ, with
    // no marker's anchor in it (which FeedLine would look for). A line is
    // compared where the kept one says it ends, and its bytes read once:
    // what follows the prefix, line end and all, is the kept line's, and
    // the prefix, of one shape with the start line's, holds no line end.
    // Most lines that part from the kept one do so after the prefix too (a
    // time line, a multiplexer's sources in turn): the first is settled
    // before the prefix's shapes are made.
    if (index >= kept.size()) {
        return 0;
    }
    const size_t firstSize = kept[index].End - from;
    if (firstSize <= prefix.size() || firstSize >= ahead.size() ||
        std::memcmp(ahead.data() + prefix.size(), Previous_.Raw.data() + from + prefix.size(),
                    firstSize - prefix.size()) != 0) {
        return 0;
    }
    if (!MakeShapesOf(prefix)) {
        return 0;
    }
    const bool inOneStep = HasAvx2() && prefix.size() <= LongestPrefixInOneStep;
    size_t at = 0;
    size_t end = index;
    size_t differs = SIZE_MAX;  // the first line taken whose prefix is not the report's own
    // Where a line's prefix is weighed: behind a tag, or words and a stamp.
    const bool weighPrefix = open.PrefixExact || KeyOf(open) != 0;
    // The lines within the bounds, found once: their ends only grow.
    const auto first = kept.begin() + static_cast<std::ptrdiff_t>(index);
    const auto bounded = first + static_cast<std::ptrdiff_t>(std::min(kept.size(), MaxRememberedLines) -
                                                             std::min(index, std::min(kept.size(), MaxRememberedLines)));
    const size_t stop = static_cast<size_t>(
        std::partition_point(first, bounded,
                             [&](const LineMemory::Entry& entry) {
                                 return base + entry.End - from <= MaxRememberedBytes;
                             }) -
        kept.begin());
    for (; end < stop && kept[end].Effect != LineEffect::Other; ++end) {
        const size_t was = (end == 0 ? 0 : kept[end - 1].End);
        const size_t size = kept[end].End - was;
        const char* const old = Previous_.Raw.data() + was;
        const char* const line = ahead.data() + at;
        // The kept line without its line end: most end in a lone LF.
        size_t length = size;
        if (size >= 2 && old[size - 1] == '\n' && old[size - 2] != '\n' && old[size - 2] != '\r') {
            length = size - 1;
        } else {
            while (length != 0 && (old[length - 1] == '\n' || old[length - 1] == '\r')) {
                --length;
            }
        }
        if (length == 0 || length < prefix.size() || length > LineReader::MaxLineLength || at + size >= ahead.size()) {
            break;
        }
        bool marked = false;
        if (inOneStep && size >= LongestPrefixInOneStep) {
            if (!SameLineBehindPrefixAvx2(line, old, size, PrefixShapes_, &marked)) {
                break;
            }
        } else {
            bool prefixMarked = false;
            if (!SameBytesNotingMarkers(line + prefix.size(), old + prefix.size(), size - prefix.size(), &marked) ||
                !HasPrefixShapes(line, ahead.size() - at, PrefixShapes_, &prefixMarked)) {
                break;
            }
            marked = marked || prefixMarked;
        }
        // The line ends where the kept one does, but for a CR after it, or
        // an LF after a CR, which the reader may read on into: it settles
        // those.
        const char after = line[size];
        if (after == '\r' || (after == '\n' && old[size - 1] == '\r')) {
            LogLine whole;
            size_t next = 0;
            if (!LineReader::LineAt(ahead, at, at + length, marked, &whole, &next) || whole.Raw.size() != size) {
                break;
            }
        }
        const std::string_view text(line, length);
        if (marked && HoldsAnchor(text)) {
            break;
        }
        if (weighPrefix && text.compare(0, prefix.size(), prefix) != 0) {
            if (KeyOf(open) != 0 && SourceOf(open, text) == HeadSource::Other) {
                break;  // another source's, behind its own words: FeedLine weighs it
            }
            // The first line behind another timestamp: it fit the report
            // before, so it fits this one, and is taken as FeedLine would
            // feed it, unless FeedLine would weigh it otherwise.
            if (open.PrefixExact) {
                if (differs != SIZE_MAX || !open.Parser->FeedsWhatFits()) {
                    break;
                }
                differs = end;
            }
        }
        at += size;
    }
    FindStretches(index, end);
    const size_t count = TakeStretches(end, number);
    if (differs < index + count) {
        open.PrefixExact = false;  // as FeedLine finds where the line fits
    }
    if (count != 0) {
        open.OwnWords = true;  // as FeedLine finds: each line had the prefix's bytes or shape, and no other's words
    }
    // What follows the prefix was compared the same.
    TakeLines(reader, index, count, number, prefix.size());
    return count;
}

inline void LogScanner::KeepRow(LineMemory::Entry* entry, const std::vector<size_t>* positions, size_t index)
{
    if (positions == nullptr || (*positions)[index] == NotKept) {
        entry->Effect = LineEffect::Other;
        entry->Position = 0;  // read only for lines taken over
        return;
    }
    // What Remember does for a row the parser took, as EffectToRemember
    // and ReportParser::Remember say.
    entry->Effect = LineEffect::ModuleRow;
    entry->Position = (*positions)[index];
    ++ModuleRowsKept_;
    if (!Fleet_) {
        Open_[0].Parser->KeepModuleRow(&Rows_, entry->Position);
    }
}

void LogScanner::RememberRows(std::string_view raw, const std::vector<size_t>& ends,
                              const std::vector<size_t>* positions, uint64_t number)
{
    const OpenReport& open = Open_[0];
    if (number != open.Parser->StartLine() + 1 + CurrentLines()) {
        return;  // past the bounds already: nothing more is remembered
    }
    // Within the bounds, as Remember checks them line by line: all of them
    // where the last is (the ends only grow).
    size_t count = 0;
    size_t base = CurrentBytes();
    if (!ends.empty() && CurrentLines() + ends.size() <= MaxRememberedLines &&
        base + ends.back() <= MaxRememberedBytes) {
        count = ends.size();
    }
    while (count < ends.size() && CurrentLines() + count < MaxRememberedLines &&
           base + ends[count] <= MaxRememberedBytes) {
        ++count;
    }
    if (count == 0) {
        return;
    }
    size_t taken = 0;
    if (Mirror_) {
        // Lines as long as the report before's at their places are written
        // over them, in one copy.
        const size_t index = MirrorLines_;
        const size_t room = index < Previous_.Lines.size() ? std::min(count, Previous_.Lines.size() - index) : 0;
        LineMemory::Entry* const kept = Previous_.Lines.data() + index;
        while (taken < room && kept[taken].End - base == ends[taken]) {
            KeepRow(&kept[taken], positions, taken);
            ++taken;
        }
        if (taken != 0) {
            std::memcpy(Previous_.Raw.data() + base, raw.data(), ends[taken - 1]);
            MirrorLines_ += taken;
        }
        if (taken == count) {
            return;
        }
        Unmirror();
    }
    size_t from = taken == 0 ? 0 : ends[taken - 1];
    size_t start = Current_.Raw.size() - from;  // where raw would begin in Current_.Raw
    Current_.Raw.append(raw.data() + from, ends[count - 1] - from);
    const size_t first = Current_.Lines.size() - taken;  // where line 0 would stand
    Current_.Lines.resize(first + count);
    for (size_t i = taken; i < count; ++i) {
        LineMemory::Entry& entry = Current_.Lines[first + i];
        entry.End = start + ends[i];
        KeepRow(&entry, positions, i);
    }
}

size_t LogScanner::TableRows(LineReader* reader)
{
    if (!Sink_.TakeOver || !ReadsTable()) {
        return 0;
    }
    if (!Open_[0].Prefix.empty()) {
        return TableRowsBehindPrefix(reader);
    }
    OpenReport& open = Open_[0];
    ReportParser& parser = *open.Parser;
    std::string_view ahead = reader->Ahead();
    uint64_t number = reader->LinesTaken();
    // The rows are remembered together, at the end, kept at their places
    // in the table where the next report may take them over.
    const bool keep = Remembering_ && KeepModuleRows_;
    RowEnds_.clear();
    RowPositions_.clear();
    const RowClassifier classify = ChooseRowClassifier();
    size_t at = 0;
    size_t count = 0;
    LogLine line;
    size_t batch = FirstPlainRowsBatch;
    for (;;) {
        // Plain rows, most of a table, a batch at a time: split and
        // checked with one read of each, and held with no line of their own
        // (their bytes go into the table in one copy). No more than the
        // table has room for: a row past its bound is counted line by line
        // below, and splitting a batch for each would cost a batch a row.
        const size_t asked = std::min(batch, parser.ModuleRoom());
        const size_t plain = SplitPlainRows(ahead.data() + at, ahead.size() - at, PlainRows_.data(), asked);
        // Up to the first row that may hold a marker: that one is read
        // line by line. Each row's end is noted on the way (sized once a
        // batch, each stored in place), and kept for the rows held.
        const size_t noted = RowEnds_.size();
        RowEnds_.resize(noted + plain);
        size_t* const ends = RowEnds_.data() + noted;
        size_t clean = 0;
        for (size_t start = at; clean < plain; ++clean) {
            const PlainRow& row = PlainRows_[clean];
            if (row.Marked && HoldsAnchor(std::string_view(ahead.data() + start, row.Length))) {
                break;
            }
            start += row.Length + 1u;
            ends[clean] = start;
        }
        const size_t held = parser.HoldRows(ahead.data() + at, PlainRows_.data(), clean);
        at = held != 0 ? ends[held - 1] : at;
        RowEnds_.resize(Remembering_ ? noted + held : noted);
        if (held != 0) {
            if (keep) {
                const size_t kept = RowPositions_.size();
                RowPositions_.resize(kept + held);
                std::iota(RowPositions_.begin() + static_cast<std::ptrdiff_t>(kept), RowPositions_.end(),
                          parser.LastPosition() + 1 - held);
            }
            number += held;
            count += held;
            parser.RowsHeld(number);
        }
        if (held == asked && held != 0) {
            batch = std::min(batch * 2, PlainRows_.size());
            continue;  // a whole batch: more may follow
        }
        // Any other line (a longer row, one that may hold a marker or is
        // a keyword line, one with a CR): split as Next splits it, its tabs
        // found from the right, and fed as FeedLine feeds a row.
        size_t end = std::string_view::npos;
        bool marked = true;
        ModuleRowTabs tabs;
        bool found = false;
        if (ahead.size() - at >= RowBytes) {
            RowByteMasks bytes = classify(ahead.data() + at);
            if (bytes.Ends != 0) {
                size_t length = static_cast<size_t>(__builtin_ctzll(bytes.Ends));
                uint64_t before = (uint64_t{1} << length) - 1;
                end = at + length;
                marked = (bytes.Marks & before) != 0;
                found = FindModuleRowTabs(bytes.Tabs & before, &tabs);
            }
        }
        size_t next = 0;
        if (end != std::string_view::npos && end != at && end + 1 < ahead.size() && ahead[end] == '\n' &&
            ahead[end + 1] != '\r') {
            // An LF alone: the line end of most logs, and nothing to weigh.
            line.Text = std::string_view(ahead.data() + at, end - at);
            line.Raw = std::string_view(ahead.data() + at, end + 1 - at);
            line.MayHoldMarker = marked;
            next = end + 1;
        } else if (!LineReader::LineAt(ahead, at, end, marked, &line, &next)) {
            break;
        }
        // What FeedLine does for a row; a line that may hold a marker is
        // left to it. (So is one that ends in a colour reset to strip: its
        // age is no number until FeedLine strips it.)
        if ((line.MayHoldMarker && HoldsAnchor(line.Text)) || (!found && !FindModuleRowTabs(line.Text, &tabs)) ||
            !parser.FeedModuleRow(line.Text, number + 1, tabs)) {
            break;
        }
        line.Number = ++number;
        ++count;
        if (Remembering_) {
            RowEnds_.push_back(next);
            if (keep) {
                RowPositions_.push_back(parser.LastEffect() == LineEffect::ModuleRow ? parser.LastPosition() : NotKept);
            }
        }
        at = next;
    }
    if (count != 0) {
        open.LastLine = number;
        if (Remembering_) {
            RememberRows(ahead.substr(0, at), RowEnds_, keep ? &RowPositions_ : nullptr, number - count + 1);
        }
        reader->Skip(at, count);
    }
    return count;
}

size_t LogScanner::TableRowsBehindPrefix(LineReader* reader)
{
    OpenReport& open = Open_[0];
    ReportParser& parser = *open.Parser;
    const std::string& prefix = open.Prefix;
    const std::string_view ahead = reader->Ahead();
    uint64_t number = reader->LinesTaken();
    const bool keep = Remembering_ && KeepModuleRows_;
    RowEnds_.clear();
    RowPositions_.clear();
    size_t at = 0;
    size_t count = 0;
    bool exact = true;
    auto taken = [&](size_t next) {
        at = next;
        ++number;
        ++count;
        if (Remembering_) {
            RowEnds_.push_back(next);
            if (keep) {
                RowPositions_.push_back(parser.LastEffect() == LineEffect::ModuleRow ? parser.LastPosition() : NotKept);
            }
        }
    };
    const bool batched = HasAvx2() && prefix.size() <= LongestPrefixInOneStep && MakeShapesOf(prefix);
    size_t batch = FirstPlainRowsBatch;
    LogLine line;
    for (;;) {
        if (batched) {
            // Plain rows behind a prefix of the start line's shape, with no
            // marker's byte in either, a batch at a time: each split and
            // checked with one read, as the line below would find it.
            // No more than the table has room for: a row past its bound is
            // counted line by line below, as in TableRows.
            bool same = true;
            const size_t asked = std::min({batch, PlainRows_.size(), parser.ModuleRoom()});
            size_t plain = asked == 0 ? 0
                                      : SplitPlainRowsBehindPrefixAvx2(ahead.data() + at, ahead.size() - at,
                                                                       PrefixShapes_, PlainRows_.data(), asked, &same);
            if (!same && (open.PrefixExact || KeyOf(open) != 0)) {
                // Only the rows behind the prefix's own bytes: FeedLine
                // weighs the first that is not (another source's, or the
                // first behind a timestamp), and the rows behind a stamp
                // and words are left to the line below.
                size_t row = 0;
                for (size_t from = at; row < plain && std::memcmp(ahead.data() + from, prefix.data(), prefix.size()) == 0;
                     ++row) {
                    from += prefix.size() + PlainRows_[row].Length + 1u;
                }
                plain = row;
            }
            const size_t held = parser.HoldRowsBehindPrefix(ahead.data() + at, prefix.size(), PlainRows_.data(), plain);
            if (held != 0) {
                const size_t position = parser.LastPosition() + 1 - held;
                for (size_t i = 0; i < held; ++i) {
                    exact = exact && (same || std::memcmp(ahead.data() + at, prefix.data(), prefix.size()) == 0);
                    at += prefix.size() + PlainRows_[i].Length + 1u;
                    if (Remembering_) {
                        RowEnds_.push_back(at);
                        if (keep) {
                            RowPositions_.push_back(position + i);
                        }
                    }
                }
                number += held;
                count += held;
                parser.RowsHeld(number);
            }
            if (held != plain) {
                break;  // a row that starts as a keyword line, left to FeedLine as below
            }
            if (plain == asked && plain != 0) {
                batch = std::min(batch * 2, PlainRows_.size());
                continue;  // a whole batch: more may follow
            }
        }
        // Any other row as FeedLine feeds it: behind the prefix's bytes or
        // shape, which StripPrefix takes off whole. A line that may hold a
        // marker, or may end in a colour reset to strip, is left to
        // FeedLine.
        size_t next = 0;
        if (!LineReader::LineAt(ahead, at, std::string_view::npos, true, &line, &next) ||
            line.Text.size() <= prefix.size() || line.Text.back() == 'm' ||
            (line.MayHoldMarker && HoldsAnchor(line.Text))) {
            break;
        }
        const std::string_view head = line.Text.substr(0, prefix.size());
        const bool same = head == prefix;
        const std::string_view row = line.Text.substr(prefix.size());
        ModuleRowTabs tabs;
        if ((!same && (open.PrefixExact || !SameShape(head, prefix) ||
                       (KeyOf(open) != 0 && SourceOf(open, line.Text) == HeadSource::Other))) ||
            !FindModuleRowTabs(row, &tabs) ||
            !parser.FeedModuleRow(row, number + 1, tabs)) {
            break;
        }
        exact = exact && same;
        taken(next);
    }
    if (count != 0) {
        if (!exact) {
            open.PrefixExact = false;  // as FeedLine finds of a line whose prefix differs
        }
        open.OwnWords = true;  // as FeedLine finds: each row had the prefix's bytes or shape, and no other's words
        open.LastLine = number;
        if (Remembering_) {
            RememberRows(ahead.substr(0, at), RowEnds_, keep ? &RowPositions_ : nullptr, number - count + 1);
        }
        reader->Skip(at, count);
    }
    return count;
}

void LogScanner::Close(size_t index, bool complete, const std::string& reason)
{
    bool kept = false;  // a fleet's report, whose lists are its memory's rows
    if (Remembering_) {
        if (Open_.size() == 1) {
            // Taking over only some rows costs more than reading them all
            // (the rows after the first that differs are kept one by one):
            // a report that took over no more than half its table missed.
            const bool hit = 2 * ModuleRowsTaken_ > Open_[0].Parser->ModuleCount();
            if (Fleet_ || FleetSwitched_) {
                // A fleet's reports stay held against the last few while
                // they take over from another machine's or miss; one that
                // took over from the report before goes back to that one.
                if (hit && !FleetSwitched_) {
                    ModuleMisses_ = 0;
                }
                // Judged once the last few are there to be held against,
                // or where reports are too large to keep among them.
                if (hit) {
                    FleetMisses_ = 0;
                    FleetProbeEvery_ = ProbeEvery;
                } else if (FleetSearching_ && FleetMisses_ == MissesBeforePause) {
                    // A probe's search that missed: the next comes later.
                    FleetProbeEvery_ = std::min(2 * FleetProbeEvery_, MaxFleetProbeEvery);
                } else if ((FleetMemories_.size() == MaxFleetMemories ||
                            MemoryBytes(FleetMemories_) + MaxSourceBytes > MaxKeptMemoriesBytes ||
                            CurrentBytes() > MaxSourceBytes) &&
                           FleetMisses_ < MissesBeforePause) {
                    ++FleetMisses_;
                }
                if (Fleet_) {
                    CloseFleetReport(hit);
                    kept = true;
                }
            } else if (hit) {
                ModuleMisses_ = 0;
            } else if ((ModuleRowsKept_ != 0 || !KeepModuleRows_) && ModuleMisses_ < MissesBeforePause) {
                ++ModuleMisses_;
            }
            // The next report's lines are held against this one's.
            if (Fleet_) {
                Fleet_ = false;
            } else if (Mirror_) {
                // Written over the report before's in place: that memory
                // is this report's now.
                size_t bytes = CurrentBytes();
                Previous_.Lines.resize(MirrorLines_);
                Previous_.Raw.resize(bytes);
                Previous_.Prefix = Current_.Prefix;
                Previous_.Whole = Current_.Whole;
                Previous_.Ended = Current_.Ended;
                Mirror_ = false;
            } else {
                std::swap(Previous_, Current_);
            }
            Previous_.PrefixExact = Open_[0].PrefixExact;
            Current_.Clear();
            Remembering_ = false;
        } else {
            Forget();
        }
    }
    OpenReport open = std::move(Open_[index]);
    Open_.erase(Open_.begin() + static_cast<std::ptrdiff_t>(index));
    if (kept) {
        open.Parser->KeepLists(&Rows_);
    }
    // A start marker that no line of a report followed is a mention of it
    // (a shell's "grep BUGCHECK DUMP STARTS" echoed on the console), not a
    // crash: passed over, and never counted.
    if (!complete && open.Parser->LastFittingLine() == 0) {
        if (Sink_.Note) {
            Sink_.Note(Source_ + ": line " + std::to_string(open.Parser->StartLine()) +
                       " has a start marker with no report after it; passed over");
        }
        return;
    }
    CrashReport report = open.Parser->Finish(complete, reason, open.LastLine, Sink_.TakeOver ? &Rows_ : nullptr);
    LastPartial_ = !report.Complete;
    LastPartialKey_ = KeyOf(open);
    if (Sink_.Report) {
        Sink_.Report(std::move(report));
    }
}

LogScanner::ReportRun LogScanner::FindReportRun(std::string_view before, bool fromStart, const OpenReport& source)
{
    const std::string& prefix = source.Prefix;
    // Back from the end line over the lines of a report behind its prefix,
    // passing runs of fewer than MaxUnfitRun lines that fit none (noise),
    // as reading forward passes them; an empty line (the one the driver
    // prints before the start line) or another marker's line ends them.
    ReportRun run;
    run.First = before.size();
    uint64_t walked = 0;
    // The bytes looked at bound the walk (LookBackBytes).
    for (size_t at = before.size(); run.Unfit < ReportParser::MaxUnfitRun;) {
        if (at == 0) {
            run.AtHeldStart = !fromStart;
            break;
        }
        size_t end = at - 1;  // the line end before `at`: LF, CR, CR LF or LF CR
        if (end != 0 && (before[end - 1] == '\n' || before[end - 1] == '\r') && before[end - 1] != before[end]) {
            --end;
        }
        size_t start = end;
        while (start != 0 && end - start <= LineReader::MaxLineLength && before[start - 1] != '\n' &&
               before[start - 1] != '\r') {
            --start;
        }
        // The bytes looked at may begin inside a line: only the log's
        // first is known whole there.
        if (end - start > LineReader::MaxLineLength || (start == 0 && !fromStart)) {
            run.AtHeldStart = start == 0;
            break;
        }
        const std::string_view text(before.data() + start, end - start);
        // Another source's lines, its markers too, are passed as reading
        // forward passes them, and count for neither.
        const bool another = SourceOf(source, text) == HeadSource::Other;
        if (!another && (text.empty() || HoldsAnchor(text))) {
            break;
        }
        ++walked;
        at = start;
        if (another) {
            continue;
        }
        if (!ReportParser::FitsSomeSection(StripPrefix(text, prefix))) {
            ++run.Unfit;
            continue;
        }
        run.Unfit = 0;
        run.First = start;
        run.Lines = walked;
    }
    return run;
}

void LogScanner::ReadWithoutStart(const LogLine& line, size_t endAt)
{
    auto passOver = [&] {
        if (Sink_.Note) {
            Sink_.Note(Source_ + ": line " + std::to_string(line.Number) +
                       " has an end marker with no report before it; passed over");
        }
    };
    OpenReport source;
    source.Prefix = std::string(line.Text.substr(0, endAt < MaxPrefixBytes ? endAt : 0));
    source.OwnWords = true;
    const std::string& prefix = source.Prefix;
    // After a report of its source came out partial (cut short, or ended
    // by another's end line before its own lines), an end line is most
    // likely that one's: its rest read as a report would count one crash
    // twice. Sources told apart by their words only.
    const uint64_t key = KeyOf(source);
    if ((LastPartial_ && (LastPartialKey_ == 0 || key == 0 || LastPartialKey_ == key)) || Reader_ == nullptr) {
        passOver();
        return;
    }
    // The same bytes before the line whatever the reader holds of them,
    // read again only where the report's lines go on past what it holds
    // (at most once a read: the next end line's walk stops at this one).
    bool fromStart = false;
    std::string_view window = Reader_->Behind(line, LookBackBytes, false, &fromStart);
    if (window.empty()) {
        passOver();
        return;
    }
    ReportRun run = FindReportRun(window.substr(0, window.size() - 1), fromStart, source);
    if (run.AtHeldStart && run.Unfit == 0 && window.size() - 1 < LookBackBytes) {
        window = Reader_->Behind(line, LookBackBytes, true, &fromStart);
        run = FindReportRun(window.substr(0, window.size() - 1), fromStart, source);
    }
    const size_t looked = window.size() - 1;
    if (run.Lines == 0) {
        passOver();
        return;
    }
    // Where the lines looked at may not reach back to the report's first.
    std::string bound;
    if (run.AtHeldStart && run.Unfit == 0) {
        bound = looked == LookBackBytes ? " (no more than " + std::to_string(LookBackBytes >> 10) +
                                              " KiB before its end line are looked at)"
                                        : " (the lines before it were read and let go before its end line came)";
    }
    // Read forward as the reader splits lines (the walk only found where
    // they begin); the end line's first byte follows the bytes looked at.
    const uint64_t firstLine = line.Number - run.Lines;
    ReportParser parser(Source_, firstLine);
    uint64_t number = firstLine;
    LogLine part;
    size_t next = 0;
    for (size_t at = run.First; at < looked; at = next, ++number) {
        if (!LineReader::LineAt(window, at, std::string_view::npos, true, &part, &next) || next > looked) {
            passOver();
            return;
        }
        if (SourceOf(source, part.Text) == HeadSource::Other) {
            continue;
        }
        const std::string_view text = StripPrefix(part.Text, prefix);
        if (number == firstLine) {
            if (!parser.BeginInside(text)) {
                passOver();  // a stack's last frames alone
                return;
            }
            parser.Warn("its start line is missing: read from line " + std::to_string(firstLine) + bound);
        }
        parser.Feed(text, number);
        if (parser.Derailed()) {
            passOver();  // lines that fit a section each, but no report in turn
            return;
        }
    }
    if (number != line.Number) {
        passOver();
        return;
    }
    // Its end line was seen: complete unless a section is missing. The
    // driver prints the stack's line last before the end line: without it
    // the lines are a few that fit by chance (a row in a console's chatter).
    CrashReport report = parser.Finish(true, std::string(), line.Number);
    if (!report.HasStack) {
        passOver();
        return;
    }
    LastPartial_ = false;
    if (Sink_.Report) {
        Sink_.Report(std::move(report));
    }
}

void LogScanner::CloseFleetReport(bool superseded)
{
    // Where the report's frames found their modules, as the memory it was
    // held against last says: looked at first by Finish.
    CurrentRows_.FrameRows = Rows_.FrameRows;
    CurrentRows_.NamedFrames = Rows_.NamedFrames;
    CurrentRows_.NamedModules = Rows_.NamedModules;
    SourceMemory parked{std::move(Previous_), std::move(Rows_), 0};
    Previous_ = std::move(Current_);
    Rows_ = std::move(CurrentRows_);
    Current_ = std::move(Spare_);
    Current_.Clear();
    if (superseded || parked.Lines.Lines.empty() || parked.Lines.Raw.size() > MaxSourceBytes) {
        Spare_ = std::move(parked.Lines);
        CurrentRows_ = std::move(parked.Rows);  // its buffers, cleared at the next report
        return;
    }
    FleetMemories_.push_back(std::move(parked));
    // Paused (reports whose tables are their own, not a fleet's), no more
    // are kept than a probe needs.
    const size_t kept = FleetMisses_ >= MissesBeforePause ? PausedFleetMemories : MaxFleetMemories;
    while (FleetMemories_.size() > kept || MemoryBytes(FleetMemories_) > MaxKeptMemoriesBytes) {
        Spare_ = std::move(FleetMemories_.front().Lines);
        FleetMemories_.pop_front();
    }
}

std::vector<LogScanner::SourceMemory>::iterator LogScanner::OldestSource()
{
    return std::min_element(OtherSources_.begin(), OtherSources_.end(),
                            [](const SourceMemory& a, const SourceMemory& b) { return a.Parked < b.Parked; });
}

void LogScanner::TrimOtherSources()
{
    for (size_t bytes = MemoryBytes(OtherSources_); bytes > MaxKeptMemoriesBytes;) {
        auto oldest = OldestSource();
        bytes -= oldest->Lines.Raw.size();
        Spare_ = std::move(oldest->Lines);
        OtherSources_.erase(oldest);
    }
}

void LogScanner::Open(std::string_view text, size_t markerAt, bool exact, uint64_t number)
{
    OpenReport open;
    open.Parser = std::make_unique<ReportParser>(Source_, number);
    open.LastLine = number;
    SilentAfter_ = std::min(SilentAfter_, number + MaxLinesWithoutItsSource);
    open.Prefix = std::string(text.substr(0, markerAt < MaxPrefixBytes ? markerAt : 0));
    // Lines are remembered while one report at a time is open: the lines
    // of interleaved sources do not stand at fixed places.
    if (Open_.empty()) {
        if (Sink_.TakeOver) {
            TakeSourceMemory(open.Prefix);
        }
        Current_.Clear();
        Current_.Prefix = open.Prefix;
        Remembering_ = Sink_.TakeOver;
        // Lines as long as the report before's at their places are written
        // over its memory instead of copied (a fleet's next report most
        // often differs from the last in its time alone).
        Mirror_ = true;
        MirrorLines_ = 0;
        KeepModuleRows_ = ModuleMisses_ < MissesBeforePause || ReportsRemembered_ % ProbeEvery == 0;
        // Missed too often, on a console with nothing before the lines:
        // held against the last few reports (keeping a row then costs its
        // line's entry alone). Where that missed too (tables of their
        // own), the rows are paused as above, and every ProbeEvery-th
        // report is held against the last few again.
        Fleet_ = ModuleMisses_ >= MissesBeforePause && open.Prefix.empty() && Previous_.Prefix.empty() &&
                 (FleetMisses_ < MissesBeforePause || ReportsRemembered_ % ProbeEvery == 0);
        FleetSwitched_ = false;
        // A probe searches the memories only every FleetProbeEvery_-th
        // report; the others between are held against the report before.
        FleetSearching_ = Fleet_ && (FleetMisses_ < MissesBeforePause || ReportsRemembered_ % FleetProbeEvery_ == 0);
        FleetSearchesMissed_ = FleetSearching_ ? 0 : MaxFleetSearchesMissed;
        if (Fleet_) {
            Mirror_ = false;
            KeepModuleRows_ = true;
            ClearRows(&CurrentRows_);
        }
        ++ReportsRemembered_;
        ModuleRowsKept_ = 0;
        ModuleRowsTaken_ = 0;
    } else {
        Forget();
    }
    if (!exact) {
        open.Parser->Warn("line " + std::to_string(number) + " is taken for the start line, damaged: \"" +
                          Printable(text.substr(markerAt)) + "\"");
    }
    Open_.push_back(std::move(open));
}

void LogScanner::TakeSourceMemory(const std::string& prefix)
{
    if (Previous_.Prefix == prefix) {
        return;  // one source, or the same again: most logs
    }
    auto found = std::find_if(OtherSources_.begin(), OtherSources_.end(),
                              [&prefix](const SourceMemory& memory) { return memory.Lines.Prefix == prefix; });
    if (found == OtherSources_.end() && (!Previous_.PrefixExact || Previous_.Raw.size() > MaxSourceBytes)) {
        // The report before stood behind a prefix that changed from line
        // to line (a timestamp, whose next report is held against it), or
        // is too large to keep beside the others: the next report is held
        // against it, whatever its source.
        return;
    }
    // Nothing to hold a report against, no source's, or too large.
    auto unkept = [](const LineMemory& lines) {
        return lines.Lines.empty() || !lines.PrefixExact || lines.Raw.size() > MaxSourceBytes;
    };
    if (found != OtherSources_.end()) {
        // The source's memory and the one parked trade places: the others
        // stay where they stand (moving each down a place cost more than
        // the rest of the switch).
        std::swap(Previous_, found->Lines);
        std::swap(Rows_, found->Rows);
        std::swap(ModuleMisses_, found->ModuleMisses);
        // Another report was handed on after this one: a report the same
        // as it is no copy printed again right after it, to fold.
        Previous_.Ended = false;
        if (unkept(found->Lines)) {
            Spare_ = std::move(found->Lines);
            OtherSources_.erase(found);
            return;
        }
        found->Parked = ++SourcesParked_;
        TrimOtherSources();
        return;
    }
    SourceMemory parked{std::move(Previous_), std::move(Rows_), ModuleMisses_, ++SourcesParked_};
    // A memory of its own, in the buffers of one given up: a source after
    // source that is new or no longer kept (thousands of rows each) then
    // reuses pages instead of faulting in fresh ones.
    Previous_ = std::move(Spare_);
    Previous_.Clear();
    Rows_ = RememberedRows();
    ModuleMisses_ = 0;
    if (unkept(parked.Lines)) {
        Spare_ = std::move(parked.Lines);
        return;
    }
    if (OtherSources_.size() < MaxKeptMemories) {
        OtherSources_.push_back(std::move(parked));
    } else {
        // As many sources as are kept: a source beyond them takes the
        // place of the one heard from longest ago.
        auto oldest = OldestSource();
        Spare_ = std::move(oldest->Lines);
        *oldest = std::move(parked);
    }
    TrimOtherSources();
}

size_t LogScanner::OwnerAmongSeveral(std::string_view text) const
{
    for (size_t i = Open_.size(); i-- > 0;) {
        const std::string& prefix = Open_[i].Prefix;
        if (!prefix.empty() && text.substr(0, prefix.size()) == prefix) {
            return i;
        }
    }
    // Behind its source's words and another stamp. The line's words are
    // hashed once for each length its prefix is taken at (one or two for
    // 64 sources "vm0| " to "vm63| "): hashed for each report, 64 sources
    // at once read at a tenth of the speed.
    // A prefix of another width than the report's is looked for only where
    // none of the reports' own widths names the line's source.
    HeadHashes hashes;
    for (bool wider : {false, true}) {
        for (size_t i = Open_.size(); i-- > 0;) {
            if (SourceOf(Open_[i], text, &hashes, wider) == HeadSource::Same) {
                return i;
            }
        }
    }
    return Open_.size() - 1;
}

uint64_t LogScanner::HeadHashes::Of(std::string_view text, size_t length)
{
    for (size_t i = 0; i < Count; ++i) {
        if (Lengths[i] == length) {
            return Hashes[i];
        }
    }
    const uint64_t hash = SourceKeyHash(text.substr(0, length));
    if (Count < MaxLengths) {
        Lengths[Count] = length;
        Hashes[Count++] = hash;
    }
    return hash;
}

LogScanner::HeadSource LogScanner::SourceOf(const OpenReport& open, std::string_view text, HeadHashes* hashes,
                                            bool wider)
{
    HeadHashes none;
    if (hashes == nullptr) {
        hashes = &none;
    }
    const std::string_view head = text.substr(0, open.Prefix.size());
    if (head == open.Prefix) {
        return HeadSource::Same;
    }
    if (KeyOf(open) == 0) {
        return HeadSource::Neither;
    }
    if (SameShape(head, open.Prefix)) {
        return hashes->Of(text, head.size()) == open.Key ? HeadSource::Same : HeadSource::Other;
    }
    // A prefix a few bytes longer or shorter (another source's tag of
    // another width, "vm10| " beside "vm9| "): up to where StripPrefix
    // finds its end.
    if (!wider) {
        return HeadSource::Neither;
    }
    const std::string_view rest = StripAnyPrefix(text, open.Prefix);
    const size_t length = static_cast<size_t>(rest.data() - text.data());
    if (length == 0) {
        return HeadSource::Neither;
    }
    const uint64_t key = hashes->Of(text, length);
    if (key == 0) {
        return HeadSource::Neither;
    }
    return key == open.Key ? HeadSource::Same : HeadSource::Other;
}

uint64_t LogScanner::KeyOf(const OpenReport& open)
{
    // Made when first asked: most reports' lines all carry their prefix's
    // bytes, and never ask.
    if (!open.KeyMade) {
        open.Key = open.Prefix.empty() ? 0 : SourceKeyHash(open.Prefix);
        open.KeyMade = true;
    }
    return open.Key;
}

bool LogScanner::AnotherSource(std::string_view prefix) const
{
    // Sources are told apart by a prefix that stays the same on every line,
    // or by the words in it that name them where a stamp beside them
    // changes (a timestamp alone changes, and its report's lines match it
    // by shape only).
    if (prefix.empty()) {
        return false;
    }
    for (const OpenReport& open : Open_) {
        if (open.Prefix.empty() || open.Prefix == prefix) {
            return false;
        }
        const HeadSource source = SourceOf(open, prefix);
        if (source == HeadSource::Same || (!open.PrefixExact && source != HeadSource::Other)) {
            return false;
        }
    }
    return true;
}

std::string_view LogScanner::StripAnyPrefix(std::string_view text, const std::string& prefix)
{
    text = StripTrailingEscapes(text);
    if (prefix.empty()) {
        return text;
    }
    size_t length = prefix.size();
    if (text.size() >= length &&
        (text.substr(0, length) == prefix || SameShape(text.substr(0, length), prefix))) {
        return text.substr(length);
    }
    // A prefix a few bytes longer or shorter than the start line's (an
    // unpadded counter, another month name): up to where a line of the
    // report begins, or else up to where the prefix's closing bytes ("] ",
    // ": ") stand nearest to the start line's prefix length.
    constexpr size_t Slack = 8;
    size_t from = length > Slack ? length - Slack : 0;
    size_t to = std::min(length + Slack, text.size());
    for (size_t at = from; at <= to; ++at) {
        if (StartsReportLine(text.substr(at))) {
            return text.substr(at);
        }
    }
    size_t closing = prefix.find_last_not_of(' ');
    if (closing == std::string::npos || text.empty() || PrefixShape(text[0]) != PrefixShape(prefix[0])) {
        return text;
    }
    std::string_view close = std::string_view(prefix).substr(closing);
    for (size_t distance = 1; distance <= Slack; ++distance) {
        for (size_t at : {length + distance, length - std::min(length, distance)}) {
            if (at >= close.size() && at <= text.size() &&
                text.substr(at - close.size(), close.size()) == close) {
                return text.substr(at);
            }
        }
    }
    return text;
}

void LogScanner::PassOver(OpenReport* open)
{
    open->Parser->MarkInterleaved();
    if (Open_.size() == 1) {
        open->LastLine = open->Parser->LastFedLine();  // FeedLine gave it the line
    }
}

void LogScanner::Feed(const LogLine& line)
{
    const ReportParser* lone = Remembering_ && Open_.size() == 1 ? Open_[0].Parser.get() : nullptr;
    bool parsed = FeedLine(line);
    // A line that ended its report or opened another is none of its lines.
    if (lone != nullptr && Remembering_ && Open_.size() == 1 && Open_[0].Parser.get() == lone) {
        Remember(line, parsed);
    }
}

bool LogScanner::FeedLine(const LogLine& line)
{
    std::string_view text = line.Text;
    if (line.Number > SilentAfter_) {
        CloseSilentSources(line.Number);
    }
    // One source: every line up to the end is the report's, noise and all.
    if (Open_.size() == 1) {
        Open_[0].LastLine = line.Number;
    }
    // Markers and restore lines are short: a cut line still carries them at
    // its start, where they stand on a clean console.
    bool marked = line.MayHoldMarker && HoldsAnchor(text);
    bool exact = false;
    size_t start = marked ? FindStartMarker(text, &exact) : std::string_view::npos;
    if (start != std::string_view::npos) {
        std::string_view prefix = text.substr(0, start);
        if (!Open_.empty() && !AnotherSource(prefix)) {
            size_t cut = Owner(text);
            Open_[cut].LastLine = std::min(Open_[cut].LastLine, line.Number - 1);
            Close(cut, false,
                  "a new report starts at line " + std::to_string(line.Number) + " before this one's end line");
        } else {
            if (Open_.size() == MaxSources) {
                Close(0, false, "more than " + std::to_string(MaxSources) + " sources interleave reports");
            }
            // Not the new report itself: a start line after a lone one
            // behind a timestamp opens beside it too.
            for (OpenReport& other : Open_) {
                other.Parser->MarkInterleaved();
            }
        }
        Open(text, start, exact, line.Number);
        return false;
    }
    const size_t endAt = marked ? text.find(EndMarker) : std::string_view::npos;
    if (endAt != std::string_view::npos) {
        if (Open_.empty()) {
            ReadWithoutStart(line, endAt);
            return false;
        }
        const size_t owner = Owner(text);
        OpenReport& open = Open_[owner];
        if (open.OwnWords && KeyOf(open) != 0 && SourceOf(open, text) == HeadSource::Other) {
            // Behind another source's words, it ends a report of that
            // source's that began before the log, or whose start was lost.
            PassOver(&open);
            return false;
        }
        if (Remembering_ && Open_.size() == 1) {
            // The end line is the report's too, for a report printed
            // again whole.
            Current_.Ended = Remember(line, false);
        }
        open.LastLine = line.Number;
        // The driver prints the end marker on a line of its own: bytes
        // before it past the prefix are the report's last line, run
        // into it where its line feed was lost on the wire (a frame
        // lost without a word otherwise), or noise to be named.
        std::string_view runIn = StripPrefix(text.substr(0, endAt), open.Prefix);
        if (runIn.find_first_not_of(' ') != std::string_view::npos) {
            open.Parser->Feed(runIn, line.Number);
        }
        Close(owner, true, std::string());
        return false;
    }
    size_t restore = marked ? text.find(RestorePrefix) : std::string_view::npos;
    if (restore != std::string_view::npos) {
        if (Sink_.Restore) {
            RestoreLine outcome;
            outcome.Source = Source_;
            outcome.Line = line.Number;
            std::string_view rest = StripTrailingEscapes(text.substr(restore + RestorePrefix.size()));
            constexpr size_t OutcomeMax = 64;
            outcome.Outcome = std::string(rest.substr(0, OutcomeMax));
            Sink_.Restore(std::move(outcome));
        }
        return false;
    }
    if (Open_.empty()) {
        return false;
    }
    size_t owner = Owner(text);
    OpenReport& open = Open_[owner];
    const std::string_view head = text.substr(0, open.Prefix.size());
    // Behind a timestamp alone, once its lines went on behind another, a
    // line's prefix says nothing more: it is not compared.
    const bool weighed = open.PrefixExact || KeyOf(open) != 0;
    const bool sameBytes = !weighed || head == open.Prefix;
    const HeadSource source = sameBytes || KeyOf(open) == 0 ? HeadSource::Neither : SourceOf(open, text);
    if (sameBytes || source == HeadSource::Same) {
        open.OwnWords = true;
    } else if (source == HeadSource::Other && open.OwnWords) {
        // Behind another source's words (a stamp beside them or not): a
        // machine that did not stop, or whose report's start was lost.
        PassOver(&open);
        return false;
    }
    if (open.PrefixExact && !sameBytes) {
        // Every line so far carried the start line's prefix byte for byte:
        // one that does not is another source's (chatter of a machine that
        // did not stop, on a multiplexed console; three in a row cut the
        // report), or the first line behind a prefix that changes (a
        // timestamp). Behind the source's own words it is the second;
        // otherwise only a line that fits the report says so.
        if (source != HeadSource::Same) {
            const bool tagged = SameShape(head, open.Prefix);
            if (!open.Parser->FeedIfFits(StripPrefix(text, open.Prefix), line.Number, tagged)) {
                return false;
            }
            open.LastLine = line.Number;
            open.PrefixExact = false;
            return true;
        }
        open.PrefixExact = false;
    }
    open.LastLine = line.Number;
    open.Parser->Feed(StripPrefix(text, open.Prefix), line.Number);
    if (open.Parser->Derailed()) {
        uint64_t stop = open.Parser->LastFittingLine() + 1;
        open.LastLine = stop - 1;
        Close(owner, false,
              "its lines stop at line " + std::to_string(stop) + ", where output that is no part of a report begins");
        return true;
    }
    if (line.Cut) {
        open.Parser->Note("line " + std::to_string(line.Number) + " is longer than " +
                          std::to_string(LineReader::MaxLineLength) + " bytes; the rest was dropped");
    }
    return true;
}

void LogScanner::CloseSilentSources(uint64_t number)
{
    SilentAfter_ = UINT64_MAX;
    for (size_t i = Open_.size(); i-- > 0;) {
        OpenReport& open = Open_[i];
        const uint64_t last = open.Parser->LastFedLine();
        if (open.Prefix.empty() || (!open.PrefixExact && KeyOf(open) == 0)) {
            continue;  // every line goes to it
        }
        if (number - last > MaxLinesWithoutItsSource) {
            open.LastLine = last;
            Close(i, false,
                  "no line of its source follows line " + std::to_string(last) + " in the next " +
                      std::to_string(MaxLinesWithoutItsSource) + " lines");
        } else {
            SilentAfter_ = std::min(SilentAfter_, last + MaxLinesWithoutItsSource);
        }
    }
}

void LogScanner::Finish(uint64_t lastLine)
{
    while (!Open_.empty()) {
        const uint64_t last = Open_.front().LastLine;
        // Other sources' lines may follow a report's last, up to the end.
        Close(0, false,
              lastLine > last ? "no line of its source follows line " + std::to_string(last) +
                                    " before the log ends at line " + std::to_string(lastLine)
                                   : "the log ends at line " + std::to_string(last) + " before its end line");
    }
}

bool ScanDescriptor(int fd, const std::string& source, const ScanSink& sink, std::string* problem)
{
    LineReader reader(fd);
    // Stopped is asked once the sink has taken something: only taking a
    // report or a restore line writes, or waits on a lookup a signal can
    // stop. Asked at every line it was a fiftieth of a dense log's time.
    ScanSink counted = sink;
    uint64_t handed = 0;
    if (sink.Stopped) {
        if (sink.Report) {
            counted.Report = [&sink, &handed](CrashReport&& report) {
                ++handed;
                sink.Report(std::move(report));
            };
        }
        if (sink.Restore) {
            counted.Restore = [&sink, &handed](RestoreLine&& line) {
                ++handed;
                sink.Restore(std::move(line));
            };
        }
    }
    uint64_t asked = 0;
    auto stopped = [&sink, &handed, &asked] {
        if (handed == asked) {
            return false;
        }
        asked = handed;
        return sink.Stopped();
    };
    LogScanner scanner(source, counted);
    scanner.LookBackThrough(&reader);
    LogLine line;
    for (;;) {
        if (scanner.InReport()) {
            if (scanner.MayRepeat() && scanner.Repeat(&reader) != 0) {
                if (stopped()) {
                    return true;
                }
                continue;
            }
            // Rows hand the sink nothing: no stop to ask about.
            if (scanner.ReadsTable() && scanner.TableRows(&reader) != 0) {
                continue;
            }
            if (!reader.Next(&line)) {
                break;
            }
        } else if (!reader.NextMatching(&line, FindAnchor)) {
            break;
        }
        scanner.Feed(line);
        if (stopped()) {
            return true;
        }
    }
    scanner.Finish(reader.LinesTaken());
    if (problem != nullptr && reader.Failed()) {
        *problem = reader.NotALog() ? "not a console log (" +
                                          std::to_string(LineReader::MaxNulRun >> 20) +
                                          " MiB of NUL bytes in a row)"
                                    : std::strerror(reader.Error());
    }
    return !reader.Failed();
}

}  // namespace decode
