// Memory the model kernel hands to the driver: pool blocks, device objects
// and their extensions, the driver object, the strings and records it
// passes to callbacks. By default it comes from the host heap, so that a
// sanitizer sees every misuse by the host build. A runner that executes the
// shipped image on an emulated processor installs its own allocator, whose
// memory the emulated processor can reach at the same addresses.
#pragma once

#include <cstddef>

namespace model {

struct KernelMemoryAllocator {
    void* (*Allocate)(size_t size, size_t alignment, void* context);
    void (*Free)(void* block, void* context);
    // Whether the block came from this allocator (frees are routed by it).
    bool (*Owns)(const void* block, void* context);
    void* Context;
};

// Null goes back to the host heap. Blocks are always freed by the allocator
// that made them, whichever is installed at the time.
void SetKernelMemoryAllocator(const KernelMemoryAllocator* allocator);

// Zero-filled, aligned to at least 16 bytes, and entered in the address
// space map (address_space.h) until freed. Null when the request is larger
// than the model's pool can give.
void* AllocateKernelMemory(size_t size, size_t alignment = 16);
// The same, left out of the map: memory that becomes valid only while it is
// mapped (host memory standing for physical RAM).
void* AllocateUnenteredKernelMemory(size_t size, size_t alignment = 16);
void FreeKernelMemory(void* block);

}  // namespace model
