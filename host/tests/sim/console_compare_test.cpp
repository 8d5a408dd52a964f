// Consoles of one scenario on two images agree byte for byte, except the
// values that depend on where code and stacks lie.
#include "sim/console_compare.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

TEST(ConsoleCompareTest, PlacementLinesCompareByShapeAndEverythingElseExactly)
{
    const std::string context =
        "CONTEXT (00007F3FDBFA8000):\n- RIP = 00007F3FDBFA826B\n"
        "00007F3FDBFA9000: (0000000000000000 0000000000000001 0000000000000002 "
        "0000000000000003) vekcrashdmp.sys + 0000000000001234\n";
    const std::string moved =
        "CONTEXT (00005555AAAA0000):\n- RIP = 0000555500001111\n"
        "0000555500002000: (0000000000000009 0000000000000008 0000000000000007 "
        "0000000000000006) vekcrashdmp.sys + 0000000000004321\n";
    std::string difference;
    EXPECT_TRUE(sim::ConsolesAgree(context, moved, &difference)) << difference;

    // Rows of the images this build makes change their GUID with every
    // build; the PDB column names no build folder.
    const std::string built =
        "Module\tPdbName\tGuid\tPdbAge\n"
        "ntoskrnl.exe\t\t6B472C4652DD221E4C4C44205044422E\t1\n"
        "vekcrashdmp.sys\t\t49EB016FCC3789B14C4C44205044422E\t1\n";
    const std::string rebuilt =
        "Module\tPdbName\tGuid\tPdbAge\n"
        "ntoskrnl.exe\t\t0123456789ABCDEF4C4C44205044422E\t1\n"
        "vekcrashdmp.sys\t\t00000000000000000000000000000000\t0\n";
    EXPECT_TRUE(sim::ConsolesAgree(built, rebuilt, &difference)) << difference;

    struct Case {
        const char* Name;
        std::string Expected;
        std::string Actual;
    };
    const Case disagreements[] = {
        {"ReportLine", "BUGCHECK CODE 000000D1: 0000000000000001\n",
         "BUGCHECK CODE 000000D1: 0000000000000002\n"},
        {"ModuleName", "0000000000001000: (0000000000000000 0000000000000000 0000000000000000 "
                       "0000000000000000) ntoskrnl.exe + 0000000000000010\n",
         "0000000000002000: (0000000000000000 0000000000000000 0000000000000000 "
         "0000000000000000) hal.dll + 0000000000000010\n"},
        {"OtherModuleRow", "hal.dll\t\t00000000000000000000000000000000\t0\n",
         "hal.dll\t\t00000000000000000000000000000001\t0\n"},
        {"BuiltImageWithBuildFolder", "ntoskrnl.exe\t\t6B472C4652DD221E4C4C44205044422E\t1\n",
         "ntoskrnl.exe\t/tmp/b/kernel/ntoskrnl.pdb\t6B472C4652DD221E4C4C44205044422E\t1\n"},
        {"BuiltImageRenamed", "vekcrashdmp.sys\t\t00000000000000000000000000000000\t0\n",
         "ntoskrnl.exe\t\t00000000000000000000000000000000\t0\n"},
        {"MissingLine", "BUGCHECK DUMP STARTS\nBUGCHECK DUMP ENDS\n", "BUGCHECK DUMP STARTS\n"},
        {"ExtraLine", "A\n", "A\nB\n"},
        {"LineFeed", "A\n", "A"},
    };
    for (const Case& item : disagreements) {
        EXPECT_FALSE(sim::ConsolesAgree(item.Expected, item.Actual, &difference)) << item.Name;
        EXPECT_FALSE(difference.empty()) << item.Name;
    }
}

