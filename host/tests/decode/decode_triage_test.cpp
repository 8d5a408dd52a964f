// Triage output: the culprit line each report opens with, the choice of the
// culprit frame, module identities in text, and the fleet summary.
#include "decode/triage/culprit.h"
#include "decode/reports/bugcheck_codes.h"
#include "decode/decode_command.h"
#include "decode/triage/report_output.h"
#include "decode/triage/summary.h"
#include "decode/triage/terminal_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

namespace {

using decode::Frame;
using decode::FrameSymbol;

FrameSymbol Symbol(const char* module, uint64_t offset, const char* function = "",
                   std::optional<uint64_t> functionOffset = std::nullopt, const char* file = "", uint32_t line = 0)
{
    FrameSymbol symbol;
    symbol.HasModule = module != nullptr;
    symbol.Module = module != nullptr ? module : "";
    symbol.Offset = symbol.HasModule ? offset : 0;
    symbol.Address = symbol.HasModule ? 0 : offset;
    symbol.Function = function;
    symbol.FunctionOffset = functionOffset;
    symbol.File = file;
    symbol.Line = line;
    return symbol;
}

struct LineCase {
    uint32_t Code;
    std::array<uint64_t, 4> Parameters;
    uint32_t Build;
    std::optional<FrameSymbol> Culprit;
    const char* Expected;
};

TEST(CulpritLine, NamesCodeFrameAndWhatTheParametersSay)
{
    const FrameSymbol touch = Symbol("crasher.sys", 0x1043, "CrasherTouch", 0x13, "C:\\src\\crasher.cpp", 64);
    const FrameSymbol bare = Symbol("foo.sys", 0x2A0);
    const LineCase cases[] = {
        {0xD1, {0x10, 2, 0, 0xFFFFF80000001043}, 19045, touch,
         "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in crasher.sys!CrasherTouch+0x13 (crasher.cpp:64): "
         "read of 0x10 at IRQL 2"},
        {0xD1, {0x7FF0, 2, 1, 0}, 0, bare, "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in foo.sys+0x2A0: write of 0x7FF0 at IRQL 2"},
        {0xD1, {0xDEAD0000, 2, 8, 0}, 0, std::nullopt,
         "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL: execute of 0xDEAD0000 at IRQL 2"},
        {0x0A, {0x48, 2, 1, 0}, 0, bare, "0xA IRQL_NOT_LESS_OR_EQUAL in foo.sys+0x2A0: write of 0x48 at IRQL 2"},
        {0x0A, {0xFFFFFFFFFFFFFFFF, 15, 0, 0}, 0, Symbol(nullptr, 0xFFFFF80000000000),
         "0xA IRQL_NOT_LESS_OR_EQUAL in 0xFFFFF80000000000: read of 0xFFFFFFFFFFFFFFFF at IRQL 15"},
        {0x50, {0xFFFF1000, 2, 0xFFFFF800100, 2}, 19045, bare,
         "0x50 PAGE_FAULT_IN_NONPAGED_AREA in foo.sys+0x2A0: write of 0xFFFF1000 by 0xFFFFF800100"},
        {0x50, {0xFFFF1000, 1, 0, 0}, 7601, bare, "0x50 PAGE_FAULT_IN_NONPAGED_AREA in foo.sys+0x2A0: write of 0xFFFF1000"},
        {0x50, {0xFFFF1000, 0x11, 0, 0}, 19045, bare,
         "0x50 PAGE_FAULT_IN_NONPAGED_AREA in foo.sys+0x2A0: execute of 0xFFFF1000"},
        {0x1E, {0xC0000005, 0xFFFFF80012345678, 0, 0x10}, 0, bare,
         "0x1E KMODE_EXCEPTION_NOT_HANDLED in foo.sys+0x2A0: exception 0xC0000005 (access violation) at "
         "0xFFFFF80012345678"},
        {0x7E, {0x80000003, 0x1234, 0, 0}, 0, bare,
         "0x7E SYSTEM_THREAD_EXCEPTION_NOT_HANDLED in foo.sys+0x2A0: exception 0x80000003 (breakpoint) at 0x1234"},
        {0x1000007E, {0xC0000094, 0x1234, 0, 0}, 0, bare,
         "0x1000007E SYSTEM_THREAD_EXCEPTION_NOT_HANDLED_M in foo.sys+0x2A0: exception 0xC0000094 (integer divide "
         "by zero) at 0x1234"},
        {0x3B, {0xC000001D, 0x1234, 0xFFFF0000, 0}, 0, bare,
         "0x3B SYSTEM_SERVICE_EXCEPTION in foo.sys+0x2A0: exception 0xC000001D (illegal instruction) at 0x1234"},
        {0x139, {3, 0xA0, 0xB0, 0}, 0, bare,
         "0x139 KERNEL_SECURITY_CHECK_FAILURE in foo.sys+0x2A0: fail-fast 3 (corrupt list entry)"},
        {0xC4, {0x62, 1, 2, 3}, 0, bare,
         "0xC4 DRIVER_VERIFIER_DETECTED_VIOLATION in foo.sys+0x2A0: verifier rule 0x62 (0x1, 0x2, 0x3)"},
        {0xEF, {0xFFFFA000, 0, 0, 0}, 0, std::nullopt,
         "0xEF CRITICAL_PROCESS_DIED: the process of critical process 0xFFFFA000 ended"},
        {0x133, {0, 0x501, 0x500, 0}, 0, bare,
         "0x133 DPC_WATCHDOG_VIOLATION in foo.sys+0x2A0: one DPC or ISR ran 1281 ticks (allotted 1280)"},
        {0x133, {1, 0x1E00, 0xFFFF0000, 0}, 0, bare,
         "0x133 DPC_WATCHDOG_VIOLATION in foo.sys+0x2A0: DISPATCH_LEVEL or above for longer than the watchdog "
         "period (7680 ticks)"},
        {0x9F, {3, 0xD0, 0xE0, 0xF0}, 0, bare,
         "0x9F DRIVER_POWER_STATE_FAILURE in foo.sys+0x2A0: device object 0xD0 held power IRP 0xF0 too long"},
        {0x9F, {2, 0xD0, 0xE0, 0xF0}, 0, bare,
         "0x9F DRIVER_POWER_STATE_FAILURE in foo.sys+0x2A0: device object 0xE0 completed a system power IRP "
         "without PoStartNextPowerIrp"},
        {0x9F, {4, 0x258, 0xA0, 0xB0}, 0, std::nullopt,
         "0x9F DRIVER_POWER_STATE_FAILURE: power transition timed out after 600 s waiting for the PnP lock held "
         "by thread 0xA0"},
        {0xE2, {0, 0, 0, 0}, 0, bare, "0xE2 MANUALLY_INITIATED_CRASH in foo.sys+0x2A0: started by hand"},
        {0x124, {0, 0xFFFFE000, 0, 0}, 0, std::nullopt,
         "0x124 WHEA_UNCORRECTABLE_ERROR: machine check exception, WHEA record at 0xFFFFE000"},
        {0x101, {0x18, 0, 0xFFFFB000, 3}, 0, std::nullopt,
         "0x101 CLOCK_WATCHDOG_TIMEOUT: processor 3 took no clock interrupt in 24 ticks"},
        {0x19, {0x20, 1, 2, 3}, 0, bare, "0x19 BAD_POOL_HEADER in foo.sys+0x2A0: parameters 0x20 0x1 0x2 0x3"},
        {0x1234, {1, 2, 3, 4}, 0, Symbol(nullptr, 0xFFFFF80300001234),
         "0x1234 in 0xFFFFF80300001234: parameters 0x1 0x2 0x3 0x4"},
        {0xD1, {0x10, 2, 0, 0}, 0, Symbol("crasher.sys", 0x1043, "CrasherTouch"),
         "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in crasher.sys!CrasherTouch: read of 0x10 at IRQL 2"},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.Expected);
        EXPECT_EQ(decode::CulpritLine(true, c.Code, c.Parameters, c.Build, c.Culprit ? &*c.Culprit : nullptr),
                  c.Expected);
    }
}

