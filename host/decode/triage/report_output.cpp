// Text and JSON forms of a report. 64-bit values go out as hex strings
// ("0x..."), which every JSON reader keeps exactly; small counts as numbers.
#include "decode/triage/report_output.h"

#include "decode/triage/culprit.h"
#include "decode/triage/terminal_text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace decode {

namespace {

// "0x%0*llX" without the format parser, into `text`: a report prints
// dozens of these.
std::string_view HexView(uint64_t value, int digits, char (&text)[2 + 16])
{
    constexpr char Digits[] = "0123456789ABCDEF";
    size_t at = sizeof(text);
    for (int written = 0; written < 16 && (value != 0 || written < digits); ++written) {
        text[--at] = Digits[value & 0xF];
        value >>= 4;
    }
    text[--at] = 'x';
    text[--at] = '0';
    return std::string_view(text + at, sizeof(text) - at);
}

std::string Hex(uint64_t value, int digits = 16)
{
    char text[2 + 16];
    return std::string(HexView(value, digits, text));
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

// "%u", appended without a string of its own.
void AppendDecimal(std::string* out, uint64_t value)
{
    char text[20];
    std::to_chars_result written = std::to_chars(text, text + sizeof(text), value);
    out->append(text, static_cast<size_t>(written.ptr - text));
}

// "%0*d" at *at, which moves past it: digit by digit where the value is
// not negative, as every time the parser keeps is. At most 11 bytes.
void PutPadded(char** at, int value, size_t digits)
{
    constexpr size_t Widest = 11;  // "-2147483648"
    if (value < 0) {
        *at += std::snprintf(*at, Widest + 1, "%0*d", static_cast<int>(digits), value);
        return;
    }
    char text[Widest];
    size_t from = sizeof(text);
    auto rest = static_cast<unsigned>(value);
    do {
        text[--from] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    while (sizeof(text) - from < digits && from != 0) {
        text[--from] = '0';
    }
    std::memcpy(*at, text + from, sizeof(text) - from);
    *at += sizeof(text) - from;
}

// A crash time as "%04d-%02d-%02d?%02d:%02d:%02d.%03d" (? the separator
// given) and the text after it, appended at once: a field and a separator
// appended at a time were a tenth of a report's text.
void AppendTime(std::string* out, const CrashTime& t, char separator, std::string_view after)
{
    const std::pair<int, size_t> fields[] = {{t.Year, 4},   {t.Month, 2},  {t.Day, 2},        {t.Hour, 2},
                                             {t.Minute, 2}, {t.Second, 2}, {t.Millisecond, 3}};
    const char between[] = {'-', '-', separator, ':', ':', '.'};
    constexpr size_t After = 8;
    char text[sizeof(fields) / sizeof(fields[0]) * 12 + After];
    char* at = text;
    for (size_t i = 0; i < sizeof(fields) / sizeof(fields[0]); ++i) {
        PutPadded(&at, fields[i].first, fields[i].second);
        if (i < sizeof(between)) {
            *at++ = between[i];
        }
    }
    out->append(text, static_cast<size_t>(at - text)).append(after);
}

// "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ" without the format parser: once a
// report, it was a tenth of the time of a line that repeats its table.
std::string TimeText(const CrashTime& t)
{
    std::string text;
    AppendTime(&text, t, 'T', "Z");
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
    AppendTerminalText(out, frame.Module);
    out->append(" + 0x");
    AppendHexDigits(out, frame.Offset, 1);
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

void StringOrNull(JsonLineWriter& out, bool present, std::string_view text)
{
    present ? out.String(text) : out.Null();
}

// A member of the decoder's own naming with a hex value.
void HexMember(JsonLineWriter& out, std::string_view name, uint64_t value, int digits = 16)
{
    char text[2 + 16];
    out.OwnKey(name);
    out.String(HexView(value, digits, text));
}

void StringArray(JsonLineWriter& out, const std::vector<std::string>& texts)
{
    out.StartArray();
    for (const std::string& text : texts) {
        out.String(text);
    }
    out.EndArray();
}


// Copies a piece of a size known here: a store or two, not a call.
template <size_t Size>
void PutFixed(char** at, const char* from)
{
    std::memcpy(*at, from, Size);
    *at += Size;
}

// A row whose name, PDB name and GUID a JSON string holds as they are, put
// together as the writer writes it (members in this order, no spaces):
// most rows of a fleet's table, and a member at a time through the writer
// was most of a table's time. False, with nothing appended, for any other.
bool AppendPlainRowJson(std::string* out, const ModuleRowView& row, std::string_view pdb)
{
    std::string_view guid = row.Guid;
    if (!VerbatimInJson(row.Name) || !VerbatimInJson(pdb) || !VerbatimInJson(guid)) {
        return false;
    }
    // The registry form, 8-4-4-4-12, of a whole GUID: its groups copied
    // whole, not a byte at a time past a test for a dash.
    char dashed[GuidText::Digits + 4];
    std::string_view guidShown = guid;
    if (guid.size() == GuidText::Digits) {
        constexpr size_t Groups[] = {8, 4, 4, 4, 12};
        char* at = dashed;
        const char* from = guid.data();
        for (size_t group : Groups) {
            if (at != dashed) {
                *at++ = '-';
            }
            std::memcpy(at, from, group);
            at += group;
            from += group;
        }
        guidShown = std::string_view(dashed, sizeof(dashed));
    }
    char ageHex[2 + 16];
    std::string_view hexAge = HexView(row.Age, 1, ageHex).substr(2);
    bool keyed = row.HasIdentity() && !pdb.empty();
    // Put together in a buffer on the stack where it fits (a row of names
    // of common length does) and appended at once: an append a piece was
    // most of the row's time. The literals' sizes are known here, so their
    // copies are a store or two each.
    constexpr size_t Framing = 128;  // every literal below, and more
    constexpr size_t AgeDigits = 10;  // a 32-bit age in decimal, written in place
    size_t total = Framing + row.Name.size() + 3 * pdb.size() + 2 * guid.size() + guidShown.size() + AgeDigits +
                   hexAge.size();
    char stack[1024];
    std::string heap;
    char* start = stack;
    if (total > sizeof(stack)) {
        heap.resize(total);
        start = heap.data();
    }
    char* at = start;
    auto put = [&at](std::string_view piece) {
        std::memcpy(at, piece.data(), piece.size());
        at += piece.size();
    };
    // A whole GUID, in either form, is copied as what it is: 32 or 36 bytes.
    const bool whole = guid.size() == GuidText::Digits;
    auto putGuid = [&] {
        whole ? PutFixed<GuidText::Digits>(&at, guid.data()) : put(guid);
    };
    put("{\"name\":\"");
    put(row.Name);
    put("\",\"pdb_name\":\"");
    put(pdb);
    put("\",\"guid\":\"");
    whole ? PutFixed<sizeof(dashed)>(&at, dashed) : put(guidShown);
    put("\",\"guid_store\":\"");
    putGuid();
    put("\",\"age\":");
    at = std::to_chars(at, at + AgeDigits, row.Age).ptr;
    put(",\"symbol_key\":");
    if (keyed) {
        put("\"");
        put(pdb);
        put("/");
        putGuid();
        put(hexAge);
        put("/");
        put(pdb);
        put("\"}");
    } else {
        put("null}");
    }
    out->append(start, static_cast<size_t>(at - start));
    return true;
}

// A row the writer's way, member by member: a name or PDB name with bytes
// to escape.
void RowJson(JsonLineWriter& out, const ModuleRowView& row, std::string_view pdb)
{
    std::string_view guid = row.Guid;
    out.StartObject();
    out.OwnKey("name");
    out.String(row.Name);
    out.OwnKey("pdb_name");
    out.String(pdb);
    out.OwnKey("guid");
    out.String(guid.size() == GuidText::Digits ? row.GuidDashed() : std::string(guid));
    out.OwnKey("guid_store");
    out.String(guid);
    out.OwnKey("age");
    out.Uint(row.Age);
    out.OwnKey("symbol_key");
    if (!row.HasIdentity() || pdb.empty()) {
        out.Null();
    } else {
        char age[2 + 16];
        std::string key;
        key.append(pdb).append("/").append(guid).append(HexView(row.Age, 1, age).substr(2)).append("/").append(pdb);
        out.String(key);
    }
    out.EndObject();
}

// The "modules" array's JSON, as the writer writes an array: most rows put
// together whole (AppendPlainRowJson), the rest made by `rows` and taken.
void ModulesJson(std::string* out, const ModuleTable& modules, JsonLineWriter& rows)
{
    // Room for rows of common length at once: grown a doubling at a time,
    // a table's JSON was copied about twice over.
    constexpr size_t RowBytes = 256;
    out->assign("[");
    out->reserve(modules.size() * RowBytes);
    std::string row;
    std::string scratch;  // the PDB names made from module names, one at a time
    for (size_t i = 0; i < modules.size(); ++i) {
        if (i != 0) {
            *out += ',';
        }
        // Read where the row is held: a table's rows are made only where
        // something needs them whole.
        const ModuleRowView view = modules.RowView(i);
        std::string_view pdb = view.PdbName(&scratch);
        if (!AppendPlainRowJson(out, view, pdb)) {
            RowJson(rows, view, pdb);
            rows.Take(&row);
            out->append(row);
        }
    }
    *out += ']';
}

void OsJson(JsonLineWriter& out, const OsVersion& os)
{
    out.StartObject();
    if (os.HasKernel) {
        out.OwnKey("major");
        out.Uint(os.Major);
        out.OwnKey("minor");
        out.Uint(os.Minor);
        out.OwnKey("build");
        out.Uint(os.Build);
        out.OwnKey("platform");
        out.String(os.Platform);
    }
    if (os.HasServicePack) {
        out.OwnKey("service_pack");
        out.StartObject();
        out.OwnKey("major");
        out.Uint(os.ServicePackMajor);
        out.OwnKey("minor");
        out.Uint(os.ServicePackMinor);
        out.OwnKey("text");
        out.String(os.ServicePackText);
        out.EndObject();
    }
    if (os.HasSuites) {
        out.OwnKey("suites");
        StringArray(out, os.Suites);
    }
    if (!os.Type.empty()) {
        out.OwnKey("type");
        out.String(os.Type);
    }
    if (os.Unavailable) {
        out.OwnKey("unavailable");
        out.StartObject();
        out.OwnKey("size");
        out.Uint(os.UnavailableSize);
        out.OwnKey("expected");
        out.Uint(os.UnavailableExpected);
        HexMember(out, "pointer", os.UnavailablePointer);
        out.EndObject();
    }
    out.EndObject();
}

void BugCheckJson(JsonLineWriter& out, const CrashReport& report)
{
    if (!report.HasCode) {
        out.Null();
        return;
    }
    out.StartObject();
    HexMember(out, "code", report.Code, 8);
    std::string name = CodeName(report.Code);
    out.OwnKey("name");
    StringOrNull(out, !name.empty(), name);
    out.OwnKey("parameters");
    out.StartArray();
    for (uint64_t parameter : report.Parameters) {
        char text[2 + 16];
        out.String(HexView(parameter, 16, text));
    }
    out.EndArray();
    out.OwnKey("parameter_labels");
    out.StartArray();
    for (size_t i = 0; i < report.Parameters.size(); ++i) {
        const char* label = BugCheckParameterLabel(report.Code, report.Parameters, i);
        StringOrNull(out, label != nullptr, label != nullptr ? label : "");
    }
    out.EndArray();
    out.OwnKey("meaning");
    out.String(BugCheckMeaning(report.Code, report.Parameters, report.Os.HasKernel ? report.Os.Build : 0));
    out.EndObject();
}

void ContextJson(JsonLineWriter& out, const CrashReport& report)
{
    if (!report.HasContext) {
        out.Null();
        return;
    }
    out.StartObject();
    HexMember(out, "address", report.ContextAddress);
    out.OwnKey("registers");
    out.StartObject();
    // One member per name, where the name first stands, with the value it
    // was given last: what a JSON object holds (the parser takes each
    // register once; this keeps it so whatever hands the list in).
    const std::vector<Register>& registers = report.Registers;
    for (size_t i = 0; i < registers.size(); ++i) {
        auto sameName = [&](const Register& other) { return other.Name == registers[i].Name; };
        if (std::any_of(registers.begin(), registers.begin() + static_cast<ptrdiff_t>(i), sameName)) {
            continue;
        }
        auto last = std::find_if(registers.rbegin(), registers.rend(), sameName);
        char text[2 + 16];
        out.Key(registers[i].Name);
        out.String(HexView(last->Value, last->Digits, text));
    }
    out.EndObject();
    out.EndObject();
}

// Whether two register lists have the same JSON: names, values and widths.
bool SameRegisters(const RegisterList& a, const RegisterList& b)
{
    return a.Shares(b) || std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Register& x, const Register& y) {
        return x.Value == y.Value && x.Digits == y.Digits && x.Name == y.Name;
    });
}

void CulpritJson(JsonLineWriter& out, const CrashReport& report)
{
    std::optional<Culprit> culprit = FindCulprit(report);
    if (!culprit) {
        out.Null();
        return;
    }
    const FrameSymbol& symbol = culprit->Symbol;
    out.StartObject();
    out.OwnKey("frame");
    out.Uint(culprit->FrameIndex);
    out.OwnKey("rule");
    out.String(CulpritRuleName(culprit->Rule));
    out.OwnKey("text");
    out.String(FrameSymbolText(symbol));
    if (symbol.HasModule) {
        out.OwnKey("module");
        out.String(symbol.Module);
        HexMember(out, "offset", symbol.Offset);
    } else {
        HexMember(out, "address", symbol.Address);
    }
    out.OwnKey("function");
    StringOrNull(out, !symbol.Function.empty(), symbol.Function);
    out.OwnKey("function_offset");
    if (symbol.FunctionOffset) {
        char text[2 + 16];
        out.String(HexView(*symbol.FunctionOffset, 16, text));
    } else {
        out.Null();
    }
    out.OwnKey("file");
    StringOrNull(out, !symbol.File.empty(), symbol.File);
    out.OwnKey("line");
    symbol.File.empty() ? out.Null() : out.Uint(symbol.Line);
    out.EndObject();
}

void FrameJson(JsonLineWriter& out, const Frame& frame)
{
    out.StartObject();
    HexMember(out, "stack_pointer", frame.StackPointer);
    out.OwnKey("words");
    out.StartArray();
    for (uint64_t word : frame.Words) {
        char text[2 + 16];
        out.String(HexView(word, 16, text));
    }
    out.EndArray();
    if (frame.HasModule) {
        out.OwnKey("module");
        out.String(frame.Module);
        HexMember(out, "offset", frame.Offset);
    } else {
        HexMember(out, "address", frame.Address);
    }
    if (!frame.Symbols.empty()) {
        // The containing function at the top level; the inline chain,
        // innermost first, under "symbols".
        const SourceLocation& outer = frame.Symbols.back();
        out.OwnKey("function");
        out.String(outer.Function);
        out.OwnKey("function_offset");
        if (outer.HasFunctionOffset) {
            char text[2 + 16];
            out.String(HexView(outer.FunctionOffset, 1, text));
        } else {
            out.Null();
        }
        out.OwnKey("file");
        out.String(outer.File);
        out.OwnKey("line");
        out.Uint(outer.Line);
        out.OwnKey("public_symbol");
        out.Bool(outer.PublicSymbol);
        out.OwnKey("symbols");
        out.StartArray();
        for (const SourceLocation& location : frame.Symbols) {
            out.StartObject();
            out.OwnKey("function");
            out.String(location.Function);
            out.OwnKey("file");
            out.String(location.File);
            out.OwnKey("line");
            out.Uint(location.Line);
            if (location.HasFunctionOffset) {
                HexMember(out, "function_offset", location.FunctionOffset, 1);
            }
            out.EndObject();
        }
        out.EndArray();
    }
    out.EndObject();
}

void StackJson(JsonLineWriter& out, const CrashReport& report)
{
    if (!report.HasStack) {
        out.Null();
        return;
    }
    out.StartArray();
    for (const Frame& frame : report.Frames) {
        FrameJson(out, frame);
    }
    out.EndArray();
}

}  // namespace

bool ReportJsonWriter::SameTable(const ModuleTable& a, TablePrints* aPrints, const ModuleTable& b,
                                 TablePrints* bPrints)
{
    for (auto [table, prints] : {std::pair{&a, aPrints}, std::pair{&b, bPrints}}) {
        if (!prints->Made) {
            prints->Ends = table->EndsPrint();
            prints->Made = true;
        }
    }
    if (aPrints->Ends != bPrints->Ends) {
        return false;
    }
    // Alike at their ends, as a fleet's tables mostly are: the rows' prints.
    for (auto [table, prints] : {std::pair{&a, aPrints}, std::pair{&b, bPrints}}) {
        if (!prints->RowsMade) {
            prints->Rows = table->RowsPrint();
            prints->RowsMade = true;
        }
    }
    return aPrints->Rows == bPrints->Rows && a.SameRows(b);
}

void ReportJsonWriter::Write(const CrashReport& report)
{
    // A row's JSON is made of its four columns, ModulesJson reads nothing else.
    if (!report.Modules.SameRows(Modules_) || (ModulesOnce_ && TablesWritten_ == 0)) {
        auto kept = std::find_if(KeptTables_.begin(), KeptTables_.end(),
                                 [&report](const KeptTable& table) { return report.Modules.Shares(table.Modules); });
        TablePrints prints;
        if (kept == KeptTables_.end()) {
            kept = std::find_if(KeptTables_.begin(), KeptTables_.end(), [&report, &prints](KeptTable& table) {
                return SameTable(report.Modules, &prints, table.Modules, &table.Prints);
            });
        }
        KeptTable found;
        const bool wasKept = kept != KeptTables_.end();
        if (wasKept) {
            found = std::move(*kept);
            prints = found.Prints;
            KeptJsonBytes_ -= found.Json.size();
            KeptTables_.erase(kept);
        }
        if (!Modules_.empty() && ModulesJson_.size() <= MaxKeptJson) {
            KeptJsonBytes_ += ModulesJson_.size();
            KeptTables_.push_back({std::move(Modules_), std::move(ModulesJson_), TableId_, ModulesPrints_});
            while (KeptTables_.size() > KeptTables || KeptJsonBytes_ > MaxKeptJsonBytes) {
                KeptJsonBytes_ -= KeptTables_.front().Json.size();
                KeptTables_.pop_front();
            }
        }
        ModulesPrints_ = prints;
        if (wasKept) {
            ModulesJson_ = std::move(found.Json);
            TableId_ = found.Id;
        } else {
            ModulesJson(&ModulesJson_, report.Modules, Values_);
            if (ModulesOnce_) {
                TableId_ = ++TablesWritten_;
                Out_.StartObject();
                Out_.OwnKey("kind");
                Out_.String("modules");
                Out_.OwnKey("id");
                Out_.Uint(TableId_);
                Out_.OwnKey("modules");
                Out_.RawValue(ModulesJson_);
                Out_.EndObject();
                Out_.EndLine();
            }
        }
    }
    // Held even when its rows only compared equal: the parser shares one
    // table among the reports that repeat it, so the next compare is of
    // pointers rather than of every row.
    Modules_ = report.Modules;
    LastStack::Same same = Last_.Compare(report);
    if (!same.Culprit) {
        Values_.String(CulpritLine(report));
        Values_.Take(&CulpritLineJson_);
        CulpritJson(Values_, report);
        Values_.Take(&CulpritJson_);
    }
    if (!same.Stack) {
        StackJson(Values_, report);
        Values_.Take(&StackJson_);
    }
    if (!same.Meaning) {
        BugCheckJson(Values_, report);
        Values_.Take(&BugCheckJson_);
    }
    if (!OsValid_ || !SameOs(Os_, report.Os)) {
        OsJson(Values_, report.Os);
        Values_.Take(&OsJson_);
        Os_ = report.Os;
        OsValid_ = true;
    }
    // A fleet's reports mostly print the same registers (and share them):
    // two dozen names and values, each looked for among the others.
    if (!ContextValid_ || HasContext_ != report.HasContext || ContextAddress_ != report.ContextAddress ||
        !SameRegisters(Registers_, report.Registers)) {
        ContextJson(Values_, report);
        Values_.Take(&ContextJson_);
        ContextValid_ = true;
        HasContext_ = report.HasContext;
        ContextAddress_ = report.ContextAddress;
    }
    Registers_ = report.Registers;  // held to compare pointers next time
    JsonLineWriter& out = Out_;
    out.StartObject();
    out.OwnKey("kind");
    out.String("report");
    out.OwnKey("source");
    out.String(report.Source);
    out.OwnKey("first_line");
    out.Uint(report.FirstLine);
    out.OwnKey("last_line");
    out.Uint(report.LastLine);
    out.OwnKey("complete");
    out.Bool(report.Complete);
    out.OwnKey("format");
    report.Format ? out.Uint(*report.Format) : out.Null();
    out.OwnKey("time");
    StringOrNull(out, report.Time.has_value(), report.Time ? TimeText(*report.Time) : std::string());
    out.OwnKey("os");
    out.RawValue(OsJson_);
    if (ModulesOnce_) {
        out.OwnKey("modules_id");
        out.Uint(TableId_);
    } else {
        out.OwnKey("modules");
        out.RawValue(ModulesJson_);
    }
    out.OwnKey("bugcheck");
    out.RawValue(BugCheckJson_);
    out.OwnKey("context");
    out.RawValue(ContextJson_);
    out.OwnKey("culprit_line");
    out.RawValue(CulpritLineJson_);
    out.OwnKey("culprit");
    out.RawValue(CulpritJson_);
    out.OwnKey("stack");
    out.RawValue(StackJson_);
    out.OwnKey("warnings");
    StringArray(out, report.Warnings);
    if (report.Repeats != 0) {
        out.OwnKey("repeats");
        out.Uint(report.Repeats);
        out.OwnKey("repeated_at_lines");
        out.StartArray();
        for (uint64_t line : report.RepeatLines) {
            out.Uint(line);
        }
        out.EndArray();
    }
    if (!report.Unsymbolized.empty()) {
        out.OwnKey("unsymbolized");
        StringArray(out, report.Unsymbolized);
    }
    out.EndObject();
    out.EndLine();
}

void WriteRestoreJson(JsonLineWriter& out, const RestoreLine& line)
{
    out.StartObject();
    out.OwnKey("kind");
    out.String("restore");
    out.OwnKey("source");
    out.String(line.Source);
    out.OwnKey("line");
    out.Uint(line.Line);
    out.OwnKey("outcome");
    out.String(line.Outcome);
    out.EndObject();
    out.EndLine();
}

std::string ReportJsonLine(const CrashReport& report)
{
    std::ostringstream text;
    {
        JsonLineWriter out(text);
        ReportJsonWriter(out).Write(report);
    }
    std::string line = text.str();
    line.pop_back();  // the line end
    return line;
}

nlohmann::ordered_json ReportJson(const CrashReport& report)
{
    return nlohmann::ordered_json::parse(ReportJsonLine(report));
}

std::string JsonLine(const nlohmann::ordered_json& value)
{
    // Names and text from the log are UTF-8 already (a UTF-16 log is turned
    // into UTF-8 as it is read); bytes that are not UTF-8 become U+FFFD.
    return JsonSafeText(value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

namespace {

// The bug check code with its name and the four parameters, each with what
// it means for the code.
void AppendBugCheckText(std::string* text, const CrashReport& report)
{
    if (!report.HasCode) {
        return;
    }
    std::string name = CodeName(report.Code);
    char hex[2 + 16];
    text->append("  Bug check: ").append(HexView(report.Code, 8, hex));
    if (!name.empty()) {
        text->append(" ").append(name);
    }
    text->append("\n");
    for (size_t i = 0; i < 4; ++i) {
        const char* label = BugCheckParameterLabel(report.Code, report.Parameters, i);
        text->append("    Parameter ");
        AppendDecimal(text, i + 1);
        text->append(": ").append(HexView(report.Parameters[i], 16, hex));
        if (label != nullptr) {
            text->append("  ").append(label);
        }
        text->append("\n");
    }
}

void AppendStackText(std::string* text, const CrashReport& report)
{
    if (!report.HasStack) {
        return;
    }
    text->append("  Stack (");
    AppendDecimal(text, report.Frames.size());
    text->append(" frames):\n");
    unsigned index = 0;
    for (const Frame& frame : report.Frames) {
        // "    #%-2u sp %016llX  ", without the format parser.
        text->append("    #");
        size_t numberAt = text->size();
        AppendDecimal(text, index++);
        if (text->size() - numberAt < 2) {
            *text += ' ';
        }
        text->append(" sp ");
        AppendHexDigits(text, frame.StackPointer);
        text->append("  ");
        AppendFrameTarget(text, frame);
        if (!frame.Symbols.empty()) {
            text->append("  ").append(FrameSymbolText(frame));
        }
        *text += '\n';
        // Inlined calls, from the containing function inwards.
        for (size_t i = frame.Symbols.size(); i-- > 1;) {
            text->append("        inlined: ").append(LocationText(frame.Symbols[i - 1])).append("\n");
        }
    }
}

// The OS lines: the version, its service pack and product type, the suites.
void AppendOsText(std::string* out, const OsVersion& os)
{
    std::string& text = *out;
    if (os.HasKernel) {
        text.append("  OS: Windows NT ");
        AppendDecimal(&text, os.Major);
        text.append(".");
        AppendDecimal(&text, os.Minor);
        text.append(" build ");
        AppendDecimal(&text, os.Build);
        text.append(" (");
        AppendTerminalText(&text, os.Platform);
        text.append(")");
        if (os.HasServicePack) {
            text.append(", service pack ");
            AppendDecimal(&text, os.ServicePackMajor);
            text.append(".");
            AppendDecimal(&text, os.ServicePackMinor);
            text.append(" (").append(Printable(os.ServicePackText)).append(")");
        }
        if (!os.Type.empty()) {
            text.append(", ");
            AppendTerminalText(&text, os.Type);
        }
        text.append("\n");
        if (!os.Suites.empty()) {
            text.append("  Suites:");
            for (const std::string& suite : os.Suites) {
                text.append(" ");
                AppendTerminalText(&text, suite);
            }
            text.append("\n");
        }
    } else if (os.Unavailable) {
        text.append("  OS: not available (version block of ");
        AppendDecimal(&text, os.UnavailableSize);
        text.append(" bytes, expected ");
        AppendDecimal(&text, os.UnavailableExpected);
        text.append(")\n");
    }
}

void AppendCulpritText(std::string* text, const CrashReport& report)
{
    AppendTerminalText(text, CulpritLine(report));
    text->append("\n");
}

}  // namespace

LastStack::Same LastStack::Compare(const CrashReport& report)
{
    Same same{};
    same.Code = Valid_ && HasCode_ == report.HasCode && Code_ == report.Code && Parameters_ == report.Parameters;
    same.Stack = Valid_ && HasStack_ == report.HasStack && SameFrames(Frames_, report.Frames);
    uint32_t build = report.Os.HasKernel ? report.Os.Build : 0;
    // The culprit line reads the code, its parameters, the build and the
    // frames, and names why there is no culprit from whether the stack was
    // cut.
    same.Meaning = same.Code && Build_ == build;
    same.Culprit = same.Meaning && same.Stack && StackCut_ == report.StackCut;
    // Held even when its frames only compared equal: reports that take
    // over the stack before them share its frames, and the next compare is
    // of pointers.
    Frames_ = report.Frames;
    Valid_ = true;
    HasCode_ = report.HasCode;
    Code_ = report.Code;
    Parameters_ = report.Parameters;
    Build_ = build;
    HasStack_ = report.HasStack;
    StackCut_ = report.StackCut;
    return same;
}

void ReportTextCache::Update(const CrashReport& report)
{
    LastStack::Same same = Last_.Compare(report);
    if (!same.Culprit) {
        Culprit_.clear();
        AppendCulpritText(&Culprit_, report);
    }
    if (!same.Code) {
        BugCheck_.clear();
        AppendBugCheckText(&BugCheck_, report);
    }
    if (!same.Stack) {
        Stack_.clear();
        AppendStackText(&Stack_, report);
    }
    if (!OsValid_ || !SameOs(LastOs_, report.Os)) {
        Os_.clear();
        AppendOsText(&Os_, report.Os);
        LastOs_ = report.Os;
        OsValid_ = true;
    }
}

void AppendReportText(std::string* out, const CrashReport& report, unsigned number, bool listModules,
                      ReportTextCache* cache)
{
    std::string& text = *out;
    auto decimal = [&text](uint64_t value) { AppendDecimal(&text, value); };
    if (cache != nullptr) {
        cache->Update(report);
        text.append(cache->Culprit());
    } else {
        AppendCulpritText(&text, report);
    }
    text.append("Report ");
    decimal(number);
    text.append(" (");
    AppendTerminalText(&text, report.Source);
    text.append(", lines ");
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
        text.append("  Warning: ");
        AppendTerminalText(&text, warning, false);
        text.append("\n");
    }
    if (report.Time) {
        // "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC" without the format
        // parser.
        text.append("  Crashed on: ");
        AppendTime(&text, *report.Time, ' ', " UTC\n");
    }
    if (cache != nullptr) {
        text.append(cache->Os());
    } else {
        AppendOsText(&text, report.Os);
    }
    if (cache != nullptr) {
        text.append(cache->BugCheck()).append(cache->Stack());
    } else {
        AppendBugCheckText(&text, report);
        AppendStackText(&text, report);
    }
    if (!report.Modules.empty()) {
        text.append("  Modules: ");
        decimal(report.Modules.size());
        text.append("\n");
    }
    if (listModules) {
        AppendModulesText(&text, report);
    }
    for (const std::string& note : report.Unsymbolized) {
        text.append("  No matching symbols: ").append(Printable(note)).append("\n");
    }
}

void PrintReportText(std::ostream& out, const CrashReport& report, unsigned number, bool listModules)
{
    // Put together in one string and written at once: an insertion into a
    // stream costs more than the few bytes most of them carry.
    std::string text;
    AppendReportText(&text, report, number, listModules);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void AppendModulesText(std::string* out, const CrashReport& report)
{
    for (const ModuleRow& row : report.Modules) {
        out->append("    ").append(Printable(row.Name));
        if (!row.HasIdentity()) {
            out->append("  no identity\n");
            continue;
        }
        char age[16];
        std::snprintf(age, sizeof(age), "%X", row.Age);
        out->append("  ").append(Printable(row.PdbName())).append("  {").append(row.GuidDashed());
        out->append("}  age ").append(age).append("  ").append(Printable(row.SymbolKey())).append("\n");
    }
}

void PrintRestoreText(std::ostream& out, const RestoreLine& line)
{
    out << "Viridian State Restoration is " << Printable(line.Outcome) << " ("
        << Printable(line.Source) << ", line " << line.Line << ")\n";
}

}  // namespace decode
