// The guest's kernel stacks. Each is kernel-sized with an unmapped guard
// below it, as a thread's kernel stack is: a driver that overflows it runs
// into the guard, and the exception that cannot push its frame becomes the
// double fault the kernel reports. A spare stack (the kernel's double fault
// and bug check stacks play this part) takes any call into the driver made
// while the current stack pointer is spent or wild: frames the runner
// writes go only to stack memory it has checked, never where the guest
// points.
#include "runner/emulator.h"

#include "runner/layout.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace runner {

namespace {

// A kernel thread's stack on x64 (KERNEL_STACK_SIZE).
constexpr size_t KernelStackSize = 0x6000;
// Unmapped below each stack: one guard page in the kernel; more here so
// that a frame bigger than a page, which the driver allocates without
// probing, still lands on nothing.
constexpr size_t GuardSize = 16 * PageSize;
// What an exception pushes on x64 (SS, RSP, RFLAGS, CS, RIP, error code).
constexpr uint64_t ExceptionFrameSize = 6 * 8;
// Room a call from inside another must find below the stack pointer on the
// same stack; with less, it goes to the spare stack.
constexpr uint64_t NestedCallRoom = 8 * 1024;

}  // namespace

Emulator::GuestStack Emulator::CreateStack(uint64_t address)
{
    // A host guard above the top as well: a host routine that runs off the
    // top of a guest stack meets it instead of the host's data.
    void* region = ReserveAt(address, 0, GuardSize + KernelStackSize + PageSize, PROT_NONE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE);
    if (region == MAP_FAILED) {
        std::fprintf(stderr, "vekcrash: emulator: cannot reserve a guest stack\n");
        std::abort();
    }
    auto low = reinterpret_cast<uintptr_t>(region) + GuardSize;
    if (mprotect(reinterpret_cast<void*>(low), KernelStackSize, PROT_READ | PROT_WRITE) != 0) {
        std::fprintf(stderr, "vekcrash: emulator: cannot commit a guest stack\n");
        std::abort();
    }
    // Only the stack itself is shared; the guard stays unmapped for both.
    MapHostPages(low, KernelStackSize, UC_PROT_READ | UC_PROT_WRITE);
    // Kernel routines may touch it, as they may any guest memory.
    model::EnterHostMemory(low, KernelStackSize, true, "the guest stack");
    return GuestStack{low, low + KernelStackSize};
}

bool Emulator::OnStack(uint64_t address, uint64_t size) const
{
    for (const GuestStack* stack : {&lane_.Stack, &lane_.Spare}) {
        if (address >= stack->Low && address <= stack->High && size <= stack->High - address) {
            return true;
        }
    }
    return false;
}

uint64_t Emulator::NestedCallEntry(uint64_t rsp, uint64_t frameSize)
{
    for (const GuestStack* stack : {&lane_.Stack, &lane_.Spare}) {
        if (rsp <= stack->Low + NestedCallRoom + frameSize + 16 || rsp + 8 > stack->High) {
            continue;
        }
        // Just after a call the stack pointer is 8 past a 16-byte boundary.
        if (rsp % 16 == 8) {
            return rsp;
        }
        // No call's return slot (the runner set the stack pointer itself,
        // for an exception filter): a fresh slot below it ends a walk.
        uint64_t slot = ((rsp - 8) & ~uint64_t{15}) - 8;
        uint64_t sentinel = SentinelBase;
        std::memcpy(reinterpret_cast<void*>(slot), &sentinel, sizeof(sentinel));
        return slot;
    }
    uint64_t returnAddress = 0;
    uc_mem_read(uc_, rsp, &returnAddress, sizeof(returnAddress));
    uint64_t slot = (lane_.Spare.High & ~uint64_t{15}) - 8;
    std::memcpy(reinterpret_cast<void*>(slot), &returnAddress, sizeof(returnAddress));
    return slot;
}

bool Emulator::ExceptionFrameFits(uint64_t rsp) const
{
    if (rsp < ExceptionFrameSize) {
        return false;
    }
    uint64_t low = rsp - ExceptionFrameSize;
    uc_mem_region* regions = nullptr;
    uint32_t count = 0;
    if (uc_mem_regions(uc_, &regions, &count) != UC_ERR_OK) {
        return false;
    }
    bool fits = false;
    for (uint32_t i = 0; i < count && !fits; ++i) {
        // Region ends are inclusive.
        fits = (regions[i].perms & UC_PROT_WRITE) != 0 && low >= regions[i].begin &&
               rsp - 1 <= regions[i].end;
    }
    uc_free(regions);
    return fits;
}

}  // namespace runner