struct LabelCase {
    uint32_t Code;
    uint64_t First;
    std::array<const char*, 4> Expected;
};

// Labels follow the public reference; 0x9F's change with its subtype.
TEST(ParameterLabels, FollowTheSubtypeWhereTheCodeHasOne)
{
    const LabelCase cases[] = {
        {0x9F, 1, {"subtype", "device object", nullptr, nullptr}},
        {0x9F, 2, {"subtype", "target device object", "device object", "driver object"}},
        {0x9F, 3, {"subtype", "physical device object of the stack", "nt!TRIAGE_9F_POWER", "blocked IRP"}},
        {0x9F, 4, {"subtype", "timeout in seconds", "thread holding the PnP lock", "nt!TRIAGE_9F_PNP"}},
        {0x9F, 0x500, {"subtype", nullptr, "target device object", "device object"}},
        {0x9F, 0x77, {"subtype", nullptr, nullptr, nullptr}},
        {0xD1, 0x10, {"memory referenced", "IRQL", "access (0 read, 1 write, 8 execute)", "address that referenced memory"}},
    };
    for (const LabelCase& c : cases) {
        SCOPED_TRACE(c.First);
        for (size_t i = 0; i < 4; ++i) {
            const char* label = decode::BugCheckParameterLabel(c.Code, {c.First, 0, 0, 0}, i);
            EXPECT_EQ(label != nullptr ? std::string(label) : "(none)",
                      c.Expected[i] != nullptr ? std::string(c.Expected[i]) : "(none)");
        }
    }
}

Frame At(const char* module, uint64_t offset, const char* function = nullptr)
{
    Frame frame;
    frame.HasModule = module != nullptr;
    frame.Module = module != nullptr ? module : "";
    (frame.HasModule ? frame.Offset : frame.Address) = offset;
    if (function != nullptr) {
        frame.Symbols.push_back({function, false, 0, "", 0});
    }
    return frame;
}

struct ChoiceCase {
    const char* Name;
    uint32_t Code;
    uint64_t FaultingIp;  // the parameter that names it, for codes that have one
    std::vector<Frame> Frames;
    std::optional<size_t> Expected;
};

TEST(CulpritChoice, SkipsTheReporterAndTheBugCheckPath)
{
    const Frame reporter = At("vekcrashdmp.sys", 0x2553);
    const Frame bugCheck = At("ntoskrnl.exe", 0x1060);
    const Frame pageFault = At("ntoskrnl.exe", 0x1180);
    const Frame touch = At("crasher.sys", 0x1043);
    const Frame middle = At("crasher.sys", 0x1089);
    const Frame callDriver = At("ntoskrnl.exe", 0x1010, "KxCallDriver");
    const ChoiceCase cases[] = {
        {"unsymbolized kernel path", 0xE2, 0, {reporter, reporter, bugCheck, pageFault, touch, middle}, 4},
        {"named kernel path", 0xE2, 0,
         {reporter, At("ntoskrnl.exe", 0x1060, "KeBugCheckEx"), At("ntoskrnl.exe", 0x1180, "KiPageFault"), middle},
         3},
        {"a kernel function off the path is the culprit", 0xE2, 0,
         {reporter, At("ntoskrnl.exe", 0x1060, "KeBugCheckEx"), At("ntoskrnl.exe", 0x5000, "ExFreePool"), middle},
         2},
        {"the faulting IP names a deeper frame", 0xD1, 0xFFFFF80541230089,
         {reporter, bugCheck, pageFault, touch, middle, callDriver}, 4},
        {"the faulting IP as a bare address", 0x1E, 0xFFFFF80300001234,
         {reporter, bugCheck, touch, At(nullptr, 0xFFFFF80300001234)}, 3},
        {"the reporting driver itself after the path", 0x50, 0,
         {reporter, bugCheck, pageFault, At("VEKCRASHDMP.SYS", 0x3000), middle}, 3},
        {"only the kernel", 0xE2, 0, {reporter, bugCheck, pageFault}, std::nullopt},
        {"only the reporter", 0xE2, 0, {reporter}, std::nullopt},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.Name);
        decode::CrashReport report;
        report.HasCode = true;
        report.Code = c.Code;
        report.Parameters = {0x10, 2, 0, 0};
        if (c.FaultingIp != 0) {
            report.Parameters[c.Code == 0xD1 ? 3 : 1] = c.FaultingIp;
        }
        report.Frames.assign(c.Frames.begin(), c.Frames.end());
        std::optional<decode::Culprit> culprit = decode::FindCulprit(report);
        ASSERT_EQ(culprit.has_value(), c.Expected.has_value());
        if (culprit) {
            EXPECT_EQ(culprit->FrameIndex, *c.Expected);
        }
    }
}

Frame AtWith(const char* module, uint64_t offset, uint64_t topWord)
{
    Frame frame = At(module, offset);
    frame.Words[0] = topWord;
    return frame;
}

struct BlameCase {
    const char* Name;
    uint32_t Code;
    std::array<uint64_t, 4> Parameters;
    std::vector<Frame> Frames;
    bool StackCut;
    const char* Signature;  // what the summary groups by
    const char* Rule;       // nullptr: no culprit frame
};

