// The report's lines as the driver prints them, read back strictly: each
// line kind by its fixed prefix, numbers with exactly the digits the driver's
// formats give them, so a damaged line is named instead of half read.
#include "decode/reports/report_parser.h"

#include <algorithm>
#include <cstring>

#include <cstdio>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace decode {

namespace {

// The value of each byte as an upper-case hex digit (%X and %p print no
// other), or -1.
constexpr std::array<int8_t, 256> MakeHexDigits()
{
    std::array<int8_t, 256> digits{};
    for (size_t i = 0; i < digits.size(); ++i) {
        digits[i] = i >= '0' && i <= '9' ? static_cast<int8_t>(i - '0')
                    : i >= 'A' && i <= 'F' ? static_cast<int8_t>(i - 'A' + 10)
                                           : int8_t{-1};
    }
    return digits;
}
constexpr std::array<int8_t, 256> HexDigits = MakeHexDigits();

}  // namespace

// True when every byte of the 32 is an upper-case hex digit: a module row's
// GUID column is checked whole, its value never being needed (a table of
// hundreds of rows a report). Sixteen bytes a step where SSE2 is there (every
// x86-64): the byte-table loop the compiler vectorizes itself reads its own
// vector stores back a byte at a time, and stalled on them.
bool AllHexDigits(const char* text)
{
#if defined(__SSE2__)
    const __m128i beforeDigits = _mm_set1_epi8('0' - 1);
    const __m128i afterDigits = _mm_set1_epi8('9' + 1);
    const __m128i beforeLetters = _mm_set1_epi8('A' - 1);
    const __m128i afterLetters = _mm_set1_epi8('F' + 1);
    // Signed compares: a byte of 0x80 or above is below both ranges.
    auto hex = [&](__m128i v) {
        __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, beforeDigits), _mm_cmplt_epi8(v, afterDigits));
        __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(v, beforeLetters), _mm_cmplt_epi8(v, afterLetters));
        return _mm_or_si128(digit, letter);
    };
    __m128i both = _mm_and_si128(hex(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text))),
                                 hex(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16))));
    return _mm_movemask_epi8(both) == 0xFFFF;
#else
    bool all = true;
    for (size_t i = 0; i < GuidText::Digits; ++i) {
        all = all && HexDigits[static_cast<unsigned char>(text[i])] >= 0;
    }
    return all;
#endif
}

namespace {

// A strict reader over one line.
class Cursor {
public:
    explicit Cursor(std::string_view text) : Text_(text) {}

    // Literal, for the keywords a line is tried against in turn: most
    // differ in their first byte, which is looked at before the compare.
    bool Keyword(std::string_view expected)
    {
        return Pos_ < Text_.size() && Text_[Pos_] == expected.front() && Literal(expected);
    }

    bool Literal(std::string_view expected)
    {
        // Compared in place (Pos_ never passes the end): substr's range
        // check kept this a call, for every separator of every line.
        if (Text_.size() - Pos_ < expected.size() ||
            std::memcmp(Text_.data() + Pos_, expected.data(), expected.size()) != 0) {
            return false;
        }
        Pos_ += expected.size();
        return true;
    }

    // Exactly `digits` hex digits (upper case, as %X and %p print), or with
    // digits 0, one to 16 of them.
    bool Hex(uint64_t* value, size_t digits = 0)
    {
        size_t limit = digits == 0 ? 16 : digits;
        uint64_t result = 0;
        size_t count = 0;
        while (count < limit && Pos_ < Text_.size()) {
            int digit = HexDigits[static_cast<unsigned char>(Text_[Pos_])];
            if (digit < 0) {
                break;
            }
            result = result << 4 | static_cast<uint64_t>(digit);
            ++Pos_;
            ++count;
        }
        if (count == 0 || (digits != 0 && count != digits)) {
            return false;
        }
        *value = result;
        return true;
    }

    // A signed decimal that fits 32 bits, as %d prints it.
    bool Decimal(int64_t* value)
    {
        bool negative = Literal("-");
        int64_t result = 0;
        size_t count = 0;
        while (Pos_ < Text_.size() && Text_[Pos_] >= '0' && Text_[Pos_] <= '9') {
            result = result * 10 + (Text_[Pos_] - '0');
            if (result > 0xFFFFFFFFLL) {
                return false;
            }
            ++Pos_;
            ++count;
        }
        if (count == 0) {
            return false;
        }
        *value = negative ? -result : result;
        return true;
    }

    bool Unsigned32(uint32_t* value)
    {
        int64_t number = 0;
        if (!Decimal(&number) || number < 0) {
            return false;
        }
        *value = static_cast<uint32_t>(number);
        return true;
    }

