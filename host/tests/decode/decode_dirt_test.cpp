// The decoder over dirty console logs: each kind of dirt a real serial
// capture carries, and what must still come out of it.
#include "decode/decode_command.h"
#include "decode/logs/log_scanner.h"
#include "decode/logs/marker_search.h"
#include "decode/logs/plain_rows.h"
#include "decode/triage/report_output.h"
#include "decode/reports/report_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include <sstream>
#include <string>
#include <sys/mman.h>
#include <thread>
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

// The report with its crash time line saying `time` instead.
std::string WithTime(const std::string& text, const std::string& time)
{
    const std::string key = "CRASHED ON: ";
    const size_t at = text.find(key) + key.size();
    return text.substr(0, at) + time + text.substr(text.find('\n', at));
}

std::string Before(const std::string& text, const std::string& marker)
{
    return text.substr(0, text.find(marker));
}

// Two sources' lines taken in turn, each behind its own prefix, as a
// multiplexed console log writes them.
std::string Interleave(const std::string& a, const std::string& aPrefix, const std::string& b,
                       const std::string& bPrefix)
{
    std::istringstream aLines(a), bLines(b);
    std::string out, line;
    for (bool aLeft = true, bLeft = true; aLeft || bLeft;) {
        if ((aLeft = static_cast<bool>(std::getline(aLines, line)))) {
            out += aPrefix + line + "\n";
        }
        if ((bLeft = static_cast<bool>(std::getline(bLines, line)))) {
            out += bPrefix + line + "\n";
        }
    }
    return out;
}

struct Decoded {
    std::vector<decode::CrashReport> Reports;
    std::vector<decode::RestoreLine> Restores;
};

// The log through the scanner, from a file descriptor as the tool reads it.
// With takeOver false, every line is parsed: nothing is taken over from
// the report before.
Decoded Scan(const std::string& log, bool takeOver = true)
{
    int fd = ::memfd_create("console", 0);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, log.data(), log.size()), static_cast<ssize_t>(log.size()));
    ::lseek(fd, 0, SEEK_SET);
    Decoded decoded;
    decode::ScanSink sink;
    sink.Report = [&](decode::CrashReport&& report) { decoded.Reports.push_back(std::move(report)); };
    sink.Restore = [&](decode::RestoreLine&& line) { decoded.Restores.push_back(std::move(line)); };
    sink.TakeOver = takeOver;
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

// Every line of the report behind the same prefix: what a terminal logger,
// a serial server or a colouring pager puts there.
std::string Prefixed(const std::string& report, const std::function<std::string(size_t)>& prefix)
{
    std::string out;
    size_t index = 0;
    for (size_t at = 0; at < report.size();) {
        size_t end = report.find('\n', at);
        std::string line = report.substr(at, end - at);
        out += (line.empty() ? "" : prefix(index++) + line) + "\n";
        at = end + 1;
    }
    return out;
}

// The tag a multiplexer puts before each line of a source.
std::string Tag(size_t source, size_t)
{
    return "vm" + std::to_string(source) + "| ";
}

// Sources stopping at once, their consoles multiplexed a line of each in
// turn, each behind its own tag ("vm0| ", "vm1| ", ...), or what `prefix`
// makes of the source and the line's place in the log; a source's lines
// that are no report (a machine that did not stop) as chatter.
std::string Multiplexed(size_t sources, const std::string& chatter = "",
                        const std::function<std::string(size_t, size_t)>& prefix = Tag)
{
    std::vector<std::string> logs;
    for (size_t i = 0; i < sources; ++i) {
        logs.push_back(Replace(CleanReport, "04:36:42", std::to_string(10 + i / 40) + ":" + std::to_string(10 + i % 40) + ":42"));
    }
    if (!chatter.empty()) {
        logs.push_back(chatter);
    }
    std::vector<std::istringstream> readers(logs.begin(), logs.end());
    std::string out, line;
    for (bool left = true; left;) {
        left = false;
        for (size_t i = 0; i < readers.size(); ++i) {
            if (std::getline(readers[i], line)) {
                out += prefix(i, static_cast<size_t>(std::count(out.begin(), out.end(), '\n'))) + line + "\n";
                left = true;
            }
        }
    }
    return out;
}

TEST(DecodeDirt, KeepsTheReportIntact)
{
    const std::string noise = std::string("\x00\xFF\x1B[2J\x80garbage\x00", 14);
    std::string chatter;  // of a machine booting, a line for each of a report's
    for (size_t i = 0; i < 60; ++i) {
        chatter += "[    " + std::to_string(i) + ".000000] systemd[1]: Started unit " + std::to_string(i) + "\n";
    }
    const std::string vm1 = Prefixed(CleanReport, [](size_t) { return std::string("vm1| "); });
    // A multiplexer that stamps each line with its time too, before or
    // after the tag, or a syslog server naming each line's host: the
    // prefix changes on every line, and only its words tell sources apart.
    auto stamp = [](size_t line) {
        char text[32];
        std::snprintf(text, sizeof text, "[10:%02zu:%02zu.%03zu]", line / 600 % 60, line / 10 % 60, line * 7 % 1000);
        return std::string(text);
    };
    auto tagThenStamp = [&](size_t source, size_t line) { return Tag(source, line) + stamp(line) + " "; };
    auto stampThenTag = [&](size_t source, size_t line) { return stamp(line) + " " + Tag(source, line); };
    auto syslog = [&](size_t source, size_t line) {
        return "Dec 10 " + stamp(line).substr(1, 8) + " node-0" + std::to_string(source) + " kernel: ";
    };
    auto damagedStart = [](std::string log) {  // "vn0| " for "vm0| "
        log[log.rfind('\n', log.find("BUGCHECK DUMP STARTS")) + 2] = 'n';
        return log;
    };
    const std::string reportRows = Before(CleanReport.substr(CleanReport.find("OUTPUT FORMAT")), "BUGCHECK DUMP ENDS");
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
        {"CR and LF line ends mixed in one report",
         Before(CleanReport, "CONTEXT") + Replace(CleanReport.substr(CleanReport.find("CONTEXT")), "\n", "\r"), 1},
        {"LF line ends inside a log of CRs",
         Replace(Before(CleanReport, "STACK:"), "\n", "\r") + CleanReport.substr(CleanReport.find("STACK:")), 1},
        {"two sources interleaved behind their prefixes",
         Interleave(CleanReport, "vm1| ", Replace(CleanReport, "04:36:42", "04:37:42"), "vm2| "), 2},
        {"another source's chatter between every line", Interleave(CleanReport, "vm1| ", chatter, "vm2| "), 1},
        {"a burst of three lines of another source's chatter",
         Replace(vm1, "vm1| SUITES:\n", "vm1| SUITES:\n" + Prefixed(Before(chatter, "[    3."), [](size_t) {
                     return std::string("vm2| ");
                 })),
         1},
        {"another source's chatter, then a third source stops too",
         Interleave(Interleave(CleanReport, "vm1| ", chatter, "vm2| "), "",
                    Prefixed("\n\n\n\n\n\n\n\n" + Replace(CleanReport, "04:36:42", "04:37:42"),
                             [](size_t) { return std::string("vm3| "); }),
                    ""),
         2},
        {"another source's rows, once its chatter came between the lines",
         Interleave(CleanReport, "vm1| ",
                    Before(chatter, "[    10.") + "x.sys\t\t6B472C4652DD221E4C4C44205044422E\t1\n"
                                                 "y.sys\t\t6B472C4652DD221E4C4C44205044422E\t1\n",
                    "vm2| "),
         1},
        {"a timestamp to the second, noise without one between lines of the same second",
         Replace(Prefixed(CleanReport, [](size_t index) { return index < 6 ? "[04:36:42] " : "[04:36:43] "; }),
                 "[04:36:42] KERNEL", "\x01\x02garbage\n[04:36:42] KERNEL"),
         1},
        {"nine sources stopping at once", Multiplexed(9), 9},
        {"64 sources stopping at once, and another's chatter", Multiplexed(64, chatter), 64},
        {"two sources behind tags and timestamps", Multiplexed(2, "", tagThenStamp), 2},
        {"nine sources behind timestamps and tags, and another's chatter", Multiplexed(9, chatter, stampThenTag), 9},
        {"three hosts through a syslog server", Multiplexed(3, "", syslog), 3},
        {"the start line's tag damaged, a timestamp behind it", damagedStart(Multiplexed(1, "", tagThenStamp)), 1},
        {"another stamped source's lines shaped as a report's, after a line of the report's",
         Multiplexed(1, "boot\nboot\n" + reportRows, tagThenStamp), 1},
        {"another source's end line inside a report",
         Interleave(CleanReport, "vm1| ", Before(chatter, "[    20.") + "BUGCHECK DUMP ENDS\n", "vm2| "), 1},
        {"a shell line naming the start marker, twice",
         "$ grep -c \"BUGCHECK DUMP STARTS\" console.log\n3\n$ echo BUGCHECK DUMP STARTS\nBUGCHECK DUMP STARTS\n" +
             CleanReport,
         1},
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
    size_t Frames = 0;  // checked where given
};

