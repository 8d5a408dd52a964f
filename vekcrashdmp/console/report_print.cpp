// The report line formatter. Every byte goes through AppendCharacter, which
// sends the line so far whenever Text is full: a long line leaves in pieces
// instead of being cut or running past the buffer.
#include "console/report_print.h"
#include "console/serial_console.h"
#include "driver/bytes.h"

ReportLineBuffer ReportLine;

namespace {

// Room for the longest number: 22 octal digits of a 64-bit value, or a
// sign and 20 decimal digits, plus the NUL.
constexpr ULONG NumberTextCapacity = 24;

constexpr CHAR NullText[] = "(null)";

struct ConversionFields {
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
    ZeroBytes(ReportLine.Text, ReportLine.Length);
    ReportLine.Length = 0;
}

VOID AppendCharacter(CHAR Character)
{
    if (ReportLine.Length == ReportLineCapacity) {
        SendReportLine();
    }
    ReportLine.Text[ReportLine.Length++] = Character;
}

VOID AppendPadding(const ConversionFields& Fields, ULONG TextLength, CHAR Pad)
{
    for (ULONG width = Fields.Width; width > TextLength; --width) {
        AppendCharacter(Pad);
    }
}

BOOLEAN IsDigit(CHAR Character)
{
    return Character >= '0' && Character <= '9';
}

VOID AppendNumber(const ConversionFields& Fields, CHAR Conversion, va_list* Arguments)
{
    ULONG64 value = 0;
    BOOLEAN is64 = Fields.LongCount == 2 || Conversion == 'p';
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

    ConversionFields fields = Fields;
    if (Conversion == 'p') {
        fields.Width = 16;
        fields.ZeroPad = TRUE;
    }

    if (fields.Flag != '-') {
        AppendPadding(fields, length, fields.ZeroPad ? '0' : ' ');
    }
    for (ULONG i = 0; i < length; ++i) {
        AppendCharacter(text[i]);
    }
    if (fields.Flag == '-') {
        AppendPadding(fields, length, ' ');
    }
}

// Appends Length characters of a narrow or wide text, padded to the width
// with spaces: on the left, or on the right with '-', as numbers are.
VOID AppendText(const ConversionFields& Fields, const CHAR* Narrow, const WCHAR* Wide, ULONG Length)
{
    if (Fields.Flag != '-') {
        AppendPadding(Fields, Length, ' ');
    }
    for (ULONG i = 0; i < Length; ++i) {
        // Wide characters go out as their low byte.
        AppendCharacter(Narrow != nullptr ? Narrow[i] : static_cast<CHAR>(Wide[i] & 0xFF));
    }
    if (Fields.Flag == '-') {
        AppendPadding(Fields, Length, ' ');
    }
}

VOID AppendNull(const ConversionFields& Fields)
{
    AppendText(Fields, NullText, nullptr, sizeof(NullText) - 1);
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

VOID AppendString(const ConversionFields& Fields, va_list* Arguments)
{
    if (Fields.Wide) {
        auto text = va_arg(*Arguments, const WCHAR*);
        if (text == nullptr) {
            AppendNull(Fields);
        } else {
            AppendText(Fields, nullptr, text, TerminatedLength(text));
        }
        return;
    }
    auto text = va_arg(*Arguments, const CHAR*);
    if (text == nullptr) {
        AppendNull(Fields);
    } else {
        AppendText(Fields, text, nullptr, TerminatedLength(text));
    }
}

// An empty string may come without a buffer (RtlInitUnicodeString leaves it
// so for a null source): it prints as nothing. Only a record that claims
// text it has no buffer for prints as "(null)".
VOID AppendCountedString(const ConversionFields& Fields, va_list* Arguments)
{
    if (Fields.Wide) {
        auto string = va_arg(*Arguments, const UNICODE_STRING*);
        if (string == nullptr || (string->Buffer == nullptr && string->Length != 0)) {
            AppendNull(Fields);
            return;
        }
        AppendText(Fields, nullptr, string->Buffer, string->Length / sizeof(WCHAR));
        return;
    }

    auto string = va_arg(*Arguments, const ANSI_STRING*);
    if (string == nullptr || (string->Buffer == nullptr && string->Length != 0)) {
        AppendNull(Fields);
        return;
    }
    AppendText(Fields, string->Buffer, nullptr, string->Length);
}

// Formats the conversion that starts after a '%'; returns the position
// after it. A format that ends inside the conversion returns the
// position of its NUL, so nothing past the format is read.
PCSTR FormatConversion(PCSTR Cursor, va_list* Arguments)
{
    ConversionFields fields = {};
    fields.Flag = *Cursor;
    if (fields.Flag == '-') {
        ++Cursor;
    }
    if (IsDigit(*Cursor)) {
        fields.ZeroPad = *Cursor == '0';
        while (IsDigit(*Cursor)) {
            fields.Width = static_cast<UCHAR>(fields.Width * 10 + (*Cursor - '0'));
            ++Cursor;
        }
    }
    while (*Cursor == 'l') {
        ++fields.LongCount;
        ++Cursor;
    }
    if (*Cursor == 'w') {
        fields.Wide = TRUE;
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
        AppendNumber(fields, conversion, Arguments);
        break;
    case 'c':
        AppendCharacter(static_cast<CHAR>(va_arg(*Arguments, int) & 0xFF));
        break;
    case 's':
        AppendString(fields, Arguments);
        break;
    case 'Z':
        AppendCountedString(fields, Arguments);
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

    BeginConsoleLine();
    va_list arguments;
    va_copy(arguments, Arguments);
    PCSTR cursor = Format;
    for (ULONG items = ItemLimit; items != 0 && *cursor != 0; --items) {
        if (*cursor != '%') {
            AppendCharacter(*cursor++);
        } else {
            cursor = FormatConversion(cursor + 1, &arguments);
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
