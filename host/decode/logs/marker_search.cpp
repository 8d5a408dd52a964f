// Anchor search, 16 bytes a step where SSE2 is there: a byte compare of the
// anchors' first and last bytes picks candidates, which a full compare
// confirms; line ends are counted in the same pass.
#include "decode/logs/marker_search.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace decode {

namespace {

constexpr const char* Anchors[] = {"BUGCHECK D", "UMP STARTS", "Viridian S"};

bool IsAnchor(const char* at)
{
    for (const char* anchor : Anchors) {
        if (std::memcmp(at, anchor, AnchorLength) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

size_t FindAnchorSse2(const char* data, size_t size, char terminator, uint64_t* terminators)
{
    size_t i = 0;
    uint64_t count = 0;
#if defined(__SSE2__)
    constexpr size_t Step = 16;
    // Byte counters in the vector overflow after 255 steps.
    constexpr unsigned FlushSteps = 255;
    const __m128i zero = _mm_setzero_si128();
    const __m128i firstB = _mm_set1_epi8('B');
    const __m128i lastD = _mm_set1_epi8('D');
    const __m128i firstU = _mm_set1_epi8('U');
    const __m128i firstV = _mm_set1_epi8('V');
    const __m128i lastS = _mm_set1_epi8('S');
    const __m128i ends = _mm_set1_epi8(terminator);
    __m128i counters = zero;
    unsigned steps = 0;
    auto flush = [&] {
        __m128i sums = _mm_sad_epu8(counters, zero);
        count += static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
                 static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
        counters = zero;
        steps = 0;
    };
    for (; i + Step + AnchorLength - 1 <= size; i += Step) {
        __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + AnchorLength - 1));
        __m128i isEnd = _mm_cmpeq_epi8(first, ends);
        __m128i candidates = _mm_or_si128(
            _mm_and_si128(_mm_cmpeq_epi8(first, firstB), _mm_cmpeq_epi8(last, lastD)),
            _mm_and_si128(_mm_cmpeq_epi8(last, lastS),
                          _mm_or_si128(_mm_cmpeq_epi8(first, firstU), _mm_cmpeq_epi8(first, firstV))));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(candidates));
        while (mask != 0) {
            unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (IsAnchor(data + i + bit)) {
                flush();
                unsigned before = static_cast<unsigned>(_mm_movemask_epi8(isEnd)) & ((1u << bit) - 1);
                *terminators += count + static_cast<uint64_t>(__builtin_popcount(before));
                return i + bit;
            }
            mask &= mask - 1;
        }
        counters = _mm_sub_epi8(counters, isEnd);
        if (++steps == FlushSteps) {
            flush();
        }
    }
    flush();
#endif
    for (; i < size; ++i) {
        if (i + AnchorLength <= size && IsAnchor(data + i)) {
            break;
        }
        count += data[i] == terminator ? 1 : 0;
    }
    *terminators += count;
    return i;
}

#if defined(__x86_64__)
// The line ends counted in the byte counters, added to *count; the
// counters start again. (A lambda would not take the caller's target.)
static __attribute__((target("avx2"))) void AddCounters(__m256i* counters, unsigned* steps, uint64_t* count)
{
    __m256i sums = _mm256_sad_epu8(*counters, _mm256_setzero_si256());
    __m128i pair = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    *count += static_cast<uint64_t>(_mm_cvtsi128_si64(pair)) +
              static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(pair, pair)));
    *counters = _mm256_setzero_si256();
    *steps = 0;
}

