// The address space map (model/address_space.h) and MmIsAddressValid.
// Ranges are few (a driver holds a handful of blocks), so a plain list
// searched front to back is fast enough and simplest to trust.
#include "core/machine_state.h"
#include "core/model_lock.h"

#include "model/address_space.h"
#include "model/image_registry.h"

#include <link.h>
#include <pthread.h>

#include <algorithm>
#include <vector>

namespace model {

namespace {

struct Entry {
    MemoryRange Range;
    MemoryOwner Owner;
    MemoryRangeId Id;
};

std::vector<Entry>& Entries()
{
    static std::vector<Entry> entries;
    return entries;
}

MemoryRangeId NextId = 1;
int Restrictions = 0;
int NativeDriverCode = 0;
// Stacks of the threads that ran driver code on this machine: a DPC may run
// on one processor's thread with its object on another's stack.
std::vector<MemoryRange> DriverThreadStacks;
bool DataExportsEntered = false;

uintptr_t End(const MemoryRange& range)
{
    return range.Start + range.Size;
}

// The kernel's exported variables live in the model library's data; driver
// code reads them, and the kernel routines may be handed their addresses.
void EnterDataExports()
{
    if (DataExportsEntered) {
        return;
    }
    DataExportsEntered = true;
    for (const DataExport& data : ExportedData()) {
        MemoryRange range;
        range.Start = reinterpret_cast<uintptr_t>(data.Address);
        range.Size = data.Size;
        range.What = data.Name;
        Entries().push_back(Entry{range, MemoryOwner::Host, NextId++});
    }
}

// What an unrestricted test program may hand the kernel: its own loaded
// segments and the stack of the thread that calls.
int AddMainProgramSegments(dl_phdr_info* info, size_t, void* context)
{
    auto* ranges = static_cast<std::vector<MemoryRange>*>(context);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD) {
            MemoryRange range;
            range.Start = info->dlpi_addr + header.p_vaddr;
            range.Size = header.p_memsz;
            range.Writable = (header.p_flags & PF_W) != 0;
            range.What = "the test program";
            ranges->push_back(range);
        }
    }
    return 1;  // the first object reported is the main program
}

const std::vector<MemoryRange>& MainProgramSegments()
{
    static const std::vector<MemoryRange> segments = [] {
        std::vector<MemoryRange> ranges;
        dl_iterate_phdr(AddMainProgramSegments, &ranges);
        return ranges;
    }();
    return segments;
}

// The stack of the thread asking: driver code built for the host runs on
// the threads of the model's processors, each with its own stack.
const MemoryRange& CallingThreadStack()
{
    thread_local const MemoryRange stack = [] {
        MemoryRange range;
        range.What = "the calling thread's stack";
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void* base = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attributes, &base, &size) == 0) {
                range.Start = reinterpret_cast<uintptr_t>(base);
                range.Size = size;
            }
            pthread_attr_destroy(&attributes);
        }
        return range;
    }();
    return stack;
}

template <typename Consider>
void ConsiderHostRanges(Consider&& consider)
{
    if (Restrictions == 0) {
        for (const MemoryRange& range : MainProgramSegments()) {
            consider(range);
        }
    }
    if (Restrictions == 0 || NativeDriverCode > 0) {
        consider(CallingThreadStack());
        for (const MemoryRange& stack : DriverThreadStacks) {
            consider(stack);
        }
    }
}

bool Permits(const MemoryRange& range, MemoryAccess access)
{
    if (access == MemoryAccess::Write && !range.Writable) {
        return false;
    }
    // A paged-out page comes back in below DISPATCH_LEVEL; at or above it
    // nothing can page.
    return range.Resident || CurrentIrql() < DISPATCH_LEVEL;
}

// The end of the furthest-reaching permitted range holding the address,
// or 0.
uintptr_t PermittedEnd(uintptr_t address, MemoryAccess access)
{
    EnterDataExports();
    uintptr_t best = 0;
    auto consider = [&](const MemoryRange& range) {
        if (address >= range.Start && address - range.Start < range.Size &&
            Permits(range, access)) {
            best = std::max(best, End(range));
        }
    };
    for (const Entry& entry : Entries()) {
        consider(entry.Range);
    }
    ConsiderHostRanges(consider);
    return best;
}

}  // namespace

MemoryRangeId EnterMemory(const MemoryRange& range, MemoryOwner owner)
{
    EnterDataExports();
    if (range.Size == 0) {
        return 0;
    }
    MemoryRangeId id = NextId++;
    Entries().push_back(Entry{range, owner, id});
    return id;
}