TEST(DecodeDirt, NamesWhatIsMissing)
{
    const DamagedCase cases[] = {
        {"cut after the module table", Before(CleanReport, "BUGCHECK CODE"), false,
         "missing bug check code, register context, stack trace"},
        {"cut inside the context", Before(CleanReport, "- R9 ="), false,
         "missing 7 of 24 registers (R9 R10 R11 R12 R13 R14 R15), stack trace"},
        {"cut right after the format line", "\nBUGCHECK DUMP STARTS\nOUTPUT FORMAT: 2\n", false,
         "missing crash time, OS version"},
        {"a byte substituted in the TYPE line", Replace(CleanReport, "TYPE: WORKSTATION", "TYPE: WORKSTATIOM"), false,
         "TYPE \"WORKSTATIOM\" is no product type the driver prints"},
        {"a byte substituted in the platform", Replace(CleanReport, "WIN32_NT", "WIN32_N\xD4"), false,
         "platform \"WIN32_N\\xD4\" is no platform the driver prints"},
        {"a frame naming a module the table lacks",
         Replace(CleanReport, ") vekcrashdmp.sys + ", ") vekcrashdmq.sys + "), false,
         "a frame names vekcrashdmq.sys, which the module table lacks"},
        {"a new report starts before the end", Before(CleanReport, "STACK:") + CleanReport, false,
         "a new report starts at line"},
        {"a line damaged by noise", Replace(CleanReport, "- RBX = 0000000000000003", "- RBX = 00\xFF\x00"),
         false, "not understood: \"- RBX = 00\\xFF"},
        {"a stack line cut by noise", Replace(CleanReport, ") FFFFF80300001234", ") FFFF"), true,
         "not understood"},
        {"an overlong line", Replace(CleanReport, "TYPE: WORKSTATION", "TYPE: " + std::string(10000, 'W')),
         false, "longer than 4096 bytes"},
        {"a GUID column a digit short", Replace(CleanReport, "\t00000000000000000000000000000000\t", "\t0000000000000000000000000000000\t"),
         true, "not understood: \"hal.dll"},
        {"a GUID column a digit long", Replace(CleanReport, "\t00000000000000000000000000000000\t", "\t000000000000000000000000000000000\t"),
         true, "not understood: \"hal.dll"},
        {"a tab inside the GUID column", Replace(CleanReport, "\t00000000000000000000000000000000\t", "\t0000000000000000\t000000000000000\t"),
         true, "not understood: \"hal.dll"},
        {"a lower-case GUID", Replace(CleanReport, "\t6B472C4652DD221E4C4C44205044422E\t", "\t6b472c4652dd221e4c4c44205044422e\t"),
         true, "not understood: \"ntoskrnl.exe"},
        // A line feed lost runs two lines into one: never one row with the
        // second's identity, nor a frame gone without a word.
        {"two rows run together", Replace(CleanReport, "\t0\nvekcrashdmp.sys", "\t0vekcrashdmp.sys"), false,
         "not understood: \"hal.dll\\x09"},
        {"a tab for a byte of a name", Replace(CleanReport, "hal.dll", "ha\tl.dll"), true,
         "not understood: \"ha\\x09l.dll"},
        {"a name longer than the driver prints", Replace(CleanReport, "hal.dll", std::string(257, 'h')), true,
         "not understood: \"hhh"},
        {"the last frame run into the end line", Replace(CleanReport, "1234\nBUGCHECK DUMP ENDS", "1234BUGCHECK DUMP ENDS"),
         true, nullptr, 2},
        {"noise before the end marker", Replace(CleanReport, "\nBUGCHECK DUMP ENDS", "\nnoiseBUGCHECK DUMP ENDS"), true,
         "not understood: \"noise\""},
        {"cut behind its tag, another source's lines to the log's end",
         Prefixed(Before(CleanReport, "BUGCHECK CODE"), [](size_t) { return std::string("vm1| "); }) +
             "vm2| up 2 days\nvm2| BUGCHECK DUMP ENDS\n",
         false, "no line of its source follows line 13 before the log ends at line 15"},
        {"frames naming a module the table lacks after one it has",
         Replace(CleanReport, ") FFFFF80300001234", ") hal.dll + 0000000000000001\nFFFFF80312345710: (0000000000000000 "
                                                     "0000000000000000 0000000000000000 0000000000000000) acpi.sys + 0000000000000002"),
         false, "a frame names acpi.sys, which the module table lacks"},
    };
    for (const DamagedCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Decoded decoded = Scan(c.Log);
        ASSERT_GE(decoded.Reports.size(), 1u);
        const decode::CrashReport& report = decoded.Reports[0];
        EXPECT_EQ(report.Complete, c.Complete);
        if (c.Frames != 0) {
            EXPECT_EQ(report.Frames.size(), c.Frames);
        }
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
        // Reports passed over unread, folded whole: checked where given.
        int Unread = -1;
    };
    // A timestamp of its own before every line of each report (the start
    // line's aside): `report` picks the digits.
    auto stamped = [](unsigned report) {
        return Prefixed(CleanReport, [report](size_t index) {
            char prefix[40];
            std::snprintf(prefix, sizeof(prefix), "[04:36:%02zu.%06zu] ", index % 60,
                          index == 0 ? 0 : report * 1000 + index);
            return std::string(prefix);
        });
    };
    const Case cases[] = {
        {"identical copies", CleanReport + CleanReport, 1, 1},
        {"second copy a little later", CleanReport + Replace(CleanReport, ":42:123", ":43:7"), 1, 1},
        {"another crash an hour later", CleanReport + Replace(CleanReport, "04:36", "05:36"), 2, 0},
        {"another code", CleanReport + Replace(CleanReport, "CODE 000000D1", "CODE 0000000A"), 2, 0},
        {"no version block, another size expected", [] {
             const std::string block = "KERNEL: 10.0 (BUILD 19045) PLATFORM WIN32_NT (x64)\nSUITES:\n"
                                       "- SINGLEUSERTS\n- PERSONAL\nTYPE: WORKSTATION\n";
             return Replace(CleanReport, block, "NO OS VERSION AVAILABLE: 276 284 FFFFC00012340000\n") +
                    Replace(CleanReport, block, "NO OS VERSION AVAILABLE: 276 292 FFFFC00012340000\n");
         }(), 2, 0},
        {"a cut first copy", Before(CleanReport, "STACK:") + CleanReport, 2, 0},
        {"a thousand copies", [] {
             std::string log;
             for (int i = 0; i < 1000; ++i) {
                 log += CleanReport;
             }
             return log;
         }(), 1, 999},
        {"across the end of November",
         Replace(CleanReport, "2026-12-07 04:36:42:123", "2026-11-30 23:59:59:500") +
             Replace(CleanReport, "2026-12-07 04:36:42:123", "2026-12-01 00:00:01:0"),
         1, 1},
        {"restore line between", CleanReport + "Viridian State Restoration is Successful\n" + CleanReport,
         2, 0},
        {"identical copies, then chatter", CleanReport + CleanReport + "login:\n", 1, 1},
        {"three copies, the last two alike",
         CleanReport + Replace(CleanReport, ":42:123", ":43:7") + Replace(CleanReport, ":42:123", ":43:7") + "x\n",
         1, 2},
        {"two crashes printed twice each",
         CleanReport + CleanReport + Replace(CleanReport, "04:36", "05:36") + Replace(CleanReport, "04:36", "05:36") +
             "x\n",
         2, 1},
        {"a copy whose end line a CR follows", CleanReport + Replace(CleanReport, "ENDS\n", "ENDS\n\r") + "x\n", 1, 1},
        {"a copy ending its end line with CR LF", CleanReport + Replace(CleanReport, "ENDS\n", "ENDS\r\n") + "x\n", 1, 1},
        {"a copy whose end line has a blank after", CleanReport + Replace(CleanReport, "ENDS\n", "ENDS \n") + "x\n", 1,
         1},
        {"copies with CR line ends", Replace(CleanReport + CleanReport + "x\n", "\n", "\r"), 1, 1},
        {"a copy with a damaged start line", CleanReport + Replace(CleanReport, "DUMP STARTS", "DUMP STARTZ") + "x\n", 1,
         1},
        {"a copy behind a prefix", CleanReport + Replace(CleanReport, "\nBUGCHECK DUMP STARTS", "\n[vm1] BUGCHECK DUMP STARTS") +
             "x\n", 1, 1},
        {"a copy cut at the log's end", CleanReport + Before(CleanReport, "BUGCHECK DUMP ENDS"), 2, 0},
        {"a partial report printed twice", Replace(CleanReport + CleanReport, "OUTPUT FORMAT: 2\n", "") + "x\n", 2, 0},
        {"copies of a report with an overlong line",
         Replace(CleanReport + CleanReport, "STACK:\n", std::string(5000, 'y') + "\nSTACK:\n") + "x\n", 1, 1},
        {"a copy without the overlong line, then another crash",
         Replace(CleanReport, "STACK:\n", std::string(5000, 'y') + "\nSTACK:\n") + CleanReport +
             Replace(CleanReport, "04:36", "05:36") + "x\n",
         2, 1},
        {"a mention printed twice after a report",
         CleanReport + "BUGCHECK DUMP STARTS\nj1\nj2\nj3\n" + "BUGCHECK DUMP STARTS\nj1\nj2\nj3\n" + "x\n", 1, 0},
        {"a copy after another source's crash",
         Replace(CleanReport, "\n", "\nvm1| ") + Replace(Replace(CleanReport, "04:36", "05:36"), "\n", "\nvm2| ") +
             Replace(CleanReport, "\n", "\nvm1| ") + "x\n",
         3, 0},
        {"a copy after another source's copy of its own crash",
         Replace(CleanReport, "\n", "\nvm1| ") + Replace(CleanReport, "\n", "\nvm2| ") +
             Replace(CleanReport, "\n", "\nvm2| ") + Replace(CleanReport, "\n", "\nvm1| ") + "x\n",
         1, 3},
        // The second report's lines are held against the first's behind
        // their timestamps; the third, the second byte for byte, folds
        // unread only where the memory holds the second's bytes.
        {"a copy of a report whose lines are the last one's behind other timestamps",
         stamped(1) + stamped(2) + stamped(2) + "x\n", 1, 2, 1},
        {"a copy whose start line has another prefix",
         Replace(CleanReport, "\n", "\nAB ") +
             Replace(Replace(CleanReport, "\n", "\nAB "), "AB BUGCHECK DUMP STARTS", "A1 BUGCHECK DUMP STARTS") + "x\n",
         2, 0},
    };
    // With and without the sink's fold of a report printed again whole,
    // which passes over the report unread: the same output.
    auto decodeLog = [](const std::string& log, bool foldUnread, unsigned* written, int* unread) {
        std::ostringstream out;
        decode::ReportStream stream(out, true, nullptr);
        decode::ScanSink sink;
        sink.Report = [&](decode::CrashReport&& report) { stream.Report(std::move(report)); };
        sink.Restore = [&](decode::RestoreLine&& line) { stream.Restore(std::move(line)); };
        if (foldUnread) {
            sink.FoldsRepeat = [&] { return stream.FoldsRepeat(); };
            sink.Repeated = [&](uint64_t firstLine) {
                ++*unread;
                stream.Repeated(firstLine);
            };
        }
        int fd = ::memfd_create("console", 0);
        EXPECT_EQ(::write(fd, log.data(), log.size()), static_cast<ssize_t>(log.size()));
        ::lseek(fd, 0, SEEK_SET);
        decode::ScanDescriptor(fd, "console.log", sink);
        ::close(fd);
        stream.Flush();
        *written = stream.Written();
        return out.str() + "complete " + std::to_string(stream.Complete());
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        unsigned written = 0;
        unsigned writtenRead = 0;
        int unread = 0;
        int unreadRead = 0;
        std::string out = decodeLog(c.Log, true, &written, &unread);
        EXPECT_EQ(out, decodeLog(c.Log, false, &writtenRead, &unreadRead));
        EXPECT_EQ(written, c.Written);
        if (c.Unread >= 0) {
            EXPECT_EQ(unread, c.Unread);
        }
        size_t repeats = out.find("\"repeats\":" + std::to_string(c.Repeats) + ",");
        EXPECT_EQ(repeats != std::string::npos, c.Repeats != 0) << out;
        EXPECT_LE(out.size(), 4096u * c.Written) << "repeat lines are bounded";
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

std::string Utf16(const std::string& text, bool little, bool mark)
{
    std::string out = mark ? (little ? "\xFF\xFE" : "\xFE\xFF") : "";
    for (char c : text) {
        out += little ? std::string{c, '\0'} : std::string{'\0', c};
    }
    return out;
}

TEST(DecodeSavedLogs, ReadsTheReportAsPrinted)
{
    const IntactCase cases[] = {
        {"a fixed timestamp before every line",
         Prefixed(CleanReport, [](size_t) { return "2026-12-07 04:36:42 ttyS0: "; }), 1},
        {"a running timestamp, growing a digit",
         Prefixed(CleanReport, [](size_t i) { return "[" + std::to_string(9990 + i) + ".5] "; }), 1},
        {"a kernel-style padded clock",
         Prefixed(CleanReport, [](size_t i) {
             char text[32];
             std::snprintf(text, sizeof(text), "[%5zu.%06zu] ", i * 7, i);
             return std::string(text);
         }), 1},
        {"colour codes around every line",
         Replace(Prefixed(CleanReport, [](size_t) { return "\x1B[32m"; }), "\n", "\x1B[0m\n"), 1},
        {"UTF-16 LE with a byte order mark", Utf16(Replace(CleanReport, "\n", "\r\n"), true, true), 1},
        {"UTF-16 BE without one, bare CRs", Utf16(Replace(CleanReport, "\n", "\r"), false, false), 1},
        {"bare CR line ends", Replace(CleanReport, "\n", "\r"), 1},
    };
    for (const IntactCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Decoded decoded = Scan(c.Log);
        ASSERT_EQ(decoded.Reports.size(), c.Reports);
        EXPECT_TRUE(decoded.Reports[0].Complete);
        EXPECT_TRUE(decoded.Reports[0].Warnings.empty()) << decoded.Reports[0].Warnings[0];
        ExpectCleanValues(decoded.Reports[0]);
    }
}

// Damage the report's own lines cannot hide: each case names its warning,
// whether the report still counts as complete, and what it must hold.
TEST(DecodeDamage, IsNamedAndNeverTakenForData)
{
    std::string manyWarnings = "\nBUGCHECK DUMP STARTS\nSUITES:\n";
    for (int i = 0; i < 40; ++i) {
        manyWarnings += "garbage\n- PERSONAL\n";
    }
    manyWarnings += "BUGCHECK DUMP ENDS\n";
    std::string hugeSuites = Before(CleanReport, "- SINGLEUSERTS");
    for (int i = 0; i < 1000; ++i) {
        hugeSuites += "- " + std::string(4000, 'S') + "\n";
    }
    struct Case {
        const char* Name;
        std::string Log;
        bool Complete;
        const char* Warning;
        std::function<void(const decode::CrashReport&)> Check;
    };
    const Case cases[] = {
        {"start then end", "\nBUGCHECK DUMP STARTS\nBUGCHECK DUMP ENDS\n", false,
         "partial report; missing format line, crash time", nullptr},
        {"no stack section", Before(CleanReport, "STACK:") + "BUGCHECK DUMP ENDS\n", false, "partial report; missing stack trace",
         nullptr},
        {"forty unreadable lines", manyWarnings, false, "partial report; missing format line",
         [](const decode::CrashReport& r) {
             EXPECT_TRUE(AnyWarningHas(r, "more line warnings were dropped"));
             EXPECT_LE(r.Warnings.size(), decode::ReportParser::MaxWarnings + 4);
         }},
        {"the next boot after a cut",
         Before(CleanReport, "- PERSONAL") + "- default name: admin\nlogin: admin\nWelcome\n" + CleanReport,
         false, "stop at line 8", [](const decode::CrashReport& r) {
             EXPECT_EQ(r.Os.Suites, std::vector<std::string>{"SINGLEUSERTS"});
             EXPECT_EQ(r.LastLine, 7u);
         }},
        {"4 KB suite lines", hugeSuites, false, "stop at line 7", [](const decode::CrashReport& r) {
             EXPECT_TRUE(r.Os.Suites.empty());
         }},
        {"RSP line replaced by the RIP line",
         Replace(CleanReport, "- RSP = FFFFF80312345600", "- RIP = FFFFF8054A2B1000"), false,
         "missing 1 of 24 registers (RSP)", [](const decode::CrashReport& r) {
             EXPECT_TRUE(AnyWarningHas(r, "register RIP a second time"));
         }},
        {"a second code line",
         Replace(CleanReport, "CONTEXT (", "BUGCHECK CODE 0000000A: 0000000000000001 0000000000000002 "
                                            "0000000000000000 0000000000000000\nCONTEXT ("),
         true, "a second BUGCHECK CODE line; the first is kept",
         [](const decode::CrashReport& r) { EXPECT_EQ(r.Code, 0xD1u); }},
        {"a second time line", Replace(CleanReport, "KERNEL:", "CRASHED ON: 2027-01-01 00:00:00:0\nKERNEL:"), true,
         "a second CRASHED ON line", [](const decode::CrashReport& r) { EXPECT_EQ(r.Time->Year, 2026); }},
        {"month 13", Replace(CleanReport, "2026-12-07", "2026-13-07"), false, "impossible crash time", nullptr},
        {"31 November", Replace(CleanReport, "2026-12-07", "2026-11-31"), false, "impossible crash time", nullptr},
        {"hour 25", Replace(CleanReport, "04:36:42", "25:36:42"), false, "impossible crash time", nullptr},
        {"a negative year", Replace(CleanReport, "2026-12-07", "-001-12-07"), false, "impossible crash time",
         nullptr},
        {"a start line with a byte changed", Replace(CleanReport, "DUMP STARTS", "DUMP STARTZ"), true,
         "taken for the start line, damaged", nullptr},
        {"a start line with a byte dropped", Replace(CleanReport, "DUMP STARTS", "DUMP STARS"), true,
         "taken for the start line, damaged", nullptr},
        {"a start line with a byte added, behind noise",
         Replace(CleanReport, "\nBUGCHECK DUMP STARTS", "\n\x01\x02XBUGCHECKK DUMP STARTS"), true,
         "taken for the start line, damaged", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Decoded decoded = Scan(c.Log);
        ASSERT_GE(decoded.Reports.size(), 1u);
        const decode::CrashReport& report = decoded.Reports[0];
        EXPECT_EQ(report.Complete, c.Complete);
        EXPECT_TRUE(AnyWarningHas(report, c.Warning))
            << (report.Warnings.empty() ? std::string("no warnings") : report.Warnings[0]);
        if (c.Check) {
            c.Check(report);
        }
        for (size_t i = 1; i < decoded.Reports.size(); ++i) {
            ExpectCleanValues(decoded.Reports[i]);
        }
    }
}

// Lines without a 'U' or a 'V' pass the marker searches by: wherever a
// marker stands in a line (in the first vector step, across two, in the
// bytes after the last), it is seen, and the reader, which notes those bytes
// while it looks for the line's end, says so too, never for a 'U' of the
// next line in the same step.
TEST(DecodeDamage, MarkersAreSeenWhereverTheyStand)
{
    struct Case {
        const char* Text;
        bool Marker;
    };
    const Case cases[] = {
        {"BUGCHECK DUMP STARTS", true},
        {"BUGCHECK DUMP ENDS", true},
        {"UMP STARTS", true},
        {"Viridian State Restoration is Successful", true},
        {"U", true},
        {"V", true},
        {"u v", false},
        {"ntoskrnl.exe\t\t6B472C4652DD221E4C4C44205044422E\t1", false},
        {"- RBX = 0000000000000003", false},
        {"FFFFF80312345670: (0000000000000000 FFFFF80312345700 0000000000000001 FFFFC00012340000) x.sys + 0000000000002553",
         false},
    };
    for (const Case& c : cases) {
        for (size_t before = 0; before <= 40; ++before) {
            for (size_t after : {size_t{0}, size_t{1}, size_t{17}}) {
                std::string line = std::string(before, 'x') + c.Text + std::string(after, 'y');
                SCOPED_TRACE(line);
                EXPECT_EQ(decode::MayHoldMarker(line.data(), line.size()), c.Marker);
                const std::string log = line + "\nUV\n";
                int fd = ::memfd_create("console", 0);
                ASSERT_EQ(::write(fd, log.data(), log.size()), static_cast<ssize_t>(log.size()));
                ::lseek(fd, 0, SEEK_SET);
                decode::LineReader reader(fd);
                decode::LogLine read;
                EXPECT_TRUE(reader.Next(&read));
                EXPECT_EQ(read.MayHoldMarker, c.Marker);
                ::close(fd);
            }
        }
    }
}

// A damaged start marker is found where it ends its line (blanks, then
// the end or an escape, after it), however many halves of a marker stand
// before it on the line, and not where words follow it.
TEST(DecodeDamage, ADamagedMarkerIsFoundAfterAnyRunOfHalves)
{
    std::string halves;  // two edits from a marker wherever they meet
    for (int i = 0; i < 25; ++i) {
        halves += "UMP STARTS x BUGCHECK D x ";
    }
    struct Case {
        const char* Name;
        std::string Line;
        size_t At;  // npos: no marker
        bool Exact;
    };
    const size_t none = std::string::npos;
    const Case cases[] = {
        {"exact, between words", "a BUGCHECK DUMP STARTS b", 2, true},
        {"a byte changed, after halves", halves + "BUGCHECK DUMP STARTZ", halves.size(), false},
        {"a byte dropped, blanks after", halves + "BUGCHECK DUMP STARS \t ", halves.size(), false},
        {"a byte added at its head", halves + "BBUGCHECK DUMP STARTS", halves.size() + 1, true},
        // Read as the marker with its first byte dropped.
        {"its first byte changed, after halves", halves + "xUGCHECK DUMP STARTS", halves.size() + 1, false},
        {"a byte changed in its head", halves + "BUGCHEXK DUMP STARTS", halves.size(), false},
        {"a byte changed in its head, no tail whole", halves + "BUGCHEXK DUMP STARTZ", none, false},
        {"a byte changed, tabs after", halves + "BUGCHECK DUMP STARTZ" + std::string(30, '\t'), halves.size(), false},
        {"a blank last byte", "x BUGCHECK DUMP START ", 2, false},
        {"words after it", halves + "BUGCHECK DUMP STARTZ and more", none, false},
        {"an escape and words after it", "BUGCHECK DUMP STARTZ  \x1B[0m and more", 0, false},
        {"after an escape", "\x1B[31m" + halves + "BUGCHECK DUMP STARTZ", 5 + halves.size(), false},
        {"before an escape, halves after it", "BUGCHECK DUMP STARTZ\x1B[0m" + halves, 0, false},
        {"halves alone", halves, none, false},
        {"halves and blanks", halves + "   ", none, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        bool exact = !c.Exact;
        const size_t at = decode::FindStartMarker(c.Line, &exact);
        EXPECT_EQ(at, c.At);
        if (at != none) {
            EXPECT_EQ(exact, c.Exact);
        }
    }
}

// Both widths of the anchor search (16 bytes a step, and 32 where the
// processor has them) find what a byte-by-byte look finds, and count the
// line ends before it: each anchor at every place around the steps' edges,
// none at all, and more line ends than a byte counter holds before a flush.
TEST(DecodeDamage, TheAnchorSearchFindsWhatAByteByByteLookFinds)
{
    auto reference = [](const std::string& text, uint64_t* ends) {
        size_t found = text.size();
        for (const char* anchor : {"BUGCHECK D", "UMP STARTS", "Viridian S"}) {
            found = std::min(found, std::min(text.find(anchor), text.size()));
        }
        *ends = static_cast<uint64_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(found), '\n'));
        return found;
    };
    std::vector<std::string> texts;
    const std::string filler = "ab\ncd BUGCHECK xUMP STARTx Viridian \n";  // near misses
    for (const char* anchor : {"BUGCHECK D", "UMP STARTS", "Viridian S", ""}) {
        for (size_t before = 0; before <= 70; ++before) {
            std::string text;
            while (text.size() < before) {
                text += filler[text.size() % filler.size()];
            }
            texts.push_back(text + anchor + "\nafter");
            texts.push_back(std::string(before, '\n') + anchor);  // a line end at every place
        }
    }
    texts.push_back(std::string(255 * 32 * 3, '\n') + "UMP STARTS");
    texts.push_back(std::string(255 * 16 + 5, '\n'));
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.size() > 80 ? text.substr(text.size() - 80) : text);
        uint64_t expectedEnds = 0;
        size_t expected = reference(text, &expectedEnds);
        uint64_t ends = 7;  // the search adds to what is there
        EXPECT_EQ(decode::FindAnchorSse2(text.data(), text.size(), '\n', &ends), expected);
        EXPECT_EQ(ends, 7 + expectedEnds);
        if (decode::HasAvx2()) {
            ends = 7;
            EXPECT_EQ(decode::FindAnchorAvx2(text.data(), text.size(), '\n', &ends), expected);
            EXPECT_EQ(ends, 7 + expectedEnds);
        }
    }
}

