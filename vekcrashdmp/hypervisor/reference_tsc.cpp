// The reference TSC page rebuild: scale from the brand string's frequency,
// offset 0, sequence moved on, written in the order the page's readers
// need.
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

} // namespace

_Use_decl_annotations_
VOID RebuildReferenceTscPage(ULONG64 SavedReferenceTsc)
{
    if ((SavedReferenceTsc & ReferenceTscEnable) == 0) {
        return;
    }
    auto* page = static_cast<ReferenceTscPage*>(
        MapIoSpace(SavedReferenceTsc & ReferenceTscAddressMask, ReferenceTscPageSize, PAGE_READWRITE,
                   MmCached));
    if (page == nullptr) {
        return;
    }

    ULONG64 kilohertz = BrandStringFrequency() / HertzPerKilohertz;
    ULONG64 quotient = kilohertz == 0 ? 0 : ScaleNumerator / kilohertz;
    if (quotient == 0 || quotient > MaxScaleQuotient) {
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
        page->TscScale = quotient << ScaleFractionShift;
        page->TscOffset = 0;
        FullBarrier();
        page->TscSequence = sequence;
    }

    MmUnmapIoSpace(page, ReferenceTscPageSize);
}
