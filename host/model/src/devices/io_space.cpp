// Device space: I/O ports and physical memory routed to the device models,
// and mappings of device memory into system space. A mapping's address lies
// in a reserved, inaccessible host region, so driver code that touches
// device memory without the register shims faults at once, and an access
// outside every live mapping is reported.
#include "core/machine_state.h"
#include "core/model_lock.h"

#include "model/address_space.h"
#include "model/kernel_memory.h"

#include <sys/mman.h>

namespace model {

namespace {

constexpr size_t PageSize = 4096;
constexpr size_t MappingRegionSize = size_t{1} << 30;
constexpr uint8_t FloatingBus = 0xFF;  // what a read with nothing behind it returns

const IoMappingObserver* Observer = nullptr;

uintptr_t MappingRegion = 0;
uintptr_t NextMappingPage = 0;

const IoMapping* FindMapping(uintptr_t address)
{
    for (const IoMapping& mapping : State().Mappings) {
        if (address >= mapping.Virtual && address < mapping.Virtual + mapping.Size) {
            return &mapping;
        }
    }
    return nullptr;
}

Uart16550* UartForVirtual(const char* access, const volatile UCHAR* address, uint8_t* offset)
{
    auto virt = reinterpret_cast<uintptr_t>(address);
    const IoMapping* mapping = FindMapping(virt);
    if (mapping == nullptr) {
        Violation("%s of unmapped device memory at %s", access, Hex(virt).c_str());
        return nullptr;
    }
    return UartAtPhysical(mapping->Physical + (virt - mapping->Virtual), offset);
}

}  // namespace

// The host memory standing for physical RAM, when [physical, physical +
// size) lies inside one RAM range of the machine; null otherwise.
uint8_t* RamBehind(uint64_t physical, size_t size)
{
    MachineState& s = State();
    for (const PhysicalRam& ram : s.Config.Ram) {
        if (physical < ram.Address || physical - ram.Address > ram.Size ||
            size > ram.Size - (physical - ram.Address)) {
            continue;
        }
        for (const PhysicalRamBacking& backing : s.RamBacking) {
            if (backing.Physical == ram.Address) {
                return static_cast<uint8_t*>(backing.Host) + (physical - ram.Address);
            }
        }
        void* host = AllocateUnenteredKernelMemory(ram.Size, PageSize);
        if (host == nullptr) {
            return nullptr;
        }
        s.RamBacking.push_back(PhysicalRamBacking{ram.Address, ram.Size, host});
        // Taken before the hypervisor hears of the memory: filling its page
        // may add RAM to the machine, which moves the range `ram` names.
        uint8_t* result = static_cast<uint8_t*>(host) + (physical - ram.Address);
        PhysicalRamMade();
        return result;
    }
    return nullptr;
}

namespace {

PVOID MapDeviceMemory(const char* routine, uint64_t physical, SIZE_T size, bool cached)
{
    if (size == 0) {
        Violation("%s of 0 bytes", routine);
        return nullptr;
    }
    // The kernel refuses a range that wraps or that no address space could
    // hold.
    if (size > MappingRegionSize || physical + size < physical) {
        return nullptr;
    }
    if (cached && PhysicalRangeHasDevice(physical, size)) {
        Violation("%s maps device registers at %s cacheable", routine, Hex(physical).c_str());
    }
    MemoryRange range;
    range.Size = size;
    if (uint8_t* ram = RamBehind(physical, size)) {
        // Plain memory: the processor reaches it directly, no device
        // routing.
        range.Start = reinterpret_cast<uintptr_t>(ram);
        range.What = "mapped physical RAM";
        MemoryRangeId id = EnterMemory(range, MemoryOwner::Kernel);
        State().Mappings.push_back(IoMapping{physical, size, range.Start, cached, true, id});
        return ram;
    }
    uintptr_t virt = ReserveMappingAddress(physical, size);
    if (virt == 0) {
        return nullptr;
    }
    range.Start = virt;
    range.Kind = MemoryKind::Device;
    range.What = "mapped device memory";
    MemoryRangeId id = EnterMemory(range, MemoryOwner::Kernel);
    State().Mappings.push_back(IoMapping{physical, size, virt, cached, false, id});
    NotifyMapped(virt, size);
    return reinterpret_cast<PVOID>(virt);
}

}  // namespace

void SetIoMappingObserver(const IoMappingObserver* observer)
{
    Observer = observer;
}

void NotifyMapped(uintptr_t address, size_t size)
{
    if (Observer != nullptr) {
        Observer->Mapped(address, size, Observer->Context);
    }
}

void NotifyUnmapped(uintptr_t address, size_t size)
{
    if (Observer != nullptr) {
        Observer->Unmapped(address, size, Observer->Context);
    }
}

uintptr_t ReserveMappingAddress(uint64_t physical, size_t size)
{
    if (MappingRegion == 0) {
        void* region = mmap(nullptr, MappingRegionSize, PROT_NONE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (region == MAP_FAILED) {
            return 0;
        }
        MappingRegion = reinterpret_cast<uintptr_t>(region);
    }
    if (size > MappingRegionSize) {
        return 0;
    }
    size_t pageOffset = physical % PageSize;
    size_t pages = (pageOffset + size + PageSize - 1) / PageSize;
    // Addresses are never reused, so a stale pointer to an old mapping
    // never reaches a new one.
    if ((NextMappingPage + pages + 1) * PageSize > MappingRegionSize) {
        return 0;
    }
    uintptr_t virt = MappingRegion + NextMappingPage * PageSize + pageOffset;
    NextMappingPage += pages + 1;
    return virt;
}

uint8_t DeviceReadByte(uintptr_t address)
{
    uint8_t offset = 0;
    Uart16550* uart = UartForVirtual("read", reinterpret_cast<const volatile UCHAR*>(address), &offset);
    return uart != nullptr ? uart->Read(offset) : FloatingBus;
}

void DeviceWriteByte(uintptr_t address, uint8_t value)
{
    uint8_t offset = 0;
    if (Uart16550* uart =
            UartForVirtual("write", reinterpret_cast<const volatile UCHAR*>(address), &offset)) {
        uart->Write(offset, value);
    }
}

Uart16550* UartAtPort(uint16_t port, uint8_t* offset)
{
    for (auto& uart : State().Uarts) {
        const UartConfig& config = uart->Config();
        if (!config.MemoryMapped && port >= config.Address &&
            port < config.Address + Uart16550::RegisterCount) {
            *offset = static_cast<uint8_t>(port - config.Address);
            return uart.get();
        }
    }
    return nullptr;
}

Uart16550* UartAtPhysical(uint64_t physical, uint8_t* offset)
{
    for (auto& uart : State().Uarts) {
        const UartConfig& config = uart->Config();
        if (config.MemoryMapped && physical >= config.Address &&
            physical < config.Address + Uart16550::RegisterCount) {
            *offset = static_cast<uint8_t>(physical - config.Address);
            return uart.get();
        }
    }
    return nullptr;
}

bool PhysicalRangeHasDevice(uint64_t physical, size_t size)
{
    for (auto& uart : State().Uarts) {
        const UartConfig& config = uart->Config();
        if (config.MemoryMapped && physical < config.Address + Uart16550::RegisterCount &&
            config.Address < physical + size) {
            return true;
        }
    }
    return false;
}

}  // namespace model

using namespace model;

extern "C" PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                              MEMORY_CACHING_TYPE CacheType)
{
    KernelScope kernel;
    auto physical = static_cast<uint64_t>(PhysicalAddress.QuadPart);
    auto fault = EnterRoutine("MmMapIoSpace", DISPATCH_LEVEL, AtBugCheck::Forbidden,
                              Hex(physical) + " size=" + std::to_string(NumberOfBytes) +
                                  " cache=" + std::to_string(CacheType));
    if (fault) {
        return nullptr;
    }
    return MapDeviceMemory("MmMapIoSpace", physical, NumberOfBytes, CacheType != MmNonCached);
}

