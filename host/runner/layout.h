// Fixed numbers of the emulated machine that more than one part of the
// runner needs: page size, where trampolines and sentinels sit, the shape
// of a call under the Microsoft x64 convention.
#pragma once

#include <unicorn/unicorn.h>

#include <cstddef>
#include <cstdint>

namespace runner {

constexpr uint64_t PageSize = 4096;

// Kernel-half addresses with nothing mapped: calls to imports land on a
// trampoline slot, and every call into the driver returns to a sentinel.
constexpr uint64_t TrampolineBase = 0xFFFFF80000000000ull;
constexpr uint64_t TrampolineSlot = 16;
constexpr uint64_t SentinelBase = 0xFFFFF80100000000ull;
constexpr uint64_t SentinelSlot = 16;

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

// The emulator cannot go on without what failed (memory, the engine).
[[noreturn]] void Fatal(const char* what, uc_err error);

}  // namespace runner
