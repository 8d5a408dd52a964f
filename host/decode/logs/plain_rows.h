// A module table's plain rows split at a stretch: most of a fleet's report
// is its table, and a row that is as the driver prints it needs no more
// than one read of its bytes to be split, its columns found and checked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decode/logs/marker_search.h"
#include "decode/reports/module_table.h"

namespace decode {

// Splits the plain rows at the start of [data, data + size) into rows, at
// most `capacity`, and gives how many: it stops before the first line that
// is no plain row, where fewer than RowBytes bytes are left to read at a
// row's start, or where no byte follows a row's LF (a CR there would end
// the line with it). Each row's tabs are those FindModuleRowTabs finds.
size_t SplitPlainRows(const char* data, size_t size, PlainRow* rows, size_t capacity);
// The two ways it reads, 16 bytes a step and 32 (only where HasAvx2()).
size_t SplitPlainRowsSse2(const char* data, size_t size, PlainRow* rows, size_t capacity);
size_t SplitPlainRowsAvx2(const char* data, size_t size, PlainRow* rows, size_t capacity);

// Rows each behind a prefix of the shapes' (a timestamp before every
// line): split as SplitPlainRows splits them, each after a prefix that has
// the shapes and no byte MayHoldMarker looks for; it stops before a row
// that has one too. A row's Length and tabs count from the row's start,
// after its prefix. *exact is cleared where a prefix is not the shapes'
// bytes. Only where HasAvx2(), for a prefix of at most
// LongestPrefixInOneStep bytes.
size_t SplitPlainRowsBehindPrefixAvx2(const char* data, size_t size, const PrefixShapes& shapes, PlainRow* rows,
                                      size_t capacity, bool* exact);

}  // namespace decode
