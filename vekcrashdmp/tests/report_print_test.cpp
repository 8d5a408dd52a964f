// The line formatter, seen from the console: what bytes a format and its
// arguments put on the wire.
#include "driver_test.h"

#include "console/report_print.h"

#include <cstring>

namespace vektest {
namespace {

class ReportPrintTest : public DriverTest {};

struct FormatCase {
    const char* Name;
    std::string (*Format)();
    std::string Expected;
};

template <typename... Arguments>
std::string Print(const char* format, Arguments... arguments)
{
    ReportPrint(ReportLevelCrash, format, arguments...);
    return model::ConsoleBytes();
}

const UNICODE_STRING WideAbcdef = {6, 14, const_cast<PWSTR>(u"abcdef")};
char NarrowBytes[] = "xyz-tail";
const ANSI_STRING NarrowXyz = {3, 9, NarrowBytes};
// An empty counted string as RtlInitUnicodeString leaves it for a null
// source, and a record that claims text it does not have.
const UNICODE_STRING WideEmptyNoBuffer = {0, 0, nullptr};
const ANSI_STRING NarrowEmptyNoBuffer = {0, 0, nullptr};
const UNICODE_STRING WideLengthNoBuffer = {4, 4, nullptr};
const ANSI_STRING NarrowLengthNoBuffer = {2, 2, nullptr};

const FormatCase FormatCases[] = {
    {"ZeroPaddedUpperHex", [] { return Print("%08X", 0x1A2Bu); }, "00001A2B"},
    {"ZeroPaddedLowerHex", [] { return Print("%02x", 5u); }, "05"},
    {"ZeroIsOneDigit", [] { return Print("%X", 0u); }, "0"},
    {"LongLongTakes64Bits", [] { return Print("%016llX", 0xFFFFFFFF00000001ull); },
     "FFFFFFFF00000001"},
    {"WithoutLongLongOnlyLow32Bits", [] { return Print("%08X", 0xFFFFFFFF00000001ull); },
     "00000001"},
    {"SingleLIsStill32Bits", [] { return Print("%lx", 0xFFFFFFFF00000002ull); }, "2"},
    {"PointerIsSixteenDigits", [] { return Print("%p", reinterpret_cast<void*>(0x1000)); },
     "0000000000001000"},
    {"PointerIgnoresWidth", [] { return Print("%4p", reinterpret_cast<void*>(0xABC)); },
     "0000000000000ABC"},
    {"NegativeDecimal", [] { return Print("%d", -1); }, "-1"},
    {"UnsignedOfMinusOne", [] { return Print("%u", -1); }, "4294967295"},
    {"NegativeDecimal64", [] { return Print("%lld", -1ll); }, "-1"},
    {"MostNegative32", [] { return Print("%d", INT32_MIN); }, "-2147483648"},
    {"MostNegative64", [] { return Print("%lld", INT64_MIN); }, "-9223372036854775808"},
    {"LargestUnsigned64", [] { return Print("%llu", UINT64_MAX); }, "18446744073709551615"},
    {"LargestOctal64", [] { return Print("%llo", UINT64_MAX); }, "1777777777777777777777"},
    {"OctalWithWidth", [] { return Print("%04o", 8u); }, "0010"},
    {"SpacePaddedWidth", [] { return Print("%5d", 42); }, "   42"},
    {"LeftJustified", [] { return Print("%-5d|", 42); }, "42   |"},
    {"ZeroPadStandsBeforeSign", [] { return Print("%05d", -42); }, "00-42"},
    {"WidthWrapsModulo256", [] { return Print("%258d", 7); }, " 7"},
    {"NullString", [] { return Print("%s", static_cast<const char*>(nullptr)); }, "(null)"},
    {"NullWideString", [] { return Print("%ws", static_cast<const WCHAR*>(nullptr)); }, "(null)"},
    {"NullCountedWideString",
     [] { return Print("%wZ", static_cast<const UNICODE_STRING*>(nullptr)); }, "(null)"},
    {"NullCountedString", [] { return Print("%Z", static_cast<const ANSI_STRING*>(nullptr)); },
     "(null)"},
    {"CountedWideStringUsesLength", [] { return Print("%wZ", &WideAbcdef); }, "abc"},
    {"CountedStringUsesLength", [] { return Print("%Z", &NarrowXyz); }, "xyz"},
    {"EmptyCountedWideStringWithoutBuffer", [] { return Print("[%wZ]", &WideEmptyNoBuffer); },
     "[]"},
    {"EmptyCountedStringWithoutBuffer", [] { return Print("[%Z]", &NarrowEmptyNoBuffer); }, "[]"},
    {"CountedWideStringLengthWithoutBuffer",
     [] { return Print("%wZ", &WideLengthNoBuffer); }, "(null)"},
    {"CountedStringLengthWithoutBuffer", [] { return Print("%Z", &NarrowLengthNoBuffer); },
     "(null)"},
    {"WideStringNarrowsToLowByte", [] { return Print("%ws", u"A\u0142B"); }, "ABB"},
    {"StringPadsLeft", [] { return Print("[%6s]", "ab"); }, "[    ab]"},
    {"StringPadsRightWithMinus", [] { return Print("[%-6s]", "ab"); }, "[ab    ]"},
    {"CharacterTakesLowByte", [] { return Print("%c", 0x141); }, "A"},
    {"CharacterIgnoresWidth", [] { return Print("%5c", 'x'); }, "x"},
    {"PercentPercent", [] { return Print("100%%"); }, "100%"},
    {"UnknownConversionIsLiteral", [] { return Print("%q"); }, "q"},
    {"UnknownConversionDropsWidth", [] { return Print("%08q"); }, "q"},
    {"LoneTrailingPercentStops", [] { return Print("ab%"); }, "ab"},
    {"FormatEndingInsideAConversion", [] { return Print("ab%-08ll"); }, "ab"},
    {"LineFeedIsOneByte", [] { return Print("a\nb\n"); }, "a\nb\n"},
    {"ContextRegisterLine", [] { return Print("- RAX = %016llX\n", 0x123456789ABCDEFull); },
     "- RAX = 0123456789ABCDEF\n"},
};

TEST_F(ReportPrintTest, FormatsEachConversionAsTheConsoleShowsIt)
{
    for (const FormatCase& item : FormatCases) {
        UseMachine(DefaultMachine());
        EXPECT_EQ(item.Format(), item.Expected) << item.Name;
    }
}

TEST_F(ReportPrintTest, LineBufferIsEmptyAfterEveryCall)
{
    Print("first %s line\n", "long");
    EXPECT_EQ(ReportLine.Length, 0u);
    for (CHAR c : ReportLine.Text) {
        ASSERT_EQ(c, 0);
    }
    EXPECT_EQ(Print("x"), "first long line\nx");
}

TEST_F(ReportPrintTest, OnlyTheFirst256FormatItemsAreSent)
{
    std::string format(300, 'a');
    EXPECT_EQ(Print(format.c_str()), std::string(256, 'a'));

    // A conversion counts as one item however long its text.
    UseMachine(DefaultMachine());
    std::string withConversion = "%s" + std::string(300, 'b');
    std::string name(200, 'n');
    EXPECT_EQ(Print(withConversion.c_str(), name.c_str()), name + std::string(255, 'b'));
}

TEST_F(ReportPrintTest, ItemLimitBelow256IsHonouredAndAbove256Capped)
{
    auto printWithLimit = [](ULONG limit, const char* format, ...) {
        va_list arguments;
        va_start(arguments, format);
        ReportPrintArgs(ReportLevelCrash, limit, format, arguments);
        va_end(arguments);
    };
    printWithLimit(3, "abcdef");
    EXPECT_EQ(Console(), "abc");

    UseMachine(DefaultMachine());
    std::string format(300, 'c');
    printWithLimit(1000, format.c_str());
    EXPECT_EQ(Console(), std::string(256, 'c'));
}

TEST_F(ReportPrintTest, LongLineGoesOutWholeInPieces)
{
    // A module table row can carry two 255-character names: far more than
    // the 259-byte line buffer holds. Every byte must still arrive, in order.
    std::string first(255, 'm');
    std::string second(255, 'p');
    std::string expected = first + "\t" + second + "\n";
    EXPECT_EQ(Print("%s\t%s\n", first.c_str(), second.c_str()), expected);
    EXPECT_EQ(ReportLine.Length, 0u);
}

TEST_F(ReportPrintTest, ReadyTransmitterCostsTwoRegisterAccessesPerByte)
{
    model::Uart16550& uart = model::UartAt(0);
    Print("BUGCHECK CODE %08X\n", 0xD1u);
    const size_t bytes = Console().size();
    ASSERT_EQ(bytes, std::strlen("BUGCHECK CODE 000000D1\n"));
    EXPECT_EQ(uart.ReadCount(), bytes);
    EXPECT_EQ(uart.WriteCount(), bytes);
}

TEST_F(ReportPrintTest, AppendDigitsWritesDigitsAndTerminator)
{
    struct DigitsCase {
        ULONG64 Value;
        ULONG Base;
        BOOLEAN Upper;
        const char* Expected;
    };
    const DigitsCase cases[] = {
        {0, 10, FALSE, "0"},          {255, 16, TRUE, "FF"},      {255, 16, FALSE, "ff"},
        {8, 8, FALSE, "10"},          {1234567890, 10, FALSE, "1234567890"},
        {UINT64_MAX, 16, TRUE, "FFFFFFFFFFFFFFFF"},
    };
    for (const DigitsCase& item : cases) {
        CHAR buffer[32];
        std::memset(buffer, 'z', sizeof(buffer));
        PCHAR end = AppendDigits(buffer, item.Value, item.Base, item.Upper);
        EXPECT_STREQ(buffer, item.Expected);
        EXPECT_EQ(end, buffer + std::strlen(item.Expected));
    }
}

}  // namespace
}  // namespace vektest
