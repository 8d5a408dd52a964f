// Text and JSON forms of a report. 64-bit values go out as hex strings
// ("0x..."), which every JSON reader keeps exactly; small counts as numbers.
#include "decode/report_output.h"

#include <cstdio>

namespace decode {

namespace {

std::string Hex(uint64_t value, int digits = 16)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string TimeText(const CrashTime& t)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.Year, t.Month, t.Day,
                  t.Hour, t.Minute, t.Second, t.Millisecond);
    return text;
}

// Report text may hold any bytes; JSON needs valid UTF-8, so bytes above
// 0x7F are taken as Latin-1, which is what the driver's 8-bit names are.
std::string Utf8(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Terminal-safe text: control bytes and bytes above 0x7E escaped.
std::string Printable(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string CodeName(uint32_t code)
{
    const char* name = BugCheckName(code);
    return name != nullptr ? name : "";
}

std::string FrameTarget(const Frame& frame)
{
    if (!frame.HasModule) {
        return Hex(frame.Address);
    }
    return Printable(frame.Module) + " + " + Hex(frame.Offset, 1);
}

// The source file's last component: PDBs name it as the build machine saw it.
std::string BaseName(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LocationText(const SourceLocation& location)
{
    std::string text = Printable(location.Function);
    if (location.HasFunctionOffset) {
        text += "+" + Hex(location.FunctionOffset, 1);
    }
    if (!location.File.empty()) {
        text += " (" + Printable(BaseName(location.File)) + ":" + std::to_string(location.Line) + ")";
    }
    return text;
}

}  // namespace

std::string FrameSymbolText(const Frame& frame)
{
    if (frame.Symbols.empty()) {
        return std::string();
    }
    return Printable(frame.Module) + "!" + LocationText(frame.Symbols.back());
}

nlohmann::ordered_json ReportJson(const CrashReport& report)
{
    using json = nlohmann::ordered_json;
    json out = json::object();
    out["kind"] = "report";
    out["source"] = Utf8(report.Source);
    out["first_line"] = report.FirstLine;
    out["last_line"] = report.LastLine;
    out["complete"] = report.Complete;
    out["format"] = report.Format ? json(*report.Format) : json(nullptr);
    out["time"] = report.Time ? json(TimeText(*report.Time)) : json(nullptr);

    const OsVersion& os = report.Os;
    json osJson = json::object();
    if (os.HasKernel) {
        osJson["major"] = os.Major;
        osJson["minor"] = os.Minor;
        osJson["build"] = os.Build;
        osJson["platform"] = Utf8(os.Platform);
    }
    if (os.HasServicePack) {
        osJson["service_pack"] = {{"major", os.ServicePackMajor},
                                  {"minor", os.ServicePackMinor},
                                  {"text", Utf8(os.ServicePackText)}};
    }
    if (os.HasSuites) {
        json suites = json::array();
        for (const std::string& suite : os.Suites) {
            suites.push_back(Utf8(suite));
        }
        osJson["suites"] = suites;
    }
    if (!os.Type.empty()) {
        osJson["type"] = Utf8(os.Type);
    }
    if (os.Unavailable) {
        osJson["unavailable"] = {{"size", os.UnavailableSize},
                                 {"expected", os.UnavailableExpected},
                                 {"pointer", Hex(os.UnavailablePointer)}};
    }
    out["os"] = osJson;

    json modules = json::array();
    for (const ModuleRow& row : report.Modules) {
        std::string key = row.SymbolKey();
        modules.push_back({{"name", Utf8(row.Name)},
                           {"pdb_name", Utf8(row.PdbName())},
                           {"guid", row.GuidDashed()},
                           {"guid_store", row.Guid},
                           {"age", row.Age},
                           {"symbol_key", key.empty() ? json(nullptr) : json(Utf8(key))}});
    }
    out["modules"] = modules;

    if (report.HasCode) {
        json parameters = json::array();
        for (uint64_t parameter : report.Parameters) {
            parameters.push_back(Hex(parameter));
        }
        std::string name = CodeName(report.Code);
        out["bugcheck"] = {{"code", Hex(report.Code, 8)},
                           {"name", name.empty() ? json(nullptr) : json(name)},
                           {"parameters", parameters}};
    } else {
        out["bugcheck"] = nullptr;
    }

    if (report.HasContext) {
        json registers = json::object();
        for (const Register& reg : report.Registers) {
            registers[reg.Name] = Hex(reg.Value, reg.Digits);
        }
        out["context"] = {{"address", Hex(report.ContextAddress)}, {"registers", registers}};
    } else {
        out["context"] = nullptr;
    }

    json frames = json::array();
    for (const Frame& frame : report.Frames) {
        json words = json::array();
        for (uint64_t word : frame.Words) {
            words.push_back(Hex(word));
        }
        json f = {{"stack_pointer", Hex(frame.StackPointer)}, {"words", words}};
        if (frame.HasModule) {
            f["module"] = Utf8(frame.Module);
            f["offset"] = Hex(frame.Offset);
        } else {
            f["address"] = Hex(frame.Address);
        }
        if (!frame.Symbols.empty()) {
            // The containing function at the top level; the inline chain,
            // innermost first, under "symbols".
            const SourceLocation& outer = frame.Symbols.back();
            f["function"] = Utf8(outer.Function);
            f["function_offset"] = outer.HasFunctionOffset ? json(Hex(outer.FunctionOffset, 1))
                                                           : json(nullptr);
            f["file"] = Utf8(outer.File);
            f["line"] = outer.Line;
            json symbols = json::array();
            for (const SourceLocation& location : frame.Symbols) {
                json entry = {{"function", Utf8(location.Function)},
                              {"file", Utf8(location.File)},
                              {"line", location.Line}};
                if (location.HasFunctionOffset) {
                    entry["function_offset"] = Hex(location.FunctionOffset, 1);
                }
                symbols.push_back(entry);
            }
            f["symbols"] = symbols;
        }
        frames.push_back(f);
    }
    out["stack"] = report.HasStack ? frames : json(nullptr);

    json warnings = json::array();
    for (const std::string& warning : report.Warnings) {
        warnings.push_back(Utf8(warning));
    }
    out["warnings"] = warnings;
    if (report.Repeats != 0) {
        out["repeats"] = report.Repeats;
        out["repeated_at_lines"] = report.RepeatLines;
    }
    if (!report.Unsymbolized.empty()) {
        json unsymbolized = json::array();
        for (const std::string& note : report.Unsymbolized) {
            unsymbolized.push_back(Utf8(note));
        }
        out["unsymbolized"] = unsymbolized;
    }
    return out;
}

nlohmann::ordered_json RestoreJson(const RestoreLine& line)
{
    return {{"kind", "restore"},
            {"source", Utf8(line.Source)},
            {"line", line.Line},
            {"outcome", Utf8(line.Outcome)}};
}

void PrintReportText(std::ostream& out, const CrashReport& report, unsigned number)
{
    out << "Report " << number << " (" << Printable(report.Source) << ", lines " << report.FirstLine
        << "-" << report.LastLine << "): " << (report.Complete ? "complete" : "PARTIAL") << "\n";
    if (report.Repeats != 0) {
        out << "  Note: printed " << report.Repeats + 1
            << " times for one crash (the kernel ran the callback again); repeats at line";
        for (uint64_t line : report.RepeatLines) {
            out << " " << line;
        }
        if (report.RepeatLines.size() < report.Repeats) {
            out << " ...";
        }
        out << "\n";
    }
    for (const std::string& warning : report.Warnings) {
        out << "  Warning: " << Printable(warning) << "\n";
    }
    if (report.Time) {
        const CrashTime& t = *report.Time;
        char text[64];
        std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", t.Year, t.Month,
                      t.Day, t.Hour, t.Minute, t.Second, t.Millisecond);
        out << "  Crashed on: " << text << "\n";
    }
    const OsVersion& os = report.Os;
    if (os.HasKernel) {
        out << "  OS: Windows NT " << os.Major << "." << os.Minor << " build " << os.Build << " ("
            << Printable(os.Platform) << ")";
        if (os.HasServicePack) {
            out << ", service pack " << os.ServicePackMajor << "." << os.ServicePackMinor << " ("
                << Printable(os.ServicePackText) << ")";
        }
        if (!os.Type.empty()) {
            out << ", " << Printable(os.Type);
        }
        out << "\n";
        if (!os.Suites.empty()) {
            out << "  Suites:";
            for (const std::string& suite : os.Suites) {
                out << " " << Printable(suite);
            }
            out << "\n";
        }
    } else if (os.Unavailable) {
        out << "  OS: not available (version block of " << os.UnavailableSize << " bytes, expected "
            << os.UnavailableExpected << ")\n";
    }
    if (report.HasCode) {
        std::string name = CodeName(report.Code);
        out << "  Bug check: " << Hex(report.Code, 8) << (name.empty() ? "" : " " + name) << "\n";
        for (size_t i = 0; i < 4; ++i) {
            out << "    Parameter " << i + 1 << ": " << Hex(report.Parameters[i]) << "\n";
        }
    }
    if (report.HasStack) {
        out << "  Stack (" << report.Frames.size() << " frames):\n";
        unsigned index = 0;
        for (const Frame& frame : report.Frames) {
            char prefix[48];
            std::snprintf(prefix, sizeof(prefix), "    #%-2u sp %016llX  ", index++,
                          static_cast<unsigned long long>(frame.StackPointer));
            out << prefix << FrameTarget(frame);
            if (!frame.Symbols.empty()) {
                out << "  " << FrameSymbolText(frame);
            }
            out << "\n";
            // Inlined calls, from the containing function inwards.
            for (size_t i = frame.Symbols.size(); i-- > 1;) {
                out << "        inlined: " << LocationText(frame.Symbols[i - 1]) << "\n";
            }
        }
    }
    if (!report.Modules.empty()) {
        out << "  Modules: " << report.Modules.size() << "\n";
    }
    for (const std::string& note : report.Unsymbolized) {
        out << "  No matching symbols: " << Printable(note) << "\n";
    }
}

void PrintRestoreText(std::ostream& out, const RestoreLine& line)
{
    out << "Viridian State Restoration is " << Printable(line.Outcome) << " ("
        << Printable(line.Source) << ", line " << line.Line << ")\n";
}

}  // namespace decode
