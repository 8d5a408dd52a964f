// The fleet summary behind `decode --summary`: every report of every log
// grouped by signature (bug check code plus culprit module and function, or
// module + offset when unsymbolized), with how often, since when, until
// when, and from which logs. Memory is constant per signature, and the
// signatures listed are bounded.
#pragma once

#include "decode/reports/report.h"

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace decode {

class FleetSummary {
public:
    // Logs named per signature; the rest are counted ("+N more").
    static constexpr size_t MaxLogsListed = 4;
    // Signatures listed; crashes under any other are counted in one line.
    // A fleet's crashes fall under a few hundred at most, but a guest can
    // print a new module name or offset in every report, and memory must
    // not grow with the log.
    static constexpr size_t MaxSignatures = 10000;

    // Reports come log by log: a log's reports are handed in one run.
    void Add(const CrashReport& report);
    // A table, most frequent signature first.
    void PrintText(std::ostream& out) const;
    // One JSON object per signature and line, in the table's order.
    void PrintJson(std::ostream& out) const;

private:
    struct Row {
        std::string Signature;
        bool HasCode = false;
        uint32_t Code = 0;
        std::string Module;
        std::string Function;
        std::optional<uint64_t> Offset;
        uint64_t Count = 0;
        std::optional<CrashTime> First;
        std::optional<CrashTime> Last;
        std::vector<std::string> Logs;
        uint64_t MoreLogs = 0;
        std::string LastLog;  // the log the latest report came from
    };
    std::vector<const Row*> Ordered() const;

    std::map<std::string, Row> Rows_;
    uint64_t Unlisted_ = 0;  // crashes under signatures past MaxSignatures
};

}  // namespace decode
