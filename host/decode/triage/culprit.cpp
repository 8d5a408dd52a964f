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

// Codes whose parameters name the address the fault was about beside the
// faulting instruction (0x0A, 0xD1, 0x50: "memory referenced", the first).
// An instruction at that very address was fetched from it: a call or jump
// to a bad target, whose culprit is the code that made the call.
struct ReferencedAddress {
    uint32_t Code;
    size_t Parameter;
};
constexpr ReferencedAddress ReferencedAddresses[] = {{0x0A, 0}, {0xD1, 0}, {0x50, 0}};

constexpr const char* NoFramePastPath = "no frame past the bug check path";
constexpr const char* StackCutBeforeCulprit = "stack cut before a culprit";

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

// True when the faulting instruction is the address the fault was about:
// the processor faulted fetching it.
bool FetchedFromTarget(const CrashReport& report, uint64_t ip)
{
    for (const ReferencedAddress& entry : ReferencedAddresses) {
        if (entry.Code == report.Code) {
            return report.Parameters[entry.Parameter] == ip;
        }
    }
    return false;
}

struct Choice {
    size_t Index;
    CulpritRule Rule;
    // The caller's return address read off the top of the stack, where the
    // trace stops at the target (the walk ends at an address of 0).
    std::optional<uint64_t> CallerAddress;
};

std::optional<Choice> AtFaultingIp(const CrashReport& report, size_t first)
{
    int parameter = BugCheckFaultingIpParameter(report.Code);
    if (!report.HasCode || parameter == NoFaultingIpParameter) {
        return std::nullopt;
    }
    uint64_t ip = report.Parameters[parameter];
    // A jump to 0 or to the referenced address faults on the fetch: the
    // target names no code, the frame after it (the return address the call
    // left) does.
    bool target = ip == 0 || FetchedFromTarget(report, ip);
    for (size_t i = first; i < report.Frames.size(); ++i) {
        const Frame& frame = report.Frames[i];
        bool match = frame.HasModule ? ip != 0 && (frame.Offset & PageOffsetMask) == (ip & PageOffsetMask)
                                     : frame.Address == ip;
        if (!match || (IsKernel(frame) && OnBugCheckPath(SymbolOf(frame).Function))) {
            continue;
        }
        if ((target || !frame.HasModule) && i + 1 < report.Frames.size()) {
            return Choice{i + 1, CulpritRule::CallerOfTarget, std::nullopt};
        }
        // A fetch that faulted pushed nothing: the word on top of the stack
        // is the return address of the call that went there.
        if (!frame.HasModule && frame.Words[0] != 0) {
            return Choice{i, CulpritRule::CallerOfTarget, frame.Words[0]};
        }
        return ip == 0 ? std::nullopt : std::optional<Choice>(Choice{i, CulpritRule::FaultingIp, std::nullopt});
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
    // Only the bug check path: nothing past it to blame.
    return std::nullopt;
}

bool FaultedOnFetch(const CrashReport& report)
{
    int parameter = BugCheckFaultingIpParameter(report.Code);
    return report.HasCode && parameter != NoFaultingIpParameter &&
           (report.Parameters[parameter] == 0 || FetchedFromTarget(report, report.Parameters[parameter]));
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
    std::optional<Choice> choice = AtFaultingIp(report, first);
    if (!choice) {
        std::optional<size_t> index = OutsideBugCheckPath(report, first);
        if (!index) {
            return std::nullopt;
        }
        // A fetch fault whose target left no frame: the first frame past
        // the path is the return address of the call that went there.
        choice = Choice{*index,
                        FaultedOnFetch(report) ? CulpritRule::CallerOfTarget : CulpritRule::FirstOutsideBugCheckPath,
                        std::nullopt};
    }
    Culprit culprit;
    culprit.FrameIndex = choice->Index;
    culprit.Rule = choice->Rule;
    if (choice->CallerAddress) {
        culprit.Symbol.Address = *choice->CallerAddress;
    } else {
        culprit.Symbol = SymbolOf(report.Frames[choice->Index]);
    }
    return culprit;
}

const char* CulpritRuleName(CulpritRule rule)
{
    switch (rule) {
    case CulpritRule::FaultingIp:
        return "faulting_ip";
    case CulpritRule::CallerOfTarget:
        return "caller_of_target";
    case CulpritRule::FirstOutsideBugCheckPath:
        break;
    }
    return "outside_bugcheck_path";
}

const char* NoCulpritReason(const CrashReport& report)
{
    if (!report.HasStack || FindCulprit(report)) {
        return nullptr;
    }
    return report.StackCut ? StackCutBeforeCulprit : NoFramePastPath;
}

namespace {

std::string CodeText(bool hasCode, uint32_t code)
{
    if (!hasCode) {
        return "no bug check code";
    }
    const char* name = BugCheckName(code);
    return ShortHex(code) + (name != nullptr ? std::string(" ") + name : std::string());
}

}  // namespace

std::string CulpritLine(bool hasCode, uint32_t code, const std::array<uint64_t, 4>& parameters,
                        uint32_t osBuild, const FrameSymbol* culprit, const char* noCulprit)
{
    std::string line = CodeText(hasCode, code);
    if (culprit != nullptr) {
        line += " in " + FrameSymbolText(*culprit);
    } else if (noCulprit != nullptr) {
        line += std::string(", ") + noCulprit;
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
                       culprit ? &culprit->Symbol : nullptr, culprit ? nullptr : NoCulpritReason(report));
}

std::string CulpritSignature(const CrashReport& report, const std::optional<Culprit>& culprit)
{
    std::string code = CodeText(report.HasCode, report.Code);
    if (!culprit) {
        const char* reason = NoCulpritReason(report);
        return code + ", " + (reason != nullptr ? reason : "no stack trace");
    }
    const FrameSymbol& symbol = culprit->Symbol;
    if (!symbol.HasModule) {
        // A bare address moves with every boot: it says nothing to group by.
        return code + " in an address outside every module";
    }
    return code + " in " + symbol.Module + (symbol.Function.empty() ? "+" + ShortHex(symbol.Offset)
                                                                    : "!" + symbol.Function);
}

}  // namespace decode