    std::string_view Rest() const { return Text_.substr(Pos_); }
    bool AtEnd() const { return Pos_ == Text_.size(); }

private:
    std::string_view Text_;
    size_t Pos_ = 0;
};

// Register names in the order the context block prints them, with the
// digits each is printed with.
struct RegisterShape {
    const char* Name;
    int Digits;
};
constexpr RegisterShape RegisterShapes[] = {
    {"GS", 4},   {"FS", 4},   {"ES", 4},   {"DS", 4},   {"SS", 4},   {"CS", 4},   {"EFLAGS", 8},
    {"RDI", 16}, {"RSI", 16}, {"RBX", 16}, {"RDX", 16}, {"RCX", 16}, {"RAX", 16}, {"RBP", 16},
    {"RIP", 16}, {"RSP", 16}, {"R8", 16},  {"R9", 16},  {"R10", 16}, {"R11", 16}, {"R12", 16},
    {"R13", 16}, {"R14", 16}, {"R15", 16},
};
constexpr size_t RegisterCount = sizeof(RegisterShapes) / sizeof(RegisterShapes[0]);
static_assert(RegisterCount <= 32, "one bit per register");

// The suite lines name wSuiteMask bits, 0x0001 upwards; bit 15 has no name.
constexpr const char* SuiteNames[] = {
    "SMALLBUSINESS", "ENTERPRISE",  "BACKOFFICE",          "COMMUNICATIONS",
    "TERMINAL",      "SMALLBUSINESS_RESTRICTED", "EMBEDDEDNT", "DATACENTER",
    "SINGLEUSERTS",  "PERSONAL",    "BLADE",               "EMBEDDED_RESTRICTED",
    "SECURITY_APPLIANCE", "STORAGE_SERVER", "COMPUTE_SERVER", "UNKNOWN",
};

// TIME_FIELDS from RtlTimeToTimeFields: a year of the FILETIME range and a
// real calendar day.
bool PossibleTime(const CrashTime& t)
{
    constexpr int FirstYear = 1601;
    constexpr int LastYear = 30827;
    if (t.Year < FirstYear || t.Year > LastYear || t.Month < 1 || t.Month > 12 || t.Day < 1 ||
        t.Hour > 23 || t.Hour < 0 || t.Minute < 0 || t.Minute > 59 || t.Second < 0 ||
        t.Second > 59 || t.Millisecond < 0 || t.Millisecond > 999) {
        return false;
    }
    return t.Day <= DaysInMonth(t.Year, t.Month);
}

bool IsSuiteName(std::string_view name)
{
    for (const char* known : SuiteNames) {
        if (name == known) {
            return true;
        }
    }
    return false;
}

// "NAME = HEX" of a register the context block prints, with its digits:
// its index in RegisterShapes and its value.
bool ReadRegister(std::string_view rest, size_t* index, uint64_t* value)
{
    size_t equals = rest.find(" = ");
    if (equals == std::string_view::npos) {
        return false;
    }
    std::string_view name = rest.substr(0, equals);
    for (size_t i = 0; i < RegisterCount; ++i) {
        if (name != RegisterShapes[i].Name) {
            continue;
        }
        Cursor c(rest.substr(equals + 3));
        if (!c.Hex(value, static_cast<size_t>(RegisterShapes[i].Digits)) || !c.AtEnd()) {
            return false;
        }
        *index = i;
        return true;
    }
    return false;
}

// "SP: (W0 W1 W2 W3) module + OFFSET" or "SP: (W0 W1 W2 W3) ADDRESS"
bool ReadFrame(std::string_view line, Frame* frame)
{
    Cursor c(line);
    if (!c.Hex(&frame->StackPointer, 16) || !c.Literal(": (")) {
        return false;
    }
    for (size_t i = 0; i < 4; ++i) {
        if (!c.Hex(&frame->Words[i], 16) || !c.Literal(i < 3 ? " " : ") ")) {
            return false;
        }
    }
    std::string_view rest = c.Rest();
    Cursor bare(rest);
    if (bare.Hex(&frame->Address, 16) && bare.AtEnd()) {
        frame->HasModule = false;
        return true;
    }
    constexpr size_t OffsetText = 3 + 16;  // " + " and 16 digits
    if (rest.size() <= OffsetText) {
        return false;
    }
    Cursor offset(rest.substr(rest.size() - OffsetText));
    if (!offset.Literal(" + ") || !offset.Hex(&frame->Offset, 16)) {
        return false;
    }
    frame->HasModule = true;
    frame->Module.assign(rest.data(), rest.size() - OffsetText);
    return true;
}

// A module row's GUID and age columns, where FindModuleRowTabs put them:
// 32 upper-case hex digits, and an age that fits 32 bits.
bool ReadRowIdentity(std::string_view line, ModuleRowTabs tabs, uint32_t* age)
{
    // The columns' bounds were found within the line: no substr checks.
    const char* text = line.data();
    if (!AllHexDigits(text + tabs.Age - GuidText::Digits)) {
        return false;
    }
    Cursor a(std::string_view(text + tabs.Age + 1, line.size() - tabs.Age - 1));
    uint64_t value = 0;
    if (!a.Hex(&value, 0) || !a.AtEnd() || value > 0xFFFFFFFFu) {
        return false;
    }
    *age = static_cast<uint32_t>(value);
    return true;
}

std::string Quote(std::string_view line)
{
    // Warnings quote the line briefly and printably.
    constexpr size_t QuoteMax = 60;
    std::string out = EscapeBytes(line, QuoteMax);
    if (line.size() > QuoteMax) {
        out += "...";
    }
    return "\"" + out + "\"";
}

}  // namespace

// True when Feed takes the line for a keyword line by its first bytes. The
// keyword lines Feed compares whole ("SUITES:", "STACK:", the table's
// header) have no GUID column, and are no module row either way.
bool StartsKeywordLine(std::string_view line)
{
    constexpr std::string_view Starts[] = {"- ", "OUTPUT FORMAT: ", "CRASHED ON: ", "KERNEL: ", "SP: ",
                                           "TYPE: ", "NO OS VERSION AVAILABLE: ", "BUGCHECK CODE ", "CONTEXT ("};
    for (std::string_view start : Starts) {
        if (line.substr(0, start.size()) == start) {
            return true;
        }
    }
    return false;
}

namespace {

// Room made once for what a real machine prints: a few hundred modules and
// a few dozen frames.
constexpr size_t FramesReserved = 32;

}  // namespace

ReportParser::ReportParser(std::string source, uint64_t startLine)
{
    Report_.Source = std::move(source);
    Report_.FirstLine = startLine;
    Report_.LastLine = startLine;
}

void ReportParser::Warn(std::string text)
{
    ++Said_;
    if (Report_.Warnings.size() < MaxReportWarnings) {
        Report_.Warnings.push_back(std::move(text));
    }
}

