// How decoded reports are shown: readable text, or one JSON object per line
// (a report, or a restore outcome line), in the order they stand in the log.
#pragma once

#include "decode/reports/bugcheck_codes.h"
#include "decode/reports/report.h"

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>

namespace decode {

nlohmann::ordered_json ReportJson(const CrashReport& report);
nlohmann::ordered_json RestoreJson(const RestoreLine& line);
// One JSON line, valid UTF-8 whatever bytes the log held.
std::string JsonLine(const nlohmann::ordered_json& value);
// JsonLine(ReportJson(report)), written without a JSON value per module
// row.
std::string ReportJsonLine(const CrashReport& report);
// Opens with the culprit line; listModules adds each module's PDB, GUID,
// age and symbol-store key.
void PrintReportText(std::ostream& out, const CrashReport& report, unsigned number,
                     bool listModules = false);
void PrintModulesText(std::ostream& out, const CrashReport& report);
void PrintRestoreText(std::ostream& out, const RestoreLine& line);
// A symbolized frame as a debugger names it, "crasher.sys!CrasherTouch+0x13
// (crasher.cpp:64)", from its containing function; empty when unsymbolized.
std::string FrameSymbolText(const Frame& frame);

}  // namespace decode
