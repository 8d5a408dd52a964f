// Turns the lines of one report, from the start line to the end line, into
// a CrashReport. Lines come one at a time; a line the report format does not
// have becomes a warning, never a failure, and every list is bounded.
#pragma once

#include "decode/report.h"

#include <string_view>

namespace decode {

class ReportParser {
public:
    // At most this many rows of each list are kept; the rest are counted in
    // a warning. Real machines load a few hundred modules.
    static constexpr size_t MaxModules = 4096;
    static constexpr size_t MaxFrames = 64;
    static constexpr size_t MaxWarnings = 32;

    ReportParser(std::string source, uint64_t startLine);
    void Feed(std::string_view line, uint64_t number);
    // Ends the report: complete when its end line was seen, otherwise cut
    // short for the reason given. The parser is spent afterwards.
    CrashReport Finish(bool complete, const std::string& cutReason, uint64_t lastLine);
    void Warn(std::string text);

private:
    enum class Section { Header, Suites, Modules, Context, Stack };
    bool ParseKernel(std::string_view rest);
    bool ParseRegister(std::string_view rest);
    bool ParseModuleRow(std::string_view line);
    bool ParseFrame(std::string_view line);

    CrashReport Report_;
    Section Section_ = Section::Header;
    size_t DroppedModules_ = 0;
    size_t DroppedFrames_ = 0;
    size_t DroppedWarnings_ = 0;
};

}  // namespace decode