// FindAnchorSse2 32 bytes a step: chatter between reports is most of a
// fleet's log, and this pass over it most of the decoder's own time there.
__attribute__((target("avx2"))) size_t FindAnchorAvx2(const char* data, size_t size, char terminator,
                                                      uint64_t* terminators)
{
    size_t i = 0;
    uint64_t count = 0;
    constexpr size_t Step = 32;
    // Byte counters in the vector overflow after 255 steps.
    constexpr unsigned FlushSteps = 255;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i firstB = _mm256_set1_epi8('B');
    const __m256i lastD = _mm256_set1_epi8('D');
    const __m256i firstU = _mm256_set1_epi8('U');
    const __m256i firstV = _mm256_set1_epi8('V');
    const __m256i lastS = _mm256_set1_epi8('S');
    const __m256i ends = _mm256_set1_epi8(terminator);
    __m256i counters = zero;
    unsigned steps = 0;
    for (; i + Step + AnchorLength - 1 <= size; i += Step) {
        __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
        __m256i last = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + AnchorLength - 1));
        __m256i isEnd = _mm256_cmpeq_epi8(first, ends);
        __m256i candidates = _mm256_or_si256(
            _mm256_and_si256(_mm256_cmpeq_epi8(first, firstB), _mm256_cmpeq_epi8(last, lastD)),
            _mm256_and_si256(_mm256_cmpeq_epi8(last, lastS),
                             _mm256_or_si256(_mm256_cmpeq_epi8(first, firstU), _mm256_cmpeq_epi8(first, firstV))));
        auto mask = static_cast<uint32_t>(_mm256_movemask_epi8(candidates));
        while (mask != 0) {
            unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (IsAnchor(data + i + bit)) {
                AddCounters(&counters, &steps, &count);
                uint32_t before = static_cast<uint32_t>(_mm256_movemask_epi8(isEnd)) & ((uint32_t{1} << bit) - 1);
                *terminators += count + static_cast<uint64_t>(__builtin_popcount(before));
                return i + bit;
            }
            mask &= mask - 1;
        }
        counters = _mm256_sub_epi8(counters, isEnd);
        if (++steps == FlushSteps) {
            AddCounters(&counters, &steps, &count);
        }
    }
    AddCounters(&counters, &steps, &count);
    // The rest, fewer bytes than a step and an anchor: sixteen at a time.
    uint64_t rest = 0;
    size_t at = i + FindAnchorSse2(data + i, size - i, terminator, &rest);
    *terminators += count + rest;
    return at;
}

bool HasAvx2()
{
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#else
size_t FindAnchorAvx2(const char* data, size_t size, char terminator, uint64_t* terminators)
{
    return FindAnchorSse2(data, size, terminator, terminators);
}

bool HasAvx2()
{
    return false;
}
#endif

size_t FindAnchor(const char* data, size_t size, char terminator, uint64_t* terminators)
{
    // Chosen once: the processor does not change under the process.
    static const auto search = HasAvx2() ? FindAnchorAvx2 : FindAnchorSse2;
    return search(data, size, terminator, terminators);
}

size_t FindEitherByte(const char* data, size_t size, char first, char second)
{
    size_t i = 0;
#if defined(__SSE2__)
    constexpr size_t Step = 16;
    const __m128i firsts = _mm_set1_epi8(first);
    const __m128i seconds = _mm_set1_epi8(second);
    for (; i + Step <= size; i += Step) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        auto found = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, firsts), _mm_cmpeq_epi8(bytes, seconds))));
        if (found != 0) {
            return i + static_cast<size_t>(__builtin_ctz(found));
        }
    }
#endif
    for (; i < size; ++i) {
        if (data[i] == first || data[i] == second) {
            return i;
        }
    }
    return size;
}

char PrefixShape(char c)
{
    if ((c >= '0' && c <= '9') || c == ' ') {
        return '0';
    }
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        return 'a';
    }
    return c;
}

#if defined(__SSE2__)
namespace {

// Two bytes have one shape where they are the same byte, or both a digit
// or blank, or both a letter: two masks a side, sixteen bytes at once.
// The compares are signed: bytes from 0x80 up are below every digit and
// letter, as they are for the one-byte version.
inline __m128i NumberBytes(__m128i bytes)
{
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('0' - 1)),
                                        _mm_cmplt_epi8(bytes, _mm_set1_epi8('9' + 1)));
    return _mm_or_si128(digit, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')));
}

inline __m128i LetterBytes(__m128i bytes)
{
    // A letter of either case is one of 'a' to 'z' with bit 5 set.
    const __m128i folded = _mm_or_si128(bytes, _mm_set1_epi8(0x20));
    return _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                         _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
}