// Who gets the blame, as the crasher's actions and the scenarios' bug
// checks lay out their stacks: never the reporting driver, never an
// offset into the kernel's bug check path.
TEST(CulpritChoice, BlamesTheCodeThatFailedAndSaysWhenNoFrameCanBeTrusted)
{
    const Frame reporter = At("vekcrashdmp.sys", 0x2623);
    const Frame callDriver = At("ntoskrnl.exe", 0x100A);
    const Frame bugCheck = At("ntoskrnl.exe", 0x1020);
    const Frame pageFault = At("ntoskrnl.exe", 0x10B9);
    const Frame touch = At("crasher.sys", 0x1043);
    const Frame touchCall = At("crasher.sys", 0x1051);
    const Frame middle = At("crasher.sys", 0x1089);
    const Frame outer = At("crasher.sys", 0x10C9);
    const Frame kxCall = At("ntoskrnl.exe", 0x1010, "KxCallDriver");
    const uint64_t touchIp = 0xFFFFF80541231043;
    const BlameCase cases[] = {
        {"read", 0xD1, {0x10, 2, 0, touchIp}, {reporter, callDriver, bugCheck, pageFault, touch, middle, kxCall},
         false, "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in crasher.sys+0x1043", "faulting_ip"},
        {"write", 0xD1, {0x7FF0, 2, 1, touchIp}, {reporter, callDriver, bugCheck, pageFault, touch, middle, kxCall},
         false, "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in crasher.sys+0x1043", "faulting_ip"},
        {"execute at a bad address: the caller, not the target", 0xD1, {0xDEAD0000, 2, 8, 0xDEAD0000},
         {reporter, callDriver, bugCheck, pageFault, At(nullptr, 0xDEAD0000), touchCall, middle, kxCall}, false,
         "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in crasher.sys+0x1051", "caller_of_target"},
        {"execute at a page inside a module", 0x50, {0xFFFFF80541232000, 0x10, 0xFFFFF80541232000, 0},
         {reporter, callDriver, bugCheck, pageFault, At("crasher.sys", 0x2000), touchCall}, false,
         "0x50 PAGE_FAULT_IN_NONPAGED_AREA in crasher.sys+0x1051", "caller_of_target"},
        {"execute at 0: the trace stops at it, the caller's address is on top of the stack", 0xD1, {0, 2, 8, 0},
         {reporter, callDriver, bugCheck, pageFault, AtWith(nullptr, 0, 0xFFFFF80541231085)}, false,
         "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in an address outside every module", "caller_of_target"},
        {"execute at 0 with a frame for it", 0xD1, {0, 2, 8, 0},
         {reporter, callDriver, bugCheck, pageFault, At(nullptr, 0), touchCall, middle}, false,
         "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in crasher.sys+0x1051", "caller_of_target"},
        {"execute at 0 without a frame for it", 0xD1, {0, 2, 8, 0},
         {reporter, callDriver, bugCheck, pageFault, touchCall, middle}, false,
         "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in crasher.sys+0x1051", "caller_of_target"},
        {"exception at a bare address", 0x1E, {0xC0000005, 0xFFFFF80300001234, 0, 0},
         {reporter, bugCheck, At(nullptr, 0xFFFFF80300001234), touchCall}, false,
         "0x1E KMODE_EXCEPTION_NOT_HANDLED in crasher.sys+0x1051", "caller_of_target"},
        {"wild frame: the trace ends at the faulting frame", 0xD1, {0x18, 2, 0, touchIp},
         {reporter, callDriver, bugCheck, pageFault, touch}, false,
         "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in crasher.sys+0x1043", "faulting_ip"},
        {"a scenario's bug check: the path only", 0xE2, {0, 0, 0, 0}, {reporter, callDriver, bugCheck}, false,
         "0xE2 MANUALLY_INITIATED_CRASH, no frame past the bug check path", nullptr},
        {"the path named by symbols", 0x19, {0x20, 1, 2, 3},
         {reporter, At("ntoskrnl.exe", 0x100A, "KxCallDriverReturn"), At("ntoskrnl.exe", 0x1020, "KeBugCheckEx")},
         false, "0x19 BAD_POOL_HEADER, no frame past the bug check path", nullptr},
        {"cut inside the kernel's path", 0xD1, {0x10, 2, 0, touchIp}, {reporter, callDriver, bugCheck}, true,
         "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL, stack cut before a culprit", nullptr},
        {"cut after the driver's frame", 0xE2, {0, 0, 0, 0}, {reporter, callDriver, bugCheck, pageFault, middle}, true,
         "0xE2 MANUALLY_INITIATED_CRASH in crasher.sys+0x1089", "outside_bugcheck_path"},
    };
    for (const BlameCase& c : cases) {
        SCOPED_TRACE(c.Name);
        decode::CrashReport report;
        report.HasCode = true;
        report.Code = c.Code;
        report.Parameters = c.Parameters;
        report.HasStack = true;
        report.StackCut = c.StackCut;
        report.Frames.assign(c.Frames.begin(), c.Frames.end());
        std::optional<decode::Culprit> culprit = decode::FindCulprit(report);
        EXPECT_EQ(decode::CulpritSignature(report, culprit), c.Signature);
        ASSERT_EQ(culprit.has_value(), c.Rule != nullptr);
        if (culprit) {
            EXPECT_STREQ(decode::CulpritRuleName(culprit->Rule), c.Rule);
        } else {
            // The opening line gives the reason where a frame would stand.
            EXPECT_EQ(decode::CulpritLine(report).rfind(c.Signature, 0), 0u) << decode::CulpritLine(report);
        }
    }
}

// A report the way the scanner hands it on, from a log of a given name.
decode::CrashReport Crash(const std::string& source, uint32_t code, const Frame& culprit, int minute)
{
    decode::CrashReport report;
    report.Source = source;
    report.Complete = true;
    report.HasCode = true;
    report.Code = code;
    report.Time = decode::CrashTime{2026, 12, 7, 4, minute, 0, 0};
    report.HasStack = true;
    report.Frames = {At("vekcrashdmp.sys", 0x2553), At("ntoskrnl.exe", 0x1060), culprit};
    report.Modules.push_back({"crasher.sys", "", "6B472C4652DD221E4C4C44205044422E", 0x1A});
    return report;
}

// The crash time (text and JSON) and the bug check's hex are put together
// digit by digit, without the format parser: each field at the bounds of
// its width (and a time no parser keeps, negative or too wide) reads as
// printf writes it.
TEST(ReportText, TimeAndCodeReadAsPrintfWritesThem)
{
    const decode::CrashTime times[] = {
        {1601, 1, 1, 0, 0, 0, 0},    {2026, 12, 7, 4, 36, 42, 123}, {30827, 12, 31, 23, 59, 59, 999},
        {999, 9, 9, 9, 9, 9, 9},     {2026, 10, 10, 10, 10, 10, 10}, {-1, -12, 0, -7, 0, 0, -5},
        {123456, 100, 100, 100, 100, 100, 1000},
    };
    for (const decode::CrashTime& t : times) {
        char expected[128];
        std::snprintf(expected, sizeof(expected), "  Crashed on: %04d-%02d-%02d %02d:%02d:%02d.%03d UTC\n", t.Year,
                      t.Month, t.Day, t.Hour, t.Minute, t.Second, t.Millisecond);
        SCOPED_TRACE(expected);
        decode::CrashReport report = Crash("a.log", 0xD1, At("crasher.sys", 0x1043), 1);
        report.Time = t;
        std::ostringstream text;
        decode::PrintReportText(text, report, 1);
        EXPECT_NE(text.str().find(expected), std::string::npos) << text.str();
        std::snprintf(expected, sizeof(expected), "\"time\":\"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\",", t.Year,
                      t.Month, t.Day, t.Hour, t.Minute, t.Second, t.Millisecond);
        EXPECT_NE(decode::ReportJsonLine(report).find(expected), std::string::npos) << expected;
    }
    const uint64_t values[] = {0, 1, 0xF, 0x10, 0xFFFFFFFF, 0x100000000, 0x8000000000000000, ~uint64_t{0}};
    for (uint64_t value : values) {
        char expected[128];
        std::snprintf(expected, sizeof(expected), "  Bug check: 0x%08X\n    Parameter 1: 0x%016llX\n",
                      static_cast<uint32_t>(value), static_cast<unsigned long long>(value));
        SCOPED_TRACE(expected);
        // Codes without a name: the line ends at the hex.
        decode::CrashReport report = Crash("a.log", static_cast<uint32_t>(value) | 0x12340000, At("crasher.sys", 0x1043), 1);
        report.Code = static_cast<uint32_t>(value);
        report.Parameters = {value, 0, 0, 0};
        std::ostringstream text;
        decode::PrintReportText(text, report, 1);
        std::string shown = text.str();
        size_t at = shown.find("  Bug check: ");
        ASSERT_NE(at, std::string::npos);
        size_t name = shown.find('\n', at);
        // A code with a name has it after the hex; the hex is what is held.
        std::string line = shown.substr(at, 23) + "\n" + shown.substr(name + 1, shown.find('\n', name + 1) - name);
        EXPECT_EQ(line, expected);
    }
}

// Text appended to a line being put together is escaped as TerminalText
// escapes it alone, and what stands before it is left as it was.
TEST(TerminalSafety, AppendedTextIsEscapedAsAlone)
{
    const std::string texts[] = {"",       "crasher.sys", "a\\b",          "esc\x1B[2J", "del\x7F",
                                 "\xC3\xA9t\xC3\xA9", "csi\xC2\x9B", "stray\x9B",      "evil\xE2\x80\xAEx", "cut\xC3"};
    for (const std::string& text : texts) {
        for (bool escapeBackslash : {true, false}) {
            SCOPED_TRACE(text);
            std::string line = "prefix\x1B\\ ";
            decode::AppendTerminalText(&line, text, escapeBackslash);
            EXPECT_EQ(line, "prefix\x1B\\ " + decode::TerminalText(text, escapeBackslash));
        }
    }
}

TEST(ReportText, OpensWithTheCulpritAndListsModuleIdentities)
{
    std::ostringstream text;
    decode::PrintReportText(text, Crash("a.log", 0xD1, At("crasher.sys", 0x1043, "CrasherTouch"), 1), 1, true);
    EXPECT_EQ(text.str().substr(0, text.str().find('\n')),
              "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in crasher.sys!CrasherTouch: read of 0x0 at IRQL 0");
    EXPECT_NE(text.str().find("crasher.sys  crasher.pdb  {6B472C46-52DD-221E-4C4C-44205044422E}  age 1A  "
                              "crasher.pdb/6B472C4652DD221E4C4C44205044422E1A/crasher.pdb\n"),
              std::string::npos)
        << text.str();
    nlohmann::ordered_json json = decode::ReportJson(Crash("a.log", 0xD1, At("crasher.sys", 0x1043), 1));
    EXPECT_EQ(json["culprit"]["module"], "crasher.sys");
    EXPECT_EQ(json["culprit"]["offset"], "0x0000000000001043");
    EXPECT_EQ(json["culprit"]["frame"], 2);
    EXPECT_EQ(json["bugcheck"]["parameter_labels"][1], "IRQL");
    EXPECT_EQ(json["bugcheck"]["meaning"], "read of 0x0 at IRQL 0");
}