void RemoveMemory(MemoryRangeId id)
{
    auto& entries = Entries();
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [id](const Entry& entry) { return entry.Id == id; }),
                  entries.end());
}

void RemoveKernelMemoryAt(uintptr_t start)
{
    auto& entries = Entries();
    auto found = std::find_if(entries.begin(), entries.end(), [start](const Entry& entry) {
        return entry.Owner == MemoryOwner::Kernel && entry.Range.Start == start;
    });
    if (found != entries.end()) {
        entries.erase(found);
    }
}

void NoteDriverThread()
{
    const MemoryRange& stack = CallingThreadStack();
    for (const MemoryRange& known : DriverThreadStacks) {
        if (known.Start == stack.Start) {
            return;
        }
    }
    DriverThreadStacks.push_back(stack);
}

void DropKernelMemory()
{
    // The machine's threads are gone with it.
    DriverThreadStacks.clear();
    auto& entries = Entries();
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [](const Entry& entry) { return entry.Owner == MemoryOwner::Kernel; }),
                  entries.end());
}

MemoryRangeId EnterHostMemory(uintptr_t start, size_t size, bool writable, const char* what)
{
    MemoryRange range;
    range.Start = start;
    range.Size = size;
    range.Writable = writable;
    range.What = what;
    return EnterMemory(range, MemoryOwner::Host);
}

void RestrictToEnteredMemory()
{
    ++Restrictions;
}

void UnrestrictEnteredMemory()
{
    if (Restrictions > 0) {
        --Restrictions;
    }
}

void BeginNativeDriverCode()
{
    ++NativeDriverCode;
}

void EndNativeDriverCode()
{
    if (NativeDriverCode > 0) {
        --NativeDriverCode;
    }
}

bool AddressValid(uintptr_t address)
{
    std::optional<MemoryRange> range = FindMemory(address);
    return range && range->Resident;
}

std::optional<uintptr_t> FirstInvalid(uintptr_t start, size_t size, MemoryAccess access)
{
    if (size == 0) {
        return std::nullopt;
    }
    if (start + size < start) {
        return start;
    }
    uintptr_t end = start + size;
    for (uintptr_t cursor = start; cursor < end;) {
        uintptr_t reach = PermittedEnd(cursor, access);
        if (reach == 0) {
            return cursor;
        }
        cursor = reach;
    }
    return std::nullopt;
}

std::optional<MemoryRange> FindMemory(uintptr_t address)
{
    EnterDataExports();
    std::optional<MemoryRange> found;
    auto consider = [&](const MemoryRange& range) {
        if (address >= range.Start && address - range.Start < range.Size &&
            (!found || (range.Resident && !found->Resident))) {
            found = range;
        }
    };
    for (const Entry& entry : Entries()) {
        consider(entry.Range);
    }
    ConsiderHostRanges(consider);
    return found;
}

bool SystemSpaceAddress(uintptr_t address)
{
    // MmSystemRangeStart on x64: the first address of the kernel half.
    constexpr uint64_t SystemRangeStart = 0xFFFF800000000000ull;
    const uint64_t value = address;
    if (value >= SystemRangeStart ||
        (value >= HighUserRegion && value - HighUserRegion <= UserHalfMask)) {
        return true;
    }
    for (const Entry& entry : Entries()) {
        if (value >= entry.Range.Start && value - entry.Range.Start < entry.Range.Size) {
            return true;
        }
    }
    return false;
}

bool OverlapsDevice(uintptr_t start, size_t size)
{
    for (const Entry& entry : Entries()) {
        const MemoryRange& range = entry.Range;
        if (range.Kind == MemoryKind::Device && start < End(range) && range.Start < start + size) {
            return true;
        }
    }
    return false;
}

size_t KernelMemoryRanges()
{
    return static_cast<size_t>(
        std::count_if(Entries().begin(), Entries().end(),
                      [](const Entry& entry) { return entry.Owner == MemoryOwner::Kernel; }));
}

}  // namespace model

using namespace model;

extern "C" BOOLEAN MmIsAddressValid(PVOID VirtualAddress)
{
    KernelScope kernel;
    // Callable at any IRQL and during the bug check: it only looks.
    EnterRoutine("MmIsAddressValid", HIGH_LEVEL, AtBugCheck::Allowed,
                 Hex(reinterpret_cast<uintptr_t>(VirtualAddress)));
    return AddressValid(reinterpret_cast<uintptr_t>(VirtualAddress)) ? TRUE : FALSE;
}
