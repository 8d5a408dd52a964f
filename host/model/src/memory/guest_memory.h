// Checked access to memory a driver hands a kernel routine. Every pointer
// that comes from the driver is read and written through these: a range
// that is not valid for the access (address_space.h) raises the bug check
// the kernel would raise, records a violation naming the routine and the
// address, and ends the driver's call (driver_call.h) - the access itself
// never happens. Device memory goes byte by byte to the device model.
#pragma once

#include "core/machine_state.h"

#include "model/address_space.h"

#include <string>

namespace model {

// Raises the bug check for a bad access by a kernel routine and ends the
// driver's call.
[[noreturn]] void RaiseBadAccess(const char* routine, uintptr_t address, MemoryAccess access);

// Returns only when all of [address, address + size) may be accessed.
void Require(const char* routine, const void* address, size_t size, MemoryAccess access);

// The same, for a record the routine then reads or writes in place: it must
// be plain memory, not device registers.
void RequireMemory(const char* routine, const void* address, size_t size, MemoryAccess access);

void CopyFromDriver(const char* routine, void* to, const void* from, size_t size);
void CopyToDriver(const char* routine, void* to, const void* from, size_t size);
void FillForDriver(const char* routine, void* to, int value, size_t size);
// Both sides are the driver's; they may overlap.
void MoveForDriver(const char* routine, void* to, const void* from, size_t size);

template <typename T>
T ReadFromDriver(const char* routine, const T* from)
{
    T value;
    CopyFromDriver(routine, &value, from, sizeof(T));
    return value;
}

template <typename T>
void WriteToDriver(const char* routine, T* to, const T& value)
{
    CopyToDriver(routine, to, &value, sizeof(T));
}

// A terminated string, at most limit units before the terminator; a
// longer one is read up to the limit.
std::u16string ReadWideText(const char* routine, const char16_t* text, size_t limit);
std::string ReadNarrowText(const char* routine, const char* text, size_t limit);

}  // namespace model
