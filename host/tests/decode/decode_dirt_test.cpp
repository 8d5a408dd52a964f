// The decoder over dirty console logs: each kind of dirt a real serial
// capture carries, and what must still come out of it.
#include "decode/decode_command.h"
#include "decode/log_scanner.h"
#include "decode/report_output.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// One report as the driver prints it (the shipped image's default machine).
const std::string CleanReport =
    "\nBUGCHECK DUMP STARTS\n"
    "OUTPUT FORMAT: 2\n"
    "CRASHED ON: 2026-12-07 04:36:42:123\n"
    "KERNEL: 10.0 (BUILD 19045) PLATFORM WIN32_NT (x64)\n"
    "SUITES:\n"
    "- SINGLEUSERTS\n"
    "- PERSONAL\n"
    "TYPE: WORKSTATION\n"
    "Module\tPdbName\tGuid\tPdbAge\n"
    "ntoskrnl.exe\t\t6B472C4652DD221E4C4C44205044422E\t1\n"
    "hal.dll\t\t00000000000000000000000000000000\t0\n"
    "vekcrashdmp.sys\t\t49EB016FCC3789B14C4C44205044422E\t1A\n"
    "BUGCHECK CODE 000000D1: 0000000000000010 0000000000000002 0000000000000000 FFFFF8054A2B1C3D\n"
    "CONTEXT (00007FFC6F361630):\n"
    "- GS = 002B\n- FS = 0053\n- ES = 002B\n- DS = 002B\n- SS = 0018\n- CS = 0010\n"
    "- EFLAGS = 00000202\n"
    "- RDI = 0000000000000001\n- RSI = 0000000000000002\n- RBX = 0000000000000003\n"
    "- RDX = 0000000000000004\n- RCX = 0000000000000005\n- RAX = 0000000000000006\n"
    "- RBP = 0000000000000007\n- RIP = FFFFF8054A2B1000\n- RSP = FFFFF80312345600\n"
    "- R8 = 0000000000000008\n- R9 = 0000000000000009\n- R10 = 000000000000000A\n"
    "- R11 = 000000000000000B\n- R12 = 000000000000000C\n- R13 = 000000000000000D\n"
    "- R14 = 000000000000000E\n- R15 = 000000000000000F\n"
    "STACK:\n"
    "FFFFF80312345670: (0000000000000000 FFFFF80312345700 0000000000000001 FFFFC00012340000) "
    "vekcrashdmp.sys + 0000000000002553\n"
    "FFFFF80312345700: (0000000000000000 0000000000000000 0000000000000000 0000000000000000) "
    "FFFFF80300001234\n"
    "BUGCHECK DUMP ENDS\n";

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string Before(const std::string& text, const std::string& marker)
{
    return text.substr(0, text.find(marker));
}

struct Decoded {
    std::vector<decode::CrashReport> Reports;
    std::vector<decode::RestoreLine> Restores;
};

// The log through the scanner, from a file descriptor as the tool reads it.
Decoded Scan(const std::string& log)
{
    int fd = ::memfd_create("console", 0);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, log.data(), log.size()), static_cast<ssize_t>(log.size()));
    ::lseek(fd, 0, SEEK_SET);
    Decoded decoded;
    decode::ScanSink sink;
    sink.Report = [&](decode::CrashReport&& report) { decoded.Reports.push_back(std::move(report)); };
    sink.Restore = [&](decode::RestoreLine&& line) { decoded.Restores.push_back(std::move(line)); };
    EXPECT_TRUE(decode::ScanDescriptor(fd, "console.log", sink));
    ::close(fd);
    return decoded;
}