extern "C" PVOID MmMapIoSpaceEx(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                                ULONG Protect)
{
    KernelScope kernel;
    constexpr ULONG PageProtections = 0xFF;
    auto physical = static_cast<uint64_t>(PhysicalAddress.QuadPart);
    auto fault = EnterRoutine("MmMapIoSpaceEx", DISPATCH_LEVEL, AtBugCheck::Forbidden,
                              Hex(physical) + " size=" + std::to_string(NumberOfBytes) +
                                  " protect=" + Hex(Protect));
    if ((Protect & PageProtections) == 0) {
        Violation("MmMapIoSpaceEx with protection %s, which names no page protection",
                  Hex(Protect).c_str());
        return nullptr;
    }
    if (fault) {
        return nullptr;
    }
    // Only PAGE_NOCACHE is uncached: write combining (0x400) may merge or
    // delay register writes, as MmWriteCombined does for MmMapIoSpace.
    return MapDeviceMemory("MmMapIoSpaceEx", physical, NumberOfBytes,
                           (Protect & PAGE_NOCACHE) == 0);
}

extern "C" VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes)
{
    KernelScope kernel;
    EnterRoutine("MmUnmapIoSpace", DISPATCH_LEVEL, AtBugCheck::Forbidden,
                 "size=" + std::to_string(NumberOfBytes));
    MachineState& s = State();
    auto virt = reinterpret_cast<uintptr_t>(BaseAddress);
    for (auto it = s.Mappings.begin(); it != s.Mappings.end(); ++it) {
        if (it->Virtual == virt) {
            if (it->Size != NumberOfBytes) {
                Violation("MmUnmapIoSpace of %zu bytes; the mapping has %zu",
                          static_cast<size_t>(NumberOfBytes), it->Size);
            }
            size_t size = it->Size;
            bool ram = it->Ram;
            RemoveMemory(it->Range);
            s.Mappings.erase(it);
            if (!ram) {
                NotifyUnmapped(virt, size);
            }
            return;
        }
    }
    Violation("MmUnmapIoSpace on %s, which is no live mapping", Hex(virt).c_str());
}