// Runs of lines held against the report before's are compared 16 or 32
// bytes a step, four steps a round: the first byte that differs, at every
// place of every length up to past two rounds, or none; each buffer as
// long as it says, so a read past it is seen by the address sanitizer.
TEST(DecodeDamage, CommonLengthIsTheFirstByteThatDiffers)
{
    constexpr size_t Longest = 300;
    for (size_t size = 0; size <= Longest; ++size) {
        const std::unique_ptr<char[]> a(new char[size]);
        const std::unique_ptr<char[]> b(new char[size]);
        for (size_t i = 0; i < size; ++i) {
            a[i] = b[i] = static_cast<char>('a' + i % 23);
        }
        for (size_t differs = 0; differs <= size; ++differs) {
            if (differs < size) {
                b[differs] = static_cast<char>(a[differs] ^ 0x80);  // one bit, the sign's
            }
            SCOPED_TRACE(std::to_string(size) + " bytes, the first differing at " + std::to_string(differs));
            EXPECT_EQ(decode::CommonLengthSse2(a.get(), b.get(), size), differs);
            if (decode::HasAvx2()) {
                EXPECT_EQ(decode::CommonLengthAvx2(a.get(), b.get(), size), differs);
            }
            if (differs < size) {
                b[differs] = a[differs];
            }
        }
    }
}

// A row's 64 bytes classified 16 or 32 at a time: each of the bytes the
// table's rows are split by, at every place, among bytes one off from them.
TEST(DecodeDamage, RowBytesAreClassifiedAsAByteByByteLookClassifiesThem)
{
    const std::string near = std::string("\x08\x0A\x0B\x0C\x0D\x0E\tTUVW\xD5\xD6\x8A\x89", 14);
    for (size_t at = 0; at < decode::RowBytes; ++at) {
        for (char odd : {'\n', '\r', '\t', 'U', 'V'}) {
            std::string bytes(decode::RowBytes, 'a');
            for (size_t i = 0; i < bytes.size(); ++i) {
                bytes[i] = near[(i + at) % near.size()];
            }
            bytes[at] = odd;
            decode::RowByteMasks expected;
            for (size_t i = 0; i < bytes.size(); ++i) {
                uint64_t bit = uint64_t{1} << i;
                expected.Ends |= bytes[i] == '\n' || bytes[i] == '\r' ? bit : 0;
                expected.Tabs |= bytes[i] == '\t' ? bit : 0;
                expected.Marks |= bytes[i] == 'U' || bytes[i] == 'V' ? bit : 0;
            }
            std::vector<decode::RowClassifier> ways = {decode::ClassifyRowBytesSse2};
            if (decode::HasAvx2()) {
                ways.push_back(decode::ClassifyRowBytesAvx2);
            }
            for (decode::RowClassifier classify : ways) {
                decode::RowByteMasks masks = classify(bytes.data());
                EXPECT_EQ(masks.Ends, expected.Ends) << at;
                EXPECT_EQ(masks.Tabs, expected.Tabs) << at;
                EXPECT_EQ(masks.Marks, expected.Marks) << at;
            }
        }
    }
}

// The shapes of what stands before a report's lines, compared sixteen bytes
// a step: every pair of byte values at the first, a middle and the last
// place of prefixes shorter than a step, one long, and longer (where the
// last step looks at some bytes twice).
TEST(DecodeDamage, PrefixShapesCompareAsAByteByByteLookComparesThem)
{
    auto shape = [](unsigned char c) {
        if (std::isdigit(c) != 0 || c == ' ') {
            return '0';
        }
        return std::isalpha(c) != 0 ? 'a' : static_cast<char>(c);
    };
    const std::string base = "[2026-12-07 04:36:42.123456] vm-07| ";
    for (size_t size : {size_t{1}, size_t{5}, size_t{15}, size_t{16}, size_t{17}, size_t{29}, size_t{32}, base.size()}) {
        for (size_t at : {size_t{0}, size / 2, size - 1}) {
            std::string a = base.substr(0, size);
            std::string b = a;
            for (unsigned x = 0; x < 256; ++x) {
                for (unsigned y = 0; y < 256; ++y) {
                    a[at] = static_cast<char>(x);
                    b[at] = static_cast<char>(y);
                    ASSERT_EQ(decode::SamePrefixShape(a.data(), b.data(), size),
                              shape(static_cast<unsigned char>(x)) == shape(static_cast<unsigned char>(y)))
                        << "size " << size << ", at " << at << ", bytes " << x << " and " << y;
                }
            }
        }
    }
}

// A line held against the kept line behind a prefix, by its pieces (the
// prefix's shapes made once, the rest 16 bytes a step) and in one read of
// 32 bytes a step, comes out as SamePrefixShape, memcmp and MayHoldMarker
// do: prefixes up to one step long and longer, lines from one step long,
// each byte of the line changed to each byte value.
TEST(DecodeDamage, LinesBehindAPrefixCompareAsTheirPiecesDo)
{
    const std::string prefix = "[2026-12-07 04:36:42.123456] vm-07| ";
    const std::string kept = prefix + "- RAX = 0000000000000006 ntoskrnl.exe + 00000000001F2A3B from the table\r\n";
    for (size_t prefixSize : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{29}, size_t{31},
                              size_t{32}, prefix.size()}) {
        decode::PrefixShapes shapes;
        ASSERT_TRUE(decode::MakePrefixShapes(prefix.data(), prefixSize, &shapes));
        for (size_t size : {size_t{32}, size_t{33}, size_t{47}, size_t{63}, size_t{64}, size_t{65}, kept.size()}) {
            if (size <= prefixSize) {
                continue;
            }
            std::string line = kept.substr(0, size);
            std::string other = line;  // the kept line, changed alike or not
            for (size_t at = 0; at < size; ++at) {
                for (unsigned x = 0; x < 256; ++x) {
                    for (bool alike : {false, true}) {
                        line[at] = static_cast<char>(x);
                        other[at] = alike ? line[at] : kept[at];
                        const bool shaped = decode::SamePrefixShape(line.data(), prefix.data(), prefixSize);
                        const bool rest =
                            std::memcmp(line.data() + prefixSize, other.data() + prefixSize, size - prefixSize) == 0;
                        const bool marks = decode::MayHoldMarker(line.data(), size);
                        auto where = [&] {
                            return std::to_string(prefixSize) + " " + std::to_string(size) + " " +
                                   std::to_string(at) + " " + std::to_string(x);
                        };
                        // Only prefixSize bytes may be read: copied out alone.
                        const std::string head = line.substr(0, prefixSize);
                        bool marked = !marks;
                        ASSERT_EQ(decode::HasPrefixShapes(head.data(), head.size(), shapes, &marked), shaped)
                            << where();
                        if (shaped) {
                            ASSERT_EQ(marked, decode::MayHoldMarker(head.data(), head.size())) << where();
                        }
                        ASSERT_EQ(decode::HasPrefixShapes(line.data(), size, shapes, &marked), shaped) << where();
                        ASSERT_EQ(decode::SameBytesNotingMarkers(line.data() + prefixSize, other.data() + prefixSize,
                                                                 size - prefixSize, &marked),
                                  rest) << where();
                        if (rest) {
                            ASSERT_EQ(marked, decode::MayHoldMarker(line.data() + prefixSize, size - prefixSize))
                                << where();
                        }
                        if (decode::HasAvx2() && prefixSize <= decode::LongestPrefixInOneStep) {
                            marked = !marks;
                            const bool both =
                                decode::SameLineBehindPrefixAvx2(line.data(), other.data(), size, shapes, &marked);
                            ASSERT_EQ(both, shaped && rest) << where();
                            if (shaped && rest) {
                                ASSERT_EQ(marked, marks) << where();
                            }
                        }
                    }
                }
                line[at] = kept[at];
                other[at] = kept[at];
            }
        }
    }
}

// Plain rows split 16 or 32 bytes a step come out as a byte-by-byte look
// over the same bytes finds them: rows of every length around RowBytes,
// each byte of one row changed to each byte its checks weigh (or one off
// from them), ages of every width, the bytes after a row's LF, and buffers
// that end inside or just after a row.
TEST(DecodeTables, PlainRowsAreSplitAsAByteByByteLookSplitsThem)
{
    auto upperHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
    // Each row behind `prefix`'s shape where it is not empty, with no 'U'
    // or 'V' in the prefix or the row; *exact where each is its bytes.
    auto reference = [&](const std::string& text, size_t capacity, const std::string& prefix = "",
                         bool* exact = nullptr) {
        std::vector<decode::PlainRow> rows;
        size_t at = 0;
        const size_t p = prefix.size();
        bool differs = false;
        while (rows.size() < capacity && text.size() - at >= p + decode::RowBytes) {
            if (p != 0) {
                if (!decode::SamePrefixShape(text.data() + at, prefix.data(), p) ||
                    text.substr(at, p).find_first_of("UV") != std::string::npos) {
                    break;
                }
                differs = text.compare(at, p, prefix) != 0;
                at += p;
            }
            size_t end = text.find_first_of("\r\n", at);
            if (end == std::string::npos || end - at >= decode::RowBytes || text[end] != '\n' ||
                end + 1 >= text.size() || text[end + 1] == '\r') {
                break;
            }
            std::string_view line(text.data() + at, end - at);
            decode::ModuleRowTabs tabs;
            if (!decode::FindModuleRowTabs(line, &tabs)) {
                break;
            }
            std::string_view guid = line.substr(tabs.Age - 32, 32);
            std::string_view age = line.substr(tabs.Age + 1);
            if (!std::all_of(guid.begin(), guid.end(), upperHex) || age.empty() || age.size() > 8 ||
                !std::all_of(age.begin(), age.end(), upperHex)) {
                break;
            }
            decode::PlainRow row;
            row.Length = static_cast<uint32_t>(line.size());
            row.PdbTab = static_cast<uint16_t>(tabs.Pdb);
            row.AgeTab = static_cast<uint16_t>(tabs.Age);
            row.Age = static_cast<uint32_t>(std::stoul(std::string(age), nullptr, 16));
            row.Marked = line.find_first_of("UV") != std::string_view::npos;
            if (p != 0 && row.Marked) {
                break;
            }
            if (differs) {
                *exact = false;
            }
            rows.push_back(row);
            at = end + 1;
        }
        return rows;
    };
    auto expectRows = [](const std::vector<decode::PlainRow>& rows, const std::vector<decode::PlainRow>& expected) {
        ASSERT_EQ(rows.size(), expected.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].Length, expected[i].Length) << i;
            EXPECT_EQ(rows[i].PdbTab, expected[i].PdbTab) << i;
            EXPECT_EQ(rows[i].AgeTab, expected[i].AgeTab) << i;
            EXPECT_EQ(rows[i].Age, expected[i].Age) << i;
            EXPECT_EQ(rows[i].Marked, expected[i].Marked) << i;
        }
    };
    const std::string guid = "6B472C4652DD221E4C4C44205044422E";
    const std::string others = "module.sys\tmodule.pdb\t" + guid + "\t1\n";
    std::vector<std::string> texts;
    const std::string bytes = std::string("\t\n\r\x0BUVTWa/09:@AFG`f\x80\xFF", 22) + '\0';
    for (size_t nameLength = 1; nameLength <= 30; ++nameLength) {
        const std::string row = std::string(nameLength, 'n') + "\t\t" + guid + "\t1A\n";
        texts.push_back(row + others + others);
        texts.push_back(row);  // nothing after its LF
        for (size_t at = 0; at < row.size(); ++at) {
            for (char byte : bytes) {
                std::string changed = row;
                changed[at] = byte;
                texts.push_back(others + changed + others + others);
            }
        }
    }
    for (size_t digits = 0; digits <= 10; ++digits) {
        texts.push_back("a.sys\t\t" + guid + "\t" + std::string(digits, 'F') + "\n" + others + others);
        texts.push_back("a.sys\t\t" + guid + "\t" + std::string(digits, '9') + "\n" + others + others);
    }
    for (const char* after : {"", "\r", "\n", "x"}) {
        for (size_t cut = 0; cut <= others.size(); ++cut) {
            std::string text = others + others + after;  // ends right after a row, or inside one
            texts.push_back(text.substr(0, text.size() - cut));
        }
    }
    texts.push_back("x\ty\tz\t" + guid + "\t2\n" + others + others);  // a stray tab in the name
    for (const std::string& text : texts) {
        SCOPED_TRACE(decode::EscapeBytes(text));
        for (size_t capacity : {size_t{1}, size_t{2}, size_t{64}}) {
            const std::vector<decode::PlainRow> expected = reference(text, capacity);
            std::vector<decltype(&decode::SplitPlainRowsSse2)> ways = {decode::SplitPlainRowsSse2};
            if (decode::HasAvx2()) {
                ways.push_back(decode::SplitPlainRowsAvx2);
            }
            for (auto split : ways) {
                std::vector<decode::PlainRow> rows(capacity);
                rows.resize(split(text.data(), text.size(), rows.data(), capacity));
                SCOPED_TRACE(capacity);
                expectRows(rows, expected);
            }
        }
        if (!decode::HasAvx2()) {
            continue;
        }
        // The same rows each behind a timestamp (of up to 32 bytes, the
        // longest split so), its digits the line's own from the second
        // line on, or a blank where a digit was.
        for (const std::string prefix : {"[12:00:00.000001] ", "[2026-12-07 04:36:42.123456 U1] ",
                                         "[2026-12-07 04:36:42.123456 x1] "}) {
            std::string prefixed = prefix;
            for (size_t at = 0, line = 0; at < text.size(); ++at) {
                prefixed += text[at];
                if (text[at] == '\n' && at + 1 < text.size()) {
                    std::string next = prefix;
                    next[next.size() - 3] = "0123456789 "[++line % 11];
                    prefixed += next;
                }
            }
            decode::PrefixShapes shapes;
            ASSERT_TRUE(decode::MakePrefixShapes(prefix.data(), prefix.size(), &shapes));
            for (size_t capacity : {size_t{1}, size_t{64}}) {
                SCOPED_TRACE(prefix + std::to_string(capacity));
                bool expectedExact = true;
                const std::vector<decode::PlainRow> expected = reference(prefixed, capacity, prefix, &expectedExact);
                std::vector<decode::PlainRow> rows(capacity);
                bool exact = false;
                rows.resize(decode::SplitPlainRowsBehindPrefixAvx2(prefixed.data(), prefixed.size(), shapes,
                                                                   rows.data(), capacity, &exact));
                expectRows(rows, expected);
                EXPECT_EQ(exact, expectedExact);
            }
        }
    }
}

