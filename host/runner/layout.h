// Fixed numbers of the emulated machine that more than one part of the
// runner needs: page size, where trampolines and sentinels sit, the shape
// of a call under the Microsoft x64 convention.
#pragma once

#include "model/image_registry.h"

#include <unicorn/unicorn.h>

#include <cstddef>
#include <cstdint>

namespace runner {

constexpr uint64_t PageSize = 4096;

// Kernel-half addresses with nothing mapped: calls to imports land on a
// trampoline slot, and the outermost KxCallDriver returns to a sentinel.
constexpr uint64_t TrampolineBase = 0xFFFFF80000000000ull;
constexpr uint64_t TrampolineSlot = 16;
constexpr uint64_t SentinelBase = 0xFFFFF80100000000ull;
// The host services the kernel image calls through KiHostServices: an
// unmapped address each, like the trampolines.
constexpr uint64_t HostServiceBase = 0xFFFFF80200000000ull;
constexpr uint64_t HostServiceBugCheck = HostServiceBase;

// The end address uc_emu_start asks for, which the engine ignores: runs end
// only at code hooks and faults (see Emulator::Emulator).
constexpr uint64_t NoExit = 0;

constexpr uint64_t ShadowSpace = 32;
constexpr size_t RegisterArguments = 4;
constexpr size_t MaxArguments = 16;

inline constexpr int ArgumentRegisters[RegisterArguments] = {UC_X86_REG_RCX, UC_X86_REG_RDX,
                                                             UC_X86_REG_R8, UC_X86_REG_R9};

constexpr uint64_t PageDown(uint64_t value)
{
    return value & ~(PageSize - 1);
}

constexpr uint64_t PageUp(uint64_t value)
{
    return (value + PageSize - 1) & ~(PageSize - 1);
}

// Where the runner maps what the kernel keeps in the kernel half, at fixed
// addresses so that every run lays out the same: the image registry's
// kernel-half bases with the top bits replaced (kernel-half addresses cannot
// be host mappings; these user-half ones can). The high user region they are
// moved to is free in a plain process and in AddressSanitizer's layout, whose
// shadow memory covers everything from about 0x7FFF8000 to 0x10007FFF8000. An
// image loaded while another holds the address goes a slot further up; an
// image gone leaves its addresses free (Emulator::UnmapImage).
constexpr uint64_t UserHalfMask = model::UserHalfMask;
constexpr uint64_t HighUserRegion = model::HighUserRegion;
// The image registry's bases: host build and runner alike.
constexpr uint64_t KernelImageAddress = model::KernelImageBase;
constexpr uint64_t DriverImageAddress = model::DriverImageBase;
constexpr uint64_t ImageSlotSize = 64ull << 20;  // the largest image taken
// Test drivers (machine.test_drivers) lie at a base of their own between
// the driver's slots, and their later copies a slot further up.
constexpr uint64_t TestDriverImageAddress = HighUserRegion | (0xFFFFF8054C000000ull & UserHalfMask);
// Each virtual processor's lane has a kernel stack and a spare one, in a
// slot of its own: lane n's at KernelStackAddress + n * LaneStackStride.
constexpr uint64_t KernelStackAddress = HighUserRegion | 0x0000080600000000ull;
constexpr uint64_t SpareStackOffset = 0x100000;
constexpr uint64_t LaneStackStride = 0x200000;
constexpr uint64_t ArenaAddress = HighUserRegion | 0x0000080700000000ull;

// Reserves size bytes at address, or, when that range is taken, at the next
// free slot of slotSize above it (slotSize 0: no other), or else wherever
// the host puts it. Returns MAP_FAILED when the host has no memory.
void* ReserveAt(uint64_t address, uint64_t slotSize, size_t size, int protection, int flags);

// The emulator cannot go on without what failed (memory, the engine).
[[noreturn]] void Fatal(const char* what, uc_err error);

}  // namespace runner