void ReportParser::Note(std::string text)
{
    ++Said_;
    if (LineWarnings_.size() < MaxWarnings) {
        LineWarnings_.push_back(std::move(text));
        ++UnfitNotes_;
    } else {
        ++DroppedWarnings_;
    }
}

bool ReportParser::First(bool seen, const char* what, uint64_t number)
{
    if (seen) {
        Note("line " + std::to_string(number) + ": a second " + what + " line; the first is kept");
    }
    return !seen;
}

bool ReportParser::ParseTime(std::string_view rest, uint64_t number)
{
    // "%04d-%02d-%02d %02d:%02d:%02d:%d"
    Cursor c(rest);
    int64_t f[7] = {};
    bool understood = c.Decimal(&f[0]) && c.Literal("-") && c.Decimal(&f[1]) && c.Literal("-") &&
                      c.Decimal(&f[2]) && c.Literal(" ") && c.Decimal(&f[3]) && c.Literal(":") &&
                      c.Decimal(&f[4]) && c.Literal(":") && c.Decimal(&f[5]) && c.Literal(":") &&
                      c.Decimal(&f[6]) && c.AtEnd();
    // TIME_FIELDS members are 16-bit.
    for (int64_t field : f) {
        understood = understood && field >= -32768 && field <= 32767;
    }
    if (!understood) {
        return false;
    }
    CrashTime time{static_cast<int>(f[0]), static_cast<int>(f[1]), static_cast<int>(f[2]),
                   static_cast<int>(f[3]), static_cast<int>(f[4]), static_cast<int>(f[5]),
                   static_cast<int>(f[6])};
    if (!PossibleTime(time)) {
        Note("line " + std::to_string(number) + ": impossible crash time " + Quote(rest) +
             "; left out");
    } else if (First(Report_.Time.has_value(), "CRASHED ON", number)) {
        Report_.Time = time;
    }
    return true;
}

bool ReportParser::ParseSuite(std::string_view name, uint64_t number)
{
    if (!IsSuiteName(name)) {
        return false;
    }
    for (const std::string& suite : Report_.Os.Suites) {
        if (suite == name) {
            Note("line " + std::to_string(number) + ": suite " + suite + " a second time");
            return true;
        }
    }
    if (Report_.Os.Suites.size() < MaxSuites) {
        Report_.Os.Suites.emplace_back(name);
    } else {
        ++DroppedSuites_;
    }
    return true;
}

bool ReportParser::ParseKernel(std::string_view rest)
{
    // "10.0 (BUILD 19045) PLATFORM WIN32_NT (x64)"
    Cursor c(rest);
    OsVersion& os = Report_.Os;
    if (!c.Unsigned32(&os.Major) || !c.Literal(".") || !c.Unsigned32(&os.Minor) ||
        !c.Literal(" (BUILD ") || !c.Unsigned32(&os.Build) || !c.Literal(") PLATFORM ")) {
        return false;
    }
    std::string_view platform = c.Rest();
    constexpr std::string_view Arch = " (x64)";
    if (platform.size() < Arch.size() || platform.substr(platform.size() - Arch.size()) != Arch) {
        return false;
    }
    os.Platform = std::string(platform.substr(0, platform.size() - Arch.size()));
    os.HasKernel = true;
    return true;
}

bool ReportParser::ParseRegister(std::string_view rest)
{
    size_t i = 0;
    uint64_t value = 0;
    if (!ReadRegister(rest, &i, &value)) {
        return false;
    }
    const std::string_view name = RegisterShapes[i].Name;
    uint32_t bit = 1u << i;
    LastRegisterBit_ = bit;
    if ((RegistersSeen_ & bit) != 0) {
        Note("line " + std::to_string(Report_.LastLine) + ": register " + std::string(name) +
             " a second time; the first is kept");
        return true;
    }
    RegistersSeen_ |= bit;
    Position_ = Report_.Registers.size();
    Effect_ = LineEffect::Register;
    if (Position_ == 0) {
        Report_.Registers.reserve(RegisterCount);  // as the table's rows
    }
    Report_.Registers.push_back({std::string(name), value, RegisterShapes[i].Digits});
    return true;
}

bool FindModuleRowTabs(std::string_view line, ModuleRowTabs* tabs)
{
    // "name\tpdb\tGUID\tAGE": split from the right.
    size_t ageTab = line.rfind('\t');
    // The GUID column is 32 digits: the tab before it stands there or the
    // row is not one.
    constexpr size_t GuidDigits = GuidText::Digits;
    if (ageTab == std::string_view::npos || ageTab < GuidDigits + 2 || line[ageTab - GuidDigits - 1] != '\t') {
        return false;
    }
    const size_t guidTab = ageTab - GuidDigits - 1;
    size_t pdbTab = line.rfind('\t', guidTab - 1);
    if (pdbTab == std::string_view::npos || pdbTab > MaxModuleNameColumn || guidTab - pdbTab - 1 > MaxPdbNameColumn ||
        line.substr(0, pdbTab).find('\t') != std::string_view::npos) {
        return false;
    }
    tabs->Pdb = pdbTab;
    tabs->Age = ageTab;
    return true;
}

bool ReportParser::ParseModuleRow(std::string_view line)
{
    ModuleRowTabs tabs;
    return FindModuleRowTabs(line, &tabs) && ParseModuleColumns(line, tabs);
}

bool ReportParser::ParseModuleColumns(std::string_view line, ModuleRowTabs tabs)
{
    uint32_t age = 0;
    if (!ReadRowIdentity(line, tabs, &age)) {
        return false;
    }
    if (Report_.Modules.size() >= MaxModules) {
        ++DroppedModules_;
        return true;
    }
    Position_ = Report_.Modules.size();
    Effect_ = LineEffect::ModuleRow;
    // Held as its bytes: made into a row only if something reads it whole.
    Report_.Modules.Hold(line.substr(0, tabs.Age), tabs.Pdb, tabs.Age - GuidText::Digits - 1, age);
    return true;
}

