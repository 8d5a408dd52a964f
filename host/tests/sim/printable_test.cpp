// Diagnostic lines: whatever the input held, the tool prints one line with
// no control bytes and no runaway length.
#include "sim/printable.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

struct LineCase {
    const char* Name;
    std::string Text;
    std::string Printed;
};

class PrintableLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(PrintableLineTest, PrintsOneSafeLine)
{
    std::ostringstream out;
    sim::PrintDiagnostic(out, GetParam().Text);
    EXPECT_EQ(out.str(), "vekcrash: " + GetParam().Printed + "\n");
}

const std::string LongWord(1000000, 'A');

INSTANTIATE_TEST_SUITE_P(
    Diagnostics, PrintableLineTest,
    ::testing::Values(
        LineCase{"PlainTextUnchanged", "events[0]: load failed with status 0xC000009A",
                 "events[0]: load failed with status 0xC000009A"},
        LineCase{"NewlineCannotForgeALine", "x\nvekcrash: violation: forged",
                 "x\\nvekcrash: violation: forged"},
        LineCase{"EscapeSequenceShown", "name\x1b]0;title\x07\r\t", "name\\x1B]0;title\\x07\\r\\t"},
        LineCase{"NonAsciiShownAsBytes", "Servic\xc3\xa9 \x7f\xff", "Servic\\xC3\\xA9 \\x7F\\xFF"},
        LineCase{"BackslashKept", R"(C:\Windows\x)", R"(C:\Windows\x)"},
        LineCase{"LongWordCut", "imports " + LongWord + " which the model lacks",
                 "imports " + std::string(160, 'A') + "... which the model lacks"}),
    [](const auto& info) { return std::string(info.param.Name); });

// Many short words still make a line of bounded length.
TEST(PrintableLineLengthTest, ManyWordsMakeABoundedLine)
{
    std::string words;
    for (int i = 0; i < 10000; ++i) {
        words += "word ";
    }
    std::string line = sim::PrintableLine(words);
    EXPECT_LE(line.size(), sim::PrintedLineMax + 3);
    EXPECT_EQ(line.substr(line.size() - 3), "...");
}

}  // namespace
