// Text from a guest's console on its way to a terminal or a JSON reader:
// nothing it holds may move the cursor, recolour the screen, reorder what
// follows it (bidi controls, Unicode's UAX #9) or pass for an escape the
// decoder wrote itself.
#pragma once

#include <string>
#include <string_view>

namespace decode {

// Printable ASCII and well-formed UTF-8 as they are; C0, DEL, C1, bytes
// that are not UTF-8 as \xNN; bidi controls and line separators as \uNNNN;
// a backslash as \\ unless the text is already escaped (a warning quoting
// a line through EscapeBytes).
std::string TerminalText(const std::string& text, bool escapeBackslash = true);
// The same, appended to a text being put together: a report's names, most
// of them plain, go in without a string of their own.
void AppendTerminalText(std::string* out, std::string_view text, bool escapeBackslash = true);

// A dumped JSON line (UTF-8) with C1 controls and bidi controls written as
// \u escapes, which every JSON reader reads back as the same string.
std::string JsonSafeText(const std::string& dumped);

// At most `width` characters of an already printable text, "..." marking a
// cut: one long name may not widen every row of a table.
std::string CappedWidth(const std::string& text, size_t width);

}  // namespace decode
