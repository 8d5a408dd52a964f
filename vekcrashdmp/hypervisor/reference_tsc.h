// The reference TSC page rebuild: when, after a resume, the hypervisor no
// longer offers the reference TSC register, the restore fills in the page
// at the address recorded at load itself (scale, offset, sequence, in the
// format of the Hyper-V Top-Level Functional Specification), taking the
// time stamp counter to run at the processor's rated frequency.
//
// Runs on one processor in the restore's thread and takes no lock; other
// processors may read the page meanwhile, so the page is marked invalid
// while its scale and offset change.
#pragma once

#include "driver/kernel.h"

// Bit 0 of the reference TSC register enables the page; the value with its
// low 12 bits cleared is the page's guest physical address.
constexpr ULONG64 ReferenceTscEnable = 1;
constexpr ULONG64 ReferenceTscAddressMask = ~ULONG64{0xFFF};
constexpr ULONG ReferenceTscPageSize = 4096;

// The page, little-endian. A TscSequence of 0 marks it invalid; readers
// take ((TSC * TscScale) >> 64) + TscOffset, with a 128-bit product, as the
// reference time in 100 ns units, and retry while the sequence changes.
struct ReferenceTscPage {
    volatile ULONG TscSequence;
    ULONG Reserved1;
    volatile ULONG64 TscScale;
    volatile LONGLONG TscOffset;
    UCHAR Reserved2[ReferenceTscPageSize - 24];
};
static_assert(offsetof(ReferenceTscPage, TscScale) == 8, "reference TSC page layout");
static_assert(offsetof(ReferenceTscPage, TscOffset) == 16, "reference TSC page layout");
static_assert(sizeof(ReferenceTscPage) == ReferenceTscPageSize, "reference TSC page layout");

// Writes the page at the address in SavedReferenceTsc (the register value
// recorded at load). TscFrequency is the counter's rate in Hz as the
// hypervisor reports it (HV_X64_MSR_TSC_FREQUENCY), or 0 where it does not:
// the brand string's rated frequency then stands in for it. No access at
// all when bit 0 is clear, nothing written when the page cannot be mapped.
// With no usable frequency the page is marked invalid (sequence 0) and
// nothing else is written. FALSE only when the page could not be mapped:
// it then holds what it held, a register not put back. The mapping routine
// was looked up at load (LookUpIoSpaceRoutines).
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN RebuildReferenceTscPage(ULONG64 SavedReferenceTsc, ULONG64 TscFrequency = 0);
