// Text and JSON forms of a report. 64-bit values go out as hex strings
// ("0x..."), which every JSON reader keeps exactly; small counts as numbers.
#include "decode/triage/report_output.h"

#include "decode/triage/culprit.h"
#include "decode/triage/terminal_text.h"

#include <algorithm>
#include <cstdio>

namespace decode {

namespace {

// "0x%0*llX" without the format parser: a report prints dozens of these.
std::string Hex(uint64_t value, int digits = 16)
{
    constexpr char Digits[] = "0123456789ABCDEF";
    char text[2 + 16];
    size_t at = sizeof(text);
    for (int written = 0; written < 16 && (value != 0 || written < digits); ++written) {
        text[--at] = Digits[value & 0xF];
        value >>= 4;
    }
    text[--at] = 'x';
    text[--at] = '0';
    return std::string(text + at, sizeof(text) - at);
}

// "%0*llX" appended to a line being put together.
void AppendHexDigits(std::string* out, uint64_t value, int digits = 16)
{
    constexpr char Digits[] = "0123456789ABCDEF";
    char text[16];
    size_t at = sizeof(text);
    for (int written = 0; written < 16 && (value != 0 || written < digits); ++written) {
        text[--at] = Digits[value & 0xF];
        value >>= 4;
    }
    out->append(text + at, sizeof(text) - at);
}

std::string TimeText(const CrashTime& t)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.Year, t.Month, t.Day,
                  t.Hour, t.Minute, t.Second, t.Millisecond);
    return text;
}

// Terminal-safe text (terminal_text.h).
std::string Printable(const std::string& text)
{
    return TerminalText(text);
}

std::string CodeName(uint32_t code)
{
    const char* name = BugCheckName(code);
    return name != nullptr ? name : "";
}

void AppendFrameTarget(std::string* out, const Frame& frame)
{
    if (!frame.HasModule) {
        out->append("0x");
        AppendHexDigits(out, frame.Address);
        return;
    }
    out->append(Printable(frame.Module)).append(" + 0x");
    AppendHexDigits(out, frame.Offset, 1);
}

nlohmann::ordered_json CulpritJson(const CrashReport& report)
{
    using json = nlohmann::ordered_json;
    std::optional<Culprit> culprit = FindCulprit(report);
    if (!culprit) {
        return nullptr;
    }
    const FrameSymbol& symbol = culprit->Symbol;
    json out = {{"frame", culprit->FrameIndex},
                {"rule", CulpritRuleName(culprit->Rule)},
                {"text", FrameSymbolText(symbol)}};
    if (symbol.HasModule) {
        out["module"] = symbol.Module;
        out["offset"] = Hex(symbol.Offset);
    } else {
        out["address"] = Hex(symbol.Address);
    }
    out["function"] = symbol.Function.empty() ? json(nullptr) : json(symbol.Function);
    out["function_offset"] = symbol.FunctionOffset ? json(Hex(*symbol.FunctionOffset)) : json(nullptr);
    out["file"] = symbol.File.empty() ? json(nullptr) : json(symbol.File);
    out["line"] = symbol.File.empty() ? json(nullptr) : json(symbol.Line);
    return out;
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
    const SourceLocation& outer = frame.Symbols.back();
    return Printable(frame.Module) + "!" + LocationText(outer) + (outer.PublicSymbol ? " (public symbol)" : "");
}

namespace {

// ReportJson's members, the module table's rows left out when withModules
// is false (an empty array stands in its place).
nlohmann::ordered_json ReportMembers(const CrashReport& report, bool withModules)
{
    using json = nlohmann::ordered_json;
    json out = json::object();
    out["kind"] = "report";
    out["source"] = report.Source;
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
        osJson["platform"] = os.Platform;
    }
    if (os.HasServicePack) {
        osJson["service_pack"] = {{"major", os.ServicePackMajor},
                                  {"minor", os.ServicePackMinor},
                                  {"text", os.ServicePackText}};
    }
    if (os.HasSuites) {
        json suites = json::array();
        for (const std::string& suite : os.Suites) {
            suites.push_back(suite);
        }
        osJson["suites"] = suites;
    }
    if (!os.Type.empty()) {
        osJson["type"] = os.Type;
    }
    if (os.Unavailable) {
        osJson["unavailable"] = {{"size", os.UnavailableSize},
                                 {"expected", os.UnavailableExpected},
                                 {"pointer", Hex(os.UnavailablePointer)}};
    }
    out["os"] = osJson;

