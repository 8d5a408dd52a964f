// The processor's rated frequency, read from the brand string that CPUID
// leaves 0x80000002 to 0x80000004 return (the "2.50GHz" at the end of
// "Intel(R) Xeon(R) Platinum 8272CL CPU @ 2.60GHz").
#pragma once

#include "driver/kernel.h"

// Bytes of the brand string: EAX, EBX, ECX, EDX of three leaves.
constexpr ULONG BrandStringLength = 48;

// A unit the frequency may be given in: exactly three bytes, compared byte
// for byte (case matters), and the hertz it stands for.
struct FrequencyUnit {
    CHAR Text[3];
    ULONG64 Multiplier;
};

// MHz, GHz, THz, tried in this order at each position.
constexpr ULONG FrequencyUnitCount = 3;
extern const FrequencyUnit FrequencyUnits[FrequencyUnitCount];

// The frequency, in Hz, that Brand (BrandStringLength bytes, read up to its
// first NUL) gives, or 0 when it names none. Pure: the parsing half of
// BrandStringFrequency.
ULONG64 ParseBrandStringFrequency(const CHAR* Brand);

// The processor's own brand string through ParseBrandStringFrequency: Hz,
// or 0 when none is found.
ULONG64 BrandStringFrequency();