// The host build's trace against the shipped image's expected one: the same
// modules in the same order are fair, with more or fewer frames in one
// module; bare host addresses, a module left out or added, frames out of
// order, a stack pointer that falls, frames past a return address of 0,
// more than 20 frames, or any difference outside the trace are not.
TEST(ConsoleCompareTest, HostBuildTraceIsFairWhenItNamesTheExpectedModulesInOrder)
{
    // The frame lines of a trace, each a little higher on the stack than
    // the one before it.
    auto trace = [](const std::vector<std::string>& tails) {
        std::string lines = "STACK:\n";
        uint64_t stackPointer = 0xFFFFF80312345670;
        for (const std::string& tail : tails) {
            char at[17];
            std::snprintf(at, sizeof(at), "%016llX", static_cast<unsigned long long>(stackPointer));
            stackPointer += 0x10;
            lines += std::string(at) +
                     ": (0000000000000000 0000000000000000 0000000000000000 0000000000000000) " +
                     tail + "\n";
        }
        return lines;
    };
    const std::string end = "BUGCHECK DUMP ENDS\n";
    const std::string expected = trace({"vekcrashdmp.sys + 0000000000001234",
                                        "ntoskrnl.exe + 0000000000000010",
                                        "hal.dll + 0000000000000020"}) +
                                 end;
    const std::string own = "00007F0000001000";
    const std::string zero = "0000000000000000";
    const std::string driverFrame = "vekcrashdmp.sys + 0000000000001250";
    std::string falling = trace({driverFrame, "ntoskrnl.exe + 0000000000000099",
                                 "hal.dll + 0000000000000001"});
    // The same first two lines, the higher one first.
    const size_t line = falling.find('\n', 7) + 1 - 7;
    falling = falling.substr(0, 7) + falling.substr(7 + line, line) + falling.substr(7, line) +
              falling.substr(7 + 2 * line);
    struct Case {
        const char* Name;
        std::string Actual;
        bool Agrees;
    };
    const Case cases[] = {
        {"NoFrames", trace({}) + end, false},
        {"OnlyTheEndOfTheStack", trace({zero}) + end, false},
        {"FramesPastTheEnd", trace({own, zero, own}) + end, false},
        {"BareHostAddresses", trace({own, own, own, zero}) + end, false},
        {"SameModulesInOrder",
         trace({"vekcrashdmp.sys + 0000000000001250", "ntoskrnl.exe + 0000000000000099",
                "hal.dll + 0000000000000001"}) + end, true},
        {"MoreFramesOfOneModule",
         trace({"vekcrashdmp.sys + 0000000000001250", "vekcrashdmp.sys + 0000000000001300",
                "ntoskrnl.exe + 0000000000000099", "hal.dll + 0000000000000001"}) + end, true},
        {"ModuleLeftOut",
         trace({own, "ntoskrnl.exe + 0000000000000099", "hal.dll + 0000000000000001"}) + end,
         false},
        {"ModuleAdded",
         trace({"vekcrashdmp.sys + 0000000000001250", "ntoskrnl.exe + 0000000000000099",
                "vekcrashdmp.sys + 0000000000001250", "hal.dll + 0000000000000001"}) + end,
         false},
        {"NamedFramesOutOfOrder",
         trace({"vekcrashdmp.sys + 0000000000001250", "hal.dll + 0000000000000001",
                "ntoskrnl.exe + 0000000000000099"}) + end, false},
        {"ModuleNotInTheExpectedTrace", trace({"other.sys + 0000000000000001"}) + end, false},
        {"MoreThanTwentyFrames",
         trace(std::vector<std::string>(21, "vekcrashdmp.sys + 0000000000001250")) + end, false},
        {"StackPointerFalls", falling + end, false},
        {"EndLineMissing", trace({driverFrame}), false},
        {"BrokenFrameLine", "STACK:\nFFFFF80312345670: (0000)\n" + end, false},
    };
    for (const Case& item : cases) {
        std::string difference;
        EXPECT_EQ(sim::ConsolesAgree(expected, item.Actual, &difference, sim::StackTerms::HostBuild),
                  item.Agrees)
            << item.Name << ": " << difference;
    }
    // The shipped image itself must show the expected trace exactly.
    std::string difference;
    EXPECT_FALSE(sim::ConsolesAgree(expected, "STACK:\nBUGCHECK DUMP ENDS\n", &difference));
}

// A row of an image this build makes compares by name, and the comparison
// goes on with the next line (it used to stay on the row for ever).
TEST(ConsoleCompareTest, BuiltImageRowComparesByNameAndMovesOn)
{
    const std::string expected = "vekcrashdmp.sys\t\t49EB016FCC3789B14C4C44205044422E\t1\n"
                                 "BUGCHECK DUMP ENDS\n";
    std::string difference;
    EXPECT_TRUE(sim::ConsolesAgree(
        expected,
        "vekcrashdmp.sys\t\t4146CC4F890CFB854C4C44205044422E\t1\nBUGCHECK DUMP ENDS\n",
        &difference))
        << difference;
    EXPECT_FALSE(sim::ConsolesAgree(
        expected, "vekcrashdmp.sys\t\t4146CC4F890CFB854C4C44205044422E\t1\nBUGCHECK DUMP\n",
        &difference));
}

}  // namespace
