// The culprit of a crash: the frame a reader looks at first, and the one
// line each report opens with ("0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in
// crasher.sys!CrasherTouch+0x13 (crasher.cpp:64): read of 0x10 at IRQL 2").
// The culprit is the frame at the faulting instruction when the parameters
// name it, otherwise the first frame outside the reporting driver and the
// kernel's bug check path.
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

enum class CulpritRule { FaultingIp, FirstOutsideBugCheckPath };

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

// The culprit frame, or none when the report has no frame outside the
// reporting driver.
std::optional<Culprit> FindCulprit(const CrashReport& report);

// The report's opening line: code and name, culprit, what the parameters say.
std::string CulpritLine(bool hasCode, uint32_t code, const std::array<uint64_t, 4>& parameters,
                        uint32_t osBuild, const FrameSymbol* culprit);
std::string CulpritLine(const CrashReport& report);

}  // namespace decode
