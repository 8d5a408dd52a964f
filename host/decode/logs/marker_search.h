// The fast path over console noise: finds where a report's start line or a
// restore outcome line could stand in a large buffer, counting the line
// ends passed over, without looking at lines one by one.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace decode {

// The pieces searched for, all AnchorLength bytes long. A start marker with
// one byte substituted, dropped or added still holds one of its two halves
// whole, so a damaged start line is found as well.
constexpr size_t AnchorLength = 10;

// The offset of the first anchor in [data, data + size), or size when there
// is none; *terminators grows by the count of `terminator` bytes before it.
size_t FindAnchor(const char* data, size_t size, char terminator, uint64_t* terminators);
// The two ways FindAnchor searches, 16 bytes a step and 32; the second only
// where HasAvx2() says the processor has its instructions.
size_t FindAnchorSse2(const char* data, size_t size, char terminator, uint64_t* terminators);
size_t FindAnchorAvx2(const char* data, size_t size, char terminator, uint64_t* terminators);
bool HasAvx2();

// The offset of the first byte that is `first` or `second`, or size when
// there is none: sixteen bytes a step where SSE2 is there (every x86-64).
size_t FindEitherByte(const char* data, size_t size, char first, char second);

// False when the line can hold no marker (start or end, whole or with one
// byte damaged) and no restore outcome: every one of them holds a 'U'
// ("BUGCHECK D", "UMP STARTS", "BUGCHECK DUMP ENDS") or a 'V' ("Viridian
// S"). Most lines of a report (module rows, registers, frames) have
// neither, and are parsed without the marker searches.
bool MayHoldMarker(const char* data, size_t size);

// The class of a byte of what stands before a report's lines (a
// timestamp, a host name): timestamps differ in their digits, and a padded
// number in where its blanks stand; month and host names in letters. Digits
// and the blank are '0', letters 'a', any other byte itself.
char PrefixShape(char c);
// True when the size bytes at a and at b have the same shapes, byte for
// byte: sixteen bytes a step where SSE2 is there.
bool SamePrefixShape(const char* a, const char* b, size_t size);

// A prefix's shapes, made once for the lines held against it: each line's
// prefix is then classified alone, where SamePrefixShape classifies both.
struct PrefixShapes {
    static constexpr size_t MaxSize = 256;  // the longest prefix a start line gives
    static constexpr size_t Step = 16;
    size_t Size = 0;
    alignas(Step) char Bytes[MaxSize + Step] = {};
    alignas(Step) char Numbers[MaxSize + Step] = {};  // 0xFF at a digit or blank
    alignas(Step) char Letters[MaxSize + Step] = {};  // 0xFF at a letter
    // The bytes the 32-byte steps below classify by, each 32 times over,
    // read from here as operands: made in place (_mm256_set1_epi8) they
    // cost three instructions each in every call, and a call is made for
    // every line behind a prefix.
    enum Splat { DigitZero, Nine, Blank, LowerCase, LetterA, TwentyFive, U, V, Splats };
    static constexpr char SplatBytes[Splats] = {'0', 9, ' ', 0x20, 'a', 25, 'U', 'V'};
    alignas(32) char Splat32[Splats][32] = {};
};
// False (and shapes left empty) for a prefix longer than MaxSize.
bool MakePrefixShapes(const char* prefix, size_t size, PrefixShapes* shapes);
// SamePrefixShape(text, prefix, shapes.Size, marked) for the prefix the
// shapes were made of; `readable` bytes at text may be read (at least
// shapes.Size).
bool HasPrefixShapes(const char* text, size_t readable, const PrefixShapes& shapes, bool* marked);

// HasPrefixShapes and SameBytesNotingMarkers at once, 32 bytes a step,
// for a line of `size` bytes (its line end included) at `line`, held
// against the kept line of as many at `kept`: true when the line's first
// shapes.Size bytes have the prefix's shapes and the rest is the kept
// line's; *marked then tells whether a byte MayHoldMarker looks for stands
// in the line. Only where HasAvx2(), for a prefix of at most
// LongestPrefixInOneStep bytes and lines of at least 32.
constexpr size_t LongestPrefixInOneStep = 32;
bool SameLineBehindPrefixAvx2(const char* line, const char* kept, size_t size, const PrefixShapes& shapes,
                              bool* marked);