extern "C" UCHAR ModelPortReadByte(USHORT Port)
{
    KernelScope kernel;
    uint8_t offset = 0;
    Uart16550* uart = UartAtPort(Port, &offset);
    return uart != nullptr ? uart->Read(offset) : FloatingBus;
}

extern "C" void ModelPortWriteByte(USHORT Port, UCHAR Value)
{
    KernelScope kernel;
    // The chipset's reset control register: bit 2 starts a reset, which
    // ends the machine with no bug check and no report. The port is the
    // platform's, never a driver's to write.
    constexpr USHORT ResetControlPort = 0xCF9;
    constexpr UCHAR ResetCpu = 0x04;
    if (Port == ResetControlPort) {
        if ((Value & ResetCpu) != 0) {
            Violation("driver code wrote 0x%02X to the reset control port 0xCF9: the machine "
                      "resets there, with no bug check and no report (stopped)",
                      Value);
            HaltMachine();
        } else {
            Violation("driver code wrote 0x%02X to the reset control port 0xCF9, which is the "
                      "platform's (write ignored)",
                      Value);
        }
        return;
    }
    uint8_t offset = 0;
    if (Uart16550* uart = UartAtPort(Port, &offset)) {
        uart->Write(offset, Value);
    }
}

extern "C" UCHAR ModelRegisterReadByte(const volatile UCHAR* Address)
{
    KernelScope kernel;
    uint8_t offset = 0;
    Uart16550* uart = UartForVirtual("read", Address, &offset);
    return uart != nullptr ? uart->Read(offset) : FloatingBus;
}

extern "C" void ModelRegisterWriteByte(volatile UCHAR* Address, UCHAR Value)
{
    KernelScope kernel;
    uint8_t offset = 0;
    if (Uart16550* uart = UartForVirtual("write", Address, &offset)) {
        uart->Write(offset, Value);
    }
}