// The bytes MayHoldMarker looks for.
inline __m128i MarkerBytes(__m128i bytes)
{
    return _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('U')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('V')));
}

constexpr int AllSixteen = 0xFFFF;

inline bool SameShapes(const char* a, const char* b)
{
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    const __m128i same = _mm_or_si128(_mm_cmpeq_epi8(x, y),
                                      _mm_or_si128(_mm_and_si128(NumberBytes(x), NumberBytes(y)),
                                                   _mm_and_si128(LetterBytes(x), LetterBytes(y))));
    return _mm_movemask_epi8(same) == AllSixteen;
}

inline bool SameBytes(const char* a, const char* b, __m128i* marks)
{
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    *marks = _mm_or_si128(*marks, MarkerBytes(x));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(x, y)) == AllSixteen;
}

}  // namespace
#endif

bool SamePrefixShape(const char* a, const char* b, size_t size)
{
    size_t i = 0;
#if defined(__SSE2__)
    // Asked for every line of a report whose lines carry a timestamp: a
    // byte at a time it was a third of such a log's time.
    constexpr size_t Step = 16;
    if (size >= Step) {
        for (; i + Step <= size; i += Step) {
            if (!SameShapes(a + i, b + i)) {
                return false;
            }
        }
        // The last bytes in one more step, some of them looked at twice.
        return i == size || SameShapes(a + size - Step, b + size - Step);
    }
    // A shorter prefix (a kernel's "[ 1234.567890] ") in one step too,
    // copied out with zero bytes after it in both: a byte at a time it
    // was half of such a log's instructions.
    char x[Step] = {};
    char y[Step] = {};
    std::memcpy(x, a, size);
    std::memcpy(y, b, size);
    return SameShapes(x, y);
#endif
    for (; i < size; ++i) {
        if (PrefixShape(a[i]) != PrefixShape(b[i])) {
            return false;
        }
    }
    return true;
}

bool MakePrefixShapes(const char* prefix, size_t size, PrefixShapes* shapes)
{
    shapes->Size = 0;
    if (size > PrefixShapes::MaxSize) {
        return false;
    }
    // Made again each time the source changes (a multiplexer's in turn):
    // only the bytes a step past the prefix's end are ever read.
    const size_t read = std::min(sizeof(shapes->Bytes), size + 2 * PrefixShapes::Step);
    std::memset(shapes->Bytes, 0, read);
    std::memset(shapes->Numbers, 0, read);
    std::memset(shapes->Letters, 0, read);
    for (size_t i = 0; i < size; ++i) {
        const char shape = PrefixShape(prefix[i]);
        shapes->Bytes[i] = prefix[i];
        shapes->Numbers[i] = shape == '0' ? '\xFF' : '\0';
        shapes->Letters[i] = shape == 'a' ? '\xFF' : '\0';
    }
    for (size_t i = 0; i < PrefixShapes::Splats; ++i) {
        std::memset(shapes->Splat32[i], PrefixShapes::SplatBytes[i], sizeof(shapes->Splat32[i]));
    }
    shapes->Size = size;
    return true;
}

bool HasPrefixShapes(const char* text, size_t readable, const PrefixShapes& shapes, bool* marked)
{
    const size_t size = shapes.Size;
#if defined(__SSE2__)
    constexpr size_t Step = PrefixShapes::Step;
    // Where fewer than a whole step's bytes may be read, the text is
    // copied out with zero bytes after it, as the prefix's are.
    char copy[PrefixShapes::MaxSize + Step];
    const size_t steps = (size + Step - 1) / Step;
    if (readable < steps * Step) {
        std::memset(copy, 0, sizeof(copy));
        std::memcpy(copy, text, size);
        text = copy;
    }
    // Bytes past the prefix's end are not asked about.
    const unsigned lastBits = size % Step == 0 ? static_cast<unsigned>(AllSixteen) : (1u << (size % Step)) - 1;
    unsigned marks = 0;
    for (size_t i = 0; i < steps; ++i) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i * Step));
        const __m128i y = _mm_load_si128(reinterpret_cast<const __m128i*>(shapes.Bytes + i * Step));
        const __m128i numbers = _mm_load_si128(reinterpret_cast<const __m128i*>(shapes.Numbers + i * Step));
        const __m128i letters = _mm_load_si128(reinterpret_cast<const __m128i*>(shapes.Letters + i * Step));
        const __m128i same =
            _mm_or_si128(_mm_cmpeq_epi8(x, y), _mm_or_si128(_mm_and_si128(NumberBytes(x), numbers),
                                                            _mm_and_si128(LetterBytes(x), letters)));
        const unsigned wanted = i + 1 == steps ? lastBits : static_cast<unsigned>(AllSixteen);
        if ((static_cast<unsigned>(_mm_movemask_epi8(same)) & wanted) != wanted) {
            return false;
        }
        marks |= static_cast<unsigned>(_mm_movemask_epi8(MarkerBytes(x))) & wanted;
    }
    *marked = marks != 0;
    return true;