bool AnyWarningHas(const decode::CrashReport& report, const std::string& text)
{
    for (const std::string& warning : report.Warnings) {
        if (warning.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void ExpectCleanValues(const decode::CrashReport& report)
{
    ASSERT_TRUE(report.Time);
    EXPECT_EQ(report.Time->Year, 2026);
    EXPECT_EQ(report.Time->Millisecond, 123);
    EXPECT_EQ(report.Os.Build, 19045u);
    EXPECT_EQ(report.Os.Suites, (std::vector<std::string>{"SINGLEUSERTS", "PERSONAL"}));
    EXPECT_EQ(report.Code, 0xD1u);
    EXPECT_EQ(report.Parameters[3], 0xFFFFF8054A2B1C3Dull);
    ASSERT_EQ(report.Modules.size(), 3u);
    EXPECT_EQ(report.Modules[2].SymbolKey(),
              "vekcrashdmp.pdb/49EB016FCC3789B14C4C44205044422E1A/vekcrashdmp.pdb");
    EXPECT_EQ(report.Registers.size(), 24u);
    ASSERT_EQ(report.Frames.size(), 2u);
    EXPECT_EQ(report.Frames[0].Module, "vekcrashdmp.sys");
    EXPECT_EQ(report.Frames[0].Offset, 0x2553u);
    EXPECT_FALSE(report.Frames[1].HasModule);
    EXPECT_EQ(report.Frames[1].Address, 0xFFFFF80300001234ull);
}

TEST(DecodeClean, ReadsEveryValueOfTheReport)
{
    Decoded decoded = Scan(CleanReport);
    ASSERT_EQ(decoded.Reports.size(), 1u);
    EXPECT_TRUE(decoded.Reports[0].Complete);
    EXPECT_TRUE(decoded.Reports[0].Warnings.empty()) << decoded.Reports[0].Warnings[0];
    ExpectCleanValues(decoded.Reports[0]);
}

// Dirt that must leave the report's values intact.
struct IntactCase {
    const char* Name;
    std::string Log;
    size_t Reports;
};

TEST(DecodeDirt, KeepsTheReportIntact)
{
    const std::string noise = std::string("\x00\xFF\x1B[2J\x80garbage\x00", 14);
    const IntactCase cases[] = {
        {"CR LF line ends", Replace(CleanReport, "\n", "\r\n"), 1},
        {"doubled CRs", Replace(CleanReport, "\n", "\r\r\n"), 1},
        {"LF CR line ends", Replace(CleanReport, "\n", "\n\r"), 1},
        {"boot output before and after",
         "Loading Windows...\nUEFI Interactive Shell\n" + CleanReport + "Rebooting\n", 1},
        {"no final line feed", CleanReport.substr(0, CleanReport.size() - 1), 1},
        {"binary noise around", noise + "\n" + noise + CleanReport + noise, 1},
        {"noise before the start marker on its line",
         Replace(CleanReport, "\nBUGCHECK DUMP STARTS", "\n\x07\x7F junk BUGCHECK DUMP STARTS"), 1},
        {"two reports with output between",
         CleanReport + "Windows is restarting\n" + noise + "\n" + Replace(CleanReport, "04:36:42", "04:37:42"),
         2},
        {"an end line without a start before the report", "BUGCHECK DUMP ENDS\n" + CleanReport, 1},
    };
    for (const IntactCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Decoded decoded = Scan(c.Log);
        ASSERT_EQ(decoded.Reports.size(), c.Reports);
        for (const decode::CrashReport& report : decoded.Reports) {
            EXPECT_TRUE(report.Complete);
            EXPECT_TRUE(report.Warnings.empty()) << report.Warnings[0];
            ExpectCleanValues(report);
        }
    }
}

// Dirt that damages a report: it comes back partial or with a warning that
// names what is missing, and the next report is unharmed.
struct DamagedCase {
    const char* Name;
    std::string Log;
    bool Complete;
    const char* Warning;
};

TEST(DecodeDirt, NamesWhatIsMissing)
{
    const DamagedCase cases[] = {
        {"cut after the module table", Before(CleanReport, "BUGCHECK CODE"), false,
         "missing bug check code, register context, stack trace"},
        {"cut inside the context", Before(CleanReport, "- R9 ="), false, "missing 7 of 24 registers, stack trace"},
        {"cut right after the start line", "\nBUGCHECK DUMP STARTS\n", false,
         "missing format line, crash time, OS version"},
        {"a new report starts before the end", Before(CleanReport, "STACK:") + CleanReport, false,
         "a new report starts at line"},
        {"a line damaged by noise", Replace(CleanReport, "- RBX = 0000000000000003", "- RBX = 00\xFF\x00"),
         true, "not understood: \"- RBX = 00\\xFF"},
        {"a stack line cut by noise", Replace(CleanReport, ") FFFFF80300001234", ") FFFF"), true,
         "not understood"},
        {"an overlong line", Replace(CleanReport, "TYPE: WORKSTATION", "TYPE: " + std::string(10000, 'W')),
         true, "longer than 4096 bytes"},
    };
    for (const DamagedCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Decoded decoded = Scan(c.Log);
        ASSERT_GE(decoded.Reports.size(), 1u);
        const decode::CrashReport& report = decoded.Reports[0];
        EXPECT_EQ(report.Complete, c.Complete);
        if (c.Warning != nullptr) {
            EXPECT_TRUE(AnyWarningHas(report, c.Warning))
                << (report.Warnings.empty() ? std::string("no warnings") : report.Warnings.back());
        } else {
            EXPECT_TRUE(report.Warnings.empty()) << report.Warnings[0];
        }
        if (decoded.Reports.size() > 1) {
            EXPECT_TRUE(decoded.Reports[1].Complete);
            ExpectCleanValues(decoded.Reports[1]);
        }
    }
}

TEST(DecodeDirt, VersionUnavailableLineIsRead)
{
    std::string log = Replace(CleanReport,
                              "KERNEL: 10.0 (BUILD 19045) PLATFORM WIN32_NT (x64)\nSUITES:\n"
                              "- SINGLEUSERTS\n- PERSONAL\nTYPE: WORKSTATION\n",
                              "NO OS VERSION AVAILABLE: 276 284 FFFFC00012340000\n");
    Decoded decoded = Scan(log);
    ASSERT_EQ(decoded.Reports.size(), 1u);
    EXPECT_TRUE(decoded.Reports[0].Os.Unavailable);
    EXPECT_EQ(decoded.Reports[0].Os.UnavailableSize, 276u);
    EXPECT_EQ(decoded.Reports[0].Os.UnavailablePointer, 0xFFFFC00012340000ull);
}

TEST(DecodeDirt, FindsRestoreOutcomeLinesAnywhere)
{
    std::string log = "Viridian State Restoration is Successful\n" + CleanReport +
                      "\x01noise Viridian State Restoration is Failed\r\n";
    Decoded decoded = Scan(log);
    ASSERT_EQ(decoded.Restores.size(), 2u);
    EXPECT_EQ(decoded.Restores[0].Outcome, "Successful");
    EXPECT_EQ(decoded.Restores[0].Line, 1u);
    EXPECT_EQ(decoded.Restores[1].Outcome, "Failed");
    EXPECT_EQ(decoded.Reports.size(), 1u);
}

// The stream folds a report printed again for the same crash, and only that.
TEST(DecodeRepeats, OneCrashPrintedTwiceShowsOnce)
{
    struct Case {
        const char* Name;
        std::string Log;
        unsigned Written;
        unsigned Repeats;
    };
    const Case cases[] = {
        {"identical copies", CleanReport + CleanReport, 1, 1},
        {"second copy a little later", CleanReport + Replace(CleanReport, ":42:123", ":43:7"), 1, 1},
        {"another crash an hour later", CleanReport + Replace(CleanReport, "04:36", "05:36"), 2, 0},
        {"another code", CleanReport + Replace(CleanReport, "CODE 000000D1", "CODE 0000000A"), 2, 0},
        {"a cut first copy", Before(CleanReport, "STACK:") + CleanReport, 2, 0},
        {"a thousand copies", [] {
             std::string log;
             for (int i = 0; i < 1000; ++i) {
                 log += CleanReport;
             }
             return log;
         }(), 1, 999},
        {"restore line between", CleanReport + "Viridian State Restoration is Successful\n" + CleanReport,
         2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::ostringstream out;
        decode::ReportStream stream(out, true, nullptr);
        decode::ScanSink sink;
        sink.Report = [&](decode::CrashReport&& report) { stream.Report(std::move(report)); };
        sink.Restore = [&](decode::RestoreLine&& line) { stream.Restore(std::move(line)); };
        int fd = ::memfd_create("console", 0);
        ASSERT_EQ(::write(fd, c.Log.data(), c.Log.size()), static_cast<ssize_t>(c.Log.size()));
        ::lseek(fd, 0, SEEK_SET);
        decode::ScanDescriptor(fd, "console.log", sink);
        ::close(fd);
        stream.Flush();
        EXPECT_EQ(stream.Written(), c.Written);
        size_t repeats = out.str().find("\"repeats\":" + std::to_string(c.Repeats) + ",");
        EXPECT_EQ(repeats != std::string::npos, c.Repeats != 0) << out.str();
        EXPECT_LE(out.str().size(), 4096u * c.Written) << "repeat lines are bounded";
    }
}

TEST(DecodeNames, CommonCodesHaveTheirNames)
{
    const std::pair<uint32_t, const char*> cases[] = {
        {0xD1, "DRIVER_IRQL_NOT_LESS_OR_EQUAL"}, {0x0A, "IRQL_NOT_LESS_OR_EQUAL"},
        {0x3B, "SYSTEM_SERVICE_EXCEPTION"},      {0x50, "PAGE_FAULT_IN_NONPAGED_AREA"},
        {0x7E, "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED"}, {0x1E, "KMODE_EXCEPTION_NOT_HANDLED"},
        {0x139, "KERNEL_SECURITY_CHECK_FAILURE"}, {0xE2, "MANUALLY_INITIATED_CRASH"},
        {0x1000007E, "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED_M"}, {0x12345678, nullptr},
    };
    for (const auto& c : cases) {
        const char* name = decode::BugCheckName(c.first);
        EXPECT_STREQ(name, c.second) << std::hex << c.first;
    }
}

}  // namespace
