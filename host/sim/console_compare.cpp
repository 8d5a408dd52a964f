#include "sim/console_compare.h"

#include <regex>
#include <sstream>
#include <vector>

namespace sim {

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

// Lines whose values are addresses or register contents of the moment.
bool DependsOnPlacement(const std::string& line)
{
    static const std::regex placementLine(
        "^(CONTEXT \\([0-9A-F]{16}\\):|- (RDI|RSI|RBX|RDX|RCX|RAX|RBP|RIP|RSP|R8|R9|R1[0-5]|"
        "GS|FS|ES|DS|SS|CS|EFLAGS) = |[0-9A-F]{16}: \\()");
    return std::regex_search(line, placementLine);
}

// Module table rows of the images this build makes (the driver and the
// model's kernel): their PDB GUID changes with every build and their PDB
// path names the folder they were built in, so only the module's name is
// compared. Rows of any other image compare exactly.
bool BuiltImageRow(const std::string& line, std::string* name)
{
    static const std::regex row(
        "^(vekcrashdmp\\.sys|ntoskrnl\\.exe)\t[^\t]*\t[0-9A-F]{32}\t[0-9A-F]+\n?$");
    std::smatch match;
    if (!std::regex_match(line, match, row)) {
        return false;
    }
    *name = match[1];
    return true;
}

std::string Shape(const std::string& line)
{
    static const std::regex hexValue("[0-9A-F]{4,16}");
    return std::regex_replace(line, hexValue, "#");
}

}  // namespace

bool ConsolesAgree(const std::string& expected, const std::string& actual,
                   std::string* difference)
{
    std::vector<std::string> want = Lines(expected);
    std::vector<std::string> got = Lines(actual);
    for (size_t i = 0; i < want.size() || i < got.size(); ++i) {
        const std::string wantLine = i < want.size() ? want[i] : "(end of console)";
        const std::string gotLine = i < got.size() ? got[i] : "(end of console)";
        if (wantLine == gotLine) {
            continue;
        }
        if (i < want.size() && i < got.size() && DependsOnPlacement(wantLine) &&
            DependsOnPlacement(gotLine) && Shape(wantLine) == Shape(gotLine)) {
            continue;
        }
        std::string wantImage;
        std::string gotImage;
        if (BuiltImageRow(wantLine, &wantImage) && BuiltImageRow(gotLine, &gotImage) &&
            wantImage == gotImage) {
            continue;
        }
        std::ostringstream text;
        text << "line " << i + 1 << ": expected \"" << wantLine << "\", got \"" << gotLine << "\"";
        *difference = text.str();
        return false;
    }
    return true;
}

}  // namespace sim
