// The culprit of a crash: the frame a reader looks at first, and the one
// line each report opens with ("0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in
// crasher.sys!CrasherTouch+0x13 (crasher.cpp:64): read of 0x10 at IRQL 2").
// The culprit is the frame at the faulting instruction when the parameters
// name it, the frame that made the call when that instruction lies in no
// module or is the very address the fault was about (a jump to a bad
// target), otherwise the first frame outside the reporting driver and the
// kernel's bug check path. A report with none of those names no frame and
// says why, rather than blame the kernel at an offset that moves with
// every build.
#pragma once

#include "decode/reports/report.h"

#include <optional>
#include <string>

namespace decode {

// Where a frame points, with whatever symbols it has.
struct FrameSymbol {
    bool HasModule = false;
    std::string Module;
    uint64_t Offset = 0;
    uint64_t Address = 0;  // without a module
    std::string Function;  // empty: unsymbolized
    std::optional<uint64_t> FunctionOffset;
    std::string File;  // empty: no source line
    uint32_t Line = 0;
};

enum class CulpritRule { FaultingIp, CallerOfTarget, FirstOutsideBugCheckPath };

struct Culprit {
    size_t FrameIndex = 0;
    CulpritRule Rule = CulpritRule::FirstOutsideBugCheckPath;
    FrameSymbol Symbol;
};

// The frame's place and symbols: the function of the outermost symbol (the
// function the code was compiled into), the source line of the innermost.
FrameSymbol SymbolOf(const Frame& frame);

// "crasher.sys!CrasherTouch+0x13 (crasher.cpp:64)", "crasher.sys+0x1043",
// or the bare address.
std::string FrameSymbolText(const FrameSymbol& symbol);

// The culprit frame, or none when no frame past the reporting driver's
// callback and the kernel's bug check path can be trusted with the blame.
std::optional<Culprit> FindCulprit(const CrashReport& report);

// The rule's name in JSON: "faulting_ip", "caller_of_target",
// "outside_bugcheck_path".
const char* CulpritRuleName(CulpritRule rule);

// Why a report with a stack names no culprit ("no frame past the bug check
// path", "stack cut before a culprit"), or nullptr when it names one or has
// no stack at all.
const char* NoCulpritReason(const CrashReport& report);

// The report's opening line: code and name, culprit (or why there is
// none), what the parameters say.
std::string CulpritLine(bool hasCode, uint32_t code, const std::array<uint64_t, 4>& parameters,
                        uint32_t osBuild, const FrameSymbol* culprit, const char* noCulprit = nullptr);
std::string CulpritLine(const CrashReport& report);

// What the fleet summary groups by: the code with the culprit's module and
// function (module + offset unnamed), or with why there is no culprit.
std::string CulpritSignature(const CrashReport& report, const std::optional<Culprit>& culprit);

}  // namespace decode