bool ReportParser::ParseFrame(std::string_view line)
{
    Frame frame;
    if (!ReadFrame(line, &frame)) {
        return false;
    }
    if (Report_.Frames.size() < MaxFrames) {
        Position_ = Report_.Frames.size();
        Effect_ = LineEffect::Frame;
        if (Position_ == 0) {
            Report_.Frames.reserve(FramesReserved);  // as the table's rows
        }
        Report_.Frames.push_back(std::move(frame));
    } else {
        ++DroppedFrames_;
    }
    return true;
}

void ReportParser::Remember(RememberedRows* rows) const
{
    auto keep = [this](auto* kept, const auto& row) {
        if (kept->size() <= Position_) {
            kept->resize(Position_ + 1);
        }
        (*kept)[Position_] = row;
    };
    if (Effect_ == LineEffect::ModuleRow) {
        rows->Modules.Keep(Position_, Report_.Modules);
    } else if (Effect_ == LineEffect::Frame) {
        keep(&rows->Frames.Mutable(), Report_.Frames[Position_]);
    } else if (Effect_ == LineEffect::Register) {
        keep(&rows->Registers.Mutable(), Report_.Registers[Position_]);
        keep(&rows->RegisterBits, LastRegisterBit_);
    } else if (Effect_ == LineEffect::Header) {
        keep(&rows->Headers, LastHeader());
    }
}

uint32_t ReportParser::HeaderState() const
{
    const OsVersion& os = Report_.Os;
    const bool seen[] = {Report_.Format.has_value(), Report_.Time.has_value(), os.HasKernel,
                         os.HasServicePack,          os.HasSuites,             !os.Type.empty(),
                         os.Unavailable,             Report_.HasModuleTable,   Report_.HasCode,
                         Report_.HasContext,         Report_.HasStack};
    uint32_t state = static_cast<uint32_t>(Section_);
    constexpr unsigned SectionBits = 3;
    static_assert(static_cast<uint32_t>(Section::Stack) < 1u << SectionBits);
    for (size_t i = 0; i < sizeof(seen) / sizeof(seen[0]); ++i) {
        state |= (seen[i] ? 1u : 0u) << (SectionBits + i);
    }
    return state;
}

HeaderLine ReportParser::LastHeader() const
{
    const OsVersion& os = Report_.Os;
    HeaderLine header;
    header.Kind = LastHeaderKind_;
    header.Before = LastHeaderBefore_;
    switch (LastHeaderKind_) {
    case HeaderKind::Format:
        header.Format = Report_.Format.value_or(0);
        break;
    case HeaderKind::Time:
        header.Time = Report_.Time.value_or(CrashTime{});
        break;
    case HeaderKind::Kernel:
        header.Major = os.Major;
        header.Minor = os.Minor;
        header.Build = os.Build;
        header.Text = os.Platform;
        break;
    case HeaderKind::ServicePack:
        header.Major = os.ServicePackMajor;
        header.Minor = os.ServicePackMinor;
        header.Text = os.ServicePackText;
        break;
    case HeaderKind::Type:
        header.Text = os.Type;
        break;
    case HeaderKind::NoVersion:
        header.Size = os.UnavailableSize;
        header.Expected = os.UnavailableExpected;
        header.Pointer = os.UnavailablePointer;
        break;
    case HeaderKind::Code:
        header.Code = Report_.Code;
        header.Parameters = Report_.Parameters;
        break;
    case HeaderKind::Context:
        header.ContextAddress = Report_.ContextAddress;
        break;
    case HeaderKind::None:
    case HeaderKind::Suites:
    case HeaderKind::ModuleTable:
    case HeaderKind::Stack:
        break;
    }
    return header;
}

void ReportParser::ApplyHeader(const HeaderLine& header)
{
    // What Feed sets for each kind of keyword line read clean, and the
    // section it leaves the report in.
    OsVersion& os = Report_.Os;
    switch (header.Kind) {
    case HeaderKind::Format:
        Report_.Format = header.Format;
        Section_ = Section::Header;
        break;
    case HeaderKind::Time:
        Report_.Time = header.Time;
        Section_ = Section::Header;
        break;
    case HeaderKind::Kernel:
        os.Major = header.Major;
        os.Minor = header.Minor;
        os.Build = header.Build;
        os.Platform = header.Text;
        os.HasKernel = true;
        Section_ = Section::Header;
        break;
    case HeaderKind::ServicePack:
        os.ServicePackMajor = header.Major;
        os.ServicePackMinor = header.Minor;
        os.ServicePackText = header.Text;
        os.HasServicePack = true;
        break;
    case HeaderKind::Suites:
        os.HasSuites = true;
        Section_ = Section::Suites;
        break;
    case HeaderKind::Type:
        os.Type = header.Text;
        Section_ = Section::Header;
        break;
    case HeaderKind::NoVersion:
        os.Unavailable = true;
        os.UnavailableSize = header.Size;
        os.UnavailableExpected = header.Expected;
        os.UnavailablePointer = header.Pointer;
        Section_ = Section::Header;
        break;
    case HeaderKind::ModuleTable:
        Report_.HasModuleTable = true;
        Section_ = Section::Modules;
        break;
    case HeaderKind::Code:
        Report_.HasCode = true;
        Report_.Code = header.Code;
        Report_.Parameters = header.Parameters;
        Section_ = Section::Header;
        break;
    case HeaderKind::Context:
        Report_.HasContext = true;
        Report_.ContextAddress = header.ContextAddress;
        Section_ = Section::Context;
        break;
    case HeaderKind::Stack:
        Report_.HasStack = true;
        Section_ = Section::Stack;
        break;
    case HeaderKind::None:
        break;
    }
}

