// Kernel memory for the shipped image: carved from one region the
// processor shares, never reused, so a stale pointer never meets a new
// object.
#include "runner/emulator.h"

#include "runner/layout.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

namespace runner {

namespace {

constexpr size_t ArenaSize = 64 << 20;

}  // namespace

void Emulator::CreateArena()
{
    arena_ = static_cast<uint8_t*>(ReserveAt(ArenaAddress, 0, ArenaSize, PROT_READ | PROT_WRITE,
                                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE));
    if (arena_ == MAP_FAILED) {
        std::fprintf(stderr, "vekcrash: emulator: cannot reserve guest memory\n");
        std::abort();
    }
    MapHostPages(reinterpret_cast<uintptr_t>(arena_), ArenaSize, UC_PROT_READ | UC_PROT_WRITE);
    arenaAllocator_ = {ArenaAllocate, ArenaFree, ArenaOwns, this};
}

void* Emulator::ArenaAllocate(size_t size, size_t alignment, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    size_t start = (emulator->arenaUsed_ + alignment - 1) / alignment * alignment;
    if (start + size > ArenaSize) {
        return nullptr;
    }
    emulator->arenaUsed_ = start + size;
    return emulator->arena_ + start;
}

void Emulator::ArenaFree(void*, void*)
{
}

bool Emulator::ArenaOwns(const void* block, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    auto address = static_cast<const uint8_t*>(block);
    return address >= emulator->arena_ && address < emulator->arena_ + ArenaSize;
}

}  // namespace runner
