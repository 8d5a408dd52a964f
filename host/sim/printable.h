// Text from input files, driver images and the model, made fit for one
// line on a terminal: a newline in a key must not start a forged second
// diagnostic, an escape sequence must not reach the terminal, and a
// megabyte-long name must not become a megabyte-long line.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace sim {

// Longest run of input a message quotes, and longest word and line the
// tool prints.
constexpr size_t QuotedInputMax = 64;
constexpr size_t PrintedWordMax = 160;
constexpr size_t PrintedLineMax = 1000;

// Control bytes and bytes above 0x7E become visible escapes (\n, \t, \r,
// \xHH); printable ASCII, the backslash included, stays as it is. Text
// longer than max bytes is cut there and ends in "...".
std::string EscapeText(std::string_view text, size_t max);

// One printable line: escaped, then every run of non-blank characters cut
// to PrintedWordMax bytes (so the words after a huge name survive) and the
// whole to PrintedLineMax, each cut marked with "...".
std::string PrintableLine(std::string_view text);

// Writes "vekcrash: " and the printable form of text as one line.
void PrintDiagnostic(std::ostream& out, std::string_view text);

}  // namespace sim