// Frame lines keep their columns: the index padded to two, the stack
// pointer in 16 digits, a bare address in 16 and an offset in as few as it
// takes.
TEST(ReportText, FrameLinesKeepTheirColumns)
{
    decode::CrashReport report = Crash("a.log", 0xD1, At("crasher.sys", 0x1043), 1);
    report.Frames.Mutable().resize(12, At("crasher.sys", 0));
    report.Frames.Mutable()[10].StackPointer = 0xFFFFF80312345600;
    report.Frames.Mutable()[11].HasModule = false;
    report.Frames.Mutable()[11].Address = 0xFF;
    const char* lines[] = {
        "    #0  sp 0000000000000000  vekcrashdmp.sys + 0x2553\n",
        "    #2  sp 0000000000000000  crasher.sys + 0x1043\n",
        "    #3  sp 0000000000000000  crasher.sys + 0x0\n",
        "    #10 sp FFFFF80312345600  crasher.sys + 0x0\n",
        "    #11 sp 0000000000000000  0x00000000000000FF\n",
    };
    std::ostringstream text;
    decode::PrintReportText(text, report, 1);
    for (const char* line : lines) {
        EXPECT_NE(text.str().find(line), std::string::npos) << line << text.str();
    }
}

TEST(FleetSummary, GroupsBySignatureWithTimesAndBoundedLogs)
{
    decode::FleetSummary summary;
    const Frame touch = At("crasher.sys", 0x1043, "CrasherTouch");
    // The same function at another offset is the same signature; unnamed
    // frames group by module + offset.
    const Frame touchLater = At("crasher.sys", 0x1050, "CrasherTouch");
    for (int machine = 0; machine < 6; ++machine) {
        std::string log = "vm" + std::to_string(machine) + ".log";
        summary.Add(Crash(log, 0xD1, machine % 2 ? touch : touchLater, 10 + machine));
        summary.Add(Crash(log, 0xD1, touch, 30 - machine));
    }
    summary.Add(Crash("vm9.log", 0x50, At("foo.sys", 0x2A0), 5));
    summary.Add(Crash("vm9.log", 0x50, At("foo.sys", 0x2A4), 6));

    std::ostringstream text;
    summary.PrintText(text);
    std::istringstream lines(text.str());
    std::string header, first, second, third;
    std::getline(lines, header);
    std::getline(lines, first);
    std::getline(lines, second);
    std::getline(lines, third);
    EXPECT_EQ(header.find("COUNT"), 1u) << text.str();
    EXPECT_NE(first.find("    12  2026-12-07 04:10:00  2026-12-07 04:30:00  "
                         "0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in crasher.sys!CrasherTouch"),
              std::string::npos)
        << text.str();
    EXPECT_NE(first.find("vm0.log, vm1.log, vm2.log, vm3.log (+2 more)"), std::string::npos) << first;
    EXPECT_NE(second.find("0x50 PAGE_FAULT_IN_NONPAGED_AREA in foo.sys+0x2A0"), std::string::npos) << text.str();
    EXPECT_NE(third.find("foo.sys+0x2A4"), std::string::npos) << text.str();

    std::ostringstream json;
    summary.PrintJson(json);
    nlohmann::json row = nlohmann::json::parse(json.str().substr(0, json.str().find('\n')));
    EXPECT_EQ(row["count"], 12);
    EXPECT_EQ(row["function"], "CrasherTouch");
    EXPECT_EQ(row["more_logs"], 2);
    EXPECT_EQ(row["first_time"], "2026-12-07T04:10:00.000Z");
}

// A guest that prints a new offset in every report cannot grow the summary
// without end: past the bound, crashes under new signatures are counted in
// one last line, and those under a listed one still count in its row.
TEST(FleetSummary, SignaturesPastTheBoundAreCountedNotListed)
{
    decode::FleetSummary summary;
    constexpr size_t Bound = decode::FleetSummary::MaxSignatures;
    for (size_t i = 0; i < Bound + 3; ++i) {
        summary.Add(Crash("vm1.log", 0xD1, At("wild.sys", i), 1));
    }
    summary.Add(Crash("vm2.log", 0xD1, At("wild.sys", 0), 2));

    std::ostringstream text;
    summary.PrintText(text);
    const std::string out = text.str();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), static_cast<long>(1 + Bound + 1));
    const std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
    EXPECT_EQ(last, "     3  -                    -                    under signatures past the first 10000, "
                    "not listed\n");
    EXPECT_NE(out.find("     2  2026-12-07 04:01:00  2026-12-07 04:02:00  0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in "
                       "wild.sys+0x0 "),
              std::string::npos);

    std::ostringstream json;
    summary.PrintJson(json);
    std::istringstream lines(json.str());
    size_t signatures = 0;
    nlohmann::json tail;
    for (std::string line; std::getline(lines, line);) {
        tail = nlohmann::json::parse(line);
        signatures += tail["kind"] == "signature" ? 1 : 0;
    }
    EXPECT_EQ(signatures, Bound);
    EXPECT_EQ(tail, nlohmann::json::parse(R"({"kind":"unlisted","count":3,"listed_signatures":10000})"));
}

// What a guest writes cannot reach a terminal raw nor break a JSON reader:
// each row is a name as the log holds it, as text shows it, and as it
// stands in a JSON line.
TEST(TerminalSafety, GuestTextIsEscapedForTerminalsAndJson)
{
    struct Case {
        std::string Name;
        const char* Text;
        const char* Json;
    } cases[] = {
        {"crasher.sys", "crasher.sys", "\"crasher.sys\""},
        {"\xC3\xA9t\xC3\xA9.sys", "\xC3\xA9t\xC3\xA9.sys", "\"\xC3\xA9t\xC3\xA9.sys\""},
        {"esc\x1B[2J.sys", "esc\\x1B[2J.sys", "\"esc\\u001b[2J.sys\""},
        {"lit\\x1B.sys", "lit\\\\x1B.sys", "\"lit\\\\x1B.sys\""},
        {"del\x7F.sys", "del\\x7F.sys", "\"del\x7F.sys\""},
        {"csi\xC2\x9B.sys", "csi\\xC2\\x9B.sys", "\"csi\\u009B.sys\""},
        {"stray\x9B.sys", "stray\\x9B.sys", "\"stray\xEF\xBF\xBD.sys\""},
        {"evil\xE2\x80\xAEsys.exe", "evil\\u202Esys.exe", "\"evil\\u202Esys.exe\""},
        {"iso\xE2\x81\xA6x.sys", "iso\\u2066x.sys", "\"iso\\u2066x.sys\""},
        {"quo\"te.sys", "quo\"te.sys", "\"quo\\\"te.sys\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        decode::CrashReport report = Crash("vm.log", 0xD1, At(c.Name.c_str(), 0x10), 1);
        // The module table's rows are written without the JSON library:
        // the name in each column, a row without an identity, a short GUID.
        report.Modules = {{c.Name, "", "49EB016FCC3789B14C4C44205044422E", 0x1A},
                          {"x.sys", "C:\\build\\" + c.Name, "49EB016FCC3789B14C4C44205044422E", 1},
                          {c.Name, "", "00000000000000000000000000000000", 0},
                          {c.Name, c.Name, "49EB016F", 2}};
        std::ostringstream text;
        decode::PrintReportText(text, report, 1);
        EXPECT_NE(text.str().find("Report 1"), std::string::npos);
        EXPECT_NE(text.str().find(std::string(" ") + c.Text + " + 0x10"), std::string::npos) << text.str();
        std::string line = decode::JsonLine(decode::ReportJson(report));
        EXPECT_NE(line.find(c.Json), std::string::npos) << line;
        EXPECT_EQ(decode::ReportJsonLine(report), line);

        decode::FleetSummary summary;
        summary.Add(report);
        std::ostringstream json;
        summary.PrintJson(json);
        EXPECT_NE(json.str().find(c.Json), std::string::npos) << json.str();
    }
}

// One long name in one log pads no other row: signature and log columns
// are capped.
TEST(FleetSummary, ColumnsAreCappedWhateverTheLogNames)
{
    decode::FleetSummary summary;
    std::string longName(8000, 'x');
    summary.Add(Crash("vm1.log", 0xD1, At((longName + ".sys").c_str(), 0x10), 1));
    summary.Add(Crash(longName + ".log", 0xD1, At("short.sys", 0x10), 2));
    std::ostringstream text;
    summary.PrintText(text);
    std::istringstream lines(text.str());
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LT(line.size(), 240u) << line.substr(0, 300);
    }
}

