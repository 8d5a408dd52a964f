// The report record's own helpers: when two reports are one crash, the
// calendar arithmetic that says so, and log bytes made fit for a line.
#include "decode/reports/report.h"

#include <cstdio>

namespace decode {

namespace {

// A second callback pass prints the report again as soon as the first is
// out; at 115200 baud a report takes well under this.
constexpr int64_t RepeatWindowMilliseconds = 10000;

int64_t Milliseconds(const CrashTime& t)
{
    int64_t days = DaysSinceEpoch(t.Year, t.Month, t.Day);
    return ((days * 24 + t.Hour) * 60 + t.Minute) * 60000 + t.Second * 1000LL + t.Millisecond;
}

bool SameModules(const ModuleTable& a, const ModuleTable& b)
{
    return a.SameRows(b);
}

bool SameLocation(const SourceLocation& a, const SourceLocation& b)
{
    return a.Function == b.Function && a.HasFunctionOffset == b.HasFunctionOffset &&
           a.FunctionOffset == b.FunctionOffset && a.File == b.File && a.Line == b.Line &&
           a.PublicSymbol == b.PublicSymbol;
}

bool SameFrame(const Frame& a, const Frame& b)
{
    if (a.StackPointer != b.StackPointer || a.Words != b.Words || a.HasModule != b.HasModule ||
        a.Offset != b.Offset || a.Address != b.Address || a.Module != b.Module ||
        a.Symbols.size() != b.Symbols.size()) {
        return false;
    }
    for (size_t i = 0; i < a.Symbols.size(); ++i) {
        if (!SameLocation(a.Symbols[i], b.Symbols[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool SameOs(const OsVersion& a, const OsVersion& b)
{
    return a.HasKernel == b.HasKernel && a.Major == b.Major && a.Minor == b.Minor &&
           a.Build == b.Build && a.Platform == b.Platform && a.HasServicePack == b.HasServicePack &&
           a.ServicePackMajor == b.ServicePackMajor && a.ServicePackMinor == b.ServicePackMinor &&
           a.ServicePackText == b.ServicePackText && a.Suites == b.Suites && a.Type == b.Type &&
           a.Unavailable == b.Unavailable && a.UnavailableSize == b.UnavailableSize &&
           a.UnavailableExpected == b.UnavailableExpected && a.UnavailablePointer == b.UnavailablePointer;
}

bool SameFrames(const FrameList& a, const FrameList& b)
{
    if (a.Shares(b)) {
        return true;
    }
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (!SameFrame(a[i], b[i])) {
            return false;
        }
    }
    return true;
}

int DaysInMonth(int year, int month)
{
    constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) {
        return 0;
    }
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return Days[month - 1] + (month == 2 && leap ? 1 : 0);
}

int64_t DaysSinceEpoch(int year, int month, int day)
{
    // Counting years from March puts the leap day last (H. Hinnant's
    // days_from_civil).
    int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yearOfEra = y - era * 400;
    int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    constexpr int64_t EpochShift = 719468;  // days from 0000-03-01 to 1970-01-01
    return era * 146097 + dayOfEra - EpochShift;
}

std::string EscapeBytes(std::string_view text, size_t max)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < max; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";  // a literal "\x1B" must not read as an escaped ESC
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

bool SameCrash(const CrashReport& a, const CrashReport& b)
{
    if (!a.Time || !b.Time || !a.HasCode || !b.HasCode || !a.Complete || !b.Complete) {
        return false;
    }
    if (&a == &b) {
        return true;  // every comparison below holds, the module table's too
    }
    int64_t gap = Milliseconds(*b.Time) - Milliseconds(*a.Time);
    return gap >= 0 && gap <= RepeatWindowMilliseconds && a.Code == b.Code &&
           a.Parameters == b.Parameters && SameOs(a.Os, b.Os) && SameModules(a.Modules, b.Modules);
}

}  // namespace decode
