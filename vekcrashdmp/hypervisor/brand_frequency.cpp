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
constexpr CHAR DecimalPoint = '.';

bool IsDigit(CHAR Byte) { return Byte >= '0' && Byte <= '9'; }

// Reads the decimal digits of Text[Start, Length): a value beyond 32 bits
// saturates at 0xFFFFFFFF. *End is the byte after the digits (Start when
// there is none).
ULONG ParseDigits(const CHAR* Text, ULONG Start, ULONG Length, ULONG* End)
{
    ULONG64 value = 0;
    ULONG at = Start;
    for (; at < Length && IsDigit(Text[at]); ++at) {
        value = value * DecimalBase + static_cast<ULONG>(Text[at] - '0');
        if (value > DecimalSaturation) {
            value = DecimalSaturation;
        }
    }
    *End = at;
    return static_cast<ULONG>(value);
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

    // The number is the run of digits and points that ends at the unit,
    // whatever precedes it: "@2.60GHz" and "(1.6GHz" are read as they are
    // meant, not from the last space (which dropped the whole part and
    // made a rebuilt page run 4.3 times fast). Its leftmost point splits it:
    // the digits directly before it are the whole part, those after it up
    // to the next point or the unit the fraction.
    ULONG first = position;
    while (first > 0 && (IsDigit(Brand[first - 1]) || Brand[first - 1] == DecimalPoint)) {
        --first;
    }
    ULONG end = 0;
    ULONG whole = ParseDigits(Brand, first, position, &end);
    if (end == first) {
        // No whole part (".5GHz", "@GHz"): a number with a digit lost is no
        // frequency, and the page is better invalid than wrong.
        return 0;
    }
    ULONG64 fraction = 0;
    bool fractionOverflow = false;
    if (end < position && Brand[end] == DecimalPoint) {
        ULONG fractionEnd = 0;
        ULONG digits = ParseDigits(Brand, end + 1, position, &fractionEnd);
        fractionOverflow = __builtin_mul_overflow(ULONG64{digits}, unit->Multiplier, &fraction);
        for (ULONG d = fractionEnd - (end + 1); d > 0; --d) {
            fraction /= DecimalBase;
        }
    }

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