TEST(FleetSummary, RunsFromTheCommandLineOverEveryLog)
{
    const std::string report =
        "BUGCHECK DUMP STARTS\nOUTPUT FORMAT: 2\nCRASHED ON: 2026-12-07 04:36:42:123\n"
        "BUGCHECK CODE 000000E2: 0000000000000000 0000000000000000 0000000000000000 0000000000000000\n"
        "STACK:\n"
        "FFFFF80312345670: (0000000000000000 0000000000000000 0000000000000000 0000000000000000) "
        "vekcrashdmp.sys + 0000000000002553\n"
        "FFFFF80312345700: (0000000000000000 0000000000000000 0000000000000000 0000000000000000) "
        "kbd.sys + 0000000000000100\n"
        "BUGCHECK DUMP ENDS\n";
    char folder[] = "/tmp/decode-summary-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    decode::DecodeOptions options;
    options.Summary = true;
    for (const char* name : {"/a.log", "/b.log"}) {
        options.Logs.push_back(std::string(folder) + name);
        // A second crash ten minutes on: not one crash printed twice.
        std::string later = report;
        later.replace(later.find("04:36"), 5, "04:46");
        std::ofstream(options.Logs.back()) << report << later;
    }
    std::ostringstream out, err;
    // Reports without their context are partial, and still counted.
    EXPECT_EQ(decode::RunDecode(options, out, err), decode::ExitNoReport) << err.str();
    EXPECT_NE(out.str().find("     4  2026-12-07 04:36:42  2026-12-07 04:46:42  0xE2 MANUALLY_INITIATED_CRASH in "
                             "kbd.sys+0x100"),
              std::string::npos)
        << out.str();
    EXPECT_EQ(out.str().find("Report 1"), std::string::npos) << out.str();
    for (const std::string& log : options.Logs) {
        std::remove(log.c_str());
    }
    ::rmdir(folder);
}

// Every member a report line can hold, several twice over: the OS with a
// service pack, suites and the unavailable block; module rows with and
// without an identity and with a short GUID; the context with one register
// given twice; frames with and without a module, symbols and inlines; a
// culprit with a source line; repeats and unsymbolized notes.
decode::CrashReport EveryMember()
{
    decode::CrashReport report;
    report.Source = "vm1.log";
    report.FirstLine = 12;
    report.LastLine = 345;
    report.Complete = true;
    report.Format = 2;
    report.Time = decode::CrashTime{2026, 12, 7, 4, 36, 42, 123};
    decode::OsVersion& os = report.Os;
    os.HasKernel = true;
    os.Major = 10;
    os.Build = 19045;
    os.Platform = "WIN32_NT (x64)";
    os.HasServicePack = true;
    os.ServicePackMajor = 1;
    os.ServicePackText = "Service Pack 1";
    os.HasSuites = true;
    os.Suites = {"SINGLEUSERTS", "PERSONAL"};
    os.Type = "WORKSTATION";
    os.Unavailable = true;
    os.UnavailableSize = 20;
    os.UnavailableExpected = 284;
    os.UnavailablePointer = 0xFFFFF80312345678;
    report.HasModuleTable = true;
    report.Modules = {{"crasher.sys", "", "6B472C4652DD221E4C4C44205044422E", 0x1A},
                      {"x.sys", "C:\\build\\x.pdb", "49EB016FCC3789B14C4C44205044422E", 1},
                      {"none.sys", "", "00000000000000000000000000000000", 0},
                      {"short.sys", "short.pdb", "49EB016F", 2}};
    report.HasCode = true;
    report.Code = 0xD1;
    report.Parameters = {0x10, 2, 0, 0xFFFFF8054A2B1C3D};
    report.HasContext = true;
    report.ContextAddress = 0x7FFC6F361630;
    report.Registers = {{"CS", 0x10, 4}, {"EFLAGS", 0x202, 8}, {"RIP", 0xFFFFF8054A2B1000, 16}, {"CS", 0x18, 4}};
    report.HasStack = true;
    report.Frames = {At("vekcrashdmp.sys", 0x2553), At("crasher.sys", 0x1043), At(nullptr, 0xFFFFF80312345000)};
    report.Frames.Mutable()[0].StackPointer = 0xFFFFF80312345600;
    report.Frames.Mutable()[0].Words = {0, 0xFFFFF80312345700, 1, 0xFFFFC00012340000};
    report.Frames.Mutable()[1].Symbols = {{"Inner", false, 0, "d:\\src\\inner.h", 7},
                                {"CrasherTouch", true, 0x13, "d:\\src\\crasher.cpp", 64, false}};
    report.Frames.Mutable()[0].Symbols = {{"KeBugCheckEx", true, 0x40, "", 0, true}};
    report.Warnings = {"line 40: \"- RAX = 1\" is not a register line"};
    report.Repeats = 2;
    report.RepeatLines = {400, 800};
    report.Unsymbolized = {"ntoskrnl.exe: no PDB with its GUID and age"};
    return report;
}

