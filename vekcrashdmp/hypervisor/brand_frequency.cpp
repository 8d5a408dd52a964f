// The rated frequency from the processor brand string: the rightmost unit
// (MHz, GHz, THz), the number that ends at it, and its decimal fraction.
#include "hypervisor/brand_frequency.h"

namespace {

constexpr ULONG ExtendedLeafRange = 0x80000000;
constexpr ULONG FirstBrandLeaf = 0x80000002;
constexpr ULONG LastBrandLeaf = 0x80000004;
constexpr ULONG BrandBytesPerLeaf = 16;
static_assert((LastBrandLeaf - FirstBrandLeaf + 1) * BrandBytesPerLeaf == BrandStringLength,
              "three leaves of four registers spell the brand string");
constexpr ULONG UnitTextLength = 3;
// A frequency needs a unit and a byte before it.
constexpr ULONG MinFrequencyTextLength = UnitTextLength + 1;
constexpr ULONG DecimalBase = 10;
constexpr ULONG64 DecimalSaturation = 0xFFFFFFFF;

bool IsStrtoulSpace(CHAR Byte)
{
    return Byte == ' ' || Byte == '\t' || Byte == '\n' || Byte == '\v' || Byte == '\f' ||
           Byte == '\r';
}

bool IsDigit(CHAR Byte) { return Byte >= '0' && Byte <= '9'; }

// Reads a decimal number from Text[Start, Length) as the C library's
// strtoul does in base 10: white space, one optional sign, digits; a value
// beyond 32 bits saturates at 0xFFFFFFFF and a minus sign negates modulo
// 2^32. *End is the byte after the digits, or Start when there is none.
ULONG ParseDecimal(const CHAR* Text, ULONG Start, ULONG Length, ULONG* End)
{
    ULONG at = Start;
    while (at < Length && IsStrtoulSpace(Text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < Length && (Text[at] == '+' || Text[at] == '-')) {
        negative = Text[at] == '-';
        ++at;
    }
    if (at >= Length || !IsDigit(Text[at])) {
        *End = Start;
        return 0;
    }
    ULONG64 value = 0;
    bool saturated = false;
    for (; at < Length && IsDigit(Text[at]); ++at) {
        value = value * DecimalBase + static_cast<ULONG>(Text[at] - '0');
        if (value > DecimalSaturation) {
            saturated = true;
            value = DecimalSaturation;
        }
    }
    *End = at;
    if (saturated) {
        return static_cast<ULONG>(DecimalSaturation);
    }
    auto result = static_cast<ULONG>(value);
    return negative ? 0u - result : result;
}

ULONG TextLength(const CHAR* Brand)
{
    ULONG length = 0;
    while (length < BrandStringLength && Brand[length] != 0) {
        ++length;
    }
    return length;
}

// The unit whose text starts at the rightmost position from Length - 3 down
// to 1, or null. Position 0 is never a unit: a number must precede it.
const FrequencyUnit* FindUnit(const CHAR* Brand, ULONG Length, ULONG* Position)
{
    for (ULONG p = Length - UnitTextLength; p >= 1; --p) {
        for (const FrequencyUnit& unit : FrequencyUnits) {
            if (RtlCompareMemory(Brand + p, unit.Text, UnitTextLength) == UnitTextLength) {
                *Position = p;
                return &unit;
            }
        }
    }
    return nullptr;
}

} // namespace

const FrequencyUnit FrequencyUnits[FrequencyUnitCount] = {
    {{'M', 'H', 'z'}, 1000000ull},
    {{'G', 'H', 'z'}, 1000000000ull},
    {{'T', 'H', 'z'}, 1000000000000ull},
};

ULONG64 ParseBrandStringFrequency(const CHAR* Brand)
{
    ULONG length = TextLength(Brand);
    if (length < MinFrequencyTextLength) {
        return 0;
    }
    ULONG position = 0;
    const FrequencyUnit* unit = FindUnit(Brand, length, &position);
    if (unit == nullptr) {
        return 0;
    }

    // Walk back from the unit to the space before the number; a point on
    // the way gives the fraction (the leftmost point wins). Position 0 is
    // examined too, so that a number at the very start keeps its first
    // digit.
    ULONG64 fraction = 0;
    bool fractionOverflow = false;
    ULONG q = position;
    bool stoppedAtSpace = false;
    for (;;) {
        if (Brand[q] == ' ') {
            stoppedAtSpace = true;
            break;
        }
        if (Brand[q] == '.') {
            ULONG end = 0;
            ULONG digits = ParseDecimal(Brand, q + 1, length, &end);
            fractionOverflow = __builtin_mul_overflow(ULONG64{digits}, unit->Multiplier,
                                                      &fraction);
            for (ULONG d = end - (q + 1); d > 0; --d) {
                fraction /= DecimalBase;
            }
        }
        if (q == 0) {
            break;
        }
        --q;
    }
    ULONG end = 0;
    ULONG whole = ParseDecimal(Brand, stoppedAtSpace ? q + 1 : 0, length, &end);

    // A frequency beyond 64 bits is no frequency: a wrapped value would pass
    // for a real one.
    ULONG64 hertz = 0;
    if (fractionOverflow ||
        __builtin_mul_overflow(ULONG64{whole}, unit->Multiplier, &hertz) ||
        __builtin_add_overflow(hertz, fraction, &hertz)) {
        return 0;
    }
    return hertz;
}

ULONG64 BrandStringFrequency()
{
    // A processor without the brand leaves answers them with another
    // leaf's data; it has no brand string to read.
    ULONG registers[4];
    ProcessorCpuid(ExtendedLeafRange, registers);
    if (registers[0] < LastBrandLeaf) {
        return 0;
    }
    CHAR brand[BrandStringLength];
    PCHAR next = brand;
    for (ULONG leaf = FirstBrandLeaf; leaf <= LastBrandLeaf; ++leaf) {
        ProcessorCpuid(leaf, registers);
        RtlCopyMemory(next, registers, BrandBytesPerLeaf);
        next += BrandBytesPerLeaf;
    }
    return ParseBrandStringFrequency(brand);
}
