// What one crash report on the console says, as the decoder read it back:
// every section is optional, since a report can be cut short anywhere.
#pragma once

#include "decode/reports/module_table.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace decode {

struct CrashTime {
    int Year = 0;
    int Month = 0;
    int Day = 0;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
};

struct OsVersion {
    // The KERNEL line.
    bool HasKernel = false;
    uint32_t Major = 0;
    uint32_t Minor = 0;
    uint32_t Build = 0;
    std::string Platform;
    // The SP line, printed only for a service pack other than 0.0.
    bool HasServicePack = false;
    uint32_t ServicePackMajor = 0;
    uint32_t ServicePackMinor = 0;
    std::string ServicePackText;
    bool HasSuites = false;
    std::vector<std::string> Suites;
    std::string Type;  // empty when the TYPE line is missing
    // "NO OS VERSION AVAILABLE: size expected pointer" instead of the block.
    bool Unavailable = false;
    uint32_t UnavailableSize = 0;
    uint32_t UnavailableExpected = 0;
    uint64_t UnavailablePointer = 0;
};

// A list of a report's rows (its module table, its stack, its registers).
// A fleet's reports mostly print the rows of the report before, and a list
// taken over whole shares that report's rows instead of copying them (a few
// hundred module rows, a score of frames, two dozen registers); rows shared
// are copied only when one list is changed. Reads as a const vector of rows.
template <typename Row>
class SharedRows {
public:
    using Rows = std::vector<Row>;
    SharedRows() = default;
    SharedRows(std::initializer_list<Row> rows) : Rows_(std::make_shared<Rows>(rows)) {}
    SharedRows& operator=(std::initializer_list<Row> rows)
    {
        Rows_ = std::make_shared<Rows>(rows);
        return *this;
    }

    const Rows& View() const { return Rows_ ? *Rows_ : NoRows(); }
    operator const Rows&() const { return View(); }
    size_t size() const { return View().size(); }
    bool empty() const { return View().empty(); }
    const Row& operator[](size_t index) const { return View()[index]; }
    typename Rows::const_iterator begin() const { return View().begin(); }
    typename Rows::const_iterator end() const { return View().end(); }
    const Row& front() const { return View().front(); }
    const Row& back() const { return View().back(); }
    // True when both lists are the same rows, shared: what one holds, the
    // other holds too, since shared rows are never changed in place.
    bool Shares(const SharedRows& other) const { return Rows_ != nullptr && Rows_ == other.Rows_; }

    // The rows to change: a copy of its own first where they are shared.
    Rows& Mutable()
    {
        // Inline for the parser's row a line; the rest is out of line.
        return Rows_ && Rows_.use_count() == 1 ? *Rows_ : Unshare();
    }
    // This list becomes other's rows, shared.
    void Share(const SharedRows& other) { Rows_ = other.Rows_; }
    void push_back(Row row) { Mutable().push_back(std::move(row)); }
    template <typename... Args>
    Row& emplace_back(Args&&... args)
    {
        return Mutable().emplace_back(std::forward<Args>(args)...);
    }
    template <typename Iterator>
    void assign(Iterator first, Iterator last)
    {
        Mutable().assign(first, last);
    }
    void pop_back() { Mutable().pop_back(); }
    void clear() { Rows_.reset(); }
    void reserve(size_t count) { Mutable().reserve(count); }

private:
    static const Rows& NoRows()
    {
        static const Rows none;
        return none;
    }
    __attribute__((noinline)) Rows& Unshare()
    {
        if (!Rows_) {
            Rows_ = std::make_shared<Rows>();
        } else if (Rows_.use_count() > 1) {
            // Another list holds these rows too: they stay as they are for it.
            Rows_ = std::make_shared<Rows>(*Rows_);
        }
        return *Rows_;
    }
    std::shared_ptr<Rows> Rows_;
};

struct Register {
    std::string Name;
    uint64_t Value = 0;
    int Digits = 16;  // as printed: 4 for segments, 8 for EFLAGS
};

struct SourceLocation {
    std::string Function;
    // From the function's start to the frame's address as printed (the
    // return address for callers); only the outermost, non-inlined entry
    // of a frame has one.
    bool HasFunctionOffset = false;
    uint64_t FunctionOffset = 0;
    std::string File;  // as the PDB names it
    uint32_t Line = 0;
    // Named by the nearest public symbol: a PDB without module symbols (as
    // servers give the kernel's) has no lines and no inlines.
    bool PublicSymbol = false;
};

struct Frame {
    uint64_t StackPointer = 0;
    std::array<uint64_t, 4> Words{};
    bool HasModule = false;
    std::string Module;
    uint64_t Offset = 0;
    uint64_t Address = 0;  // a bare return address (no module)
    // Filled by the symbolizer: innermost inlined function first, the
    // containing function (with its offset) last. Caller frames are looked
    // up at their return address - 1, the call.
    std::vector<SourceLocation> Symbols;
};

using FrameList = SharedRows<Frame>;
using RegisterList = SharedRows<Register>;

struct CrashReport {
    std::string Source;  // file name, or "-" for stdin
    uint64_t FirstLine = 0;
    uint64_t LastLine = 0;
    bool Complete = false;  // the end line was seen
    std::optional<uint32_t> Format;
    std::optional<CrashTime> Time;
    OsVersion Os;
    bool HasModuleTable = false;
    ModuleTable Modules;
    bool HasCode = false;
    uint32_t Code = 0;
    std::array<uint64_t, 4> Parameters{};
    bool HasContext = false;
    uint64_t ContextAddress = 0;
    RegisterList Registers;
    bool HasStack = false;
    // The stack section began but the report ended before its end line:
    // frames past the last one shown may be missing.
    bool StackCut = false;
    FrameList Frames;
    std::vector<std::string> Warnings;
    // Further copies of this report that followed it directly (one crash
    // printed again by a second callback pass), shown once.
    unsigned Repeats = 0;
    std::vector<uint64_t> RepeatLines;  // where the first few repeats start
    // Modules named by frames that had no matching symbols, with why.
    std::vector<std::string> Unsymbolized;
};

// A "Viridian State Restoration is ..." line.
struct RestoreLine {
    std::string Source;
    uint64_t Line = 0;
    std::string Outcome;  // "Successful", "Failed", or what the line said
};

// Text from a log made fit for one line: printable ASCII as it is, a
// backslash as \\, every other byte as \xHH, cut after max bytes of the text.
std::string EscapeBytes(std::string_view text, size_t max = std::string_view::npos);

// Calendar arithmetic on the proleptic Gregorian calendar the kernel's
// RtlTimeToTimeFields uses.
int DaysInMonth(int year, int month);
int64_t DaysSinceEpoch(int year, int month, int day);  // 1970-01-01 is day 0

// True when the two versions are the same in every field.
bool SameOs(const OsVersion& a, const OsVersion& b);

// True when the two stacks print and blame alike: every frame's place,
// stack words and symbols the same.
bool SameFrames(const FrameList& a, const FrameList& b);

// True when b is a of the same crash printed again: same machine, module
// table, code and parameters, written within a few seconds.
bool SameCrash(const CrashReport& a, const CrashReport& b);

}  // namespace decode