// The line's members in their order, numbers and strings as they were
// written when each report was a nlohmann value dumped whole: readers of
// the JSON lines depend on them. A restore line after it keeps its place.
TEST(ReportJson, EveryMemberStaysAsReadersKnowIt)
{
    const std::string report =
        R"j({"kind":"report","source":"vm1.log","first_line":12,"last_line":345,"complete":true,"format":2,)j"
        R"j("time":"2026-12-07T04:36:42.123Z","os":{"major":10,"minor":0,"build":19045,)j"
        R"j("platform":"WIN32_NT (x64)","service_pack":{"major":1,"minor":0,"text":"Service Pack 1"},)j"
        R"j("suites":["SINGLEUSERTS","PERSONAL"],"type":"WORKSTATION","unavailable":{"size":20,)j"
        R"j("expected":284,"pointer":"0xFFFFF80312345678"}},"modules":[{"name":"crasher.sys",)j"
        R"j("pdb_name":"crasher.pdb","guid":"6B472C46-52DD-221E-4C4C-44205044422E",)j"
        R"j("guid_store":"6B472C4652DD221E4C4C44205044422E","age":26,)j"
        R"j("symbol_key":"crasher.pdb/6B472C4652DD221E4C4C44205044422E1A/crasher.pdb"},{"name":"x.sys",)j"
        R"j("pdb_name":"x.pdb","guid":"49EB016F-CC37-89B1-4C4C-44205044422E",)j"
        R"j("guid_store":"49EB016FCC3789B14C4C44205044422E","age":1,)j"
        R"j("symbol_key":"x.pdb/49EB016FCC3789B14C4C44205044422E1/x.pdb"},{"name":"none.sys","pdb_name":"",)j"
        R"j("guid":"00000000-0000-0000-0000-000000000000","guid_store":"00000000000000000000000000000000",)j"
        R"j("age":0,"symbol_key":null},{"name":"short.sys","pdb_name":"short.pdb","guid":"49EB016F",)j"
        R"j("guid_store":"49EB016F","age":2,"symbol_key":"short.pdb/49EB016F2/short.pdb"}],)j"
        R"j("bugcheck":{"code":"0x000000D1","name":"DRIVER_IRQL_NOT_LESS_OR_EQUAL",)j"
        R"j("parameters":["0x0000000000000010","0x0000000000000002","0x0000000000000000",)j"
        R"j("0xFFFFF8054A2B1C3D"],"parameter_labels":["memory referenced","IRQL","access (0 read, 1 write,)j"
        R"j( 8 execute)","address that referenced memory"],"meaning":"read of 0x10 at IRQL 2"},)j"
        R"j("context":{"address":"0x00007FFC6F361630","registers":{"CS":"0x0018","EFLAGS":"0x00000202",)j"
        R"j("RIP":"0xFFFFF8054A2B1000"}},)j"
        R"j("culprit_line":"0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in crasher.sys!CrasherTouch+0x13 (inner.h:7):)j"
        R"j( read of 0x10 at IRQL 2","culprit":{"frame":1,"rule":"outside_bugcheck_path",)j"
        R"j("text":"crasher.sys!CrasherTouch+0x13 (inner.h:7)","module":"crasher.sys",)j"
        R"j("offset":"0x0000000000001043","function":"CrasherTouch","function_offset":"0x0000000000000013",)j"
        R"j("file":"d:\\src\\inner.h","line":7},"stack":[{"stack_pointer":"0xFFFFF80312345600",)j"
        R"j("words":["0x0000000000000000","0xFFFFF80312345700","0x0000000000000001","0xFFFFC00012340000"],)j"
        R"j("module":"vekcrashdmp.sys","offset":"0x0000000000002553","function":"KeBugCheckEx",)j"
        R"j("function_offset":"0x40","file":"","line":0,"public_symbol":true,)j"
        R"j("symbols":[{"function":"KeBugCheckEx","file":"","line":0,"function_offset":"0x40"}]},)j"
        R"j({"stack_pointer":"0x0000000000000000","words":["0x0000000000000000","0x0000000000000000",)j"
        R"j("0x0000000000000000","0x0000000000000000"],"module":"crasher.sys","offset":"0x0000000000001043",)j"
        R"j("function":"CrasherTouch","function_offset":"0x13","file":"d:\\src\\crasher.cpp","line":64,)j"
        R"j("public_symbol":false,"symbols":[{"function":"Inner","file":"d:\\src\\inner.h","line":7},)j"
        R"j({"function":"CrasherTouch","file":"d:\\src\\crasher.cpp","line":64,"function_offset":"0x13"}]},)j"
        R"j({"stack_pointer":"0x0000000000000000","words":["0x0000000000000000","0x0000000000000000",)j"
        R"j("0x0000000000000000","0x0000000000000000"],"address":"0xFFFFF80312345000"}],)j"
        R"j("warnings":["line 40: \"- RAX = 1\" is not a register line"],"repeats":2,)j"
        R"j("repeated_at_lines":[400,800],"unsymbolized":["ntoskrnl.exe: no PDB with its GUID and age"]})j";

    std::ostringstream out;
    {
        decode::ReportStream stream(out, true, nullptr);
        stream.Report(EveryMember());
        stream.Restore({"vm1.log", 400, "Successful"});
        stream.Flush();
        EXPECT_EQ(out.str(), report + "\n" + R"({"kind":"restore","source":"vm1.log","line":400,"outcome":"Successful"})" "\n");
    }
    EXPECT_EQ(decode::ReportJsonLine(EveryMember()), report);
}

// The first report, the second and the first again through one JSON
// writer come out as each does alone: what the writer keeps from one
// report for the next never shows.
void ExpectJsonAsAlone(const decode::CrashReport& first, const decode::CrashReport& second)
{
    std::ostringstream out;
    {
        decode::JsonLineWriter lines(out);
        decode::ReportJsonWriter reports(lines);
        reports.Write(first);
        reports.Write(second);
        reports.Write(first);
    }
    EXPECT_EQ(out.str(), decode::ReportJsonLine(first) + "\n" + decode::ReportJsonLine(second) + "\n" +
                             decode::ReportJsonLine(first) + "\n");
}