#else
    (void)readable;
    for (size_t i = 0; i < size; ++i) {
        if (PrefixShape(text[i]) != PrefixShape(shapes.Bytes[i])) {
            return false;
        }
    }
    *marked = MayHoldMarker(text, size);
    return true;
#endif
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) bool SameLineBehindPrefixAvx2(const char* line, const char* kept, size_t size,
                                                              const PrefixShapes& shapes, bool* marked)
{
    constexpr size_t Step = 32;
    static_assert(LongestPrefixInOneStep == Step, "the prefix is looked at in the first step");
    const size_t prefix = shapes.Size;
    const __m256i us = _mm256_load_si256(reinterpret_cast<const __m256i*>(shapes.Splat32[PrefixShapes::U]));
    const __m256i vs = _mm256_load_si256(reinterpret_cast<const __m256i*>(shapes.Splat32[PrefixShapes::V]));
    auto bits = [](__m256i hits) __attribute__((target("avx2"))) {
        return static_cast<uint32_t>(_mm256_movemask_epi8(hits));
    };
    // The marker bytes of every step, told once at the end.
    auto marks = [&](__m256i bytes) __attribute__((target("avx2"))) {
        return _mm256_or_si256(_mm256_cmpeq_epi8(bytes, us), _mm256_cmpeq_epi8(bytes, vs));
    };
    // The prefix's bytes of the start line's shapes, the rest the kept
    // line's.
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line));
    const uint32_t inPrefix = PrefixBits(prefix);
    const uint32_t same = bits(_mm256_cmpeq_epi8(first, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kept))));
    if (((PrefixShapeBitsAvx2(first, shapes) | ~inPrefix) & (same | inPrefix)) != UINT32_MAX) {
        return false;
    }
    __m256i found = marks(first);
    // The rest a step at a time; the prefix lies within the first step, so
    // only the last, which ends at the line's end and may reach back into
    // the prefix, has bytes not to compare.
    size_t at = Step;
    for (; at + Step <= size; at += Step) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + at));
        if (bits(_mm256_cmpeq_epi8(bytes, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kept + at)))) !=
            UINT32_MAX) {
            return false;
        }
        found = _mm256_or_si256(found, marks(bytes));
    }
    if (at < size) {
        at = size - Step;
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + at));
        const uint32_t asked = at >= prefix ? UINT32_MAX : ~((uint32_t{1} << (prefix - at)) - 1);
        if ((bits(_mm256_cmpeq_epi8(bytes, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kept + at)))) &
             asked) != asked) {
            return false;
        }
        found = _mm256_or_si256(found, marks(bytes));
    }
    *marked = bits(found) != 0;
    return true;
}
#else
bool SameLineBehindPrefixAvx2(const char*, const char*, size_t, const PrefixShapes&, bool*)
{
    return false;
}
#endif

