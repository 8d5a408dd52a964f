// Splits a module table's plain rows: one read of a row's first RowBytes
// bytes finds its line end, its tabs and any 'U' or 'V', and the GUID and
// age are checked where the tabs put them.
#include "decode/logs/plain_rows.h"

#include "decode/logs/marker_search.h"
#include "decode/reports/report_parser.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace decode {

namespace {

constexpr size_t MaxAgeDigits = 8;  // the age is 32 bits

// The row's columns from its byte masks (bit i for row[i]), up to the GUID
// check: false when the row is no plain row. `left` is how many bytes
// from row on may be read.
inline bool ColumnsOf(const char* row, size_t left, const RowByteMasks& masks, PlainRow* out)
{
    if (masks.Ends == 0) {
        return false;
    }
    const auto length = static_cast<unsigned>(__builtin_ctzll(masks.Ends));
    // A byte must follow the LF: a CR there would end the line with it.
    if (length + 1 >= left || row[length] != '\n' || row[length + 1] == '\r') {
        return false;
    }
    const uint64_t before = (uint64_t{1} << length) - 1;
    ModuleRowTabs tabs;
    if (!FindModuleRowTabs(masks.Tabs & before, &tabs)) {
        return false;
    }
    const size_t digits = length - tabs.Age - 1;
    if (digits == 0 || digits > MaxAgeDigits) {
        return false;
    }
    uint32_t age = 0;
    for (size_t i = tabs.Age + 1; i < length; ++i) {
        const char c = row[i];
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        age = age << 4 | digit;
    }
    out->Length = length;
    out->PdbTab = static_cast<uint16_t>(tabs.Pdb);
    out->AgeTab = static_cast<uint16_t>(tabs.Age);
    out->Age = age;
    out->Marked = (masks.Marks & before) != 0;
    return true;
}

}  // namespace

size_t SplitPlainRows(const char* data, size_t size, PlainRow* rows, size_t capacity)
{
    // Chosen once: the processor does not change under the process.
    static const auto split = HasAvx2() ? SplitPlainRowsAvx2 : SplitPlainRowsSse2;
    return split(data, size, rows, capacity);
}

size_t SplitPlainRowsSse2(const char* data, size_t size, PlainRow* rows, size_t capacity)
{
    size_t at = 0;
    size_t count = 0;
    while (count < capacity && size - at >= RowBytes) {
        const char* row = data + at;
        PlainRow* out = rows + count;
        if (!ColumnsOf(row, size - at, ClassifyRowBytesSse2(row), out) ||
            !AllHexDigits(row + out->AgeTab - GuidText::Digits)) {
            break;
        }
        at += out->Length + 1;
        ++count;
    }
    return count;
}

#if defined(__x86_64__)
namespace {

// SplitPlainRowsAvx2's work, inlined where rows are split one at a time
// too (behind prefixes), so that its constants are set once there as well.
__attribute__((target("avx2"), always_inline)) inline size_t SplitRowsAvx2(const char* data, size_t size,
                                                                          PlainRow* rows, size_t capacity)
{
    constexpr size_t Step = 32;
    static_assert(RowBytes == 2 * Step, "a row's bytes are read in two steps");
    const __m256i lfs = _mm256_set1_epi8('\n');
    const __m256i crs = _mm256_set1_epi8('\r');
    const __m256i tabs = _mm256_set1_epi8('\t');
    const __m256i us = _mm256_set1_epi8('U');
    const __m256i vs = _mm256_set1_epi8('V');
    const __m256i zero = _mm256_set1_epi8('0');
    const __m256i nine = _mm256_set1_epi8(9);
    const __m256i letterA = _mm256_set1_epi8('A');
    const __m256i five = _mm256_set1_epi8(5);
    auto bits = [](__m256i low, __m256i high) __attribute__((target("avx2"))) {
        return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(low))) |
               static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << Step;
    };
    auto ends = [&](__m256i v) __attribute__((target("avx2"))) {
        return _mm256_or_si256(_mm256_cmpeq_epi8(v, lfs), _mm256_cmpeq_epi8(v, crs));
    };
    auto marks = [&](__m256i v) __attribute__((target("avx2"))) {
        return _mm256_or_si256(_mm256_cmpeq_epi8(v, us), _mm256_cmpeq_epi8(v, vs));
    };
    // '0' to '9' and 'A' to 'F': the byte less the range's first is at
    // most its width less one, unsigned.
    auto upperHex = [&](__m256i v) __attribute__((target("avx2"))) {
        __m256i digit = _mm256_sub_epi8(v, zero);
        __m256i letter = _mm256_sub_epi8(v, letterA);
        return _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(digit, nine), digit),
                               _mm256_cmpeq_epi8(_mm256_min_epu8(letter, five), letter));
    };
    size_t at = 0;
    size_t count = 0;
    while (count < capacity && size - at >= RowBytes) {
        const char* row = data + at;
        __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row));
        __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + Step));
        RowByteMasks masks;
        masks.Ends = bits(ends(low), ends(high));
        masks.Tabs = bits(_mm256_cmpeq_epi8(low, tabs), _mm256_cmpeq_epi8(high, tabs));
        masks.Marks = bits(marks(low), marks(high));
        PlainRow* out = rows + count;
        if (!ColumnsOf(row, size - at, masks, out)) {
            break;
        }
        // The GUID's 32 bytes stand within the row's first RowBytes.
        __m256i guid = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + out->AgeTab - GuidText::Digits));
        if (static_cast<uint32_t>(_mm256_movemask_epi8(upperHex(guid))) != UINT32_MAX) {
            break;
        }
        at += out->Length + 1;
        ++count;
    }
    return count;
}

}  // namespace

__attribute__((target("avx2"))) size_t SplitPlainRowsAvx2(const char* data, size_t size, PlainRow* rows,
                                                          size_t capacity)
{
    return SplitRowsAvx2(data, size, rows, capacity);
}

__attribute__((target("avx2"))) size_t SplitPlainRowsBehindPrefixAvx2(const char* data, size_t size,
                                                                      const PrefixShapes& shapes, PlainRow* rows,
                                                                      size_t capacity, bool* exact)
{
    const size_t prefix = shapes.Size;
    const uint32_t inPrefix = PrefixBits(prefix);
    size_t at = 0;
    size_t count = 0;
    bool same = true;
    while (count < capacity && size - at >= prefix + RowBytes) {
        const __m256i head = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at));
        const __m256i marks = _mm256_or_si256(_mm256_cmpeq_epi8(head, _mm256_set1_epi8('U')),
                                              _mm256_cmpeq_epi8(head, _mm256_set1_epi8('V')));
        if ((PrefixShapeBitsAvx2(head, shapes) & inPrefix) != inPrefix ||
            (static_cast<uint32_t>(_mm256_movemask_epi8(marks)) & inPrefix) != 0 ||
            SplitRowsAvx2(data + at + prefix, size - at - prefix, rows + count, 1) != 1 || rows[count].Marked) {
            break;
        }
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(shapes.Bytes));
        const auto equal = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(head, bytes)));
        same = same && (equal & inPrefix) == inPrefix;
        at += prefix + rows[count].Length + 1;
        ++count;
    }
    *exact = same;
    return count;
}
#else
size_t SplitPlainRowsAvx2(const char* data, size_t size, PlainRow* rows, size_t capacity)
{
    return SplitPlainRowsSse2(data, size, rows, capacity);
}

size_t SplitPlainRowsBehindPrefixAvx2(const char*, size_t, const PrefixShapes&, PlainRow*, size_t, bool* exact)
{
    *exact = true;
    return 0;
}
#endif

}  // namespace decode
