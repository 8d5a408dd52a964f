// Culprit selection and the report's opening line. The trace starts in the
// reporting driver's callback, runs through the kernel's bug check path
// (KeBugCheckEx, a trap entry) and only then reaches the code that failed;
// the frames of that path are skipped by module, and by function name where
// symbols name them.
#include "decode/triage/culprit.h"

#include "decode/reports/bugcheck_codes.h"

#include <strings.h>

namespace decode {

namespace {

constexpr const char* ReportingDriver = "vekcrashdmp.sys";

// The kernel's image under each of its names, and the HAL, whose frames
// stand on the bug check path of hardware errors.
constexpr const char* KernelImages[] = {"ntoskrnl.exe", "ntkrnlmp.exe", "ntkrnlpa.exe",
                                        "ntkrpamp.exe", "ntkrla57.exe", "hal.dll"};

// Kernel functions that raise a bug check or carry a fault to one: the
// trap entries, exception dispatch and the driver call gate.
constexpr const char* BugCheckPathPrefixes[] = {
    "KeBugCheck",          "KiBugCheck",        "KxCallDriver",          "KiDivideErrorFault",
    "KiDebugTrapOrFault",  "KiBreakpointTrap",  "KiOverflowTrap",        "KiBoundFault",
    "KiInvalidOpcodeFault", "KiDoubleFaultAbort", "KiGeneralProtectionFault", "KiPageFault",
    "KiXmmException",      "KiRaiseAssertion",  "KiRaiseSecurityCheckFailure", "KiFastFailDispatch",
    "KiExceptionDispatch", "KiDispatchException", "RtlDispatchException", "KiSystemServiceHandler",
    "HalBugCheckSystem",
};

// Images are mapped on page boundaries: an address and its module offset
// share their low bits.
constexpr uint64_t PageOffsetMask = 0xFFF;

bool IsModule(const Frame& frame, const char* name)
{
    return frame.HasModule && ::strcasecmp(frame.Module.c_str(), name) == 0;
}

bool IsKernel(const Frame& frame)
{
    for (const char* image : KernelImages) {
        if (IsModule(frame, image)) {
            return true;
        }
    }
    return false;
}

bool OnBugCheckPath(const std::string& function)
{
    for (const char* prefix : BugCheckPathPrefixes) {
        if (function.compare(0, std::char_traits<char>::length(prefix), prefix) == 0) {
            return true;
        }
    }
    return false;
}

// The frames before this index are the reporting driver's own callback.
size_t FirstPastReporter(const CrashReport& report)
{
    size_t index = 0;
    while (index < report.Frames.size() && IsModule(report.Frames[index], ReportingDriver)) {
        ++index;
    }
    return index;
}

std::optional<size_t> AtFaultingIp(const CrashReport& report, size_t first)
{
    int parameter = BugCheckFaultingIpParameter(report.Code);
    if (!report.HasCode || parameter == NoFaultingIpParameter || report.Parameters[parameter] == 0) {
        return std::nullopt;
    }
    uint64_t ip = report.Parameters[parameter];
    for (size_t i = first; i < report.Frames.size(); ++i) {
        const Frame& frame = report.Frames[i];
        bool match = frame.HasModule ? (frame.Offset & PageOffsetMask) == (ip & PageOffsetMask)
                                     : frame.Address == ip;
        if (match && !(IsKernel(frame) && OnBugCheckPath(SymbolOf(frame).Function))) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<size_t> OutsideBugCheckPath(const CrashReport& report, size_t first)
{
    for (size_t i = first; i < report.Frames.size(); ++i) {
        const Frame& frame = report.Frames[i];
        if (!IsKernel(frame)) {
            return i;
        }
        // Unnamed kernel frames right after the callback are taken for the
        // bug check path: a kernel without symbols shows nothing better.
        std::string function = SymbolOf(frame).Function;
        if (!function.empty() && !OnBugCheckPath(function)) {
            return i;
        }
    }
    // All kernel: the kernel itself failed.
    return first < report.Frames.size() ? std::optional<size_t>(first) : std::nullopt;
}

}  // namespace

FrameSymbol SymbolOf(const Frame& frame)
{
    FrameSymbol symbol;
    symbol.HasModule = frame.HasModule;
    symbol.Module = frame.Module;
    symbol.Offset = frame.Offset;
    symbol.Address = frame.Address;
    if (!frame.Symbols.empty()) {
        symbol.Function = frame.Symbols.back().Function;
        if (frame.Symbols.back().HasFunctionOffset) {
            symbol.FunctionOffset = frame.Symbols.back().FunctionOffset;
        }
        symbol.File = frame.Symbols.front().File;
        symbol.Line = frame.Symbols.front().Line;
    }
    return symbol;
}

std::string FrameSymbolText(const FrameSymbol& symbol)
{
    if (!symbol.HasModule) {
        return ShortHex(symbol.Address);
    }
    std::string text = symbol.Module;
    if (symbol.Function.empty()) {
        return text + "+" + ShortHex(symbol.Offset);
    }
    text += "!" + symbol.Function;
    if (symbol.FunctionOffset) {
        text += "+" + ShortHex(*symbol.FunctionOffset);
    }
    if (!symbol.File.empty()) {
        // The file's name only: build paths say little and run long.
        size_t slash = symbol.File.find_last_of("\\/");
        text += " (" + (slash == std::string::npos ? symbol.File : symbol.File.substr(slash + 1)) + ":" +
                std::to_string(symbol.Line) + ")";
    }
    return text;
}

std::optional<Culprit> FindCulprit(const CrashReport& report)
{
    size_t first = FirstPastReporter(report);
    Culprit culprit;
    std::optional<size_t> index = AtFaultingIp(report, first);
    culprit.Rule = CulpritRule::FaultingIp;
    if (!index) {
        index = OutsideBugCheckPath(report, first);
        culprit.Rule = CulpritRule::FirstOutsideBugCheckPath;
    }
    if (!index) {
        return std::nullopt;
    }
    culprit.FrameIndex = *index;
    culprit.Symbol = SymbolOf(report.Frames[*index]);
    return culprit;
}

std::string CulpritLine(bool hasCode, uint32_t code, const std::array<uint64_t, 4>& parameters,
                        uint32_t osBuild, const FrameSymbol* culprit)
{
    std::string line = "no bug check code";
    if (hasCode) {
        const char* name = BugCheckName(code);
        line = ShortHex(code) + (name != nullptr ? std::string(" ") + name : std::string());
    }
    if (culprit != nullptr) {
        line += " in " + FrameSymbolText(*culprit);
    }
    if (hasCode) {
        line += ": " + BugCheckMeaning(code, parameters, osBuild);
    }
    return line;
}

std::string CulpritLine(const CrashReport& report)
{
    std::optional<Culprit> culprit = FindCulprit(report);
    return CulpritLine(report.HasCode, report.Code, report.Parameters, report.Os.HasKernel ? report.Os.Build : 0,
                       culprit ? &culprit->Symbol : nullptr);
}

}  // namespace decode