bool SameBytesNotingMarkers(const char* a, const char* b, size_t size, bool* marked)
{
    size_t i = 0;
#if defined(__SSE2__)
    constexpr size_t Step = 16;
    if (size >= Step) {
        __m128i marks = _mm_setzero_si128();
        bool same = true;
        for (; same && i + Step <= size; i += Step) {
            same = SameBytes(a + i, b + i, &marks);
        }
        // The last bytes in one more step, some of them looked at twice.
        same = same && (i == size || SameBytes(a + size - Step, b + size - Step, &marks));
        *marked = _mm_movemask_epi8(marks) != 0;
        return same;
    }
#endif
    bool seen = false;
    for (; i < size; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
        seen = seen || a[i] == 'U' || a[i] == 'V';
    }
    *marked = seen;
    return true;
}

size_t CommonLength(const char* a, const char* b, size_t size)
{
    // Chosen once: the processor does not change under the process.
    static const auto compare = HasAvx2() ? CommonLengthAvx2 : CommonLengthSse2;
    return compare(a, b, size);
}

size_t CommonLengthSse2(const char* a, const char* b, size_t size)
{
    size_t at = 0;
#if defined(__SSE2__)
    constexpr size_t Step = 16;
    constexpr unsigned AllSame = 0xFFFF;
    auto sameBits = [](const char* x, const char* y) {
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(x)), _mm_loadu_si128(reinterpret_cast<const __m128i*>(y)))));
    };
    for (; at + Step <= size; at += Step) {
        const unsigned same = sameBits(a + at, b + at);
        if (same != AllSame) {
            return at + static_cast<size_t>(__builtin_ctz(~same));
        }
    }
    // The last bytes in one more step: those before them in it are known
    // to be the same, so its first that differs is the first of all.
    if (at != size && size >= Step) {
        const size_t last = size - Step;
        const unsigned same = sameBits(a + last, b + last);
        return same == AllSame ? size : last + static_cast<size_t>(__builtin_ctz(~same));
    }
#endif
    while (at < size && a[at] == b[at]) {
        ++at;
    }
    return at;
}

#if defined(__x86_64__)
namespace {

__attribute__((target("avx2"), always_inline)) inline __m256i SameBytesAvx2(const char* x, const char* y)
{
    return _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x)),
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y)));
}

}  // namespace

__attribute__((target("avx2"))) size_t CommonLengthAvx2(const char* a, const char* b, size_t size)
{
    constexpr size_t Step = 32;
    if (size < Step) {
        return CommonLengthSse2(a, b, size);
    }
    auto sameBits = [](const char* x, const char* y) __attribute__((target("avx2"))) {
        return static_cast<uint32_t>(_mm256_movemask_epi8(SameBytesAvx2(x, y)));
    };
    auto firstOff = [](uint32_t same) { return static_cast<size_t>(__builtin_ctz(~same)); };
    size_t at = 0;
    // Four steps a round, told apart only when they differ: most runs
    // compared are the same for hundreds of bytes.
    constexpr size_t Round = 4 * Step;
    for (; at + Round <= size; at += Round) {
        const __m256i all = _mm256_and_si256(
            _mm256_and_si256(SameBytesAvx2(a + at, b + at), SameBytesAvx2(a + at + Step, b + at + Step)),
            _mm256_and_si256(SameBytesAvx2(a + at + 2 * Step, b + at + 2 * Step),
                             SameBytesAvx2(a + at + 3 * Step, b + at + 3 * Step)));
        if (static_cast<uint32_t>(_mm256_movemask_epi8(all)) != UINT32_MAX) {
            break;
        }
    }
    for (; at + Step <= size; at += Step) {
        const uint32_t same = sameBits(a + at, b + at);
        if (same != UINT32_MAX) {
            return at + firstOff(same);
        }
    }
    if (at == size) {
        return size;
    }
    // As in the 16-byte way: one more step over the last bytes.
    const size_t last = size - Step;
    const uint32_t same = sameBits(a + last, b + last);
    return same == UINT32_MAX ? size : last + firstOff(same);
}
#else
size_t CommonLengthAvx2(const char* a, const char* b, size_t size)
{
    return CommonLengthSse2(a, b, size);
}
#endif

