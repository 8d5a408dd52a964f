// Checked access to driver memory (guest_memory.h) and the bug check a bad
// access by a kernel routine raises.
#include "memory/guest_memory.h"

#include "model/driver_call.h"

#include <cstring>
#include <vector>

namespace model {

namespace {

constexpr ULONG IrqlNotLessOrEqual = 0x0A;
constexpr ULONG PageFaultInNonPagedArea = 0x50;
constexpr ULONG AttemptedWriteToReadonlyMemory = 0xBE;
// PAGE_FAULT_IN_NONPAGED_AREA parameter 2 on x64 since Windows 10 1507.
constexpr ULONG_PTR PageFaultRead = 0;
constexpr ULONG_PTR PageFaultWrite = 2;
// Parameter 4: the address has no valid page table entry.
constexpr ULONG_PTR NotPresentPageTable = 2;
// IRQL_NOT_LESS_OR_EQUAL parameter 3: bit 0 set for a write.
constexpr ULONG_PTR IrqlFaultWrite = 1;

const char* BugCheckName(ULONG code)
{
    switch (code) {
    case IrqlNotLessOrEqual:
        return "IRQL_NOT_LESS_OR_EQUAL";
    case PageFaultInNonPagedArea:
        return "PAGE_FAULT_IN_NONPAGED_AREA";
    default:
        return "ATTEMPTED_WRITE_TO_READONLY_MEMORY";
    }
}

// Where the faulting instruction lies: inside the routine, as the driver
// sees the routine's address.
ULONG_PTR RoutineInstruction(const char* routine)
{
    const RoutineInfo* info = FindRoutine(routine);
    return info != nullptr ? reinterpret_cast<ULONG_PTR>(RoutineAddressFor(*info)) : 0;
}

uint8_t ReadByteAt(uintptr_t address, bool device)
{
    return device ? DeviceReadByte(address) : *reinterpret_cast<const uint8_t*>(address);
}

void WriteByteAt(uintptr_t address, uint8_t value, bool device)
{
    if (device) {
        DeviceWriteByte(address, value);
    } else {
        *reinterpret_cast<uint8_t*>(address) = value;
    }
}

bool IsDevice(uintptr_t address)
{
    std::optional<MemoryRange> range = FindMemory(address);
    return range && range->Kind == MemoryKind::Device;
}

}  // namespace

void RaiseBadAccess(const char* routine, uintptr_t address, MemoryAccess access)
{
    MachineState& s = State();
    bool write = access == MemoryAccess::Write;
    if (OfferToGuard({routine, address, write})) {
        throw DriverCallEnd{};
    }
    std::optional<MemoryRange> range = FindMemory(address);
    ULONG_PTR instruction = RoutineInstruction(routine);
    ULONG code = PageFaultInNonPagedArea;
    ULONG_PTR parameters[4] = {address, write ? PageFaultWrite : PageFaultRead, instruction,
                               NotPresentPageTable};
    if (range && write && !range->Writable) {
        code = AttemptedWriteToReadonlyMemory;
        parameters[1] = 0;
        parameters[2] = 0;
        parameters[3] = 0;
    } else if (CurrentIrql() >= DISPATCH_LEVEL) {
        code = IrqlNotLessOrEqual;
        parameters[1] = CurrentIrql();
        parameters[2] = write ? IrqlFaultWrite : 0;
        parameters[3] = instruction;
    }
    if (s.InBugCheck) {
        // A page fault at HIGH_LEVEL inside the bug check: a second one.
        Violation("%s %s %s, which is no valid kernel memory", routine,
                  write ? "wrote to" : "read", AddressText(address).c_str());
        NestedBugCheck(code, routine);
    } else {
        Violation("%s %s %s, which is no valid kernel memory: bug check 0x%X %s", routine,
                  write ? "wrote to" : "read", AddressText(address).c_str(), code,
                  BugCheckName(code));
        if (!s.Stopped) {
            BugCheck(code, parameters, s.Current);
        }
    }
    s.EndingCall = true;
    throw DriverCallEnd{};
}

void Require(const char* routine, const void* address, size_t size, MemoryAccess access)
{
    if (std::optional<uintptr_t> bad = FirstInvalid(reinterpret_cast<uintptr_t>(address), size,
                                                    access)) {
        RaiseBadAccess(routine, *bad, access);
    }
}

void RequireMemory(const char* routine, const void* address, size_t size, MemoryAccess access)
{
    Require(routine, address, size, access);
    auto start = reinterpret_cast<uintptr_t>(address);
    if (OverlapsDevice(start, size)) {
        for (size_t i = 0; i < size; ++i) {
            if (IsDevice(start + i)) {
                RaiseBadAccess(routine, start + i, access);
            }
        }
    }
}

void CopyFromDriver(const char* routine, void* to, const void* from, size_t size)
{
    Require(routine, from, size, MemoryAccess::Read);
    auto source = reinterpret_cast<uintptr_t>(from);
    if (!OverlapsDevice(source, size)) {
        std::memcpy(to, from, size);
        return;
    }
    auto* bytes = static_cast<uint8_t*>(to);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = ReadByteAt(source + i, IsDevice(source + i));
    }
}

