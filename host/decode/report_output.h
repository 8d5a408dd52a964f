// How decoded reports are shown: readable text, or one JSON object per line
// (a report, or a restore outcome line), in the order they stand in the log.
#pragma once

#include "decode/report.h"

#include <nlohmann/json.hpp>

#include <ostream>

namespace decode {

nlohmann::ordered_json ReportJson(const CrashReport& report);
nlohmann::ordered_json RestoreJson(const RestoreLine& line);
void PrintReportText(std::ostream& out, const CrashReport& report, unsigned number);
void PrintRestoreText(std::ostream& out, const RestoreLine& line);
// A symbolized frame as a debugger names it, "crasher.sys!CrasherTouch+0x13
// (crasher.cpp:64)", from its containing function; empty when unsymbolized.
std::string FrameSymbolText(const Frame& frame);

}  // namespace decode