#if defined(__x86_64__)
// Bit i set where bytes[i] has the shape the prefix has at i (the same
// byte, or both a digit or blank, or both a letter: a byte less the
// range's first is at most the range's width less one, unsigned, so bytes
// from 0x80 up are neither), for the first LongestPrefixInOneStep bytes.
__attribute__((target("avx2"))) inline uint32_t PrefixShapeBitsAvx2(__m256i bytes, const PrefixShapes& shapes)
{
    auto splat = [&](PrefixShapes::Splat which) __attribute__((target("avx2"))) {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(shapes.Splat32[which]));
    };
    const __m256i digits = _mm256_sub_epi8(bytes, splat(PrefixShapes::DigitZero));
    const __m256i numbers =
        _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(digits, splat(PrefixShapes::Nine)), digits),
                        _mm256_cmpeq_epi8(bytes, splat(PrefixShapes::Blank)));
    const __m256i folded =
        _mm256_sub_epi8(_mm256_or_si256(bytes, splat(PrefixShapes::LowerCase)), splat(PrefixShapes::LetterA));
    const __m256i letters = _mm256_cmpeq_epi8(_mm256_min_epu8(folded, splat(PrefixShapes::TwentyFive)), folded);
    const __m256i shaped = _mm256_or_si256(
        _mm256_cmpeq_epi8(bytes, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(shapes.Bytes))),
        _mm256_or_si256(
            _mm256_and_si256(numbers, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(shapes.Numbers))),
            _mm256_and_si256(letters, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(shapes.Letters)))));
    return static_cast<uint32_t>(_mm256_movemask_epi8(shaped));
}

// The bits of the prefix's bytes among a step's.
inline uint32_t PrefixBits(size_t size)
{
    return size >= LongestPrefixInOneStep ? UINT32_MAX : (uint32_t{1} << size) - 1;
}
#endif

// True when the size bytes at a and at b are the same; *marked then tells
// whether a byte MayHoldMarker looks for stands among them. A line held
// against the last report's is compared and looked at for markers with one
// read of its bytes.
bool SameBytesNotingMarkers(const char* a, const char* b, size_t size, bool* marked);

// How many bytes at a and at b are the same from the first on: the offset
// of the first that differs, or size. A report is held against the one
// before in runs of lines hundreds of bytes long, and a fleet's against
// each machine's last, most of which part within a few rows.
size_t CommonLength(const char* a, const char* b, size_t size);
// The two ways it reads, 16 bytes a step and 32 (only where HasAvx2()).
size_t CommonLengthSse2(const char* a, const char* b, size_t size);
size_t CommonLengthAvx2(const char* a, const char* b, size_t size);

// FindEitherByte(data, size, '\n', '\r'), and in the same pass whether a
// byte MayHoldMarker looks for stands before the one found: the line reader
// splits a report's lines and tells the scanner which need the marker
// searches with one read of their bytes.
size_t FindLineEndNotingMarkers(const char* data, size_t size, bool* marked);

// The bytes a module row is split by, in the RowBytes bytes at `data`
// (all of them readable): bit i of each mask stands for data[i]. A table's
// row is split, its columns found and its bytes checked for markers with
// one read of them.
constexpr size_t RowBytes = 64;
struct RowByteMasks {
    uint64_t Ends = 0;   // CR and LF
    uint64_t Tabs = 0;
    uint64_t Marks = 0;  // what MayHoldMarker looks for: 'U' and 'V'
};
// Read 16 bytes a step or 32 (where HasAvx2()); ChooseRowClassifier
// gives the one this processor takes, asked once by a caller that
// classifies row after row.
RowByteMasks ClassifyRowBytesSse2(const char* data);
RowByteMasks ClassifyRowBytesAvx2(const char* data);
using RowClassifier = RowByteMasks (*)(const char* data);
RowClassifier ChooseRowClassifier();

}  // namespace decode