// A start line inside a report, damaged at any one byte (changed, dropped,
// one added before it), still cuts that report short: it keeps one half of
// the marker whole, which is what lets a line of a report through to the
// marker searches. (Where the damage leaves a byte before a marker with
// one dropped, that byte is read as the next report's prefix.)
TEST(DecodeDamage, ADamagedStartLineInsideAReportStillStartsTheNext)
{
    const std::string marker = "BUGCHECK DUMP STARTS";
    const std::string cut = CleanReport.substr(0, CleanReport.find("STACK:"));
    enum class Edit { Change, Drop, Add };
    for (size_t at = 0; at < marker.size(); ++at) {
        for (Edit edit : {Edit::Change, Edit::Drop, Edit::Add}) {
            std::string damaged = marker;
            if (edit == Edit::Change) {
                damaged[at] = 'x';  // no byte of the marker
            } else if (edit == Edit::Drop) {
                damaged.erase(at, 1);
            } else {
                damaged.insert(at, 1, 'x');
            }
            SCOPED_TRACE(damaged);
            Decoded decoded = Scan(cut + Replace(CleanReport, marker, damaged));
            ASSERT_GE(decoded.Reports.size(), 1u);
            EXPECT_FALSE(decoded.Reports[0].Complete);
            EXPECT_TRUE(AnyWarningHas(decoded.Reports[0], "a new report starts at line"));
        }
    }
}

// A module row's GUID column is 32 upper-case hex digits, each checked, the
// column sixteen bytes a step: a byte next to either range, of another case,
// above 0x7F or a control byte makes the row no row, wherever in the column
// (each half's first and last digit) it stands.
TEST(DecodeDamage, GuidColumnIsUpperCaseHexOnly)
{
    const std::string row = "ntoskrnl.exe\t\t6B472C4652DD221E4C4C44205044422E\t1\n";
    const size_t guidAt = row.find("6B47");
    struct Case {
        char Byte;
        bool Digit;
    };
    const Case cases[] = {
        {'0', true},   {'9', true},   {'A', true},    {'F', true},    {'/', false},   {':', false},
        {'@', false},  {'G', false},  {'a', false},   {'f', false},   {'`', false},   {' ', false},
        {'\0', false}, {'\t', false}, {'\x7F', false}, {'\x80', false}, {'\xB0', false}, {'\xC1', false},
        {'\xFF', false},
    };
    for (size_t position : {size_t{0}, size_t{15}, size_t{16}, size_t{31}}) {
        for (const Case& c : cases) {
            SCOPED_TRACE("byte " + std::to_string(static_cast<unsigned char>(c.Byte)) + " at " +
                         std::to_string(position));
            std::string damaged = row;
            damaged[guidAt + position] = c.Byte;
            Decoded decoded = Scan(Replace(CleanReport, row, damaged));
            ASSERT_EQ(decoded.Reports.size(), 1u);
            const decode::CrashReport& report = decoded.Reports[0];
            if (c.Digit) {
                ASSERT_EQ(report.Modules.size(), 3u);
                EXPECT_EQ(report.Modules[0].Guid.View(), damaged.substr(guidAt, 32));
                EXPECT_TRUE(report.Complete);
            } else {
                ASSERT_EQ(report.Modules.size(), 2u);
                EXPECT_EQ(report.Modules[0].Name, "hal.dll");
                EXPECT_TRUE(AnyWarningHas(report, "line 11 not understood"));
            }
        }
    }
}

// A sink that is stopped (its reader went away) ends the scan at the first
// report or restore line it is handed, whatever stood before it.
TEST(DecodeOutput, StopsAtTheFirstThingHandedOnceStopped)
{
    const std::string restore = "Viridian State Restoration is Successful\n";
    const std::string other = Replace(CleanReport, "000000D1:", "0000000A:");
    struct Case {
        const char* Name;
        std::string Log;
        size_t Reports;
        size_t Restores;
    };
    const Case cases[] = {
        {"two reports", CleanReport + other, 1, 0},
        {"a restore line, then a report", restore + CleanReport, 0, 1},
        {"chatter, then a report and a restore line", "boot\nmore boot\n" + other + restore, 1, 0},
        {"a report printed twice, then another", CleanReport + CleanReport + other, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        int fd = ::memfd_create("console", 0);
        ASSERT_EQ(::write(fd, c.Log.data(), c.Log.size()), static_cast<ssize_t>(c.Log.size()));
        ::lseek(fd, 0, SEEK_SET);
        size_t reports = 0;
        size_t restores = 0;
        decode::ScanSink sink;
        sink.Report = [&reports](decode::CrashReport&&) { ++reports; };
        sink.Restore = [&restores](decode::RestoreLine&&) { ++restores; };
        sink.Stopped = [] { return true; };
        EXPECT_TRUE(decode::ScanDescriptor(fd, "console.log", sink));
        ::close(fd);
        EXPECT_EQ(reports, c.Reports);
        EXPECT_EQ(restores, c.Restores);
    }
}

// A line ends at its first CR or LF, looked for sixteen bytes a step: at
// each place in and around the first two steps, after every kind of line
// end, the line and the one after it read whole.
TEST(DecodeDirt, LinesEndAtTheirFirstCrOrLfWhereverItStands)
{
    const char* const ends[] = {"\n", "\r\n", "\r", "\n\r", "\r\r\n", "\n\r\r"};
    for (size_t length = 0; length <= 40; ++length) {
        for (const char* end : ends) {
            SCOPED_TRACE(std::to_string(length) + " bytes, then a line end of " + std::to_string(std::strlen(end)));
            // The line after has its own CR after an LF in the same step.
            const std::string log = std::string(length, 'x') + end + "next\nlast\r\n";
            int fd = ::memfd_create("console", 0);
            ASSERT_EQ(::write(fd, log.data(), log.size()), static_cast<ssize_t>(log.size()));
            ::lseek(fd, 0, SEEK_SET);
            decode::LineReader reader(fd);
            std::vector<std::string> lines;
            for (decode::LogLine line; reader.Next(&line);) {
                lines.emplace_back(line.Text);
            }
            ::close(fd);
            EXPECT_EQ(lines, (std::vector<std::string>{std::string(length, 'x'), "next", "last"}));
        }
    }
}

TEST(DecodeDamage, ChatterIsNoStartLine)
{
    for (const char* chatter : {"BUGCHECK DUMP STARS are bright tonight", "BUGCHECK DUMP STOPS",
                                "BUGCHECK DUMP ENDS", "UMP STARTS", "BUGCHECK DATA STARTS"}) {
        SCOPED_TRACE(chatter);
        EXPECT_TRUE(Scan(std::string("boot\n") + chatter + "\nmore boot\n").Reports.empty());
    }
}

TEST(DecodeOutput, IsUtf8Once)
{
    Decoded decoded = Scan(Replace(CleanReport, "hal.dll", "h\xFF" "l.dll"));
    ASSERT_EQ(decoded.Reports.size(), 1u);
    decode::CrashReport& report = decoded.Reports[0];
    report.Source = "c\xC3\xB6nsole.log";
    report.Frames.Mutable()[0].Symbols.push_back({"Crash", false, 0, "crash\xC3\xA9.cpp", 7});
    std::string line = decode::JsonLine(decode::ReportJson(report));
    EXPECT_NE(line.find("\"c\xC3\xB6nsole.log\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"crash\xC3\xA9.cpp\""), std::string::npos);
    EXPECT_NE(line.find("\"h\xEF\xBF\xBDl.dll\""), std::string::npos) << "a stray byte becomes U+FFFD";
    std::ostringstream text;
    report.Frames.Mutable()[0].Module = "h\xFF\xC2\x85l.sys";  // a stray byte and a C1 control
    decode::PrintReportText(text, report, 1);
    EXPECT_NE(text.str().find("(c\xC3\xB6nsole.log,"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("crash\xC3\xA9.cpp:7"), std::string::npos);
    EXPECT_NE(text.str().find("h\\xFF\\xC2\\x85l.sys"), std::string::npos);
}

// Reports and restore lines come out in the log's order, in text (where
// reports gather to be written in large blocks) and in JSON, however many
// come before them.
TEST(DecodeOutput, KeepsTheLogsOrder)
{
    const std::string restore = "Viridian State Restoration is Successful\n";
    std::string log;
    std::vector<std::string> expected;
    for (int hour = 10; hour < 20; ++hour) {
        log += Replace(CleanReport, "04:36", std::to_string(hour) + ":36") + restore;
        expected.insert(expected.end(), {"report", "restore"});
    }
    for (bool json : {false, true}) {
        SCOPED_TRACE(json ? "JSON" : "text");
        std::ostringstream out;
        decode::ReportStream stream(out, json, nullptr);
        decode::ScanSink sink;
        sink.Report = [&](decode::CrashReport&& report) { stream.Report(std::move(report)); };
        sink.Restore = [&](decode::RestoreLine&& line) { stream.Restore(std::move(line)); };
        int fd = ::memfd_create("console", 0);
        ASSERT_EQ(::write(fd, log.data(), log.size()), static_cast<ssize_t>(log.size()));
        ::lseek(fd, 0, SEEK_SET);
        decode::ScanDescriptor(fd, "console.log", sink);
        ::close(fd);
        stream.Flush();
        std::vector<std::string> kinds;
        std::istringstream lines(out.str());
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(json ? "{\"kind\":\"report\"" : "Report ", 0) == 0) {
                kinds.push_back("report");
            } else if (line.find(json ? "\"kind\":\"restore\"" : "Viridian State Restoration") !=
                       std::string::npos) {
                kinds.push_back("restore");
            }
        }
        EXPECT_EQ(kinds, expected) << out.str();
    }
}

// Every field the parser fills, for comparing two reads of one report.
std::string Everything(const decode::CrashReport& report)
{
    std::ostringstream out;
    out << decode::ReportJsonLine(report) << "\n" << report.ContextAddress << " stack-cut " << report.StackCut;
    for (const decode::ModuleRow& row : report.Modules) {
        out << "\nrow [" << row.Name << "] [" << row.PdbColumn << "] [" << row.Guid.View() << "] " << row.Age;
    }
    for (const decode::Register& reg : report.Registers) {
        out << "\nregister " << reg.Name << " " << reg.Value << " " << reg.Digits;
    }
    for (const decode::Frame& frame : report.Frames) {
        out << "\nframe " << frame.StackPointer << " " << frame.Words[0] << " " << frame.Words[1] << " "
            << frame.Words[2] << " " << frame.Words[3] << " " << frame.HasModule << " [" << frame.Module << "] "
            << frame.Offset << " " << frame.Address;
    }
    for (const std::string& warning : report.Warnings) {
        out << "\nwarning " << warning;
    }
    return out.str();
}

// The log scanned as the tool scans it, and with every line parsed: the
// same reports. Gives the first.
std::vector<decode::CrashReport> ExpectSameAsEveryLineParsed(const std::string& log)
{
    std::vector<decode::CrashReport> reports = Scan(log).Reports;
    std::vector<decode::CrashReport> parsed = Scan(log, false).Reports;
    EXPECT_EQ(parsed.size(), reports.size());
    for (size_t i = 0; i < std::min(reports.size(), parsed.size()); ++i) {
        EXPECT_EQ(Everything(reports[i]), Everything(parsed[i])) << "report " << i + 1;
    }
    return reports;
}