    json modules = json::array();
    for (size_t i = 0; withModules && i < report.Modules.size(); ++i) {
        const ModuleRow& row = report.Modules[i];
        std::string key = row.SymbolKey();
        modules.push_back({{"name", row.Name},
                           {"pdb_name", row.PdbName()},
                           {"guid", row.GuidDashed()},
                           {"guid_store", row.Guid},
                           {"age", row.Age},
                           {"symbol_key", key.empty() ? json(nullptr) : json(key)}});
    }
    out["modules"] = modules;

    if (report.HasCode) {
        json parameters = json::array();
        for (uint64_t parameter : report.Parameters) {
            parameters.push_back(Hex(parameter));
        }
        std::string name = CodeName(report.Code);
        json labels = json::array();
        for (size_t i = 0; i < report.Parameters.size(); ++i) {
            const char* label = BugCheckParameterLabel(report.Code, report.Parameters, i);
            labels.push_back(label != nullptr ? json(label) : json(nullptr));
        }
        out["bugcheck"] = {{"code", Hex(report.Code, 8)},
                           {"name", name.empty() ? json(nullptr) : json(name)},
                           {"parameters", parameters},
                           {"parameter_labels", labels},
                           {"meaning", BugCheckMeaning(report.Code, report.Parameters,
                                                       report.Os.HasKernel ? report.Os.Build : 0)}};
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

    out["culprit_line"] = CulpritLine(report);
    out["culprit"] = CulpritJson(report);

    json frames = json::array();
    for (const Frame& frame : report.Frames) {
        json words = json::array();
        for (uint64_t word : frame.Words) {
            words.push_back(Hex(word));
        }
        json f = {{"stack_pointer", Hex(frame.StackPointer)}, {"words", words}};
        if (frame.HasModule) {
            f["module"] = frame.Module;
            f["offset"] = Hex(frame.Offset);
        } else {
            f["address"] = Hex(frame.Address);
        }
        if (!frame.Symbols.empty()) {
            // The containing function at the top level; the inline chain,
            // innermost first, under "symbols".
            const SourceLocation& outer = frame.Symbols.back();
            f["function"] = outer.Function;
            f["function_offset"] = outer.HasFunctionOffset ? json(Hex(outer.FunctionOffset, 1))
                                                           : json(nullptr);
            f["file"] = outer.File;
            f["line"] = outer.Line;
            f["public_symbol"] = outer.PublicSymbol;
            json symbols = json::array();
            for (const SourceLocation& location : frame.Symbols) {
                json entry = {{"function", location.Function},
                              {"file", location.File},
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
        warnings.push_back(warning);
    }
    out["warnings"] = warnings;
    if (report.Repeats != 0) {
        out["repeats"] = report.Repeats;
        out["repeated_at_lines"] = report.RepeatLines;
    }
    if (!report.Unsymbolized.empty()) {
        json unsymbolized = json::array();
        for (const std::string& note : report.Unsymbolized) {
            unsymbolized.push_back(note);
        }
        out["unsymbolized"] = unsymbolized;
    }
    return out;
}

constexpr auto ReplaceInvalidUtf8 = nlohmann::ordered_json::error_handler_t::replace;

// A JSON string as dump() writes it: text with nothing to escape as it is,
// the rest through the library.
void AppendJsonString(std::string* out, std::string_view text)
{
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || c == '"' || c == '\\') {
            *out += nlohmann::ordered_json(std::string(text)).dump(-1, ' ', false, ReplaceInvalidUtf8);
            return;
        }
    }
    *out += '"';
    out->append(text.data(), text.size());
    *out += '"';
}

// The "modules" array as dump() writes it, without a JSON value per row:
// a fleet's log has hundreds of rows a report. The GUID's registry form and
// the store key are ModuleRow's, put together in buffers kept across rows.
std::string ModulesJson(const std::vector<ModuleRow>& modules)
{
    constexpr size_t RowBytes = 224;
    std::string out;
    out.reserve(modules.size() * RowBytes);
    out += '[';
    std::string dashed;
    std::string key;
    for (const ModuleRow& row : modules) {
        out += out.size() == 1 ? "{\"name\":" : ",{\"name\":";
        AppendJsonString(&out, row.Name);
        std::string pdb = row.PdbName();
        out += ",\"pdb_name\":";
        AppendJsonString(&out, pdb);
        dashed.clear();
        if (row.Guid.size() == 32) {
            for (size_t at : {size_t{0}, size_t{8}, size_t{12}, size_t{16}, size_t{20}}) {
                dashed.append(row.Guid, at, at == 0 ? 8 : at == 20 ? 12 : 4);
                dashed += at == 20 ? "" : "-";
            }
        } else {
            dashed = row.Guid;
        }
        out += ",\"guid\":";
        AppendJsonString(&out, dashed);
        out += ",\"guid_store\":";
        AppendJsonString(&out, row.Guid);
        out += ",\"age\":" + std::to_string(row.Age) + ",\"symbol_key\":";
        if (!row.HasIdentity() || pdb.empty()) {
            out += "null";
        } else {
            char age[16];
            std::snprintf(age, sizeof(age), "%X", row.Age);
            key.clear();
            key.append(pdb).append("/").append(row.Guid).append(age).append("/").append(pdb);
            AppendJsonString(&out, key);
        }
        out += '}';
    }
    out += ']';
    return out;
}

}  // namespace

nlohmann::ordered_json ReportJson(const CrashReport& report)
{
    return ReportMembers(report, true);
}

std::string ReportJsonLine(const CrashReport& report)
{
    std::string line = ReportMembers(report, false).dump(-1, ' ', false, ReplaceInvalidUtf8);
    if (!report.Modules.empty()) {
        // The key's quotes are the object's own: a quote inside a string
        // value is escaped, so the first match is the member.
        constexpr std::string_view Member = "\"modules\":[]";
        size_t at = line.find(Member);
        line.replace(at + Member.size() - 2, 2, ModulesJson(report.Modules));
    }
    return JsonSafeText(line);
}

std::string JsonLine(const nlohmann::ordered_json& value)
{
    // Names and text from the log are UTF-8 already (a UTF-16 log is turned
    // into UTF-8 as it is read); bytes that are not UTF-8 become U+FFFD.
    return JsonSafeText(value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

nlohmann::ordered_json RestoreJson(const RestoreLine& line)
{
    return {{"kind", "restore"},
            {"source", line.Source},
            {"line", line.Line},
            {"outcome", line.Outcome}};
}

void PrintReportText(std::ostream& out, const CrashReport& report, unsigned number, bool listModules)
{
    // Put together in one string and written at once: an insertion into a
    // stream costs more than the few bytes most of them carry.
    std::string text;
    constexpr size_t ReportTextBytes = 2048;
    text.reserve(ReportTextBytes);
    auto decimal = [&text](uint64_t value) { text.append(std::to_string(value)); };
    text.append(Printable(CulpritLine(report))).append("\n");
    text.append("Report ");
    decimal(number);
    text.append(" (").append(Printable(report.Source)).append(", lines ");
    decimal(report.FirstLine);
    text.append("-");
    decimal(report.LastLine);
    text.append("): ").append(report.Complete ? "complete" : "PARTIAL").append("\n");
    if (report.Repeats != 0) {
        text.append("  Note: printed ");
        decimal(report.Repeats + 1);
        text.append(" times for one crash (the kernel ran the callback again); repeats at line");
        for (uint64_t line : report.RepeatLines) {
            text.append(" ");
            decimal(line);
        }
        if (report.RepeatLines.size() < report.Repeats) {
            text.append(" ...");
        }
        text.append("\n");
    }
    for (const std::string& warning : report.Warnings) {
        // Quotes in warnings are escaped already.
        text.append("  Warning: ").append(TerminalText(warning, false)).append("\n");
    }
    if (report.Time) {
        const CrashTime& t = *report.Time;
        char time[64];
        std::snprintf(time, sizeof(time), "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", t.Year, t.Month,
                      t.Day, t.Hour, t.Minute, t.Second, t.Millisecond);
        text.append("  Crashed on: ").append(time).append("\n");
    }
    const OsVersion& os = report.Os;
    if (os.HasKernel) {
        text.append("  OS: Windows NT ");
        decimal(os.Major);
        text.append(".");
        decimal(os.Minor);
        text.append(" build ");
        decimal(os.Build);
        text.append(" (").append(Printable(os.Platform)).append(")");
        if (os.HasServicePack) {
            text.append(", service pack ");
            decimal(os.ServicePackMajor);
            text.append(".");
            decimal(os.ServicePackMinor);
            text.append(" (").append(Printable(os.ServicePackText)).append(")");
        }
        if (!os.Type.empty()) {
            text.append(", ").append(Printable(os.Type));
        }
        text.append("\n");
        if (!os.Suites.empty()) {
            text.append("  Suites:");
            for (const std::string& suite : os.Suites) {
                text.append(" ").append(Printable(suite));
            }
            text.append("\n");
        }
    } else if (os.Unavailable) {
        text.append("  OS: not available (version block of ");
        decimal(os.UnavailableSize);
        text.append(" bytes, expected ");
        decimal(os.UnavailableExpected);
        text.append(")\n");
    }
    if (report.HasCode) {
        std::string name = CodeName(report.Code);
        text.append("  Bug check: ").append(Hex(report.Code, 8)).append(name.empty() ? "" : " " + name).append("\n");
        for (size_t i = 0; i < 4; ++i) {
            const char* label = BugCheckParameterLabel(report.Code, report.Parameters, i);
            text.append("    Parameter ");
            decimal(i + 1);
            text.append(": ").append(Hex(report.Parameters[i]));
            if (label != nullptr) {
                text.append("  ").append(label);
            }
            text.append("\n");
        }
    }
    if (report.HasStack) {
        text.append("  Stack (");
        decimal(report.Frames.size());
        text.append(" frames):\n");
        unsigned index = 0;
        for (const Frame& frame : report.Frames) {
            // "    #%-2u sp %016llX  ", without the format parser.
            text.append("    #");
            size_t numberAt = text.size();
            decimal(index++);
            if (text.size() - numberAt < 2) {
                text += ' ';
            }
            text.append(" sp ");
            AppendHexDigits(&text, frame.StackPointer);
            text.append("  ");
            AppendFrameTarget(&text, frame);
            if (!frame.Symbols.empty()) {
                text.append("  ").append(FrameSymbolText(frame));
            }
            text += '\n';
            // Inlined calls, from the containing function inwards.
            for (size_t i = frame.Symbols.size(); i-- > 1;) {
                text.append("        inlined: ").append(LocationText(frame.Symbols[i - 1])).append("\n");
            }
        }
    }
    if (!report.Modules.empty()) {
        text.append("  Modules: ");
        decimal(report.Modules.size());
        text.append("\n");
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (listModules) {
        PrintModulesText(out, report);
    }
    text.clear();
    for (const std::string& note : report.Unsymbolized) {
        text.append("  No matching symbols: ").append(Printable(note)).append("\n");
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void PrintModulesText(std::ostream& out, const CrashReport& report)
{
    for (const ModuleRow& row : report.Modules) {
        out << "    " << Printable(row.Name);
        if (!row.HasIdentity()) {
            out << "  no identity\n";
            continue;
        }
        char age[16];
        std::snprintf(age, sizeof(age), "%X", row.Age);
        out << "  " << Printable(row.PdbName()) << "  {" << row.GuidDashed() << "}  age " << age << "  "
            << Printable(row.SymbolKey()) << "\n";
    }
}

void PrintRestoreText(std::ostream& out, const RestoreLine& line)
{
    out << "Viridian State Restoration is " << Printable(line.Outcome) << " ("
        << Printable(line.Source) << ", line " << line.Line << ")\n";
}

}  // namespace decode
