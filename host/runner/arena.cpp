// Kernel memory for the shipped image: carved from one region the
// processor shares. A freed block waits in quarantine until a quarter megabyte of
// later frees has passed it, and only then is carved again: a stale pointer
// meets its old bytes, not a new object, for as long as a driver's short
// bugs need, and load/unload cycles without end take the same pages again.
#include "runner/emulator.h"

#include "runner/layout.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

namespace runner {

namespace {

constexpr size_t ArenaSize = 64 << 20;
// Freed bytes held back before the oldest of them may be carved again.
constexpr size_t QuarantineBytes = 256 << 10;

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
    Arena& arena = emulator->arenaBlocks_;
    // The lowest free run that holds the block, else fresh bytes past the
    // end: the same requests in the same order take the same addresses.
    size_t start = 0;
    bool found = false;
    for (auto run = arena.Free.begin(); run != arena.Free.end(); ++run) {
        const auto [runStart, runSize] = *run;
        size_t aligned = (runStart + alignment - 1) / alignment * alignment;
        if (aligned + size > runStart + runSize) {
            continue;
        }
        arena.Free.erase(run);
        if (aligned > runStart) {
            arena.Free[runStart] = aligned - runStart;
        }
        if (aligned + size < runStart + runSize) {
            arena.Free[aligned + size] = runStart + runSize - (aligned + size);
        }
        start = aligned;
        found = true;
        break;
    }
    if (!found) {
        start = (arena.Used + alignment - 1) / alignment * alignment;
        if (start + size > ArenaSize) {
            return nullptr;
        }
        arena.Used = start + size;
    }
    arena.Live[start] = size;
    return emulator->arena_ + start;
}

void Emulator::ArenaFree(void* block, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    Arena& arena = emulator->arenaBlocks_;
    auto live = arena.Live.find(static_cast<size_t>(static_cast<uint8_t*>(block) - emulator->arena_));
    if (live == arena.Live.end()) {
        return;  // not a block this arena gave out: nothing to take back
    }
    arena.Quarantine.push_back(*live);
    arena.QuarantinedBytes += live->second;
    arena.Live.erase(live);
    while (arena.QuarantinedBytes > QuarantineBytes) {
        auto [start, size] = arena.Quarantine.front();
        arena.Quarantine.pop_front();
        arena.QuarantinedBytes -= size;
        // Back among the free runs, joined to its neighbours.
        auto next = arena.Free.lower_bound(start);
        if (next != arena.Free.end() && next->first == start + size) {
            size += next->second;
            next = arena.Free.erase(next);
        }
        if (next != arena.Free.begin()) {
            auto previous = std::prev(next);
            if (previous->first + previous->second == start) {
                previous->second += size;
                continue;
            }
        }
        arena.Free[start] = size;
    }
}

bool Emulator::ArenaOwns(const void* block, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    auto address = static_cast<const uint8_t*>(block);
    return address >= emulator->arena_ && address < emulator->arena_ + ArenaSize;
}

size_t Emulator::ArenaBytesInUse() const
{
    return arenaBlocks_.Used;
}

}  // namespace runner