size_t ReportParser::RepeatRun(const RememberedRows& rows, LineEffect effect, size_t position, size_t count,
                               uint64_t number)
{
    // A row's parse depends on its bytes and the section alone, once the
    // lists are below their bounds; the count before it says the row is
    // at the same place as the one remembered.
    auto first = [position](const auto& kept) { return kept.begin() + static_cast<std::ptrdiff_t>(position); };
    size_t taken = 0;
    if (effect == LineEffect::ModuleRow && Section_ == Section::Modules && Report_.Modules.size() == position &&
        position + count <= rows.Modules.size()) {
        if (position == 0 && count == rows.Modules.size()) {
            // The whole table the report before had: its rows, shared.
            Report_.Modules.Share(rows.Modules);
        } else {
            Report_.Modules.AppendRows(rows.Modules, position, count);
        }
        taken = count;
    } else if (effect == LineEffect::Frame && Section_ == Section::Stack && Report_.Frames.size() == position &&
               position + count <= rows.Frames.size()) {
        if (position == 0 && count == rows.Frames.size()) {
            // The whole stack the report before had: its frames, shared.
            Report_.Frames.Share(rows.Frames);
        } else {
            std::vector<Frame>& frames = Report_.Frames.Mutable();
            frames.insert(frames.end(), first(rows.Frames), first(rows.Frames) + static_cast<std::ptrdiff_t>(count));
        }
        taken = count;
    } else if (effect == LineEffect::Register && Section_ == Section::Context &&
               Report_.Registers.size() == position && position + count <= rows.Registers.size() &&
               position + count <= rows.RegisterBits.size()) {
        // A register seen already is noted, with the line's number: parsed.
        uint32_t seen = RegistersSeen_;
        while (taken < count && (seen & rows.RegisterBits[position + taken]) == 0) {
            seen |= rows.RegisterBits[position + taken];
            ++taken;
        }
        if (taken != 0) {
            LastRegisterBit_ = rows.RegisterBits[position + taken - 1];
            RegistersSeen_ = seen;
            if (position == 0 && taken == rows.Registers.size()) {
                // The whole context the report before had: shared.
                Report_.Registers.Share(rows.Registers);
            } else {
                std::vector<Register>& registers = Report_.Registers.Mutable();
                registers.insert(registers.end(), first(rows.Registers),
                                 first(rows.Registers) + static_cast<std::ptrdiff_t>(taken));
            }
        }
    } else if (effect == LineEffect::Header && position + count <= rows.Headers.size()) {
        // A keyword line's effect depends on its bytes and the state it
        // reads; the count before it says no line of this report has kept
        // a record at its place yet.
        while (taken < count && HeaderLines_ == position + taken &&
               HeaderState() == rows.Headers[position + taken].Before) {
            ApplyHeader(rows.Headers[position + taken]);
            ++HeaderLines_;
            ++taken;
        }
    }
    if (taken == 0) {
        return 0;
    }
    uint64_t last = number + taken - 1;
    Effect_ = effect;
    Position_ = position + taken - 1;
    Report_.LastLine = last;
    UnfitRun_ = 0;
    UnfitNotes_ = 0;
    LastFit_ = last;
    return taken;
}

bool ReportParser::FeedModuleRow(std::string_view line, uint64_t number, ModuleRowTabs tabs)
{
    if (Section_ != Section::Modules || (MayStartKeyword(line.front()) && StartsKeywordLine(line))) {
        return false;
    }
    // What Feed does with a row (one past the bound is counted, as Feed
    // counts it) and after it.
    Effect_ = LineEffect::Other;
    if (!ParseModuleColumns(line, tabs)) {
        return false;
    }
    Report_.LastLine = number;
    UnfitRun_ = 0;
    UnfitNotes_ = 0;
    LastFit_ = number;
    return true;
}

bool ReportParser::SectionOfShape(std::string_view line, Section* section)
{
    constexpr std::string_view Item = "- ";
    if (line.substr(0, Item.size()) == Item) {
        const std::string_view rest = line.substr(Item.size());
        size_t index = 0;
        uint64_t value = 0;
        if (ReadRegister(rest, &index, &value)) {
            *section = Section::Context;
            return true;
        }
        *section = Section::Suites;
        return IsSuiteName(rest);
    }
    if (StartsKeywordLine(line) || line == "SUITES:" || line == "STACK:" || line == "Module\tPdbName\tGuid\tPdbAge") {
        *section = Section::Header;
        return true;
    }
    ModuleRowTabs tabs;
    uint32_t age = 0;
    if (FindModuleRowTabs(line, &tabs) && ReadRowIdentity(line, tabs, &age)) {
        *section = Section::Modules;
        return true;
    }
    Frame frame;
    *section = Section::Stack;
    return ReadFrame(line, &frame);
}

bool ReportParser::FitsSomeSection(std::string_view line)
{
    Section section = Section::Header;
    return SectionOfShape(line, &section);
}

bool ReportParser::BeginInside(std::string_view line)
{
    Section section = Section::Header;
    if (!SectionOfShape(line, &section) || section == Section::Stack) {
        return false;
    }
    // What is there of the section is read as the section: not named as
    // missing, though its first lines may be (the report's warning says
    // where it was read from).
    switch (section) {
    case Section::Suites:
        Report_.Os.HasSuites = true;
        break;
    case Section::Modules:
        Report_.HasModuleTable = true;
        TableHeadMissing_ = true;
        break;
    case Section::Context:
        Report_.HasContext = true;
        break;
    case Section::Header:
    case Section::Stack:
        break;
    }
    Section_ = section;
    return true;
}

