// The kernel's address space as the model sees it: which ranges a kernel
// routine may read or write when a driver hands it a pointer. A range is
// RAM (resident or paged out, read-only or writable) or device registers
// routed to a device model; everything else is not present. The model
// enters the memory it makes (pool, the driver object and its load block,
// device objects, dump data buffers, mappings of physical memory) and
// removes it when it is freed; whoever runs driver code enters the rest
// (the host image its own segments, the emulator its guest stack and
// image).
//
// Ranges are kept to the byte, not widened to whole pages: in the host
// build a pool block shares its pages with the host's own heap, and a
// kernel routine must never reach that.
//
// A bad pointer makes the routine raise the bug check the kernel would
// raise (driver_call.h tells how the driver's call then ends).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace model {

enum class MemoryKind : uint8_t {
    Ram,     // plain memory, read and written in place
    Device,  // registers: each byte goes to the device model behind it
};

enum class MemoryAccess : uint8_t { Read, Write };

struct MemoryRange {
    uintptr_t Start = 0;
    size_t Size = 0;
    MemoryKind Kind = MemoryKind::Ram;
    bool Writable = true;
    // Paged out: a fault below DISPATCH_LEVEL brings it in, one at or above
    // DISPATCH_LEVEL is a bug check.
    bool Resident = true;
    const char* What = "";
};

// Who answers for a range: the model's own (dropped with the machine at
// ResetMachine) or the host's (kept until its owner removes it).
enum class MemoryOwner : uint8_t { Kernel, Host };

using MemoryRangeId = uint64_t;

MemoryRangeId EnterMemory(const MemoryRange& range, MemoryOwner owner);
void RemoveMemory(MemoryRangeId id);
// Removes the kernel range that starts at this address (a freed block).
void RemoveKernelMemoryAt(uintptr_t start);

// Host memory shared with driver code: writable RAM, kept until removed.
// The emulator enters its guest stack and image sections with this.
MemoryRangeId EnterHostMemory(uintptr_t start, size_t size, bool writable, const char* what);

// What a test program may pass itself: until something restricts the
// process, the calling thread's stack and the main program's loaded
// segments count as valid, so that test code calling kernel routines
// directly can use its locals and literals. A host image or an emulator
// restricts the process to what is entered, for as long as it exists.
void RestrictToEnteredMemory();
void UnrestrictEnteredMemory();

// Driver code runs natively (the host image): whichever thread calls a
// kernel routine, its stack is the driver's and counts as valid. Also
// counted, for as long as such an image exists.
void BeginNativeDriverCode();
void EndNativeDriverCode();

// Answers about the map. Valid: present and resident, as MmIsAddressValid.
bool AddressValid(uintptr_t address);
// The first address of [start, start + size) that the access may not
// touch at the current IRQL, or nullopt; a range that wraps is invalid at
// its start.
std::optional<uintptr_t> FirstInvalid(uintptr_t start, size_t size, MemoryAccess access);
// The range holding the address, if any.
std::optional<MemoryRange> FindMemory(uintptr_t address);
// Whether the address is one the kernel keeps in system space: the kernel
// half, the high user region the model places kernel-half memory in (the
// images, and the runner's stacks and kernel memory), and every range the
// map holds. A page fault there is bug check 0x50 at any IRQL, which no
// __try sees; only a user-space address faults as an access violation.
bool SystemSpaceAddress(uintptr_t address);
// Number of kernel ranges entered (pool blocks and the like), for tests.
size_t KernelMemoryRanges();

}  // namespace model