size_t FindLineEndNotingMarkers(const char* data, size_t size, bool* marked)
{
    size_t i = 0;
    bool seen = false;
#if defined(__SSE2__)
    constexpr size_t Step = 16;
    const __m128i lfs = _mm_set1_epi8('\n');
    const __m128i crs = _mm_set1_epi8('\r');
    const __m128i us = _mm_set1_epi8('U');
    const __m128i vs = _mm_set1_epi8('V');
    for (; i + Step <= size; i += Step) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        auto ends = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, lfs), _mm_cmpeq_epi8(bytes, crs))));
        auto markers = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, us), _mm_cmpeq_epi8(bytes, vs))));
        if (ends != 0) {
            unsigned at = static_cast<unsigned>(__builtin_ctz(ends));
            // Only the marker bytes before the line end count.
            *marked = seen || (markers & ((1u << at) - 1)) != 0;
            return i + at;
        }
        seen = seen || markers != 0;
    }
#endif
    for (; i < size; ++i) {
        char c = data[i];
        if (c == '\n' || c == '\r') {
            break;
        }
        seen = seen || c == 'U' || c == 'V';
    }
    *marked = seen;
    return i;
}

bool MayHoldMarker(const char* data, size_t size)
{
    return FindEitherByte(data, size, 'U', 'V') != size;
}

RowClassifier ChooseRowClassifier()
{
    // Chosen once: the processor does not change under the process.
    static const RowClassifier classify = HasAvx2() ? ClassifyRowBytesAvx2 : ClassifyRowBytesSse2;
    return classify;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) RowByteMasks ClassifyRowBytesAvx2(const char* data)
{
    constexpr size_t Step = 32;
    const __m256i lfs = _mm256_set1_epi8('\n');
    const __m256i crs = _mm256_set1_epi8('\r');
    const __m256i tabs = _mm256_set1_epi8('\t');
    const __m256i us = _mm256_set1_epi8('U');
    const __m256i vs = _mm256_set1_epi8('V');
    RowByteMasks masks;
    for (size_t i = 0; i < RowBytes; i += Step) {
        __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
        auto mask = [i](__m256i hits) __attribute__((target("avx2"))) {
            return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(hits))) << i;
        };
        masks.Ends |= mask(_mm256_or_si256(_mm256_cmpeq_epi8(bytes, lfs), _mm256_cmpeq_epi8(bytes, crs)));
        masks.Tabs |= mask(_mm256_cmpeq_epi8(bytes, tabs));
        masks.Marks |= mask(_mm256_or_si256(_mm256_cmpeq_epi8(bytes, us), _mm256_cmpeq_epi8(bytes, vs)));
    }
    return masks;
}
#else
RowByteMasks ClassifyRowBytesAvx2(const char* data)
{
    return ClassifyRowBytesSse2(data);
}
#endif

RowByteMasks ClassifyRowBytesSse2(const char* data)
{
    RowByteMasks masks;
#if defined(__SSE2__)
    constexpr size_t Step = 16;
    const __m128i lfs = _mm_set1_epi8('\n');
    const __m128i crs = _mm_set1_epi8('\r');
    const __m128i tabs = _mm_set1_epi8('\t');
    const __m128i us = _mm_set1_epi8('U');
    const __m128i vs = _mm_set1_epi8('V');
    for (size_t i = 0; i < RowBytes; i += Step) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        auto mask = [&](__m128i hits) {
            return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits))) << i;
        };
        masks.Ends |= mask(_mm_or_si128(_mm_cmpeq_epi8(bytes, lfs), _mm_cmpeq_epi8(bytes, crs)));
        masks.Tabs |= mask(_mm_cmpeq_epi8(bytes, tabs));
        masks.Marks |= mask(_mm_or_si128(_mm_cmpeq_epi8(bytes, us), _mm_cmpeq_epi8(bytes, vs)));
    }
#else
    for (size_t i = 0; i < RowBytes; ++i) {
        uint64_t bit = uint64_t{1} << i;
        char c = data[i];
        masks.Ends |= c == '\n' || c == '\r' ? bit : 0;
        masks.Tabs |= c == '\t' ? bit : 0;
        masks.Marks |= c == 'U' || c == 'V' ? bit : 0;
    }
#endif
    return masks;
}

}  // namespace decode