void ReportParser::Feed(std::string_view line, uint64_t number)
{
    Effect_ = LineEffect::Other;
    Report_.LastLine = number;
    if (line.empty()) {
        return;
    }
    bool understood = false;
    Cursor c(line);
    // A keyword line is kept for the next report with the state it read,
    // unless it said something (a warning or a note is said again there).
    HeaderKind kind = HeaderKind::None;
    const bool keyword = MayStartKeyword(line.front());
    const uint32_t before = keyword ? HeaderState() : 0;
    const size_t said = Said_;
    if (!keyword) {
        // Module rows and frames, most of a report: no keyword line to try.
        if (Section_ == Section::Modules) {
            understood = ParseModuleRow(line);
        } else if (Section_ == Section::Stack) {
            understood = ParseFrame(line);
        }
    } else if (c.Keyword("- ")) {
        // Registers and suites, tried first: no other keyword starts so.
        if (Section_ == Section::Suites) {
            understood = ParseSuite(c.Rest(), number);
        } else if (Section_ == Section::Context) {
            understood = ParseRegister(c.Rest());
        }
    } else if (c.Keyword("OUTPUT FORMAT: ")) {
        kind = HeaderKind::Format;
        uint32_t format = 0;
        understood = c.Unsigned32(&format) && c.AtEnd();
        if (understood && First(Report_.Format.has_value(), "OUTPUT FORMAT", number)) {
            Report_.Format = format;
            constexpr uint32_t KnownFormat = 2;
            if (format != KnownFormat) {
                Warn("output format " + std::to_string(format) + " is not the known format 2");
            }
        }
        Section_ = Section::Header;
    } else if (c.Keyword("CRASHED ON: ")) {
        kind = HeaderKind::Time;
        understood = ParseTime(c.Rest(), number);
        Section_ = Section::Header;
    } else if (c.Keyword("KERNEL: ")) {
        kind = HeaderKind::Kernel;
        OsVersion os = Report_.Os;
        understood = ParseKernel(c.Rest());
        if (understood && !First(os.HasKernel, "KERNEL", number)) {
            Report_.Os = std::move(os);
        }
        Section_ = Section::Header;
    } else if (c.Keyword("SP: ")) {
        kind = HeaderKind::ServicePack;
        // "%d.%d (%s)"
        OsVersion& os = Report_.Os;
        uint32_t major = 0;
        uint32_t minor = 0;
        understood = c.Unsigned32(&major) && c.Literal(".") && c.Unsigned32(&minor) && c.Literal(" (");
        std::string_view text = c.Rest();
        understood = understood && !text.empty() && text.back() == ')';
        if (understood && First(os.HasServicePack, "SP", number)) {
            os.ServicePackMajor = major;
            os.ServicePackMinor = minor;
            os.ServicePackText = std::string(text.substr(0, text.size() - 1));
            os.HasServicePack = true;
        }
    } else if (line == "SUITES:") {
        kind = HeaderKind::Suites;
        understood = true;
        if (First(Report_.Os.HasSuites, "SUITES", number)) {
            Report_.Os.HasSuites = true;
            Section_ = Section::Suites;
        } else {
            Section_ = Section::Header;
        }
    } else if (c.Keyword("TYPE: ")) {
        kind = HeaderKind::Type;
        understood = !c.AtEnd();
        if (understood && First(!Report_.Os.Type.empty(), "TYPE", number)) {
            Report_.Os.Type = std::string(c.Rest());
        }
        Section_ = Section::Header;
    } else if (c.Keyword("NO OS VERSION AVAILABLE: ")) {
        kind = HeaderKind::NoVersion;
        OsVersion& os = Report_.Os;
        uint32_t size = 0;
        uint32_t expected = 0;
        uint64_t pointer = 0;
        understood = c.Unsigned32(&size) && c.Literal(" ") && c.Unsigned32(&expected) &&
                     c.Literal(" ") && c.Hex(&pointer, 16) && c.AtEnd();
        if (understood && First(os.Unavailable, "NO OS VERSION AVAILABLE", number)) {
            os.Unavailable = true;
            os.UnavailableSize = size;
            os.UnavailableExpected = expected;
            os.UnavailablePointer = pointer;
        }
        Section_ = Section::Header;
    } else if (line == "Module\tPdbName\tGuid\tPdbAge") {
        kind = HeaderKind::ModuleTable;
        understood = true;
        if (First(Report_.HasModuleTable, "module table header", number)) {
            Report_.HasModuleTable = true;
            Section_ = Section::Modules;
        } else {
            Section_ = Section::Header;
        }
    } else if (c.Keyword("BUGCHECK CODE ")) {
        kind = HeaderKind::Code;
        uint64_t code = 0;
        std::array<uint64_t, 4> parameters{};
        understood = c.Hex(&code, 8) && c.Literal(":");
        for (size_t i = 0; understood && i < 4; ++i) {
            understood = c.Literal(" ") && c.Hex(&parameters[i], 16);
        }
        understood = understood && c.AtEnd();
        if (understood && First(Report_.HasCode, "BUGCHECK CODE", number)) {
            Report_.HasCode = true;
            Report_.Code = static_cast<uint32_t>(code);
            Report_.Parameters = parameters;
        }
        Section_ = Section::Header;
    } else if (c.Keyword("CONTEXT (")) {
        kind = HeaderKind::Context;
        uint64_t address = 0;
        understood = c.Hex(&address, 16) && c.Literal("):") && c.AtEnd();
        if (understood && First(Report_.HasContext, "CONTEXT", number)) {
            Report_.HasContext = true;
            Report_.ContextAddress = address;
            Section_ = Section::Context;
        } else {
            Section_ = Section::Header;
        }
    } else if (line == "STACK:") {
        kind = HeaderKind::Stack;
        understood = true;
        if (First(Report_.HasStack, "STACK", number)) {
            Report_.HasStack = true;
            Section_ = Section::Stack;
        } else {
            Section_ = Section::Header;
        }
    } else if (Section_ == Section::Modules) {
        understood = ParseModuleRow(line);
    } else if (Section_ == Section::Stack) {
        understood = ParseFrame(line);
    }
    if (kind != HeaderKind::None) {
        if (understood && Said_ == said) {
            Effect_ = LineEffect::Header;
            Position_ = HeaderLines_;
            LastHeaderKind_ = kind;
            LastHeaderBefore_ = before;
        }
        ++HeaderLines_;
    }
    if (understood) {
        UnfitRun_ = 0;
        UnfitNotes_ = 0;
        LastFit_ = number;
        return;
    }
    if (QuietUnfit_) {
        return;
    }
    if (UnfitRun_++ == 0) {
        UnfitNotes_ = 0;
    }
    if (Derailed()) {
        // The run is not the report's: its notes go.
        LineWarnings_.resize(LineWarnings_.size() - UnfitNotes_);
        return;
    }
    Note("line " + std::to_string(number) + " not understood: " + Quote(line));
}

