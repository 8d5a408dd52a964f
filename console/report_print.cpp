// The report line formatter. Every byte goes through AppendCharacter, which
// sends the line so far whenever Text is full: a long line leaves in pieces
// instead of being cut or running past the buffer.
#include "report_print.h"
#include "serial_console.h"

ReportLineBuffer ReportLine;

namespace {

// Room for the longest number: 22 octal digits of a 64-bit value, or a
// sign and 20 decimal digits, plus the NUL.
constexpr ULONG NumberTextCapacity = 24;

constexpr CHAR NullText[] = "(null)";

struct ConversionSpec {
    CHAR Flag;        // the character after '%'; only '-' has a meaning
    BOOLEAN ZeroPad;  // the width began with '0'
    UCHAR Width;      // minimum field width, accumulated modulo 256
    UCHAR LongCount;  // number of 'l'; exactly two selects 64 bits
    BOOLEAN Wide;     // one or more 'w'
};

VOID SendReportLine()
{
    for (ULONG i = 0; i < ReportLine.Length; ++i) {
        ConsoleWriteByte(static_cast<UCHAR>(ReportLine.Text[i]));
    }
    RtlZeroMemory(ReportLine.Text, ReportLine.Length);
    ReportLine.Length = 0;
}

VOID AppendCharacter(CHAR Character)
{
    if (ReportLine.Length == ReportLineCapacity) {
        SendReportLine();
    }
    ReportLine.Text[ReportLine.Length++] = Character;
}

VOID AppendPadding(const ConversionSpec& Spec, ULONG TextLength, CHAR Pad)
{
    for (ULONG width = Spec.Width; width > TextLength; --width) {
        AppendCharacter(Pad);
    }
}

BOOLEAN IsDigit(CHAR Character)
{
    return Character >= '0' && Character <= '9';
}

VOID AppendNumber(const ConversionSpec& Spec, CHAR Conversion, va_list* Arguments)
{
    ULONG64 value = 0;
    BOOLEAN is64 = Spec.LongCount == 2 || Conversion == 'p';
    if (is64) {
        value = va_arg(*Arguments, ULONG64);
    } else {
        value = va_arg(*Arguments, ULONG);
    }

    CHAR text[NumberTextCapacity];
    PCHAR digits = text;
    if (Conversion == 'd') {
        BOOLEAN negative = is64 ? static_cast<LONGLONG>(value) < 0
                                : static_cast<LONG>(static_cast<ULONG>(value)) < 0;
        if (negative) {
            *digits++ = '-';
            // Magnitude in unsigned arithmetic, so the most negative value
            // needs no special case.
            value = is64 ? 0 - value : static_cast<ULONG>(0 - static_cast<ULONG>(value));
        }
    }

    ULONG base = 16;
    if (Conversion == 'd' || Conversion == 'u') {
        base = 10;
    } else if (Conversion == 'o') {
        base = 8;
    }
    BOOLEAN upper = Conversion == 'X' || Conversion == 'p';
    PCHAR end = AppendDigits(digits, value, base, upper);
    auto length = static_cast<ULONG>(end - text);

    ConversionSpec spec = Spec;
    if (Conversion == 'p') {
        spec.Width = 16;
        spec.ZeroPad = TRUE;
    }

    if (spec.Flag != '-') {
        AppendPadding(spec, length, spec.ZeroPad ? '0' : ' ');
    }
    for (ULONG i = 0; i < length; ++i) {
        AppendCharacter(text[i]);
    }
    if (spec.Flag == '-') {
        AppendPadding(spec, length, ' ');
    }
}

// Appends Length characters of a narrow or wide text, padded to the width
// with spaces: on the left, or on the right with '-', as numbers are.
VOID AppendText(const ConversionSpec& Spec, const CHAR* Narrow, const WCHAR* Wide, ULONG Length)
{
    if (Spec.Flag != '-') {
        AppendPadding(Spec, Length, ' ');
    }
    for (ULONG i = 0; i < Length; ++i) {
        // Wide characters go out as their low byte.
        AppendCharacter(Narrow != nullptr ? Narrow[i] : static_cast<CHAR>(Wide[i] & 0xFF));
    }
    if (Spec.Flag == '-') {
        AppendPadding(Spec, Length, ' ');
    }
}

VOID AppendNull(const ConversionSpec& Spec)
{
    AppendText(Spec, NullText, nullptr, sizeof(NullText) - 1);
}

template <typename Character>
ULONG TerminatedLength(const Character* Text)
{
    ULONG length = 0;
    while (Text[length] != 0) {
        ++length;
    }
    return length;
}

VOID AppendString(const ConversionSpec& Spec, va_list* Arguments)
{
    if (Spec.Wide) {
        auto text = va_arg(*Arguments, const WCHAR*);
        if (text == nullptr) {
            AppendNull(Spec);
        } else {
            AppendText(Spec, nullptr, text, TerminatedLength(text));
        }
        return;
    }
    auto text = va_arg(*Arguments, const CHAR*);
    if (text == nullptr) {
        AppendNull(Spec);
    } else {
        AppendText(Spec, text, nullptr, TerminatedLength(text));
    }
}

VOID AppendCountedString(const ConversionSpec& Spec, va_list* Arguments)
{
    if (Spec.Wide) {
        auto string = va_arg(*Arguments, const UNICODE_STRING*);
        if (string == nullptr || string->Buffer == nullptr) {
            AppendNull(Spec);
            return;
        }
        AppendText(Spec, nullptr, string->Buffer, string->Length / sizeof(WCHAR));
        return;
    }

    auto string = va_arg(*Arguments, const ANSI_STRING*);
    if (string == nullptr || string->Buffer == nullptr) {
        AppendNull(Spec);
        return;
    }
    AppendText(Spec, string->Buffer, nullptr, string->Length);
}

// Formats the specification that starts after a '%'; returns the position
// after it. A format that ends inside the specification returns the
// position of its NUL, so nothing past the format is read.
PCSTR FormatSpecification(PCSTR Cursor, va_list* Arguments)
{
    ConversionSpec spec = {};
    spec.Flag = *Cursor;
    if (spec.Flag == '-') {
        ++Cursor;
    }
    if (IsDigit(*Cursor)) {
        spec.ZeroPad = *Cursor == '0';
        while (IsDigit(*Cursor)) {
            spec.Width = static_cast<UCHAR>(spec.Width * 10 + (*Cursor - '0'));
            ++Cursor;
        }
    }
    while (*Cursor == 'l') {
        ++spec.LongCount;
        ++Cursor;
    }
    if (*Cursor == 'w') {
        spec.Wide = TRUE;
        while (*Cursor == 'w') {
            ++Cursor;
        }
    }

    CHAR conversion = *Cursor;
    if (conversion == 0) {
        return Cursor;
    }
    ++Cursor;

    switch (conversion) {
    case 'd':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
    case 'p':
        AppendNumber(spec, conversion, Arguments);
        break;
    case 'c':
        AppendCharacter(static_cast<CHAR>(va_arg(*Arguments, int) & 0xFF));
        break;
    case 's':
        AppendString(spec, Arguments);
        break;
    case 'Z':
        AppendCountedString(spec, Arguments);
        break;
    default:
        // Any other character stands for itself ("%%" gives '%').
        AppendCharacter(conversion);
        break;
    }
    return Cursor;
}

} // namespace

