// The report's lines as the driver prints them, read back strictly: each
// line kind by its fixed prefix, numbers with exactly the digits the driver's
// formats give them, so a damaged line is named instead of half read.
#include "decode/report_parser.h"

#include <cstdio>

namespace decode {

namespace {

// A strict reader over one line.
class Cursor {
public:
    explicit Cursor(std::string_view text) : Text_(text) {}

    bool Literal(std::string_view expected)
    {
        if (Text_.substr(Pos_, expected.size()) != expected) {
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
            char c = Text_[Pos_];
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
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

std::string Quote(std::string_view line)
{
    // Warnings quote the line briefly and printably.
    constexpr size_t QuoteMax = 60;
    std::string out;
    for (size_t i = 0; i < line.size() && i < QuoteMax; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        }
    }
    if (line.size() > QuoteMax) {
        out += "...";
    }
    return "\"" + out + "\"";
}

}  // namespace

ReportParser::ReportParser(std::string source, uint64_t startLine)
{
    Report_.Source = std::move(source);
    Report_.FirstLine = startLine;
    Report_.LastLine = startLine;
}

void ReportParser::Warn(std::string text)
{
    if (Report_.Warnings.size() < MaxWarnings) {
        Report_.Warnings.push_back(std::move(text));
    } else {
        ++DroppedWarnings_;
    }
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
    // "NAME = HEX"
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
        uint64_t value = 0;
        if (!c.Hex(&value, static_cast<size_t>(RegisterShapes[i].Digits)) || !c.AtEnd()) {
            return false;
        }
        if (Report_.Registers.size() >= RegisterCount) {
            return false;
        }
        Report_.Registers.push_back({std::string(name), value, RegisterShapes[i].Digits});
        return true;
    }
    return false;
}

bool ReportParser::ParseModuleRow(std::string_view line)
{
    // "name\tpdb\tGUID\tAGE": split from the right, so a stray tab can only
    // land in the name.
    size_t ageTab = line.rfind('\t');
    if (ageTab == std::string_view::npos || ageTab == 0) {
        return false;
    }
    size_t guidTab = line.rfind('\t', ageTab - 1);
    if (guidTab == std::string_view::npos || guidTab == 0) {
        return false;
    }
    size_t pdbTab = line.rfind('\t', guidTab - 1);
    if (pdbTab == std::string_view::npos) {
        return false;
    }
    ModuleRow row;
    row.Name = std::string(line.substr(0, pdbTab));
    row.PdbColumn = std::string(line.substr(pdbTab + 1, guidTab - pdbTab - 1));
    std::string_view guid = line.substr(guidTab + 1, ageTab - guidTab - 1);
    uint64_t half = 0;
    Cursor g(guid);
    if (guid.size() != 32 || !g.Hex(&half, 16) || !g.Hex(&half, 16)) {
        return false;
    }
    row.Guid = std::string(guid);
    Cursor a(line.substr(ageTab + 1));
    uint64_t age = 0;
    if (!a.Hex(&age, 0) || !a.AtEnd() || age > 0xFFFFFFFFu) {
        return false;
    }
    row.Age = static_cast<uint32_t>(age);
    if (Report_.Modules.size() < MaxModules) {
        Report_.Modules.push_back(std::move(row));
    } else {
        ++DroppedModules_;
    }
    return true;
}

bool ReportParser::ParseFrame(std::string_view line)
{
    // "SP: (W0 W1 W2 W3) module + OFFSET" or "SP: (W0 W1 W2 W3) ADDRESS"
    Frame frame;
    Cursor c(line);
    if (!c.Hex(&frame.StackPointer, 16) || !c.Literal(": (")) {
        return false;
    }
    for (size_t i = 0; i < 4; ++i) {
        if (!c.Hex(&frame.Words[i], 16) || !c.Literal(i < 3 ? " " : ") ")) {
            return false;
        }
    }
    std::string_view rest = c.Rest();
    Cursor bare(rest);
    if (bare.Hex(&frame.Address, 16) && bare.AtEnd()) {
        frame.HasModule = false;
    } else {
        constexpr size_t OffsetText = 3 + 16;  // " + " and 16 digits
        if (rest.size() <= OffsetText) {
            return false;
        }
        Cursor offset(rest.substr(rest.size() - OffsetText));
        if (!offset.Literal(" + ") || !offset.Hex(&frame.Offset, 16)) {
            return false;
        }
        frame.HasModule = true;
        frame.Module = std::string(rest.substr(0, rest.size() - OffsetText));
    }
    if (Report_.Frames.size() < MaxFrames) {
        Report_.Frames.push_back(std::move(frame));
    } else {
        ++DroppedFrames_;
    }
    return true;
}

void ReportParser::Feed(std::string_view line, uint64_t number)
{
    Report_.LastLine = number;
    if (line.empty()) {
        return;
    }
    bool understood = false;
    Cursor c(line);
    if (c.Literal("OUTPUT FORMAT: ")) {
        uint32_t format = 0;
        understood = c.Unsigned32(&format) && c.AtEnd();
        if (understood) {
            Report_.Format = format;
            constexpr uint32_t KnownFormat = 2;
            if (format != KnownFormat) {
                Warn("output format " + std::to_string(format) + " is not the known format 2");
            }
        }
        Section_ = Section::Header;
    } else if (c.Literal("CRASHED ON: ")) {
        // "%04d-%02d-%02d %02d:%02d:%02d:%d"
        int64_t f[7] = {};
        understood = c.Decimal(&f[0]) && c.Literal("-") && c.Decimal(&f[1]) && c.Literal("-") &&
                     c.Decimal(&f[2]) && c.Literal(" ") && c.Decimal(&f[3]) && c.Literal(":") &&
                     c.Decimal(&f[4]) && c.Literal(":") && c.Decimal(&f[5]) && c.Literal(":") &&
                     c.Decimal(&f[6]) && c.AtEnd();
        if (understood) {
            // TIME_FIELDS members are 16-bit.
            for (int64_t field : f) {
                understood = understood && field >= -32768 && field <= 32767;
            }
        }
        if (understood) {
            Report_.Time = CrashTime{static_cast<int>(f[0]), static_cast<int>(f[1]),
                                     static_cast<int>(f[2]), static_cast<int>(f[3]),
                                     static_cast<int>(f[4]), static_cast<int>(f[5]),
                                     static_cast<int>(f[6])};
        }
        Section_ = Section::Header;
    } else if (c.Literal("KERNEL: ")) {
        understood = ParseKernel(c.Rest());
        Section_ = Section::Header;
    } else if (c.Literal("SP: ")) {
        // "%d.%d (%s)"
        OsVersion& os = Report_.Os;
        understood = c.Unsigned32(&os.ServicePackMajor) && c.Literal(".") &&
                     c.Unsigned32(&os.ServicePackMinor) && c.Literal(" (");
        std::string_view text = c.Rest();
        understood = understood && !text.empty() && text.back() == ')';
        if (understood) {
            os.ServicePackText = std::string(text.substr(0, text.size() - 1));
            os.HasServicePack = true;
        }
    } else if (line == "SUITES:") {
        Report_.Os.HasSuites = true;
        Section_ = Section::Suites;
        understood = true;
    } else if (c.Literal("TYPE: ")) {
        Report_.Os.Type = std::string(c.Rest());
        understood = !Report_.Os.Type.empty();
        Section_ = Section::Header;
    } else if (c.Literal("NO OS VERSION AVAILABLE: ")) {
        OsVersion& os = Report_.Os;
        understood = c.Unsigned32(&os.UnavailableSize) && c.Literal(" ") &&
                     c.Unsigned32(&os.UnavailableExpected) && c.Literal(" ") &&
                     c.Hex(&os.UnavailablePointer, 16) && c.AtEnd();
        os.Unavailable = understood;
    } else if (line == "Module\tPdbName\tGuid\tPdbAge") {
        Report_.HasModuleTable = true;
        Section_ = Section::Modules;
        understood = true;
    } else if (c.Literal("BUGCHECK CODE ")) {
        uint64_t code = 0;
        understood = c.Hex(&code, 8) && c.Literal(":");
        for (size_t i = 0; understood && i < 4; ++i) {
            understood = c.Literal(" ") && c.Hex(&Report_.Parameters[i], 16);
        }
        understood = understood && c.AtEnd();
        if (understood) {
            Report_.HasCode = true;
            Report_.Code = static_cast<uint32_t>(code);
        }
        Section_ = Section::Header;
    } else if (c.Literal("CONTEXT (")) {
        understood = c.Hex(&Report_.ContextAddress, 16) && c.Literal("):") && c.AtEnd();
        Report_.HasContext = understood;
        Section_ = Section::Context;
    } else if (line == "STACK:") {
        Report_.HasStack = true;
        Section_ = Section::Stack;
        understood = true;
    } else if (c.Literal("- ")) {
        if (Section_ == Section::Suites) {
            Report_.Os.Suites.emplace_back(c.Rest());
            understood = !Report_.Os.Suites.back().empty();
        } else if (Section_ == Section::Context) {
            understood = ParseRegister(c.Rest());
        }
    } else if (Section_ == Section::Modules) {
        understood = ParseModuleRow(line);
    } else if (Section_ == Section::Stack) {
        understood = ParseFrame(line);
    }
    if (!understood) {
        Warn("line " + std::to_string(number) + " not understood: " + Quote(line));
    }
}

CrashReport ReportParser::Finish(bool complete, const std::string& cutReason, uint64_t lastLine)
{
    Report_.Complete = complete;
    Report_.LastLine = lastLine;
    if (DroppedModules_ != 0) {
        Warn(std::to_string(DroppedModules_) + " module rows beyond " +
             std::to_string(MaxModules) + " were dropped");
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
        missing.push_back(std::to_string(RegisterCount - Report_.Registers.size()) + " of " +
                          std::to_string(RegisterCount) + " registers");
    }
    if (!Report_.HasStack) {
        missing.push_back("stack trace");
    }
    std::string list;
    for (const std::string& item : missing) {
        list += (list.empty() ? "" : ", ") + item;
    }
    if (!complete) {
        Warn("partial report: " + cutReason + (list.empty() ? "" : "; missing " + list));
    } else if (!list.empty()) {
        Warn("missing " + list);
    }
    if (DroppedWarnings_ != 0) {
        Report_.Warnings.push_back(std::to_string(DroppedWarnings_) + " more warnings");
    }
    return std::move(Report_);
}

}  // namespace decode
