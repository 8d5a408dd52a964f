// Pool: tagged blocks, the zero flag, pool types and their IRQL limits,
// wrong-tag and double frees. Blocks are real heap memory, freed for real,
// so a sanitizer sees any use after free.
#include "core/machine_state.h"
#include "core/model_lock.h"

#include "model/driver_call.h"
#include "model/kernel_memory.h"

#include <cstdlib>
#include <cstring>

namespace model {

namespace {

constexpr ULONG QuotaFailInsteadOfRaise = 0x8;
constexpr ULONG ZeroFillFlag = 0x400;
constexpr ULONG ProtectedPoolBit = 0x80000000;
constexpr size_t PoolAlignment = 16;
// What a block holds when nobody zeroed it: never mistaken for zeros.
constexpr int UninitialisedPoolByte = 0xA5;

bool IsPagedType(ULONG base)
{
    return base == PagedPool || base == PagedPoolCacheAligned;
}

bool IsKnownType(ULONG base)
{
    return base == NonPagedPool || base == PagedPool || base == NonPagedPoolCacheAligned ||
           base == PagedPoolCacheAligned || base == NonPagedPoolNx ||
           base == NonPagedPoolNxCacheAligned;
}

PVOID Allocate(const char* routine, POOL_TYPE type, SIZE_T size, ULONG tag, ULONG allowedFlags)
{
    ULONG flags = static_cast<ULONG>(type) & (QuotaFailInsteadOfRaise | ZeroFillFlag);
    ULONG base = static_cast<ULONG>(type) & ~(QuotaFailInsteadOfRaise | ZeroFillFlag);
    KIRQL maxIrql = IsPagedType(base) ? APC_LEVEL : DISPATCH_LEVEL;
    std::string detail = "type=" + std::to_string(static_cast<ULONG>(type)) +
                         " size=" + std::to_string(size) + " tag=" + TagText(tag);
    auto fault = EnterRoutine(routine, maxIrql, AtBugCheck::Forbidden, detail);
    if (!IsKnownType(base) || (flags & ~allowedFlags) != 0) {
        Violation("%s with pool type %u, which this kernel does not offer", routine,
                  static_cast<ULONG>(type));
        return nullptr;
    }
    if (fault) {
        return nullptr;
    }

    void* block = AllocateKernelMemory(size, PoolAlignment);
    if (block == nullptr) {
        return nullptr;
    }
    bool zero = (flags & ZeroFillFlag) != 0 && State().Config.Zeroing == PoolZeroing::Supported;
    std::memset(block, zero ? 0 : UninitialisedPoolByte, size);

    MachineState& s = State();
    s.Pool[block] = PoolBlock{type, size, tag};
    s.FreedBlocks.erase(block);
    return block;
}

}  // namespace

void* AllocatePoolForDriver(POOL_TYPE type, size_t size, ULONG tag)
{
    void* block = AllocateKernelMemory(size, PoolAlignment);
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, UninitialisedPoolByte, size);
    MachineState& s = State();
    s.Pool[block] = PoolBlock{type, size, tag};
    s.FreedBlocks.erase(block);
    return block;
}

std::map<ULONG, size_t> LivePoolBlocks()
{
    std::map<ULONG, size_t> byTag;
    for (const auto& [block, info] : State().Pool) {
        (void)block;
        ++byTag[info.Tag];
    }
    return byTag;
}

}  // namespace model

using namespace model;

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    KernelScope kernel;
    return Allocate("ExAllocatePoolWithTag", PoolType, NumberOfBytes, Tag, ZeroFillFlag);
}

extern "C" PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    {
        KernelScope kernel;
        PVOID block = Allocate("ExAllocatePoolWithQuotaTag", PoolType, NumberOfBytes, Tag,
                               ZeroFillFlag | QuotaFailInsteadOfRaise);
        if (block != nullptr || (static_cast<ULONG>(PoolType) & QuotaFailInsteadOfRaise) != 0 ||
            State().Stopped) {
            return block;
        }
        // Without POOL_QUOTA_FAIL_INSTEAD_OF_RAISE a failed quota allocation
        // raises STATUS_INSUFFICIENT_RESOURCES in the caller, which nothing
        // handles here: a bug check, 0x7E in a system thread, else 0x1E.
        DriverFault fault{};
        fault.Kind = DriverFaultKind::Exception;
        fault.Rip = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
        fault.Address = fault.Rip;
        fault.ExceptionCode = static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES);
        fault.What = "let ExAllocatePoolWithQuotaTag raise its failure";
        RaiseDriverFault(fault);
    }
    throw DriverCallEnd{};
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    KernelScope kernel;
    MachineState& s = State();
    auto found = s.Pool.find(P);
    KIRQL maxIrql = DISPATCH_LEVEL;
    if (found != s.Pool.end() &&
        IsPagedType(static_cast<ULONG>(found->second.Type) & ~(QuotaFailInsteadOfRaise | ZeroFillFlag))) {
        maxIrql = APC_LEVEL;
    }
    EnterRoutine("ExFreePoolWithTag", maxIrql, AtBugCheck::Forbidden, "tag=" + TagText(Tag));
    if (found == s.Pool.end()) {
        if (s.FreedBlocks.count(P) != 0) {
            Violation("double free of pool block %s",
                      AddressText(reinterpret_cast<uintptr_t>(P)).c_str());
        } else {
            Violation("ExFreePoolWithTag on %s, which is no pool block",
                      AddressText(reinterpret_cast<uintptr_t>(P)).c_str());
        }
        return;
    }
    if (s.AnsiStrings.count(P) != 0) {
        Violation("ExFreePoolWithTag on %s, an ANSI string that only RtlFreeAnsiString may free",
                  AddressText(reinterpret_cast<uintptr_t>(P)).c_str());
        return;
    }
    // Tag 0 asks for no check; the protected bit is not part of the tag.
    if (Tag != 0 && (Tag & ~ProtectedPoolBit) != (found->second.Tag & ~ProtectedPoolBit)) {
        Violation("pool block tagged '%s' freed with tag '%s'",
                  TagText(found->second.Tag).c_str(), TagText(Tag).c_str());
    }
    s.Pool.erase(found);
    s.FreedBlocks.insert(P);
    FreeKernelMemory(P);
}