// A report's module table is written again from the last one's JSON only
// when every member a row shows is the same: each case changes one.
TEST(ReportJson, ModuleTableKeptOnlyWhileItIsTheSame)
{
    struct Case {
        const char* Name;
        void (*Change)(std::vector<decode::ModuleRow>* rows);
    } cases[] = {
        {"same table", [](std::vector<decode::ModuleRow>*) {}},
        {"name", [](std::vector<decode::ModuleRow>* rows) { (*rows)[1].Name = "y.sys"; }},
        {"PDB column", [](std::vector<decode::ModuleRow>* rows) { (*rows)[1].PdbColumn = "C:\\build\\y.pdb"; }},
        {"GUID",
         [](std::vector<decode::ModuleRow>* rows) {
             std::string guid = (*rows)[1].Guid.String();
             guid.back() = guid.back() == 'F' ? 'E' : 'F';
             (*rows)[1].Guid = guid;
         }},
        {"age", [](std::vector<decode::ModuleRow>* rows) { (*rows)[1].Age = 2; }},
        {"a row fewer", [](std::vector<decode::ModuleRow>* rows) { rows->pop_back(); }},
        {"a row more", [](std::vector<decode::ModuleRow>* rows) { rows->push_back(rows->front()); }},
        {"no table", [](std::vector<decode::ModuleRow>* rows) { rows->clear(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        decode::CrashReport first = EveryMember();
        decode::CrashReport second = EveryMember();
        c.Change(&second.Modules.Mutable());
        ExpectJsonAsAlone(first, second);
    }
}

// A report of each of a fleet's machines, each table with a row of its own.
std::vector<decode::CrashReport> MachinesReports(size_t count)
{
    std::vector<decode::CrashReport> machines;
    for (size_t m = 0; m < count; ++m) {
        decode::CrashReport report = EveryMember();
        report.Modules.Mutable()[0].Name = "own" + std::to_string(m) + ".sys";
        machines.push_back(std::move(report));
    }
    return machines;
}

// A fleet's machines take turns, each report's table shared with its own
// machine's last: the writer keeps the JSON of the last few tables, and
// every line comes out as it does alone, however many machines take turns
// (more than are kept, too) and whether a table is shared or only equal.
TEST(ReportJson, TablesInTurnWriteAsAlone)
{
    struct Case {
        const char* Name;
        size_t Machines;
        bool Shared;  // a machine's reports share its table's rows
    } cases[] = {
        {"two machines", 2, true},
        {"as many machines as are kept", 65, true},
        {"more machines than are kept", 66, true},
        {"tables equal but not shared", 65, false},
        {"more tables equal but not shared than are kept", 66, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<decode::CrashReport> machines = MachinesReports(c.Machines);
        std::ostringstream out;
        std::string expected;
        {
            decode::JsonLineWriter lines(out);
            decode::ReportJsonWriter reports(lines);
            for (size_t round = 0; round < 3; ++round) {
                for (size_t m = 0; m < c.Machines; ++m) {
                    decode::CrashReport report = machines[m];  // shares its table
                    if (!c.Shared) {
                        report.Modules = decode::ModuleTable();
                        report.Modules.assign(machines[m].Modules.begin(), machines[m].Modules.end());
                    }
                    report.FirstLine = round * 100 + m;
                    reports.Write(report);
                    expected += decode::ReportJsonLine(report) + "\n";
                }
            }
        }
        EXPECT_EQ(out.str(), expected);
    }
}

// With each table written once, a report line with its "modules_id" put
// back as the table line's rows is the line it is alone, each id names a
// table line before it, and no id is given twice. A table shared (or the
// last one) is not written again while it is kept.
TEST(ReportJson, ModulesOnceReadBackAsAlone)
{
    struct Case {
        const char* Name;
        size_t Machines;
        bool Shared;  // a machine's reports share its table's rows
        bool Empty;   // the first machine's reports have no table
        bool Large;   // the first machine's table is past what is kept
        size_t Rows;  // every machine's table has this many rows (0: as made)
        size_t TableLines;  // 0: as many as it takes
    } cases[] = {
        {"one table", 1, true, false, false, 0, 1},
        {"one table, equal but not shared", 1, false, false, false, 0, 1},
        {"as many machines as are kept", 65, true, false, false, 0, 65},
        {"more machines than are kept", 66, true, false, false, 0, 198},
        {"tables equal but not shared", 65, false, false, false, 0, 65},
        {"more tables equal but not shared than are kept", 66, false, false, false, 0, 198},
        {"one machine without a table", 3, true, true, false, 0, 0},
        {"no table at all", 1, true, true, false, 0, 1},
        {"a table too large to keep, in turn", 2, true, false, true, 0, 4},
        // About 150 KiB of JSON each: kept one by one, not all together.
        {"tables too large to keep all, in turn", 32, false, false, false, 700, 96},
    };
    constexpr size_t Rounds = 3;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<decode::CrashReport> machines = MachinesReports(c.Machines);
        if (c.Empty) {
            machines[0].Modules.clear();
        }
        // About 400 KiB of JSON, where a table's is kept up to 256 KiB.
        constexpr size_t LargeRows = 2000;
        while (c.Large && machines[0].Modules.size() < LargeRows) {
            machines[0].Modules.push_back(machines[0].Modules.front());
        }
        for (decode::CrashReport& machine : machines) {
            while (machine.Modules.size() < c.Rows) {
                machine.Modules.push_back(machine.Modules.front());
            }
        }
        std::ostringstream out;
        std::vector<std::string> alone;
        {
            decode::JsonLineWriter lines(out);
            decode::ReportJsonWriter reports(lines);
            reports.ModulesOnce(true);
            for (size_t round = 0; round < Rounds; ++round) {
                for (size_t m = 0; m < c.Machines; ++m) {
                    decode::CrashReport report = machines[m];
                    if (!c.Shared) {
                        report.Modules = decode::ModuleTable();
                        report.Modules.assign(machines[m].Modules.begin(), machines[m].Modules.end());
                    }
                    report.FirstLine = round * 100 + m;
                    reports.Write(report);
                    alone.push_back(decode::ReportJsonLine(report));
                }
            }
        }
        std::map<std::string, std::string> tables;  // id, rows
        size_t reportLines = 0;
        std::istringstream read(out.str());
        for (std::string line; std::getline(read, line);) {
            constexpr std::string_view TableHead = R"({"kind":"modules","id":)";
            if (line.compare(0, TableHead.size(), TableHead) == 0) {
                size_t rows = line.find(",\"modules\":");
                ASSERT_NE(rows, std::string::npos) << line;
                std::string id = line.substr(TableHead.size(), rows - TableHead.size());
                EXPECT_TRUE(tables.emplace(id, line.substr(rows + 11, line.size() - rows - 12)).second) << id;
                continue;
            }
            ASSERT_LT(reportLines, alone.size()) << line;
            size_t at = line.find(",\"modules_id\":");
            ASSERT_NE(at, std::string::npos) << line;
            size_t end = line.find(',', at + 1);
            auto table = tables.find(line.substr(at + 14, end - at - 14));
            ASSERT_NE(table, tables.end()) << line;
            EXPECT_EQ(line.substr(0, at) + ",\"modules\":" + table->second + line.substr(end), alone[reportLines]);
            ++reportLines;
        }
        EXPECT_EQ(reportLines, alone.size());
        if (c.TableLines != 0) {
            EXPECT_EQ(tables.size(), c.TableLines);
        }
    }
}

// Each row of the module table is what nlohmann dumps for its members,
// whichever way the writer put it together: whole where its names need no
// escaping, member by member where they do.
TEST(ReportJson, ModuleRowsAreWhatNlohmannDumpsWhateverTheirNames)
{
    const std::string guid = "6B472C4652DD221E4C4C44205044422E";
    const decode::ModuleRow rows[] = {
        {"plain.sys", "", guid, 0x1A},
        {"quote\"d.sys", "", guid, 1},
        {"back\\slash.sys", "C:\\build\\x.pdb", guid, 2},
        {"bell\x07.sys", "", guid, 3},
        {"caf\xC3\xA9.sys", "caf\xC3\xA9.pdb", guid, 4},
        {"bad\xFF.sys", "", guid, 5},
        {"del\x7F.sys", "", guid, 6},
        {"no-identity.sys", "", "00000000000000000000000000000000", 0},
        {"no-identity-named.sys", "named.pdb", "00000000000000000000000000000000", 0},
        {"age-only.sys", "", "00000000000000000000000000000000", 9},
        {"short.sys", "short.pdb", "49EB016F", 2},
        {"", "", guid, 1},
        {"noext", "", guid, 0xFFFFFFFF},
        {std::string(700, 'n') + ".sys", std::string(300, 'p') + ".pdb", guid, 7},
    };
    decode::CrashReport report = EveryMember();
    report.Modules.assign(std::begin(rows), std::end(rows));
    nlohmann::ordered_json expected = nlohmann::ordered_json::array();
    for (const decode::ModuleRow& row : rows) {
        std::string key = row.SymbolKey();
        expected.push_back({{"name", row.Name},
                            {"pdb_name", row.PdbName()},
                            {"guid", row.GuidDashed()},
                            {"guid_store", row.Guid.String()},
                            {"age", row.Age},
                            {"symbol_key", key.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(key)}});
    }
    std::string line = decode::ReportJsonLine(report);
    std::string modules = "\"modules\":" + decode::JsonLine(expected) + ",\"bugcheck\":";
    EXPECT_NE(line.find(modules), std::string::npos) << line;
}

// The culprit line, bug check block and stack (text and JSON) come from
// the last report's only while what they show is the same: each case
// changes one thing the first report shows, and three reports in a row
// come out as each does alone.
TEST(ReportText, PartsKeptOnlyWhileWhatTheyShowIsTheSame)
{
    struct Case {
        const char* Name;
        void (*Change)(decode::CrashReport* report);
        // Applied to both reports first: what makes the change matter.
        void (*Both)(decode::CrashReport* report) = [](decode::CrashReport*) {};
    } cases[] = {
        {"same report", [](decode::CrashReport*) {}},
        {"another time and lines", [](decode::CrashReport* r) { r->Time->Minute = 37; r->FirstLine = 400; }},
        {"frame module", [](decode::CrashReport* r) { r->Frames.Mutable()[1].Module = "other.sys"; }},
        {"frame offset", [](decode::CrashReport* r) { r->Frames.Mutable()[1].Offset = 0x1044; }},
        {"bare address", [](decode::CrashReport* r) { r->Frames.Mutable()[2].Address += 0x10; }},
        {"frame stack pointer", [](decode::CrashReport* r) { r->Frames.Mutable()[2].StackPointer = 8; }},
        {"word on top of the stack",
         [](decode::CrashReport* r) { r->Frames.Mutable()[2].Words[0] = 0xFFFFF80312349999; },
         // A fetch fault at the bare frame: the culprit is read off its top
         // word.
         [](decode::CrashReport* r) { r->Parameters = {0xFFFFF80312345000, 2, 8, 0xFFFFF80312345000}; }},
        {"symbol function", [](decode::CrashReport* r) { r->Frames.Mutable()[1].Symbols[1].Function = "CrasherRead"; }},
        {"symbol line", [](decode::CrashReport* r) { r->Frames.Mutable()[1].Symbols[0].Line = 8; }},
        {"public symbol", [](decode::CrashReport* r) { r->Frames.Mutable()[0].Symbols[0].PublicSymbol = false; }},
        {"an inline fewer",
         [](decode::CrashReport* r) {
             std::vector<decode::SourceLocation>& symbols = r->Frames.Mutable()[1].Symbols;
             symbols.erase(symbols.begin());
         }},
        {"a frame fewer", [](decode::CrashReport* r) { r->Frames.pop_back(); }},
        {"no frames", [](decode::CrashReport* r) { r->Frames.clear(); }},
        {"no stack", [](decode::CrashReport* r) { r->HasStack = false; r->Frames.clear(); }},
        {"stack cut", [](decode::CrashReport* r) { r->StackCut = true; },
         // Only the reporter's frame: no culprit, and the reason depends on
         // the cut.
         [](decode::CrashReport* r) { r->Frames.Mutable().resize(1); }},
        {"code", [](decode::CrashReport* r) { r->Code = 0x0A; }},
        {"parameter", [](decode::CrashReport* r) { r->Parameters[2] = 1; }},
        {"no code", [](decode::CrashReport* r) { r->HasCode = false; }},
        // Parameter 2's execute bit is read from Windows 10 on.
        {"build", [](decode::CrashReport* r) { r->Os.Build = 7601; },
         [](decode::CrashReport* r) { r->Code = 0x50; r->Parameters = {0xFFFF1000, 0x10, 0, 0}; }},
        {"no kernel line", [](decode::CrashReport* r) { r->Os.HasKernel = false; },
         [](decode::CrashReport* r) { r->Code = 0x50; r->Parameters = {0xFFFF1000, 0x10, 0, 0}; }},
        // The register context (JSON only).
        {"register value", [](decode::CrashReport* r) { r->Registers.Mutable()[2].Value += 1; }},
        {"register width", [](decode::CrashReport* r) { r->Registers.Mutable()[1].Digits = 4; }},
        {"register name", [](decode::CrashReport* r) { r->Registers.Mutable()[1].Name = "RFLAGS"; }},
        {"the register given twice once", [](decode::CrashReport* r) { r->Registers.pop_back(); }},
        {"context address", [](decode::CrashReport* r) { r->ContextAddress += 0x10; }},
        {"no context", [](decode::CrashReport* r) { r->HasContext = false; }},
        // The OS lines.
        {"major version", [](decode::CrashReport* r) { r->Os.Major = 6; }},
        {"minor version", [](decode::CrashReport* r) { r->Os.Minor = 1; }},
        {"platform", [](decode::CrashReport* r) { r->Os.Platform = "WIN32s"; }},
        {"service pack number", [](decode::CrashReport* r) { r->Os.ServicePackMinor = 2; }},
        {"service pack text", [](decode::CrashReport* r) { r->Os.ServicePackText = "Service Pack 2"; }},
        {"no service pack", [](decode::CrashReport* r) { r->Os.HasServicePack = false; }},
        {"product type", [](decode::CrashReport* r) { r->Os.Type = "SERVER"; }},
        {"no product type", [](decode::CrashReport* r) { r->Os.Type.clear(); }},
        {"a suite more", [](decode::CrashReport* r) { r->Os.Suites.push_back("TERMINAL"); }},
        {"suites swapped", [](decode::CrashReport* r) { std::swap(r->Os.Suites[0], r->Os.Suites[1]); }},
        {"version block size", [](decode::CrashReport* r) { r->Os.UnavailableSize = 24; },
         [](decode::CrashReport* r) { r->Os.HasKernel = false; }},
        {"version block expected", [](decode::CrashReport* r) { r->Os.UnavailableExpected = 276; },
         [](decode::CrashReport* r) { r->Os.HasKernel = false; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        decode::CrashReport first = EveryMember();
        c.Both(&first);
        decode::CrashReport second = first;
        c.Change(&second);
        std::string alone;
        decode::AppendReportText(&alone, first, 1);
        decode::AppendReportText(&alone, second, 2);
        decode::AppendReportText(&alone, first, 3);
        decode::ReportTextCache cache;
        std::string cached;
        decode::AppendReportText(&cached, first, 1, false, &cache);
        decode::AppendReportText(&cached, second, 2, false, &cache);
        decode::AppendReportText(&cached, first, 3, false, &cache);
        EXPECT_EQ(cached, alone);
        ExpectJsonAsAlone(first, second);
    }
}

// Each string the JSON lines hold, as a value and as a member's name, is
// what nlohmann's dump (bytes that are not UTF-8 replaced) writes for it:
// a judge apart from the writer. C1 and bidi controls then go through
// JsonSafeText, as every line did (its own cases are in TerminalSafety).
TEST(JsonLineWriter, StringsAreWhatNlohmannDumpWrites)
{
    struct Case {
        std::string Name;
        std::string Text;
    };
    std::vector<Case> cases = {
        {"empty", ""},
        {"plain", "crasher.sys"},
        {"quote", "quo\"te"},
        {"backslash", "C:\\build\\x.pdb"},
        {"slash", "a/b"},
        {"DEL", "del\x7F"},
        {"ESC", "esc\x1B[2J.sys"},
        {"NUL", std::string("nul\0byte", 8)},
        {"stray continuation", "x\x80y"},
        {"stray byte", "stray\x9B.sys"},
        {"lead at the end", "cut\xC3"},
        {"cut sequence, then ASCII", "\xE2\x82x"},
        {"overlong", "\xC0\xAF"},
        {"surrogate", "\xED\xA0\x80"},
        {"past U+10FFFF", "\xF4\x90\x80\x80"},
        {"never UTF-8", "\xFF\xFE"},
        {"two-byte", "\xC3\xA9t\xC3\xA9"},
        {"four-byte", "\xF0\x9F\x98\x80"},
        {"C1 control", "csi\xC2\x9B"},
        {"bidi override", "evil\xE2\x80\xAEsys.exe"},
        {"line separator", "a\xE2\x80\xA8" "b"},
        {"long plain", std::string(100000, 'a')},
    };
    for (int c = 0; c < 0x20; ++c) {
        cases.push_back({"control " + std::to_string(c), "<" + std::string(1, static_cast<char>(c)) + ">"});
    }
    std::string quoted, hostile;
    for (int i = 0; i < 3000; ++i) {
        quoted += "0123456789abcdef0123456789ABCDEF\"\\/";
        hostile += "module\x1F\xC3\xA9\xFF\"\\\xC2\x85\xE2\x80\xAE";
    }
    cases.push_back({"long, quoted", quoted});
    cases.push_back({"long, hostile", hostile});
    // One byte that is not printable ASCII, or is to be escaped, at the
    // head, the tail or the middle of text of every length a name has:
    // texts are looked at in blocks and words that overlap at their ends.
    for (size_t length = 1; length <= 40; ++length) {
        for (size_t at : {size_t{0}, size_t{1}, length / 2, length - 2, length - 1}) {
            for (char odd : {'\0', '\x1F', '"', '\\', '\x7F', '\x80', '\xC3', '\xFF'}) {
                if (at < length) {
                    std::string text(length, 'a');
                    text[at] = odd;
                    cases.push_back({"byte " + std::to_string(static_cast<unsigned char>(odd)) + " at " +
                                         std::to_string(at) + " of " + std::to_string(length),
                                     text});
                }
            }
        }
    }

    constexpr auto Replace = nlohmann::json::error_handler_t::replace;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::ostringstream out;
        {
            decode::JsonLineWriter line(out);
            line.String(c.Text);
            line.EndLine();
            line.StartObject();
            line.Key(c.Text);
            line.String(c.Text);
            line.EndObject();
            line.EndLine();
        }
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        object[c.Text] = c.Text;
        EXPECT_EQ(out.str(), decode::JsonSafeText(nlohmann::json(c.Text).dump(-1, ' ', false, Replace)) + "\n" +
                                 decode::JsonSafeText(object.dump(-1, ' ', false, Replace)) + "\n");
        bool verbatim = std::all_of(c.Text.begin(), c.Text.end(), [](char byte) {
            return static_cast<unsigned char>(byte) >= 0x20 && static_cast<unsigned char>(byte) < 0x80 &&
                   byte != '"' && byte != '\\';
        });
        EXPECT_EQ(decode::VerbatimInJson(c.Text), verbatim);
    }
}

}  // namespace