bool ReportParser::FeedIfFits(std::string_view line, uint64_t number, bool tagged)
{
    const uint64_t last = Report_.LastLine;
    // A line of the report's fed after lines passed over (by any way:
    // every way sets LastLine), one behind another source's tag: they were
    // that source's. (A line without one is noise, or a timestamp a burst
    // of it hit, and the report's own lines may yet come behind another.)
    if (!QuietNotes_.empty() && QuietTagged_ && QuietSince_ != last) {
        Interleaved_ = true;
    }
    if (Interleaved_) {
        return false;
    }
    const size_t before = LineWarnings_.size();
    QuietUnfit_ = true;
    Feed(line, number);
    QuietUnfit_ = false;
    // Notes kept are those of lines passed over one after another since a
    // line was last fed (by any way: every way sets LastLine).
    const bool kept = !QuietNotes_.empty() && QuietSince_ == last;
    if (LastFit_ != number) {
        Report_.LastLine = last;
        if (!kept) {
            QuietNotes_.clear();
            QuietSince_ = last;
            QuietTagged_ = false;
        }
        QuietTagged_ = QuietTagged_ || tagged;
        if (QuietNotes_.size() < MaxWarnings) {
            QuietNotes_.push_back("line " + std::to_string(number) + " not understood: " + Quote(line));
        }
        return false;
    }
    if (kept) {
        // Before what this line said, within the same bound as Note's.
        const size_t room = MaxWarnings - std::min(MaxWarnings, LineWarnings_.size());
        const size_t taken = std::min(room, QuietNotes_.size());
        LineWarnings_.insert(LineWarnings_.begin() + static_cast<std::ptrdiff_t>(before), QuietNotes_.begin(),
                             QuietNotes_.begin() + static_cast<std::ptrdiff_t>(taken));
        DroppedWarnings_ += QuietNotes_.size() - taken;
    }
    QuietNotes_.clear();
    return true;
}

// Values the driver prints from fixed sets (version_block.cpp's names) and
// frames that must name a row of the module table: a byte changed on the
// wire makes a line that still fits its shape but says something the guest
// never wrote.
bool ReportParser::FramesNameRowsAt(const RememberedRows& rows) const
{
    if (Report_.Frames.Shares(rows.NamedFrames) && Report_.Modules.Shares(rows.NamedModules)) {
        return true;  // the very frames and rows found right before
    }
    const std::vector<uint32_t>& frameRows = rows.FrameRows;
    if (frameRows.size() != Report_.Frames.size()) {
        return false;
    }
    for (size_t i = 0; i < frameRows.size(); ++i) {
        const Frame& frame = Report_.Frames[i];
        // NoRow and the mark of a name the table lacked stand past any row.
        if (frame.HasModule &&
            (frameRows[i] >= Report_.Modules.size() || Report_.Modules.Name(frameRows[i]) != frame.Module)) {
            return false;
        }
    }
    return true;
}

