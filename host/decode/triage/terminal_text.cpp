// Escaping for terminals and JSON readers; see terminal_text.h.
#include "decode/triage/terminal_text.h"

#include <cstdint>
#include <cstdio>

namespace decode {

namespace {

constexpr unsigned char FirstPrintable = 0x20;
constexpr unsigned char Delete = 0x7F;

// The code point of the well-formed UTF-8 sequence at text[at] and its
// length, or length 0.
size_t DecodeUtf8(std::string_view text, size_t at, uint32_t* point)
{
    auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4                                 ? 4
                                                                                    : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    uint32_t value = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        value = value << 6 | (byte(at + i) & 0x3F);
    }
    constexpr uint32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < Smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) {
        return 0;
    }
    *point = value;
    return length;
}

bool IsC1(uint32_t point)
{
    return point >= 0x80 && point < 0xA0;
}

// Characters that reorder or break the text around them (Unicode's UAX #9
// explicit formatting characters, the marks, the line and paragraph
// separators).
bool IsBidiOrSeparator(uint32_t point)
{
    return point == 0x061C || point == 0x200E || point == 0x200F || (point >= 0x2028 && point <= 0x202E) ||
           (point >= 0x2066 && point <= 0x2069);
}

std::string Escape(const char* format, uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

}  // namespace

void AppendTerminalText(std::string* out, std::string_view text, bool escapeBackslash)
{
    // Most of what a report shows is printable ASCII: taken as it is.
    bool plain = true;
    for (char c : text) {
        plain = plain && c >= static_cast<char>(FirstPrintable) && c < static_cast<char>(Delete) &&
                !(c == '\\' && escapeBackslash);
    }
    if (plain) {
        out->append(text);
        return;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        uint32_t point = 0;
        size_t sequence = c >= 0x80 ? DecodeUtf8(text, i, &point) : 0;
        if (c == '\\' && escapeBackslash) {
            out->append("\\\\");
        } else if (c >= FirstPrintable && c < Delete) {
            *out += static_cast<char>(c);
        } else if (sequence != 0 && IsBidiOrSeparator(point)) {
            out->append(Escape("\\u%04X", point));
            i += sequence - 1;
        } else if (sequence != 0 && !IsC1(point)) {
            out->append(text.substr(i, sequence));
            i += sequence - 1;
        } else {
            out->append(Escape("\\x%02X", c));  // a C1 control shows as its bytes
        }
    }
}

std::string TerminalText(const std::string& text, bool escapeBackslash)
{
    std::string out;
    AppendTerminalText(&out, text, escapeBackslash);
    return out;
}

std::string JsonSafeText(const std::string& dumped)
{
    std::string out;
    out.reserve(dumped.size());
    for (size_t i = 0; i < dumped.size(); ++i) {
        // ASCII goes over in runs: a report's JSON is mostly that.
        size_t run = i;
        while (run < dumped.size() && static_cast<unsigned char>(dumped[run]) < 0x80) {
            ++run;
        }
        out.append(dumped, i, run - i);
        if (run == dumped.size()) {
            break;
        }
        i = run;
        auto c = static_cast<unsigned char>(dumped[i]);
        uint32_t point = 0;
        size_t sequence = c >= 0x80 ? DecodeUtf8(dumped, i, &point) : 0;
        if (sequence != 0 && (IsC1(point) || IsBidiOrSeparator(point))) {
            out += Escape("\\u%04X", point);
            i += sequence - 1;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string CappedWidth(const std::string& text, size_t width)
{
    // Counted in characters: UTF-8 continuation bytes take no column.
    auto isLead = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; };
    size_t columns = 0;
    size_t cut = text.size();
    for (size_t i = 0; i < text.size(); ++i) {
        if (isLead(text[i]) && columns++ == width - 3) {
            cut = i;
        }
    }
    if (columns <= width || width < 3) {
        return text;
    }
    return text.substr(0, cut) + "...";
}

}  // namespace decode
