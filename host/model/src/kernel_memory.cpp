// Allocation of memory the driver can see (see kernel_memory.h).
#include "model/kernel_memory.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace model {

namespace {

constexpr size_t MinimumAlignment = 16;

const KernelMemoryAllocator* Installed = nullptr;
// Every allocator ever installed, so that a block outliving its allocator's
// turn still goes back to it.
std::vector<KernelMemoryAllocator> Known;

}  // namespace

void SetKernelMemoryAllocator(const KernelMemoryAllocator* allocator)
{
    Installed = allocator;
    if (allocator == nullptr) {
        return;
    }
    for (const KernelMemoryAllocator& known : Known) {
        if (known.Context == allocator->Context && known.Allocate == allocator->Allocate) {
            return;
        }
    }
    Known.push_back(*allocator);
}

void* AllocateKernelMemory(size_t size, size_t alignment)
{
    if (alignment < MinimumAlignment) {
        alignment = MinimumAlignment;
    }
    size_t rounded = (size + alignment - 1) / alignment * alignment;
    if (rounded == 0) {
        rounded = alignment;
    }
    void* block = Installed != nullptr ? Installed->Allocate(rounded, alignment, Installed->Context)
                                       : std::aligned_alloc(alignment, rounded);
    if (block != nullptr) {
        std::memset(block, 0, rounded);
    }
    return block;
}

void FreeKernelMemory(void* block)
{
    if (block == nullptr) {
        return;
    }
    for (const KernelMemoryAllocator& known : Known) {
        if (known.Owns(block, known.Context)) {
            known.Free(block, known.Context);
            return;
        }
    }
    std::free(block);
}

}  // namespace model