bool ReportParser::ShowsWhatTheGuestWrote(RememberedRows* rows)
{
    constexpr std::string_view Platforms[] = {"WIN32s", "WIN32_WINDOWS", "WIN32_NT", "UNKNOWN"};
    constexpr std::string_view ProductTypes[] = {"WORKSTATION", "DOMAIN_CONTROLLER", "SERVER", "UNKNOWN"};
    auto known = [](const std::string& value, const auto& set) {
        return std::find(std::begin(set), std::end(set), value) != std::end(set);
    };
    bool faithful = true;
    const OsVersion& os = Report_.Os;
    if (os.HasKernel && !known(os.Platform, Platforms)) {
        Warn("platform \"" + EscapeBytes(os.Platform, 40) + "\" is no platform the driver prints; damaged on the wire");
        faithful = false;
    }
    if (!os.Type.empty() && !known(os.Type, ProductTypes)) {
        Warn("TYPE \"" + EscapeBytes(os.Type, 40) + "\" is no product type the driver prints; damaged on the wire");
        faithful = false;
    }
    // Only a table read whole says which modules were loaded (an empty one
    // says the driver could not list them).
    const bool checked = Report_.HasModuleTable && !TableHeadMissing_ && !Report_.Modules.empty() && DroppedModules_ == 0;
    if (checked && (rows == nullptr || !FramesNameRowsAt(*rows))) {
        std::vector<uint32_t>* frameRows = rows != nullptr ? &rows->FrameRows : nullptr;
        if (rows != nullptr) {
            rows->NamedFrames.clear();
            rows->NamedModules.clear();
        }
        // The few names the frames give, sorted, are looked for in one pass
        // over the hundreds of rows; each found one is struck off.
        struct Named {
            std::string_view Name;
            size_t FirstFrame;
            bool Found;
            uint32_t Row;
        };
        std::vector<Named> named;
        named.reserve(Report_.Frames.size());
        for (size_t i = 0; i < Report_.Frames.size(); ++i) {
            if (Report_.Frames[i].HasModule) {
                named.push_back({Report_.Frames[i].Module, i, false, RememberedRows::NoRow});
            }
        }
        auto byName = [](const Named& a, const Named& b) {
            return a.Name < b.Name || (a.Name == b.Name && a.FirstFrame < b.FirstFrame);
        };
        std::sort(named.begin(), named.end(), byName);
        named.erase(std::unique(named.begin(), named.end(),
                                [](const Named& a, const Named& b) { return a.Name == b.Name; }),
                    named.end());
        size_t unfound = named.size();
        for (size_t i = 0; i < Report_.Modules.size() && unfound != 0; ++i) {
            std::string_view name = Report_.Modules.Name(i);
            auto at = std::lower_bound(named.begin(), named.end(), name,
                                       [](const Named& a, std::string_view b) { return a.Name < b; });
            if (at != named.end() && at->Name == name && !at->Found) {
                at->Found = true;
                at->Row = static_cast<uint32_t>(i);
                --unfound;
            }
        }
        if (frameRows != nullptr) {
            // Where each frame's module stands, for the next report: a
            // fleet's reports name the same modules at the same rows.
            frameRows->assign(Report_.Frames.size(), RememberedRows::NoRow);
            for (size_t i = 0; i < Report_.Frames.size(); ++i) {
                if (!Report_.Frames[i].HasModule) {
                    continue;
                }
                auto at = std::lower_bound(named.begin(), named.end(), std::string_view(Report_.Frames[i].Module),
                                           [](const Named& a, std::string_view b) { return a.Name < b; });
                // A name the table lacks has no row: the next report searches.
                (*frameRows)[i] = at->Found ? at->Row : RememberedRows::NoRow;
            }
        }
        // Named in the order the frames first give them; a table that has
        // them all (every report a real machine prints) has none to order.
        std::vector<std::string> missing;
        if (unfound != 0) {
            std::sort(named.begin(), named.end(),
                      [](const Named& a, const Named& b) { return a.FirstFrame < b.FirstFrame; });
            for (const Named& entry : named) {
                if (!entry.Found) {
                    missing.emplace_back(entry.Name);
                }
            }
        }
        constexpr size_t MissingNamed = 4;
        for (size_t i = 0; i < missing.size() && i < MissingNamed; ++i) {
            Warn("a frame names " + EscapeBytes(missing[i], 60) + ", which the module table lacks; damaged on the wire");
        }
        faithful = faithful && missing.empty();
    } else if (checked) {
        // Found where the rows say: the next report that shares this
        // stack and table needs not even look.
        rows->NamedFrames = Report_.Frames;
        rows->NamedModules = Report_.Modules;
    }
    return faithful;
}

CrashReport ReportParser::Finish(bool complete, const std::string& cutReason, uint64_t lastLine,
                                 RememberedRows* rows)
{
    Report_.LastLine = lastLine;
    Report_.StackCut = Report_.HasStack && !complete;
    if (DroppedModules_ != 0) {
        Warn(std::to_string(DroppedModules_) + " module rows beyond " +
             std::to_string(MaxModules) + " were dropped");
    }
    if (DroppedSuites_ != 0) {
        Warn(std::to_string(DroppedSuites_) + " suite lines beyond " + std::to_string(MaxSuites) +
             " were dropped");
    }
    if (DroppedFrames_ != 0) {
        Warn(std::to_string(DroppedFrames_) + " stack lines beyond " + std::to_string(MaxFrames) +
             " were dropped");
    }
    // Name what is missing, in report order: what a reader of a cut report
    // needs to know is how far it got.
    std::vector<std::string> missing;
    if (!Report_.Format) {
        missing.push_back("format line");
    }
    if (!Report_.Time) {
        missing.push_back("crash time");
    }
    if (!Report_.Os.HasKernel && !Report_.Os.Unavailable) {
        missing.push_back("OS version");
    }
    if (!Report_.HasModuleTable) {
        missing.push_back("module table");
    }
    if (!Report_.HasCode) {
        missing.push_back("bug check code");
    }
    if (!Report_.HasContext) {
        missing.push_back("register context");
    } else if (Report_.Registers.size() < RegisterCount) {
        std::string names;
        for (size_t i = 0; i < RegisterCount; ++i) {
            if ((RegistersSeen_ & 1u << i) == 0) {
                names += (names.empty() ? "" : " ") + std::string(RegisterShapes[i].Name);
            }
        }
        missing.push_back(std::to_string(RegisterCount - Report_.Registers.size()) + " of " +
                          std::to_string(RegisterCount) + " registers (" + names + ")");
    }
    if (!Report_.HasStack) {
        missing.push_back("stack trace");
    }
    std::string list;
    for (const std::string& item : missing) {
        list += (list.empty() ? "" : ", ") + item;
    }
    // Complete means every section is there, not only the end line.
    if (!complete) {
        Warn("partial report: " + cutReason + (list.empty() ? "" : "; missing " + list));
    } else if (!list.empty()) {
        Warn("partial report; missing " + list);
        complete = false;
    }
    if (!ShowsWhatTheGuestWrote(rows)) {
        complete = false;
    }
    Report_.Complete = complete;
    for (std::string& note : LineWarnings_) {
        Report_.Warnings.push_back(std::move(note));
    }
    if (DroppedWarnings_ != 0) {
        Report_.Warnings.push_back(std::to_string(DroppedWarnings_) +
                                   " more line warnings were dropped");
    }
    return std::move(Report_);
}

}  // namespace decode
