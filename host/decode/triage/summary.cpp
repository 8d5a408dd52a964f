// Signature grouping and the summary's table and JSON lines.
#include "decode/triage/summary.h"

#include "decode/reports/bugcheck_codes.h"
#include "decode/triage/culprit.h"
#include "decode/triage/json_writer.h"
#include "decode/triage/terminal_text.h"

#include <algorithm>
#include <cstdio>
#include <tuple>

namespace decode {

namespace {

bool Earlier(const CrashTime& a, const CrashTime& b)
{
    return std::tie(a.Year, a.Month, a.Day, a.Hour, a.Minute, a.Second, a.Millisecond) <
           std::tie(b.Year, b.Month, b.Day, b.Hour, b.Minute, b.Second, b.Millisecond);
}

std::string TimeText(const std::optional<CrashTime>& time)
{
    if (!time) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", time->Year, time->Month, time->Day,
                  time->Hour, time->Minute, time->Second);
    return text;
}

// Names and paths may carry any byte; the table is for a terminal.
std::string Printable(const std::string& text)
{
    return EscapeBytes(text);
}

// A table row is as wide as its widest signature: one long name in one
// log may not pad every row of a fleet's summary.
constexpr size_t MaxSignatureColumns = 100;
constexpr size_t MaxLogColumns = 60;

std::string Column(const std::string& text, size_t width)
{
    return CappedWidth(Printable(text), width);
}

}  // namespace

void FleetSummary::Add(const CrashReport& report)
{
    std::optional<Culprit> culprit = FindCulprit(report);
    Row fresh;
    fresh.HasCode = report.HasCode;
    fresh.Code = report.Code;
    if (culprit && culprit->Symbol.HasModule) {
        fresh.Module = culprit->Symbol.Module;
        fresh.Function = culprit->Symbol.Function;
        if (fresh.Function.empty()) {
            fresh.Offset = culprit->Symbol.Offset;
        }
    }
    fresh.Signature = CulpritSignature(report, culprit);

    auto found = Rows_.find(fresh.Signature);
    if (found == Rows_.end()) {
        if (Rows_.size() >= MaxSignatures) {
            ++Unlisted_;
            return;
        }
        found = Rows_.emplace(fresh.Signature, fresh).first;
    }
    Row& row = found->second;
    ++row.Count;
    if (report.Time) {
        if (!row.First || Earlier(*report.Time, *row.First)) {
            row.First = report.Time;
        }
        if (!row.Last || Earlier(*row.Last, *report.Time)) {
            row.Last = report.Time;
        }
    }
    if (row.Count == 1 || row.LastLog != report.Source) {
        row.LastLog = report.Source;
        if (row.Logs.size() < MaxLogsListed) {
            row.Logs.push_back(report.Source);
        } else {
            ++row.MoreLogs;
        }
    }
}

std::vector<const FleetSummary::Row*> FleetSummary::Ordered() const
{
    std::vector<const Row*> rows;
    for (const auto& entry : Rows_) {
        rows.push_back(&entry.second);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row* a, const Row* b) { return a->Count > b->Count; });
    return rows;
}

void FleetSummary::PrintText(std::ostream& out) const
{
    std::vector<const Row*> rows = Ordered();
    size_t width = std::string("SIGNATURE").size();
    for (const Row* row : rows) {
        width = std::max(width, Column(row->Signature, MaxSignatureColumns).size());
    }
    char head[128];
    std::snprintf(head, sizeof(head), "%6s  %-19s  %-19s  ", "COUNT", "FIRST", "LAST");
    out << head << "SIGNATURE" << std::string(width - 9, ' ') << "  LOGS\n";
    for (const Row* row : rows) {
        char columns[128];
        std::snprintf(columns, sizeof(columns), "%6llu  %-19s  %-19s  ",
                      static_cast<unsigned long long>(row->Count), TimeText(row->First).c_str(),
                      TimeText(row->Last).c_str());
        std::string signature = Column(row->Signature, MaxSignatureColumns);
        out << columns << signature << std::string(width - signature.size(), ' ') << " ";
        for (size_t i = 0; i < row->Logs.size(); ++i) {
            out << (i == 0 ? " " : ", ") << Column(row->Logs[i], MaxLogColumns);
        }
        if (row->MoreLogs != 0) {
            out << " (+" << row->MoreLogs << " more)";
        }
        out << "\n";
    }
    if (Unlisted_ != 0) {
        char columns[128];
        std::snprintf(columns, sizeof(columns), "%6llu  %-19s  %-19s  ", static_cast<unsigned long long>(Unlisted_),
                      "-", "-");
        out << columns << "under signatures past the first " << MaxSignatures << ", not listed\n";
    }
}

void FleetSummary::PrintJson(std::ostream& out) const
{
    JsonLineWriter line(out);
    auto time = [&line](const std::optional<CrashTime>& t) {
        if (!t) {
            line.Null();
            return;
        }
        char text[40];
        std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t->Year, t->Month, t->Day,
                      t->Hour, t->Minute, t->Second, t->Millisecond);
        line.String(text);
    };
    auto textOrNull = [&line](bool present, std::string_view text) { present ? line.String(text) : line.Null(); };
    for (const Row* row : Ordered()) {
        const char* name = row->HasCode ? BugCheckName(row->Code) : nullptr;
        char code[16];
        std::snprintf(code, sizeof(code), "0x%08X", row->Code);
        line.StartObject();
        line.OwnKey("kind");
        line.String("signature");
        line.OwnKey("signature");
        line.String(row->Signature);
        line.OwnKey("code");
        textOrNull(row->HasCode, code);
        line.OwnKey("name");
        textOrNull(name != nullptr, name != nullptr ? name : "");
        line.OwnKey("module");
        textOrNull(!row->Module.empty(), row->Module);
        line.OwnKey("function");
        textOrNull(!row->Function.empty(), row->Function);
        line.OwnKey("offset");
        textOrNull(row->Offset.has_value(), row->Offset ? ShortHex(*row->Offset) : std::string());
        line.OwnKey("count");
        line.Uint(row->Count);
        line.OwnKey("first_time");
        time(row->First);
        line.OwnKey("last_time");
        time(row->Last);
        line.OwnKey("logs");
        line.StartArray();
        for (const std::string& log : row->Logs) {
            line.String(log);
        }
        line.EndArray();
        line.OwnKey("more_logs");
        line.Uint(row->MoreLogs);
        line.EndObject();
        line.EndLine();
    }
    if (Unlisted_ != 0) {
        line.StartObject();
        line.OwnKey("kind");
        line.String("unlisted");
        line.OwnKey("count");
        line.Uint(Unlisted_);
        line.OwnKey("listed_signatures");
        line.Uint(MaxSignatures);
        line.EndObject();
        line.EndLine();
    }
}

}  // namespace decode
