// The reference TSC page rebuild: scale from the hypervisor's exact TSC
// frequency where it reports one, else from the brand string's, offset 0,
// sequence moved on, written in the order the page's readers need.
#include "hypervisor/reference_tsc.h"

#include "driver/io_space.h"
#include "hypervisor/brand_frequency.h"

namespace {

constexpr ULONG64 HertzPerKilohertz = 1000;
// 10^7 (100 ns units per second) / 10^3 (Hz per kHz), as a 32.32 fixed
// point numerator: the scale is ((ScaleNumerator / kHz) << 32), i.e.
// 2^64 * 10^7 / f with the low 32 bits of the quotient dropped.
constexpr ULONG64 ScaleNumerator = ULONG64{10000} << 32;
constexpr ULONG ScaleFractionShift = 32;
// The quotient must fit in 32 bits, or the shift would drop its top bits
// (from 10 MHz down; 10 MHz itself gives 2^32, a scale of 0): such a
// counter is given no page rather than a wrong one.
constexpr ULONG64 MaxScaleQuotient = 0xFFFFFFFF;
constexpr ULONG InvalidSequence = 0;
// A valid page never carries this sequence either (it reads as an unset
// one to some guests).
constexpr ULONG ReservedSequence = 0xFFFFFFFF;
constexpr ULONG FirstSequence = 1;
// 100 ns units per second: the reference time's tick.
constexpr ULONG64 ReferenceTicksPerSecond = 10000000;
constexpr ULONG FractionBits = 64;

// The exact scale, 10^7 * 2^64 / f, by long division in 64-bit steps (the
// kernel has no 128-bit division routine). Only a frequency above 10 MHz
// has a scale below 2^64; any other gives 0, no scale.
ULONG64 ExactScale(ULONG64 Frequency)
{
    if (Frequency <= ReferenceTicksPerSecond) {
        return 0;
    }
    // The integer part, 10^7 / f, is 0: what remains is 10^7, shifted in
    // one bit at a time. The remainder stays below f, but doubling it may
    // carry out of 64 bits, and then it exceeds f for certain.
    ULONG64 remainder = ReferenceTicksPerSecond;
    ULONG64 scale = 0;
    for (ULONG bit = 0; bit < FractionBits; ++bit) {
        bool carry = (remainder >> 63) != 0;
        remainder <<= 1;
        scale <<= 1;
        if (carry || remainder >= Frequency) {
            remainder -= Frequency;
            scale |= 1;
        }
    }
    return scale;
}

// The scale from the brand string's rated frequency, in whole kHz, with the
// low 32 bits of the quotient dropped; 0 when there is none or the
// quotient does not fit.
ULONG64 BrandStringScale()
{
    ULONG64 kilohertz = BrandStringFrequency() / HertzPerKilohertz;
    ULONG64 quotient = kilohertz == 0 ? 0 : ScaleNumerator / kilohertz;
    return quotient > MaxScaleQuotient ? 0 : quotient << ScaleFractionShift;
}

} // namespace

_Use_decl_annotations_
BOOLEAN RebuildReferenceTscPage(ULONG64 SavedReferenceTsc, ULONG64 TscFrequency)
{
    if ((SavedReferenceTsc & ReferenceTscEnable) == 0) {
        return TRUE;
    }
    auto* page = static_cast<ReferenceTscPage*>(
        MapIoSpace(SavedReferenceTsc & ReferenceTscAddressMask, ReferenceTscPageSize, PAGE_READWRITE,
                   MmCached));
    if (page == nullptr) {
        // The page keeps the old host's scale: after a move to a 3.0 GHz
        // host it reads 10 s as 11.54 s. Not put back.
        return FALSE;
    }

    // The rated frequency is only nominal (a TSC at 2,593,906 kHz under
    // "@ 2.60GHz" runs 2.3e-3 slow against it); the hypervisor's is exact.
    ULONG64 scale = TscFrequency != 0 ? ExactScale(TscFrequency) : BrandStringScale();
    if (scale == 0) {
        // No usable frequency: readers fall back to another clock, and the
        // old scale and offset stay as they were.
        page->TscSequence = InvalidSequence;
    } else {
        // A reader that saw the old sequence must not accept a half-written
        // scale and offset: the page is invalid while they change, and the
        // new sequence is written last.
        ULONG sequence = page->TscSequence + 1;
        if (sequence == ReservedSequence || sequence == InvalidSequence) {
            sequence = FirstSequence;
        }
        page->TscSequence = InvalidSequence;
        FullBarrier();
        page->TscScale = scale;
        page->TscOffset = 0;
        FullBarrier();
        page->TscSequence = sequence;
    }

    MmUnmapIoSpace(page, ReferenceTscPageSize);
    return TRUE;
}