// A report whose lines repeat the report before's at the same place takes
// their rows from it instead of parsing them again. Each report of a log
// must read exactly as it does with nothing before it (the same lines
// numbered alike), whatever differs from the report before: one byte of
// any field, the count of rows, a line end, a prefix, a report cut short.
// Where nothing follows the second report, the first and the second come
// again (a report's lines are kept written over the last one's where they
// are as long, so the memory the third is held against is itself made so).
TEST(DecodeRepeats, ReportReadsAsItDoesWithNothingBeforeIt)
{
    const std::string base =
        Replace(Replace(CleanReport, "hal.dll\t\t", "hal.dll\tC:\\build\\hal.pdb\t"), "FFFFF80300001234\n",
                "FFFFF80300001234\nFFFFF80312345780: (0000000000000000 0000000000000000 0000000000000000 "
                "0000000000000000) ntoskrnl.exe + 0000000000001060\n");
    struct Edit {
        std::string From;
        std::string To;
    };
    struct Case {
        const char* Name;
        std::vector<Edit> Earlier;  // edits to the first report
        std::vector<Edit> Later;    // edits to the second
        std::string After;          // what follows the second report
    };
    const std::string row = "ntoskrnl.exe\t\t6B472C4652DD221E4C4C44205044422E\t1\n";
    const std::string frame =
        "FFFFF80312345670: (0000000000000000 FFFFF80312345700 0000000000000001 FFFFC00012340000) "
        "vekcrashdmp.sys + 0000000000002553\n";
    const Case cases[] = {
        {"the same report", {}, {}, ""},
        {"a module name", {}, {{"ntoskrnl.exe", "ntoskrnm.exe"}}, ""},
        {"a PDB column", {}, {{"hal.pdb", "hal.pdc"}}, ""},
        {"a PDB column emptied", {}, {{"C:\\build\\hal.pdb", ""}}, ""},
        {"a GUID digit", {}, {{"49EB016FCC", "49EB016FCD"}}, ""},
        {"a GUID digit in lower case", {}, {{"49EB016FCC", "49EB016FcC"}}, ""},
        {"an age", {}, {{"\t1A\n", "\t1B\n"}}, ""},
        {"the first row damaged", {}, {{"ntoskrnl.exe\t\t6B", "ntoskrnl.exe\t\t6b"}}, ""},
        {"a row where the report before had a damaged one", {{"ntoskrnl.exe\t\t6B", "ntoskrnl.exe\t\t6b"}},
         {{"ntoskrnl.exe", "ntoskrnm.exe"}}, ""},
        {"the table's header damaged", {}, {{"\tPdbAge\n", "\tPdbAgf\n"}}, ""},
        {"a row fewer", {}, {{row, ""}}, ""},
        {"an overlong line among the rows", {{row, row + std::string(5000, 'x') + "\n"}},
         {{row, row + std::string(5000, 'x') + "\n"}}, ""},
        {"a row more", {}, {{row, row + row}}, ""},
        {"a row more before", {{row, row + row}}, {}, ""},
        {"the table's header twice", {}, {{"hal.dll", "Module\tPdbName\tGuid\tPdbAge\nhal.dll"}}, ""},
        {"a row's line end", {}, {{"\t1\n", "\t1\r\n"}}, ""},
        {"the line ends of the report before", {{"\n", "\r\n"}}, {}, ""},
        {"a row's CR followed by an LF", {{"\t1\n", "\t1\r"}}, {{"\t1\n", "\t1\r\n"}}, ""},
        {"a later row's CR followed by an LF", {{"\t1A\n", "\t1A\r"}}, {{"\t1A\n", "\t1A\r\n"}}, ""},
        {"a register's value", {}, {{"- RAX = 0000000000000006", "- RAX = 0000000000000007"}}, ""},
        {"a register's name", {}, {{"- RAX = ", "- RBX = "}}, ""},
        {"a register line dropped", {}, {{"- RDI = 0000000000000001\n", ""}}, ""},
        {"a register named twice", {}, {{"- RDI = 0000000000000001\n", "- RSI = 0000000000000001\n"}}, ""},
        {"the first frame damaged", {}, {{"FFFFF80312345670: (", "FFFFF80312345670:  ("}}, ""},
        {"a frame where the report before had a damaged one", {{"FFFFF80312345670: (", "FFFFF80312345670:  ("}},
         {{"FFFFF80312345670: (", "FFFFF80312345671: ("}}, ""},
        {"a stack pointer", {}, {{"FFFFF80312345670:", "FFFFF80312345671:"}}, ""},
        {"a stack word", {}, {{"FFFFC00012340000)", "FFFFC00012340001)"}}, ""},
        {"a frame's module", {}, {{"vekcrashdmp.sys + ", "vekcrashdmq.sys + "}}, ""},
        {"a frame's offset", {}, {{"0000000000002553", "0000000000002554"}}, ""},
        {"a bare return address", {}, {{"FFFFF80300001234", "FFFFF80300001235"}}, ""},
        {"a frame more", {}, {{frame, frame + frame}}, ""},
        {"a frame fewer", {}, {{frame, ""}}, ""},
        {"the frames' modules at other rows", {},
         {{row, ""}, {"BUGCHECK CODE", row + "BUGCHECK CODE"}}, ""},
        {"a frame's module named a byte short at its row", {}, {{"\nntoskrnl.exe\t", "\nntoskrnl.ex\t"}}, ""},
        {"a frame's module the report before's table lacked", {{"\nntoskrnl.exe\t", "\nntoskrnl.ex\t"}}, {}, ""},
        {"a bare return address given a module", {}, {{"FFFFF80300001234\n", "hal.dll + 0000000000001234\n"}}, ""},
        {"a frame's module given as a bare address", {},
         {{"ntoskrnl.exe + 0000000000001060", "FFFFF80300001060"}}, ""},
        {"frames outside the stack", {}, {{"STACK:\n", ""}}, ""},
        {"the stack's header damaged", {}, {{"STACK:\n", "STACK;\n"}}, ""},
        {"the context's header damaged", {}, {{"CONTEXT (", "CONTEXT ["}}, ""},
        {"the stack's header twice", {}, {{frame, "STACK:\n" + frame}}, ""},
        {"the output format", {}, {{"FORMAT: 2", "FORMAT: 3"}}, ""},
        {"an unknown output format before", {{"FORMAT: 2", "FORMAT: 3"}}, {}, ""},
        {"the crash time", {}, {{"04:36:42", "04:36:43"}}, ""},
        {"an impossible crash time before", {{"2026-12-07", "2026-13-07"}}, {}, ""},
        {"no time line", {}, {{"CRASHED ON: 2026-12-07 04:36:42:123\n", ""}}, ""},
        {"no time line before", {{"CRASHED ON: 2026-12-07 04:36:42:123\n", ""}}, {}, ""},
        {"a second time line", {}, {{"KERNEL:", "CRASHED ON: 2026-12-08 04:36:42:123\nKERNEL:"}}, ""},
        {"a second time line where the report before's first was impossible",
         {{"2026-12-07", "2026-13-07"}, {"KERNEL:", "CRASHED ON: 2026-12-08 04:36:42:123\nKERNEL:"}},
         {{"KERNEL:", "CRASHED ON: 2026-12-08 04:36:42:123\nKERNEL:"}}, ""},
        {"a second kernel line where the report before's first was damaged",
         {{"(BUILD 19045)", "(BUILD 19045"}, {"SUITES:", "KERNEL: 6.1 (BUILD 7601) PLATFORM WIN32_NT (x64)\nSUITES:"}},
         {{"SUITES:", "KERNEL: 6.1 (BUILD 7601) PLATFORM WIN32_NT (x64)\nSUITES:"}}, ""},
        {"the kernel's build", {}, {{"BUILD 19045", "BUILD 19046"}}, ""},
        {"the platform", {}, {{"WIN32_NT", "WIN32_NU"}}, ""},
        {"a service pack line", {}, {{"SUITES:", "SP: 1.0 (Service Pack 1)\nSUITES:"}}, ""},
        {"a service pack line before", {{"SUITES:", "SP: 1.0 (Service Pack 1)\nSUITES:"}}, {}, ""},
        {"the kernel line twice", {}, {{"SUITES:", "KERNEL: 6.1 (BUILD 7601) PLATFORM WIN32_NT (x64)\nSUITES:"}}, ""},
        {"the suites twice", {}, {{"TYPE:", "SUITES:\n- ENTERPRISE\nTYPE:"}}, ""},
        {"a suite line dropped", {}, {{"- PERSONAL\n", ""}}, ""},
        {"the type", {}, {{"WORKSTATION", "SERVER"}}, ""},
        {"no version block", {},
         {{"KERNEL: 10.0 (BUILD 19045) PLATFORM WIN32_NT (x64)\nSUITES:\n- SINGLEUSERTS\n- PERSONAL\n"
           "TYPE: WORKSTATION\n",
           "NO OS VERSION AVAILABLE: 12 284 FFFFF80312340000\n"}},
         ""},
        {"the header lines in another order", {}, {{"OUTPUT FORMAT: 2\nCRASHED ON: 2026-12-07 04:36:42:123\n",
                                                    "CRASHED ON: 2026-12-07 04:36:42:123\nOUTPUT FORMAT: 2\n"}}, ""},
        {"the bug check code", {}, {{"CODE 000000D1", "CODE 0000000A"}}, ""},
        {"the code line twice", {}, {{"CONTEXT (", "BUGCHECK CODE 0000000A: 0000000000000001 0000000000000002 "
                                                  "0000000000000000 0000000000000000\nCONTEXT ("}}, ""},
        {"the context's address", {}, {{"CONTEXT (00007FFC6F361630)", "CONTEXT (00007FFC6F361631)"}}, ""},
        {"no context before", {{"CONTEXT (00007FFC6F361630):\n", ""}}, {}, ""},
        {"a prefix on every line", {}, {{"\n", "\n[vm1] "}}, ""},
        {"another source's line among a source's", {{"\n", "\n[vm1] "}},
         {{"\n", "\n[vm1] "}, {"[vm1] SUITES:\n", "[vm1] SUITES:\n[vm2] up\n[vm2] 2 days\n[vm2] load 0.5\n"}}, ""},
        {"another source's words among a stamped source's", {{"\n", "\nvm1 10:00:01 "}},
         {{"\n", "\nvm1 10:00:01 "},
          {"vm1 10:00:01 SUITES:\n", "vm1 10:00:02 SUITES:\nvm2 10:00:02 - SERVER\nvm2 10:00:02 TYPE: SERVER\n"},
          {"vm1 10:00:01 STACK:", "vm2 10:00:03 BUGCHECK DUMP ENDS\nvm1 10:00:03 STACK:"}},
         ""},
        {"two rows run together", {}, {{"\t1\nhal.dll", "\t1hal.dll"}}, ""},
        {"the last frame run into the end line", {}, {{"1060\nBUGCHECK DUMP ENDS", "1060BUGCHECK DUMP ENDS"}}, ""},
        {"another prefix on the start line", {{"\n", "\nAB "}}, {{"\n", "\nAB "}, {"AB BUGCHECK DUMP STARTS", "A1 BUGCHECK DUMP STARTS"}}, ""},
        {"the report before cut in its table", {{row, row + "\nBUGCHECK DUMP STARTS\n"}}, {}, ""},
        {"cut short in its table by the log's end", {{"hal.dll", "\x01"}}, {{"hal.dll", "hal.dl"}}, "\n"},
        {"cut short by the next report", {}, {{"BUGCHECK CODE", "BUGCHECK DUMP STARTS\nBUGCHECK CODE"}}, base},
        {"cut short in its stack", {}, {{"BUGCHECK DUMP ENDS\n", ""}}, "noise\nmore\nand more\n"},
    };
    auto apply = [](std::string text, const std::vector<Edit>& edits) {
        for (const Edit& edit : edits) {
            text = Replace(text, edit.From, edit.To);
        }
        return text;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string log = "boot\n" + apply(base, c.Earlier) + "between\n" + apply(base, c.Later) + c.After;
        if (c.After.empty()) {
            log += "again\n" + apply(base, c.Earlier) + "again\n" + apply(base, c.Later) + apply(base, c.Later);
        }
        std::vector<decode::CrashReport> reports = Scan(log).Reports;
        ASSERT_GE(reports.size(), 2u);
        // The same log with every line parsed: the same reports.
        std::vector<decode::CrashReport> parsed = Scan(log, false).Reports;
        ASSERT_EQ(parsed.size(), reports.size());
        // Each report (each begins at a start marker here), with the lines
        // before its start line turned into as many lines of chatter: the
        // first too, whose rows later reports share while they are the same.
        size_t marker = 0;
        for (size_t i = 0; i < reports.size(); ++i) {
            marker = log.find("BUGCHECK DUMP STARTS", i == 0 ? 0 : marker + 1);
            ASSERT_NE(marker, std::string::npos);
            size_t start = log.rfind('\n', marker) + 1;
            std::string alone;
            for (uint64_t line = 1; line < reports[i].FirstLine; ++line) {
                alone += "chatter\n";
            }
            alone += log.substr(start);
            std::vector<decode::CrashReport> fresh = Scan(alone).Reports;
            ASSERT_FALSE(fresh.empty());
            EXPECT_EQ(Everything(reports[i]), Everything(fresh.front())) << "report " << i + 1;
            EXPECT_EQ(Everything(reports[i]), Everything(parsed[i])) << "report " << i + 1;
        }
    }
}

// A console that carries several machines' reports in turn, each behind
// its own prefix: each report takes over from its own source's last one,
// and must read exactly as with every line parsed, however the sources
// take turns, differ, change or outnumber what is remembered of them.
TEST(DecodeRepeats, EachSourceReadsAsWithEveryLineParsed)
{
    // Source n's report: its own GUID in one row and its own frame offset;
    // sources from 10 on have 3,000 rows more (too large to keep beside
    // the others).
    std::string extraRows;
    for (int i = 0; i < 3000; ++i) {
        extraRows += "m" + std::to_string(i) + ".sys\t\t6B472C4652DD221E4C4C44205044422E\t1\n";
    }
    auto report = [&extraRows](unsigned n, unsigned round) {
        char guid[9];
        std::snprintf(guid, sizeof(guid), "%08X", 0xA0000000 + n);
        constexpr unsigned FirstLarge = 10;
        std::string text = Replace(n >= FirstLarge ? Replace(CleanReport, "BUGCHECK CODE", extraRows + "BUGCHECK CODE")
                                                   : CleanReport,
                                   "6B472C46", guid);
        text = Replace(text, "0000000000002553", "00000000000025" + std::to_string(10 + n));
        // From the third round on, source 1 prints another age for its driver.
        return round >= 2 && n == 1 ? Replace(text, "\t1A\n", "\t1B\n") : text;
    };
    auto prefix = [](unsigned n) { return n == 0 ? std::string() : "vm" + std::to_string(n) + "| "; };
    struct Case {
        const char* Name;
        std::vector<unsigned> Order;  // the sources in the order their reports come
        bool Interleaved;             // the first two reports' lines interleaved
    };
    const Case cases[] = {
        {"two sources in turn", {1, 2, 1, 2, 1, 2}, false},
        {"one source, then another for a while", {1, 1, 2, 2, 2, 1, 1}, false},
        {"eight sources in turn", {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8, 8, 1}, false},
        {"nine sources, not quite in turn", {1, 2, 3, 4, 5, 6, 7, 8, 9, 1, 2, 9, 3, 1, 2, 3}, false},
        {"a source without a prefix among them", {0, 1, 0, 2, 1, 0, 0, 2}, false},
        {"two reports interleaved line by line first", {1, 2, 1, 2, 2, 1}, true},
        {"sources too large to keep among them", {1, 10, 2, 11, 1, 10, 2, 11, 11, 1, 12, 1}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string log = "boot\n";
        std::vector<unsigned> rounds(16, 0);
        size_t i = 0;
        if (c.Interleaved) {
            log += Interleave(report(c.Order[0], 0), prefix(c.Order[0]), report(c.Order[1], 0), prefix(c.Order[1]));
            i = 2;
        }
        for (; i < c.Order.size(); ++i) {
            unsigned n = c.Order[i];
            log += Prefixed(report(n, rounds[n]++), [&](size_t) { return prefix(n); }) + prefix(n) + "chatter\n";
        }
        std::vector<decode::CrashReport> reports = ExpectSameAsEveryLineParsed(log);
        ASSERT_EQ(reports.size(), c.Order.size());
        for (size_t r = 0; r < reports.size(); ++r) {
            EXPECT_TRUE(reports[r].Complete) << "report " << r + 1;
        }
    }
}

// A fleet's machines, each with a kernel build of its own, print their
// crashes in turn into one console, each line behind its machine's prefix
// or with nothing before the lines: once each machine has printed twice,
// every report takes its table over whole from its own machine's last one
// (sharing its rows), for as many machines as are kept (64 behind
// prefixes, 32 without).
TEST(DecodeRepeats, EachMachineOfAFleetTakesOverFromItsOwnLast)
{
    struct Case {
        const char* Name;
        unsigned Machines;
        bool Prefixes;
    };
    const Case cases[] = {
        {"sixteen machines multiplexed", 16, true},
        {"64 machines multiplexed", 64, true},
        {"sixteen machines in turn", 16, false},
        {"32 machines in turn", 32, false},
    };
    constexpr unsigned Rounds = 4;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string log;
        for (unsigned round = 0; round < Rounds; ++round) {
            for (unsigned m = 0; m < c.Machines; ++m) {
                char guid[9];
                std::snprintf(guid, sizeof(guid), "%08X", 0xA0000000 + m);
                char time[9];
                std::snprintf(time, sizeof(time), "04:%02u:42", round);
                std::string report = Replace(Replace(CleanReport, "6B472C46", guid), "04:36:42", time);
                const std::string prefix = "vm" + std::to_string(m) + "| ";
                log += c.Prefixes ? Prefixed(report, [&prefix](size_t) { return prefix; }) : report;
            }
        }
        std::vector<decode::CrashReport> reports = Scan(log).Reports;
        ASSERT_EQ(reports.size(), Rounds * c.Machines);
        for (size_t r = 2 * c.Machines; r < reports.size(); ++r) {
            EXPECT_TRUE(reports[r].Complete) << "report " << r + 1;
            EXPECT_TRUE(reports[r].Modules.Shares(reports[r - c.Machines].Modules)) << "report " << r + 1;
        }
    }
}