void CopyToDriver(const char* routine, void* to, const void* from, size_t size)
{
    Require(routine, to, size, MemoryAccess::Write);
    auto target = reinterpret_cast<uintptr_t>(to);
    if (!OverlapsDevice(target, size)) {
        std::memcpy(to, from, size);
        return;
    }
    const auto* bytes = static_cast<const uint8_t*>(from);
    for (size_t i = 0; i < size; ++i) {
        WriteByteAt(target + i, bytes[i], IsDevice(target + i));
    }
}

void FillForDriver(const char* routine, void* to, int value, size_t size)
{
    Require(routine, to, size, MemoryAccess::Write);
    auto target = reinterpret_cast<uintptr_t>(to);
    if (!OverlapsDevice(target, size)) {
        std::memset(to, value, size);
        return;
    }
    for (size_t i = 0; i < size; ++i) {
        WriteByteAt(target + i, static_cast<uint8_t>(value), IsDevice(target + i));
    }
}

void MoveForDriver(const char* routine, void* to, const void* from, size_t size)
{
    Require(routine, from, size, MemoryAccess::Read);
    Require(routine, to, size, MemoryAccess::Write);
    auto source = reinterpret_cast<uintptr_t>(from);
    auto target = reinterpret_cast<uintptr_t>(to);
    if (!OverlapsDevice(source, size) && !OverlapsDevice(target, size)) {
        std::memmove(to, from, size);
        return;
    }
    std::vector<uint8_t> staged(size);
    CopyFromDriver(routine, staged.data(), from, size);
    CopyToDriver(routine, to, staged.data(), size);
}

std::u16string ReadWideText(const char* routine, const char16_t* text, size_t limit)
{
    std::u16string read;
    auto base = reinterpret_cast<uintptr_t>(text);
    for (size_t i = 0; i < limit; ++i) {
        // Address arithmetic in integers: a wild pointer may sit anywhere.
        char16_t unit = ReadFromDriver(
            routine, reinterpret_cast<const char16_t*>(base + i * sizeof(char16_t)));
        if (unit == 0) {
            break;
        }
        read.push_back(unit);
    }
    return read;
}

std::string ReadNarrowText(const char* routine, const char* text, size_t limit)
{
    std::string read;
    auto base = reinterpret_cast<uintptr_t>(text);
    for (size_t i = 0; i < limit; ++i) {
        char unit = ReadFromDriver(routine, reinterpret_cast<const char*>(base + i));
        if (unit == 0) {
            break;
        }
        read.push_back(unit);
    }
    return read;
}

bool DriverCallEnding()
{
    MachineState& s = State();
    return s.Stopped || s.EndingCall;
}

}  // namespace model