PCHAR AppendDigits(PCHAR Destination, ULONG64 Value, ULONG Base, BOOLEAN UpperCase)
{
    // Digits are produced least significant first into a scratch buffer and
    // copied out in reverse: the same text as a recursive conversion, with
    // a stack that does not grow with the number.
    CHAR reversed[NumberTextCapacity];
    ULONG count = 0;
    do {
        auto digit = static_cast<ULONG>(Value % Base);
        if (digit < 10) {
            reversed[count++] = static_cast<CHAR>('0' + digit);
        } else {
            reversed[count++] = static_cast<CHAR>((UpperCase ? 'A' : 'a') + digit - 10);
        }
        Value /= Base;
    } while (Value != 0);

    while (count != 0) {
        *Destination++ = reversed[--count];
    }
    *Destination = 0;
    return Destination;
}

VOID ReportPrintArgs(ULONG Level, ULONG ItemLimit, PCSTR Format, va_list Arguments)
{
    UNREFERENCED_PARAMETER(Level);
    if (ItemLimit > MaxReportItems) {
        ItemLimit = MaxReportItems;
    }

    va_list arguments;
    va_copy(arguments, Arguments);
    PCSTR cursor = Format;
    for (ULONG items = ItemLimit; items != 0 && *cursor != 0; --items) {
        if (*cursor != '%') {
            AppendCharacter(*cursor++);
        } else {
            cursor = FormatSpecification(cursor + 1, &arguments);
        }
    }
    va_end(arguments);

    SendReportLine();
}

VOID ReportPrint(ULONG Level, PCSTR Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    ReportPrintArgs(Level, MaxReportItems, Format, arguments);
    va_end(arguments);
}