// Reports whose every line stands behind a timestamp of its own, as a
// logging serial server writes them: a report's lines are held against the
// last report's behind a prefix of the same shape, and must read exactly
// as with every line parsed, whatever differs: a field, a line end, or a
// prefix of another shape or length.
TEST(DecodeRepeats, TimestampedReportsReadAsWithEveryLineParsed)
{
    struct Case {
        const char* Name;
        std::string From;  // an edit to the prefixed text of the later reports
        std::string To;
        std::string Host = "qiridian Sx";  // what stands first in each prefix
        // The prefixed lines whose digits change (the start line's, the
        // first, never does then); with the module rows alone (9 to 11),
        // each report's first row is its own too, so its table is read.
        size_t ChangeFrom = 0;
        size_t ChangeTo = SIZE_MAX;
    };
    const Case cases[] = {
        {"the same report", "", ""},
        {"a GUID digit", "6B472C46", "6B472C47"},
        {"a line behind a prefix of another shape", "] - RAX", "x - RAX"},
        {"a line behind a longer prefix", "] - RAX", "0] - RAX"},
        {"a line behind a shorter prefix", "6] - RAX", "] - RAX"},
        {"a row's line end", "\t1\n", "\t1\r\n"},
        {"a colour reset at a line's end", "0000000000000006\n", "0000000000000006\x1B[0m\n"},
        {"the start line behind another shape", "] BUGCHECK DUMP STARTS", ") BUGCHECK DUMP STARTS"},
        {"the end line missing", "] BUGCHECK DUMP ENDS\n", "] \n"},
        {"every prefix holding a restore line's anchor", "qiridian Sx", "Viridian Sx"},
        {"prefixes that hold letters where digits were", "[qiridian Sx] 2026", "[qiridian Sx] x026"},
        {"a line whose prefix ends as a register line begins", "] - RAX", "- - RAX"},
        {"a row whose prefix ends as a register line begins", "] ntoskrnl", "- ntoskrnl"},
        {"a row ending in a colour reset", "\t1\n", "\t1\x1B[0m\n"},
        {"a row of another module", "] ntoskrnl.exe", "] ntoskrnl.exf"},
        {"cut in its table by the next report", "] hal.dll\t",
         "] BUGCHECK DUMP STARTS\n[qiridian Sx] 2026-12-07 04:36:59.999999] hal.dll\t"},
        {"a line whose prefix holds the end marker", "[xUGCHECK DUMP ENDS] 2026-12-07 04:36:20.",
         "[BUGCHECK DUMP ENDS] 2026-12-07 04:36:20.", "xUGCHECK DUMP ENDS"},
        {"cut in its table by the next report, the digits changing in the rows alone", "] hal.dll\t",
         "] BUGCHECK DUMP STARTS\n[qiridian Sx] 2026-12-07 04:36:59.999999] hal.dll\t", "qiridian Sx", 9, 12},
        {"cut in its registers by the next report, the digits changing after the table", "] - RAX",
         "] BUGCHECK DUMP STARTS\n[qiridian Sx] 2026-12-07 04:36:59.999999] - RAX", "qiridian Sx", 12},
    };
    // Prefixes longer than 32 bytes, and (with the date left out) mostly
    // up to 32, which are held against in one step of 32 bytes.
    for (bool dated : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + (dated ? "" : ", without the date"));
            std::string log = "boot\n";
            for (unsigned report = 0; report < 4; ++report) {
                std::string text = Prefixed(CleanReport, [&](size_t index) {
                    const bool changes = index >= c.ChangeFrom && index < c.ChangeTo;
                    char prefix[64];
                    std::snprintf(prefix, sizeof(prefix), "[%s] %s%02zu.%06zu] ", c.Host.c_str(),
                                  dated ? "2026-12-07 04:36:" : "", changes ? index % 60 : 0,
                                  changes ? report * 1000 + index : 0);
                    return std::string(prefix);
                });
                if (c.ChangeFrom != 0) {
                    text = Replace(text, "6B472C46", "6B472C4" + std::to_string(report));
                }
                log += report == 0 || c.From.empty() ? text : Replace(text, c.From, c.To);
            }
            EXPECT_GE(ExpectSameAsEveryLineParsed(log).size(), 4u);
        }
    }
}

// Lines behind a timestamp are held against the last report's where its
// lines end: where the bytes after a line would have the reader end it
// further on (a CR after its LF, an LF or a CR after its lone CR), or a
// prefix holds a marker's half, each report still reads as with every line
// parsed, behind prefixes shorter than 32 bytes, of 32 and longer, and on
// lines shorter than 32.
TEST(DecodeRepeats, LinesBehindTimestampsEndWhereTheReaderEndsThem)
{
    struct Case {
        const char* Name;
        std::string From;  // what each report's text has
        std::string To[4];  // in its place, report by report
    };
    const std::string lf = "0000000000000006\n";
    const std::string host = "[qiridian Sx] 20.";
    const Case cases[] = {
        {"a CR after a line's LF", lf, {lf, lf + "\r", lf, lf + "\r"}},
        {"an LF after a line's lone CR", "\t1\n", {"\t1\r", "\t1\r", "\t1\r\n", "\t1\r"}},
        {"a CR after a line's lone CR", "\t1\n", {"\t1\r", "\t1\r", "\t1\r\r", "\t1\r"}},
        {"a CR after a line's CR LF", "\t1\n", {"\t1\r\n", "\t1\r\n", "\t1\r\n\r", "\t1\r\n"}},
        {"a prefix that holds a start marker's half", host, {host, host, "[BUGCHECK Dx] 20.", host}},
        {"a prefix that holds a restore line's half", host, {host, host, "[Viridian Sx] 20.", host}},
    };
    for (const char* format : {"[%s] %02zu.%06zu] ", "[%s] %02zu.%06zu 2026-07] ", "[%s] %02zu.%06zu 2026-12-07] "}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + ", " + format);
            std::string log = "boot\n";
            for (size_t report = 0; report < 4; ++report) {
                const std::string text = Prefixed(CleanReport, [&](size_t index) {
                    char prefix[64];
                    std::snprintf(prefix, sizeof(prefix), format, "qiridian Sx", index % 60,
                                  report * 1000 + index);
                    return std::string(prefix);
                });
                log += Replace(text, c.From, c.To[report]);
            }
            EXPECT_FALSE(ExpectSameAsEveryLineParsed(log).empty());
        }
    }
    // Lines taken over byte for byte behind the start line's prefix, whose
    // memory's lines did not all carry it: the report is no source's, and a
    // start line behind another prefix ends it (found by the fuzzer).
    ExpectSameAsEveryLineParsed(" \r[    0.001665] BUGCHECK UMP STARTS\n[    0.001702] OUTPUT FORMAT: 2\r\n[ \r\n"
                                "[    0.001665] BUGCHEK DUMP STARTS\r[    0.001702] OUTPUT FORMAT: 2\r\n"
                                "[ UGCHECK DUMP STARTS");
}

