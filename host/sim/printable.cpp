// One-line, terminal-safe text for diagnostics.
#include "sim/printable.h"

#include <cstdio>

namespace sim {

namespace {

const char Ellipsis[] = "...";

void AppendEscaped(std::string* out, unsigned char c)
{
    switch (c) {
    case '\n':
        *out += "\\n";
        return;
    case '\r':
        *out += "\\r";
        return;
    case '\t':
        *out += "\\t";
        return;
    default:
        break;
    }
    if (c < 0x20 || c > 0x7E) {
        char hex[5];
        std::snprintf(hex, sizeof(hex), "\\x%02X", c);
        *out += hex;
    } else {
        out->push_back(static_cast<char>(c));
    }
}

}  // namespace

std::string EscapeText(std::string_view text, size_t max)
{
    std::string out;
    size_t shown = text.size() > max ? max : text.size();
    out.reserve(shown + 8);
    for (size_t i = 0; i < shown; ++i) {
        AppendEscaped(&out, static_cast<unsigned char>(text[i]));
    }
    if (shown < text.size()) {
        out += Ellipsis;
    }
    return out;
}

std::string PrintableLine(std::string_view text)
{
    std::string escaped = EscapeText(text, text.size());
    std::string out;
    out.reserve(escaped.size());
    size_t word = 0;  // length of the current run of non-blank characters
    for (char c : escaped) {
        if (c == ' ') {
            word = 0;
            out.push_back(c);
            continue;
        }
        ++word;
        if (word <= PrintedWordMax) {
            out.push_back(c);
        } else if (word == PrintedWordMax + 1) {
            out += Ellipsis;
        }
    }
    if (out.size() > PrintedLineMax) {
        out.resize(PrintedLineMax);
        out += Ellipsis;
    }
    return out;
}

void PrintDiagnostic(std::ostream& out, std::string_view text)
{
    out << "vekcrash: " << PrintableLine(text) << "\n";
}

}  // namespace sim
