// Allocation of memory the driver can see (see kernel_memory.h).
#include "model/kernel_memory.h"

#include "core/machine_state.h"
#include "model/address_space.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace model {

namespace {

constexpr size_t MinimumAlignment = 16;
// The largest block the model's pool gives; a bigger request fails, as it
// fails on a kernel whose pool cannot hold it. It also keeps a size near
// 2^64 from wrapping when it is rounded up.
constexpr size_t LargestBlock = size_t{256} << 20;

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
    void* block = AllocateUnenteredKernelMemory(size, alignment);
    if (block != nullptr) {
        MemoryRange range;
        range.Start = reinterpret_cast<uintptr_t>(block);
        range.Size = size;
        range.What = "kernel memory";
        EnterMemory(range, MemoryOwner::Kernel);
    }
    return block;
}

void* AllocateUnenteredKernelMemory(size_t size, size_t alignment)
{
    if (size > LargestBlock || alignment > LargestBlock) {
        return nullptr;
    }
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
    RemoveKernelMemoryAt(reinterpret_cast<uintptr_t>(block));
    for (const KernelMemoryAllocator& known : Known) {
        if (known.Owns(block, known.Context)) {
            known.Free(block, known.Context);
            return;
        }
    }
    std::free(block);
}

KernelObject NewKernelObject()
{
    auto* object = static_cast<uint64_t*>(AllocateKernelMemory(sizeof(uint64_t)));
    if (object == nullptr) {
        std::abort();  // eight bytes: only a broken allocator refuses them
    }
    return KernelObject(object);
}

void KernelObjectRelease::operator()(uint64_t* object) const
{
    FreeKernelMemory(object);
}

}  // namespace model
