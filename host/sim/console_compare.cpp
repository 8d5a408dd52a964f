#include "sim/console_compare.h"

#include <cstdint>
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
// model's kernel): their PDB GUID changes with every build, so the rows
// compare by everything else. Both name their PDB by file name, so the PDB
// column holds no build folder and compares exactly. Rows of any other
// image compare exactly.
bool BuiltImageRow(const std::string& line, std::string* key)
{
    static const std::regex row(
        "^(vekcrashdmp\\.sys|ntoskrnl\\.exe)\t([^\t]*)\t[0-9A-F]{32}\t[0-9A-F]+\n?$");
    std::smatch match;
    if (!std::regex_match(line, match, row)) {
        return false;
    }
    *key = match[1].str() + "\t" + match[2].str();
    return true;
}

std::string Shape(const std::string& line)
{
    static const std::regex hexValue("[0-9A-F]{4,16}");
    return std::regex_replace(line, hexValue, "#");
}

constexpr size_t MaxStackFrames = 20;

bool IsFrameLine(const std::string& line)
{
    static const std::regex frameLine(
        "^[0-9A-F]{16}: \\([0-9A-F]{16} [0-9A-F]{16} [0-9A-F]{16} [0-9A-F]{16}\\) "
        "([0-9A-F]{16}|.+ \\+ [0-9A-F]{16})\n$");
    return std::regex_match(line, frameLine);
}

// A frame line's stack pointer and bare return address (0 when named).
uint64_t FrameStackPointer(const std::string& line)
{
    return std::stoull(line.substr(0, 16), nullptr, 16);
}

bool FrameReturnsToZero(const std::string& line)
{
    static const std::regex zero("\\) 0{16}\n$");
    return std::regex_search(line, zero);
}

// The module a frame line names, or "" for a bare address.
std::string FrameModule(const std::string& line)
{
    static const std::regex named("\\) (.+) \\+ [0-9A-F]{16}\n$");
    std::smatch match;
    return std::regex_search(line, match, named) ? match[1].str() : std::string();
}

// The frame lines starting at index, up to the first other line.
size_t FrameRun(const std::vector<std::string>& lines, size_t index)
{
    size_t end = index;
    while (end < lines.size() && IsFrameLine(lines[end])) {
        ++end;
    }
    return end - index;
}

// The modules of a trace in order, one entry for each run of frames in
// the same module ("" for a run of bare addresses).
std::vector<std::string> ModuleRuns(const std::vector<std::string>& lines, size_t at, size_t frames)
{
    std::vector<std::string> runs;
    for (size_t i = at; i < at + frames; ++i) {
        std::string module = FrameModule(lines[i]);
        if (runs.empty() || runs.back() != module) {
            runs.push_back(module);
        }
    }
    return runs;
}

std::string RunsText(const std::vector<std::string>& runs)
{
    std::string text;
    for (const std::string& module : runs) {
        text += (text.empty() ? "" : ", ") + (module.empty() ? std::string("(address)") : module);
    }
    return text.empty() ? "no frames" : text;
}

// The host build's trace against the expected one (see StackTerms).
bool HostFramesFair(const std::vector<std::string>& want, size_t wantFrames,
                    const std::vector<std::string>& got, size_t gotFrames, size_t wantAt,
                    size_t gotAt, std::string* problem)
{
    if (gotFrames > MaxStackFrames) {
        *problem = "more than 20 frame lines";
        return false;
    }
    // A true walk: it climbs the stack, and a return address of 0 (the
    // stack's end) is its last frame.
    for (size_t i = gotAt + 1; i < gotAt + gotFrames; ++i) {
        if (FrameStackPointer(got[i]) <= FrameStackPointer(got[i - 1])) {
            *problem = "a frame's stack pointer lies below the one before it";
            return false;
        }
        if (FrameReturnsToZero(got[i - 1])) {
            *problem = "frames after a return address of 0";
            return false;
        }
    }
    std::vector<std::string> wanted = ModuleRuns(want, wantAt, wantFrames);
    std::vector<std::string> shown = ModuleRuns(got, gotAt, gotFrames);
    if (shown != wanted) {
        *problem =
            "modules " + RunsText(shown) + " where the expected trace has " + RunsText(wanted);
        return false;
    }
    return true;
}

}  // namespace

bool ConsolesAgree(const std::string& expected, const std::string& actual,
                   std::string* difference, StackTerms terms)
{
    std::vector<std::string> want = Lines(expected);
    std::vector<std::string> got = Lines(actual);
    size_t w = 0;
    size_t g = 0;
    while (w < want.size() || g < got.size()) {
        const std::string wantLine = w < want.size() ? want[w] : "(end of console)";
        const std::string gotLine = g < got.size() ? got[g] : "(end of console)";
        if (terms == StackTerms::HostBuild && w > 0 && g > 0 && want[w - 1] == "STACK:\n" &&
            got[g - 1] == "STACK:\n") {
            size_t wantFrames = FrameRun(want, w);
            size_t gotFrames = FrameRun(got, g);
            std::string problem;
            if (!HostFramesFair(want, wantFrames, got, gotFrames, w, g, &problem)) {
                std::ostringstream text;
                text << "line " << g + 1 << ": stack trace of the host build: " << problem;
                *difference = text.str();
                return false;
            }
            w += wantFrames;
            g += gotFrames;
            if (wantFrames > 0 || gotFrames > 0) {
                continue;
            }
        }
        if (wantLine == gotLine ||
            (w < want.size() && g < got.size() && DependsOnPlacement(wantLine) &&
             DependsOnPlacement(gotLine) && Shape(wantLine) == Shape(gotLine))) {
            ++w;
            ++g;
            continue;
        }
        std::string wantImage;
        std::string gotImage;
        if (BuiltImageRow(wantLine, &wantImage) && BuiltImageRow(gotLine, &gotImage) &&
            wantImage == gotImage) {
            ++w;
            ++g;
            continue;
        }
        std::ostringstream text;
        text << "line " << g + 1 << ": expected \"" << wantLine << "\", got \"" << gotLine << "\"";
        *difference = text.str();
        return false;
    }
    return true;
}

}  // namespace sim