// A fleet's machines printing their crashes in turn into one console with
// nothing before the lines: each report's table parts from the report
// before's at its first row, and is its own machine's last table but for
// what the case changes. Each report is held against the last few and
// must read exactly as with every line parsed, whichever it takes over
// from, however the machines take turns, and whatever differs.
TEST(DecodeRepeats, FleetReportsInTurnReadAsWithEveryLineParsed)
{
    constexpr unsigned Rows = 12;
    struct Case {
        const char* Name;
        std::vector<unsigned> Order;  // the machines in the order their reports come
        // What the case changes in machine n's report of a round (its
        // reports counted from 0), or nothing.
        std::function<std::string(unsigned n, unsigned round, std::string text)> Change;
    };
    const auto same = [](unsigned, unsigned, std::string text) { return text; };
    std::vector<unsigned> eight;  // four rounds
    for (unsigned i = 0; i < 32; ++i) {
        eight.push_back(i % 8);
    }
    const Case cases[] = {
        {"eight machines in turn", eight, same},
        {"three machines, one of them twice running", {0, 1, 2, 0, 1, 1, 2, 0, 1, 2, 2, 0}, same},
        {"ten machines in turn", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2, 3}, same},
        {"a machine loads one more driver", eight,
         [](unsigned n, unsigned round, std::string text) {
             return n == 2 && round == 2 ? Replace(text, "BUGCHECK CODE", "extra.sys\t\t6B472C4652DD221E4C4C44205044422E\t1\nBUGCHECK CODE")
                                         : text;
         }},
        {"a machine's next driver build", eight,
         [](unsigned n, unsigned round, std::string text) {
             return n == 3 && round >= 1 ? Replace(text, "drv7.sys\t\t", "drv7.sys\tC:\\b\\drv7.pdb\t") : text;
         }},
        {"a machine's time line longer in every other report", eight,
         [](unsigned n, unsigned round, std::string text) {
             return n == 4 && round % 2 == 1 ? Replace(text, ":123\n", ":1234\n") : text;
         }},
        {"a machine's other registers and frames", eight,
         [](unsigned n, unsigned round, std::string text) {
             text = Replace(text, "- RAX = 0000000000000006", "- RAX = 000000000000000" + std::to_string(n % 8));
             return round == 1 && n == 5 ? Replace(text, "- R15 = 000000000000000F\n", "- R15 = 000000000000000F\n- RAX = 0000000000000001\n")
                                         : text;
         }},
        {"a machine's report cut in its table by the next", eight,
         [](unsigned n, unsigned round, std::string text) {
             return n == 6 && round == 1 ? text.substr(0, text.find("drv5.sys")) : text;
         }},
        {"a machine's lines ending in CR LF", eight,
         [](unsigned n, unsigned, std::string text) { return n == 1 ? Replace(text, "\n", "\r\n") : text; }},
        {"a machine's time the same as its report before's", eight,
         [](unsigned n, unsigned round, std::string text) {
             return n == 0 && round >= 1 ? WithTime(text, "2026-12-07 05:59:42:123") : text;
         }},
        {"a machine's time the same as its report before last's", eight,
         [](unsigned n, unsigned round, std::string text) {
             return n == 0 ? WithTime(text, round % 2 == 0 ? "2026-12-07 05:59:42:123" : "2026-12-07 05:58:42:123")
                           : text;
         }},
        {"a machine's time damaged in its later reports", eight,
         [](unsigned n, unsigned round, std::string text) {
             return n == 0 && round >= 2 ? WithTime(text, "2026-13-07 05:59:42:123") : text;
         }},
        {"a machine's format line of another kind in turn", eight,
         [](unsigned n, unsigned round, std::string text) {
             if (n != 0 || round == 0) {
                 return text;
             }
             text = WithTime(text, round == 1 ? "2026-12-07 05:58:42:123" : "2026-12-07 05:59:42:123");
             return Replace(text, "OUTPUT FORMAT: 2", round == 2 ? "OUTPUT FORMAT: 9" : "xUTPUT FORMAT: 2");
         }},
        {"a report the same as one kept", {0, 1, 2, 0, 1, 2, 0, 1, 2}, [](unsigned, unsigned, std::string text) {
             return Replace(text, "04:", "05:");  // every round at the same time
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string log = "boot\n";
        std::vector<unsigned> rounds(16, 0);
        for (size_t i = 0; i < c.Order.size(); ++i) {
            const unsigned n = c.Order[i];
            std::string rows;
            for (unsigned r = 0; r < Rows; ++r) {
                char row[96];
                // The first row is each machine's own, and one more in four.
                const unsigned guid = r == 0 || r % 4 == n % 4 ? 0xA0000000 + n * Rows + r : 0x6B472C46 + r;
                std::snprintf(row, sizeof(row), "drv%u.sys\t\t%08X52DD221E4C4C44205044422E\t1\n", r, guid);
                rows += row;
            }
            std::string text = Replace(CleanReport, "ntoskrnl.exe\t\t6B472C4652DD221E4C4C44205044422E\t1\n", rows);
            char time[16];
            std::snprintf(time, sizeof(time), "04:%02zu:42", i % 60);
            text = Replace(text, "04:36:42", time);
            text = Replace(text, "0000000000002553", "00000000000025" + std::to_string(10 + n));
            log += c.Change(n, rounds[n]++, text) + "chatter\n";
        }
        std::vector<decode::CrashReport> reports = ExpectSameAsEveryLineParsed(log);
        EXPECT_EQ(reports.size(), c.Order.size());
    }
}

// A report's run of lines held against the last one's is walked and
// compared a stretch at a time, each next longer: wherever the run parts
// from the memory (at either side of where a stretch ends, after the
// table, or nowhere), and wherever a line of the memory was no row to
// take, each report reads as with every line parsed, and a table the same
// as the last is taken whole.
TEST(DecodeRepeats, LongRunsPartWhereTheirBytesDo)
{
    constexpr unsigned Rows = 700;
    const auto rowsOf = [](unsigned changed, const std::string& unfit, unsigned unfitAt) {
        std::string rows;
        for (unsigned r = 0; r < Rows; ++r) {
            char row[96];
            std::snprintf(row, sizeof(row), "drv%u.sys\t\t%08X52DD221E4C4C44205044422E\t1\n", r,
                          r == changed ? 0xA0000000 : 0x6B472C46 + r);
            rows += r == unfitAt ? unfit : row;
        }
        return rows;
    };
    constexpr unsigned None = ~0u;
    const std::string lowerCase = "drvx.sys\t\t6b472c4652dd221e4c4c44205044422e\t1\n";  // no row the parser takes
    struct Case {
        std::string Name;
        unsigned Changed;      // the row of the later reports that differs
        unsigned UnfitAt;      // the row of every report that is no row to take
        const char* Register;  // the later reports' RAX
    };
    // The run held from the table's type line on is walked 32 lines first,
    // then 128 more, then 384: its stretches end before rows 30, 126 and
    // 510.
    std::vector<Case> cases = {
        {"nothing differs", None, None, "0000000000000006"},
        {"a register after the table", None, None, "0000000000000007"},
        {"no row to take where the first stretch ends", None, 29, "0000000000000006"},
        {"no row to take where the second begins", None, 126, "0000000000000006"},
        {"and a row after it differs", 200, 126, "0000000000000006"},
        {"the table's last row differs", Rows - 1, None, "0000000000000006"},
    };
    for (unsigned changed : {0u, 1u, 28u, 29u, 30u, 31u, 124u, 125u, 126u, 127u, 508u, 509u, 510u, 511u}) {
        cases.push_back({"row " + std::to_string(changed) + " differs", changed, None, "0000000000000006"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string row = "ntoskrnl.exe\t\t6B472C4652DD221E4C4C44205044422E\t1\n";
        const std::string first = Replace(CleanReport, row, rowsOf(None, lowerCase, c.UnfitAt));
        std::string later = Replace(CleanReport, row, rowsOf(c.Changed, lowerCase, c.UnfitAt));
        later = Replace(later, "- RAX = 0000000000000006", std::string("- RAX = ") + c.Register);
        const std::string log = "boot" + first + "chatter" + Replace(later, "04:36:42", "04:37:42") + "chatter" +
                                Replace(later, "04:36:42", "04:38:42");
        std::vector<decode::CrashReport> reports = ExpectSameAsEveryLineParsed(log);
        ASSERT_EQ(reports.size(), 3u);
        // The third report is the second again: its table is taken whole
        // where the second's was the first's and every row may be taken.
        EXPECT_EQ(reports[2].Modules.Shares(reports[1].Modules), c.UnfitAt == None && c.Changed == None);
    }
}

// A row held as its bytes, as the parser holds a row it read.
void HoldRow(decode::ModuleTable* table, const decode::ModuleRow& row)
{
    const std::string text = row.Name + "\t" + row.PdbColumn + "\t" + row.Guid.String();
    table->Hold(text, row.Name.size(), row.Name.size() + 1 + row.PdbColumn.size(), row.Age);
}

// Rows held as the plain rows a log gives, as the scanner holds a run of
// them: each with its age in hex (with `pad` leading zeros) and its LF.
void HoldPlainRows(decode::ModuleTable* table, const std::vector<decode::ModuleRow>& rows, int pad = 0)
{
    std::string text;
    std::vector<decode::PlainRow> plain;
    for (const decode::ModuleRow& row : rows) {
        char age[16];
        std::snprintf(age, sizeof(age), "%0*X", pad + 1, row.Age);
        const std::string line = row.Name + "\t" + row.PdbColumn + "\t" + row.Guid.String() + "\t" + age;
        decode::PlainRow& p = plain.emplace_back();
        p.Length = static_cast<uint32_t>(line.size());
        p.PdbTab = static_cast<uint16_t>(row.Name.size());
        p.AgeTab = static_cast<uint16_t>(line.size() - std::strlen(age) - 1);
        p.Age = row.Age;
        text += line + "\n";
    }
    table->HoldRows(text.data(), plain.data(), plain.size());
}

// The rows of a table, one line each, as it reads whole.
std::string RowsOf(const decode::ModuleTable& table)
{
    std::string text;
    for (const decode::ModuleRow& row : table) {
        text += row.Name + "|" + row.PdbColumn + "|" + row.Guid.String() + "|" + std::to_string(row.Age) + "\n";
    }
    return text;
}

// A module table shares its rows with the tables copied from it or given
// them: whatever is then done to one, the other reads as before, whether
// its rows were made, held as bytes, or some of each.
TEST(ModuleTableTest, ATableChangedLeavesTheOneItSharedWithAsItWas)
{
    const std::vector<decode::ModuleRow> rows = {{"a.sys", "", "6B472C4652DD221E4C4C44205044422E", 1},
                                                 {"b.sys", "b.pdb", "49EB016FCC3789B14C4C44205044422E", 2}};
    const decode::ModuleRow other = {"c.sys", "c.pdb", "49EB016FCC3789B14C4C442050444200", 5};
    decode::ModuleTable heldOther;
    for (int i = 0; i < 3; ++i) {
        HoldRow(&heldOther, other);
    }
    // Rows as long as the two's, each at its place.
    decode::ModuleTable heldAsLong;
    HoldRow(&heldAsLong, {"dx", "d.p", "0123456789ABCDEF0123456789ABCDEF", 9});  // its columns part elsewhere
    HoldRow(&heldAsLong, {"e.sys", "e.pdb", "FEDCBA9876543210FEDCBA9876543210", 10});
    struct Case {
        const char* Name;
        std::function<void(decode::ModuleTable*)> Change;
    } cases[] = {
        {"a row added", [](decode::ModuleTable* t) { t->push_back({"x.sys", "", "49EB016F", 1}); }},
        {"a row made in place", [](decode::ModuleTable* t) { t->emplace_back("y.sys", "", "49EB016F", 2); }},
        {"a row held", [&](decode::ModuleTable* t) { HoldRow(t, other); }},
        {"a row changed", [](decode::ModuleTable* t) { t->Mutable()[0].Age = 7; }},
        {"the last row dropped", [](decode::ModuleTable* t) { t->pop_back(); }},
        {"emptied", [](decode::ModuleTable* t) { t->clear(); }},
        {"given other rows", [](decode::ModuleTable* t) { *t = {{"z.sys", "", "49EB016F", 3}}; }},
        {"rows assigned", [](decode::ModuleTable* t) {
             const decode::ModuleRow assigned[] = {{"w.sys", "", "49EB016F", 4}};
             t->assign(std::begin(assigned), std::end(assigned));
         }},
        {"room made", [](decode::ModuleTable* t) { t->reserve(4096); }},
        {"a held row kept over each", [&](decode::ModuleTable* t) {
             t->Keep(0, heldOther);
             t->Keep(1, heldOther);
         }},
        {"held rows as long kept over each", [&](decode::ModuleTable* t) {
             t->Keep(1, heldAsLong);
             t->Keep(0, heldAsLong);
         }},
        {"a held row kept past the last", [&](decode::ModuleTable* t) { t->Keep(t->size(), heldOther); }},
        {"plain rows held", [&](decode::ModuleTable* t) { HoldPlainRows(t, {other, other}); }},
        {"rows taken from another", [&](decode::ModuleTable* t) { t->AppendRows(heldAsLong, 0, 2); }},
        {"its own rows taken again", [](decode::ModuleTable* t) { t->AppendRows(*t, 0, t->size()); }},
    };
    // The same two rows made, held, the first made with the second held,
    // held as plain rows, and the first held with the second a plain row.
    const std::function<void(decode::ModuleTable*)> builds[] = {
        [&](decode::ModuleTable* t) { t->assign(rows.begin(), rows.end()); },
        [&](decode::ModuleTable* t) {
            HoldRow(t, rows[0]);
            HoldRow(t, rows[1]);
        },
        [&](decode::ModuleTable* t) {
            t->push_back(rows[0]);
            HoldRow(t, rows[1]);
        },
        [&](decode::ModuleTable* t) { HoldPlainRows(t, rows); },
        [&](decode::ModuleTable* t) {
            HoldRow(t, rows[0]);
            HoldPlainRows(t, {rows[1]});
        },
    };
    for (const Case& c : cases) {
        // What the change makes of the rows made, unshared.
        decode::ModuleTable alone;
        builds[0](&alone);
        c.Change(&alone);
        const std::string after = RowsOf(alone);
        for (size_t build = 0; build < std::size(builds); ++build) {
            SCOPED_TRACE(std::string(c.Name) + ", build " + std::to_string(build));
            // Shared by a copy, and by Share; each side changed in turn.
            for (int side = 0; side < 4; ++side) {
                // Read whole from a table of its own: reading a table
                // whole makes its rows.
                decode::ModuleTable witness;
                builds[build](&witness);
                const std::string before = RowsOf(witness);
                decode::ModuleTable original;
                builds[build](&original);
                decode::ModuleTable other;
                if (side < 2) {
                    other = original;
                } else {
                    other.Share(original);
                }
                EXPECT_TRUE(other.Shares(original));
                decode::ModuleTable* changed = side % 2 == 0 ? &other : &original;
                const decode::ModuleTable& kept = side % 2 == 0 ? original : other;
                c.Change(changed);
                EXPECT_EQ(RowsOf(kept), before) << "side " << side;
                EXPECT_EQ(RowsOf(*changed), after) << "side " << side;
            }
        }
    }
}

// Two tables hold the same rows when every row's columns are the same,
// however each holds them: rows held as bytes are compared as bytes, a row
// held with the bytes after its GUID (its age as the log spelt it, its LF)
// is the row held without them, and a name and PDB column split at another
// tab are other rows.
TEST(ModuleTableTest, TablesAreTheSameWhenTheirRowsAre)
{
    const std::string guid = "6B472C4652DD221E4C4C44205044422E";
    const decode::ModuleRow a = {"a.sys", "", guid, 1};
    const decode::ModuleRow b = {"b.sys", "b.pdb", guid, 2};
    enum class Way { Made, Held, MadeThenHeld, Plain, PlainPadded, HeldThenPlain, TakenInPart, HeldThenTaken };
    auto table = [](const std::vector<decode::ModuleRow>& rows, Way way) {
        decode::ModuleTable t;
        if (way == Way::Plain || way == Way::PlainPadded) {
            HoldPlainRows(&t, rows, way == Way::PlainPadded ? 2 : 0);
            return t;
        }
        if (way == Way::TakenInPart || way == Way::HeldThenTaken) {
            // Taken from the middle of a table of more rows: made ones as
            // made, held ones as held, after this table's own.
            const bool own = way == Way::HeldThenTaken && !rows.empty();
            decode::ModuleTable from;
            from.push_back({"before.sys", "", "6B472C4652DD221E4C4C44205044422E", 1});
            for (size_t i = own ? 1 : 0; i < rows.size(); ++i) {
                if (i == 0) {
                    from.push_back(rows[i]);
                } else {
                    HoldPlainRows(&from, {rows[i]});
                }
            }
            HoldRow(&from, {"after.sys", "", "6B472C4652DD221E4C4C44205044422E", 1});
            if (own) {
                HoldRow(&t, rows[0]);
            }
            t.AppendRows(from, 1, rows.size() - (own ? 1 : 0));
            return t;
        }
        for (size_t i = 0; i < rows.size(); ++i) {
            if (way == Way::Made || (way == Way::MadeThenHeld && i == 0)) {
                t.push_back(rows[i]);
            } else if (way == Way::HeldThenPlain && i != 0) {
                HoldPlainRows(&t, {rows[i]});
            } else {
                HoldRow(&t, rows[i]);
            }
        }
        return t;
    };
    struct Case {
        const char* Name;
        std::vector<decode::ModuleRow> First;
        std::vector<decode::ModuleRow> Second;
    };
    const Case cases[] = {
        {"the same rows", {a, b}, {a, b}},
        {"no rows", {}, {}},
        {"a row fewer", {a, b}, {a}},
        {"another age", {a, b}, {a, {"b.sys", "b.pdb", guid, 3}}},
        {"another GUID", {a, b}, {a, {"b.sys", "b.pdb", "6B472C4652DD221E4C4C44205044422F", 2}}},
        {"another name", {a, b}, {a, {"c.sys", "b.pdb", guid, 2}}},
        {"the same bytes parted at another tab", {{"x\ty", "z", guid, 1}}, {{"x", "y\tz", guid, 1}}},
        {"rows in another order", {a, b}, {b, a}},
    };
    for (const Case& c : cases) {
        const Way ways[] = {Way::Made,        Way::Held,          Way::MadeThenHeld, Way::Plain,
                            Way::PlainPadded, Way::HeldThenPlain, Way::TakenInPart,  Way::HeldThenTaken};
        for (Way first : ways) {
            for (Way second : ways) {
                SCOPED_TRACE(std::string(c.Name) + ", ways " + std::to_string(static_cast<int>(first)) + " " +
                             std::to_string(static_cast<int>(second)));
                // Read whole only after the compare: a table read whole
                // has its rows made.
                const bool same = RowsOf(table(c.First, Way::Made)) == RowsOf(table(c.Second, Way::Made));
                const decode::ModuleTable x = table(c.First, first);
                const decode::ModuleTable y = table(c.Second, second);
                for (size_t i = 0; i < y.size(); ++i) {
                    EXPECT_EQ(y.Name(i), c.Second[i].Name) << i;
                }
                EXPECT_EQ(x.SameRows(y), same);
                EXPECT_EQ(y.SameRows(x), same);
                // So do their prints, which pick the tables to compare.
                EXPECT_EQ(x.RowsPrint() == y.RowsPrint(), same);
                if (same) {
                    EXPECT_EQ(x.EndsPrint(), y.EndsPrint());
                }
            }
        }
    }
}

// After reports whose module tables all differ, rows are kept for the next
// report only now and then; a table that comes back is taken over again.
// Every report of such a log reads exactly as it does alone.
// A report that takes over a whole table, stack or register context from
// the report before shares that report's rows rather than copying them:
// with the time alone differing, the third report holds the second's rows
// themselves; where one line of a list differs, that list is its own (and
// the report still reads as it does alone, which the tables above hold).
TEST(DecodeRepeats, WholeListsTakenOverAreSharedNotCopied)
{
    struct Case {
        const char* Name;
        const char* From;
        const char* To;
        bool Modules;
        bool Frames;
        bool Registers;
    } cases[] = {
        {"only the time differs", "", "", true, true, true},
        {"a module row", "hal.dll\t", "hal.sys\t", false, true, true},
        {"a frame", "+ 0000000000002553", "+ 0000000000002554", true, false, true},
        {"a register", "- RAX = 0000000000000006", "- RAX = 0000000000000007", true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string third = Replace(CleanReport, "04:36:42:123", "04:36:59:123");
        if (*c.From != '\0') {
            third = Replace(third, c.From, c.To);
        }
        const std::string log = "chatter" + CleanReport + "chatter" + Replace(CleanReport, "04:36:42", "04:36:50") +
                                "chatter" + third;
        std::vector<decode::CrashReport> reports = Scan(log).Reports;
        ASSERT_EQ(reports.size(), 3u);
        EXPECT_EQ(reports[2].Modules.Shares(reports[1].Modules), c.Modules);
        EXPECT_EQ(reports[2].Frames.Shares(reports[1].Frames), c.Frames);
        EXPECT_EQ(reports[2].Registers.Shares(reports[1].Registers), c.Registers);
    }
}

TEST(DecodeRepeats, TablesThatComeAndGoReadAsAlone)
{
    struct Case {
        const char* Name;
        std::vector<unsigned> Tables;  // each report's table, by number
        // 0: every row differs from another table's; n: of the rows
        // added, those whose index and table number are the same modulo
        // n (a fleet's machines, each with some drivers of its own).
        unsigned Differ = 0;
    };
    const std::vector<unsigned> inTurn = {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8};
    const Case cases[] = {
        {"new tables, then one again and again", {1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7}},
        {"tables that come back after a pause", {1, 2, 3, 1, 2, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2}},
        {"one table, new ones, then the first",
         {1, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 12, 1, 1}},
        {"machines in turn, a row in four their own", inTurn, 4},
        {"machines in turn, a row of the table their own", inTurn, 24},
        {"one machine's table, now and then another's in a row",
         {1, 1, 1, 2, 1, 1, 1, 1, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 4, 1, 1, 1, 1, 1}, 24},
    };
    constexpr unsigned AddedRows = 24;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string log;
        for (unsigned table : c.Tables) {
            char guid[17];
            std::snprintf(guid, sizeof(guid), "%016X", table);
            std::string rows;
            for (unsigned i = 0; i < AddedRows; ++i) {
                const bool own = c.Differ == 0 || i % c.Differ == table % c.Differ;
                char row[64];
                std::snprintf(row, sizeof(row), "mod%02u.sys\t\t%08X52DD221E4C4C44205044422E\t1\n", i,
                              own ? 0xA0000000 + table : 0x6B472C00 + i);
                rows += row;
            }
            std::string report = Replace(CleanReport, "\nBUGCHECK CODE", "\n" + rows + "BUGCHECK CODE");
            if (c.Differ == 0) {
                // Every row of the table differs from another table's.
                report = Replace(Replace(report, "4C4C44205044422E", guid), "00000000000000000000000000000000",
                                 std::string(guid) + guid);
            }
            log += "chatter\n" + report;
        }
        std::vector<decode::CrashReport> reports = Scan(log).Reports;
        ASSERT_EQ(reports.size(), c.Tables.size());
        size_t marker = 0;
        for (size_t i = 0; i < reports.size(); ++i) {
            marker = log.find("BUGCHECK DUMP STARTS", marker + 1);
            std::string alone;
            for (uint64_t line = 1; line < reports[i].FirstLine; ++line) {
                alone += "chatter\n";
            }
            alone += log.substr(marker, log.find("BUGCHECK DUMP ENDS", marker) - marker) + "BUGCHECK DUMP ENDS\n";
            std::vector<decode::CrashReport> fresh = Scan(alone).Reports;
            ASSERT_EQ(fresh.size(), 1u);
            EXPECT_EQ(Everything(reports[i]), Everything(fresh.front())) << "report " << i + 1;
        }
    }
}

// A table's rows are read at a stretch: split, their columns found and
// their marker bytes seen with one read where they fit it, line by line
// where they do not. Every report must read as it does with each line fed
// one at a time, whatever a row holds, however the lines end, and once a
// fleet's tables have all differed for a while (its rows are then
// remembered together, as lines to parse again, and the lines after them
// must stand where the next report looks for them).
TEST(DecodeTables, RowsReadAtAStretchReadAsLineByLine)
{
    const std::string guid = "6B472C4652DD221E4C4C44205044422E";
    // A row of the given name, the table's GUID and age 1.
    auto named = [&guid](const std::string& name) { return name + "\t\t" + guid + "\t1\n"; };
    const std::string row = named("ntfs.sys");
    struct Case {
        const char* Name;
        std::string Row;      // stands among every table's rows
        std::string LineEnd;  // every line of the log ends so
        size_t Rows;          // rows of each table
        std::string Prefix;   // before every line of the log
    };
    const Case cases[] = {
        {"plain rows", row, "\n", 40, ""},
        {"CR LF", row, "\r\n", 40, ""},
        {"LF CR", row, "\n\r", 40, ""},
        {"bare CRs", row, "\r", 40, ""},
        {"CR CR LF", row, "\r\r\n", 40, ""},
        {"a row of 63 bytes", std::string(26, 'a') + "\t\t" + guid + "\t1A\n", "\n", 40, ""},
        {"a row of 64 bytes", std::string(27, 'a') + "\t\t" + guid + "\t1A\n", "\n", 40, ""},
        {"a row of 65 bytes", std::string(28, 'a') + "\t\t" + guid + "\t1A\n", "\n", 40, ""},
        {"a long name", named(std::string(300, 'n')), "\n", 40, ""},
        {"an overlong row", named(std::string(5000, 'n')), "\n", 40, ""},
        {"a row's CR LF among LFs", "ntfs.sys\t\t" + guid + "\t1\r\n", "\n", 40, ""},
        {"a row's LF CR among LFs", "ntfs.sys\t\t" + guid + "\t1\n\r", "\n", 40, ""},
        {"a CR inside a row", "ntfs.sys\t\t6B472C46\r52DD221E4C4C44205044422E\t1\n", "\n", 40, ""},
        {"a name with U and V", named("USBVIDEO.SYS"), "\n", 40, ""},
        {"a start marker in a row", named("xBUGCHECK DUMP STARTS"), "\n", 40, ""},
        {"a damaged start marker ending a row", "ntfs.sys\t\t" + guid + "\tBUGCHECK DUMP STARTZ\n", "\n", 40, ""},
        {"an end marker in a row", named("BUGCHECK DUMP ENDS"), "\n", 40, ""},
        {"a restore line in a row", named("Viridian State Restoration is done"), "\n", 40, ""},
        {"a name that starts as a keyword", named("CLASSPNP.SYS"), "\n", 40, ""},
        {"a service pack line's start", named("SP: 1.0 (x)"), "\n", 40, ""},
        {"a register line's start", named("- RAX"), "\n", 40, ""},
        {"a code line's start", named("BUGCHECK CODE "), "\n", 40, ""},
        {"a context line's start", named("CONTEXT ("), "\n", 40, ""},
        {"the table's header again", "Module\tPdbName\tGuid\tPdbAge\n", "\n", 40, ""},
        {"a colour reset after a row", "ntfs.sys\t\t" + guid + "\t1\x1B[0m\n", "\n", 40, ""},
        {"a stray tab in a name", named("nt\tfs.sys"), "\n", 40, ""},
        {"a PDB path", "ntfs.sys\tC:\\build\\ntfs.pdb\t" + guid + "\t1\n", "\n", 40, ""},
        {"no tab before the PDB column", "ntfs.sys\t" + guid + "\t1\n", "\n", 40, ""},
        {"a lower-case GUID", "ntfs.sys\t\t6b472c4652dd221e4c4c44205044422e\t1\n", "\n", 40, ""},
        {"an age past 32 bits", "ntfs.sys\t\t" + guid + "\t100000000\n", "\n", 40, ""},
        {"no age", "ntfs.sys\t\t" + guid + "\t\n", "\n", 40, ""},
        {"a NUL in a name", std::string("nt\0fs.sys\t\t", 11) + guid + "\t1\n", "\n", 40, ""},
        {"an empty line", "\n", "\n", 40, ""},
        {"a line not understood", "noise\n", "\n", 40, ""},
        {"three unfit lines", "noise\nmore\nand more\n", "\n", 40, ""},
        {"rows past the bound, across reads", row, "\n", decode::ReportParser::MaxModules + 40, ""},
        {"rows up to the bound", row, "\n", decode::ReportParser::MaxModules - 1, ""},
        {"one row past the bound", row, "\n", decode::ReportParser::MaxModules, ""},
        {"a prefix on every line", row, "\n", 40, "[vm1] "},
        {"a context line's start behind a prefix", named("CONTEXT ("), "\n", 40, "[vm1] "},
        {"a register line's start behind a prefix", named("- RAX"), "\n", 40, "[vm1] "},
        {"a service pack line's start behind a prefix", named("SP: 1.0 (x)"), "\n", 40, "[vm1] "},
        {"a name that starts as a keyword behind a prefix", named("CLASSPNP.SYS"), "\n", 40, "[vm1] "},
        {"rows past the bound behind a prefix", row, "\n", decode::ReportParser::MaxModules + 40, "[vm1] "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        // Tables 1, 2, 3 and 4 differ in every row; 4 comes again, then 5,
        // then 5 with one row longer.
        const unsigned tables[] = {1, 2, 3, 4, 4, 5, 6};
        std::string log;
        for (size_t i = 0; i < sizeof(tables) / sizeof(tables[0]); ++i) {
            std::string rows;
            for (size_t r = 0; r < c.Rows; ++r) {
                char line[80];
                std::snprintf(line, sizeof(line), "module%zu.sys\t\t%08X%s\t%X\n", r, tables[i] * 0x10000u + 7,
                              guid.substr(8).c_str(), static_cast<unsigned>(r % 3));
                rows += line;
                if (r == c.Rows / 2) {
                    rows += c.Row;
                }
            }
            if (i + 1 == sizeof(tables) / sizeof(tables[0])) {
                rows = Replace(rows, "module3.sys", "module3.sys.longer");
            }
            std::string report = Replace(CleanReport, "hal.dll\t\t00000000000000000000000000000000\t0\n", rows);
            log += "chatter" + Replace(report, "04:36:42", "04:36:5" + std::to_string(i));
        }
        if (c.LineEnd != "\n" || !c.Prefix.empty()) {
            log = Replace(log, "\n", c.LineEnd + c.Prefix);
        }
        EXPECT_GE(ExpectSameAsEveryLineParsed(log).size(), 7u);
    }
}


// Which prefixes name one source: those whose words are the same, whatever
// their timestamps say.
TEST(DecodeDirt, TellsSourcesApartByTheWordsOfTheirPrefixes)
{
    struct Case {
        const char* First;
        const char* Second;
        bool Same;
    };
    const Case cases[] = {
        {"vm1| [10:00:01.123] ", "vm1| [10:59:02.999] ", true},
        {"vm1| [10:00:01.123] ", "vm2| [10:00:01.123] ", false},
        {"[10:00:01.123] vm1| ", "[11:00:00.000] vm2| ", false},
        {"Dec 31 23:59:59 node-03 kernel: ", "Jan  1 00:00:00 node-03 kernel: ", true},
        {"Dec 10 10:00:01 node-03 kernel: ", "Dec 10 10:00:01 node-04 kernel: ", false},
        {"2026-12-10T10:00:01.123Z vm2 ", "2026-12-11T00:00:00.000Z vm2 ", true},
        {"[vm 1] ", "[vm 2] ", false},
        {"host1 10:00:01 ", "host1 11:00:01 ", true},
        {"db_1 up 12.5s ", "db_2 up 12.5s ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.First) + " / " + c.Second);
        EXPECT_FALSE(decode::SourceKey(c.First).empty());
        EXPECT_EQ(decode::SourceKey(c.First) == decode::SourceKey(c.Second), c.Same);
        EXPECT_NE(decode::SourceKeyHash(c.First), 0u);
        EXPECT_EQ(decode::SourceKeyHash(c.First) == decode::SourceKeyHash(c.Second), c.Same);
    }
    // A timestamp alone names no source: its reports are told apart by
    // their start lines only.
    for (const char* stamp : {"[    12.345678] ", "Thu Dec 10 10:00:01 2026 "}) {
        EXPECT_TRUE(decode::SourceKey(stamp).empty());
        EXPECT_EQ(decode::SourceKeyHash(stamp), 0u);
    }
}

// A source that stops printing in the middle of its report, while another
// goes on: its report is cut at its last line once the other's lines have
// gone on long enough, and not before; the report after it reads as ever.
TEST(DecodeDirt, AReportWhoseSourceFallsSilentIsCutAtItsLastLine)
{
    constexpr uint64_t Bound = decode::LogScanner::MaxLinesWithoutItsSource;
    const std::string vm1 = Prefixed(CleanReport, [](size_t) { return std::string("vm1| "); });
    const std::string cut = Before(vm1, "vm1| - SINGLEUSERTS");
    const uint64_t last = static_cast<uint64_t>(std::count(cut.begin(), cut.end(), '\n'));
    for (uint64_t chatter : {Bound - 1, Bound + 1}) {
        SCOPED_TRACE(chatter);
        std::string log = cut;
        for (uint64_t i = 0; i < chatter; ++i) {
            log += "vm2| chatter\n";
        }
        log += vm1.substr(cut.size()) + Replace(vm1, "vm1| ", "vm3| ");
        const std::vector<decode::CrashReport> reports = ExpectSameAsEveryLineParsed(log);
        ASSERT_EQ(reports.size(), 2u);
        EXPECT_TRUE(reports[1].Complete);
        if (chatter < Bound) {
            EXPECT_TRUE(reports[0].Complete);
            EXPECT_TRUE(reports[0].Warnings.empty()) << reports[0].Warnings.front();
            continue;
        }
        EXPECT_FALSE(reports[0].Complete);
        EXPECT_EQ(reports[0].LastLine, last);
        EXPECT_TRUE(AnyWarningHas(reports[0], "no line of its source follows line " + std::to_string(last)));
    }
}

// A report whose start line is missing (lost on the wire, or a console
// captured from inside a report) is read back from its end line to the
// first of its lines; what is missing of it is named, and an end line
// that follows no line of a report, or the rest of a report cut short,
// makes no crash of its own.
TEST(DecodeDirt, ReadsAReportWhoseStartLineIsMissing)
{
    struct Case {
        const char* Name;
        std::string Log;
        size_t Reports;
        uint64_t FirstLine = 0;  // of the one read without its start line
        bool Complete = false;
        const char* Warning = nullptr;
        size_t Modules = 0;  // checked where given; the clean report's values with 3
    };
    const std::string lost = Replace(CleanReport, "BUGCHECK DUMP STARTS\n", "");
    const std::string fromHal = CleanReport.substr(CleanReport.find("hal.dll"));
    std::string longTable = "boot chatter\n" + Before(lost, "hal.dll");
    for (size_t i = 0; i < 3000; ++i) {
        longTable += "m" + std::to_string(100000 + i) + ".sys\t\t6B472C4652DD221E4C4C44205044422E\t1\n";
    }
    longTable += fromHal;
    const Case cases[] = {
        {"its start line damaged past knowing", "boot\n" + Replace(CleanReport, "DUMP STARTS", "DXMP STARXS"), 1, 4,
         true, "its start line is missing: read from line 4", 3},
        {"its start line lost, behind timestamps",
         Prefixed(lost, [](size_t i) { return "[" + std::to_string(100 + i) + ".000001] "; }), 1, 2, true,
         "its start line is missing: read from line 2", 3},
        {"a noisy line among its lines", "chatter\n" + Replace(lost, "TYPE: WORKSTATION\n", "TYPE: WORKSTATION\n#~\n"),
         1, 3, true, "not understood: \"#~\"", 3},
        {"the log begins inside the table", fromHal, 1, 1, false,
         "missing format line, crash time, OS version", 2},
        {"the log begins inside the context", CleanReport.substr(CleanReport.find("- RBX")), 1, 1, false,
         "9 of 24 registers (GS FS ES DS SS CS EFLAGS RDI RSI)"},
        {"its lines go on past what the reader holds", longTable, 1, 3, true, "read from line 3", 3003},
        {"its lines behind its tag among another's, that one's end line too",
         Interleave(lost, "vm1| ", "up 2 days\nup 3 days\nBUGCHECK DUMP ENDS\nup 4 days\n", "vm2| "), 1, 3, true,
         "read from line 3", 3},
        {"the stack's last frames alone", CleanReport.substr(CleanReport.find("FFFFF80312345670:")), 0},
        {"an end line after chatter", "up 2 days\nBUGCHECK DUMP ENDS\n", 0},
        {"lines that fit a section each, but no report in turn",
         "up 2 days\nSUITES:\n- RAX = 0000000000000006\n- RBX = 0000000000000003\n- RCX = 0000000000000005\n"
         "- RDX = 0000000000000004\nSTACK:\nBUGCHECK DUMP ENDS\n",
         0},
        {"an end line after a row in chatter", "up 2 days\n" + fromHal.substr(0, fromHal.find("BUGCHECK")) +
                                                   "BUGCHECK DUMP ENDS\n", 0},
        {"the end line printed twice", CleanReport + "BUGCHECK DUMP ENDS\n", 1},
        {"the rest of a report cut short by noise", Replace(CleanReport, "hal.dll\t", "#1\n#2\n#3\nhal.dll\t"), 1},
        {"the rest of a report another source's end line ended",
         Replace(Prefixed(CleanReport, [](size_t) { return std::string("vm1| "); }), "STARTS\n",
                 "STARTS\nvm2| BUGCHECK DUMP ENDS\n"),
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::vector<decode::CrashReport> reports = ExpectSameAsEveryLineParsed(c.Log);
        EXPECT_EQ(reports.size(), c.Reports);
        if (reports.size() != c.Reports) {
            continue;
        }
        if (c.FirstLine == 0) {
            for (const decode::CrashReport& report : reports) {
                EXPECT_FALSE(AnyWarningHas(report, "start line is missing"));
            }
            continue;
        }
        const decode::CrashReport& report = reports[0];
        EXPECT_EQ(report.FirstLine, c.FirstLine);
        EXPECT_EQ(report.LastLine, static_cast<uint64_t>(std::count(c.Log.begin(), c.Log.end(), '\n')));
        EXPECT_EQ(report.Complete, c.Complete);
        EXPECT_TRUE(AnyWarningHas(report, c.Warning)) << Everything(report);
        // Every frame and register there is, its table's head or not.
        EXPECT_TRUE(report.HasCode || report.HasContext);
        EXPECT_EQ(report.Frames.size(), 2u);
        EXPECT_FALSE(AnyWarningHas(report, "which the module table lacks"));
        if (c.Modules != 0) {
            EXPECT_EQ(report.Modules.size(), c.Modules);
        }
        if (c.Modules == 3) {
            ExpectCleanValues(report);
        }
    }
}

// A report without its start line is looked for in at most 256 KiB before
// its end line, the same bytes however the reader holds them: read again
// from a file, from a pipe only what is still held. Either way the warning
// says where the lines looked at may stop short of the report's first.
TEST(DecodeDirt, ReadsAsFarBackAsItMayWithoutAStartLine)
{
    struct Case {
        const char* Name;
        size_t Rows;
        bool Pipe;
        const char* Bound;  // nullptr: read from its format line
    };
    const Case cases[] = {
        {"a file, past the first read", 3000, false, nullptr},
        {"a file, past the bytes looked at", 6000, false, "(no more than 256 KiB before its end line are looked at)"},
        {"a pipe, past what is held", 3000, true, "(the lines before it were read and let go before its end line came)"},
    };
    const std::string lost = Replace(CleanReport, "BUGCHECK DUMP STARTS\n", "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string log = "boot chatter\n" + Before(lost, "hal.dll");
        for (size_t i = 0; i < c.Rows; ++i) {
            log += "m" + std::to_string(100000 + i) + ".sys\t\t6B472C4652DD221E4C4C44205044422E\t1\n";
        }
        log += CleanReport.substr(CleanReport.find("hal.dll"));
        std::vector<decode::CrashReport> reports;
        if (c.Pipe) {
            int ends[2];
            ASSERT_EQ(::pipe(ends), 0);
            std::thread writer([&] {
                for (size_t at = 0; at < log.size();) {
                    const ssize_t n = ::write(ends[1], log.data() + at, log.size() - at);
                    if (n <= 0) {
                        break;
                    }
                    at += static_cast<size_t>(n);
                }
                ::close(ends[1]);
            });
            decode::ScanSink sink;
            sink.Report = [&](decode::CrashReport&& report) { reports.push_back(std::move(report)); };
            EXPECT_TRUE(decode::ScanDescriptor(ends[0], "console.log", sink));
            writer.join();
            ::close(ends[0]);
        } else {
            reports = ExpectSameAsEveryLineParsed(log);
        }
        ASSERT_EQ(reports.size(), 1u);
        const decode::CrashReport& report = reports[0];
        EXPECT_TRUE(report.HasCode);
        EXPECT_EQ(report.Frames.size(), 2u);
        if (c.Bound == nullptr) {
            EXPECT_EQ(report.FirstLine, 3u);
            EXPECT_TRUE(report.Complete);
            EXPECT_FALSE(AnyWarningHas(report, "(")) << report.Warnings.front();
            continue;
        }
        EXPECT_GT(report.FirstLine, 3u);
        EXPECT_FALSE(report.Complete);
        EXPECT_TRUE(AnyWarningHas(report, "read from line " + std::to_string(report.FirstLine) + " " + c.Bound))
            << report.Warnings.front();
    }
}

}  // namespace
