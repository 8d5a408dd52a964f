// The module map: the driver's own sorted list of loaded kernel images with
// their debug identities. Filled at load from the module query, kept
// current by the image-load notification, and read by the crash report
// (address to module, and the module table).
//
// Every walk and change happens under ModuleMapLock at HIGH_LEVEL, the IRQL
// of the bug check callback, so one lock serves the writers (image loads,
// possibly on several processors at once) and the report.
#pragma once

#include "driver/kernel.h"
#include "modules/image_identity.h"

// Characters of a module's file name that are kept; a terminator follows.
constexpr ULONG MaxModuleNameLength = 256;

// 'MODU' as a pool dump shows it.
constexpr ULONG ModuleMapTag = 0x55444F4D;

// The lock word: free, or held.
constexpr LONG ModuleMapLockFree = 0;
constexpr LONG ModuleMapLockHeld = static_cast<LONG>(0xFEEDFACEu);

struct ModuleEntry {
    LIST_ENTRY Links;
    ULONG64 ImageStart;
    ULONG64 ImageEnd;  // last byte, inclusive
    // Written before the entry is linked; never changed while it is.
    ImageIdentity Identity;
    CHAR ModuleName[MaxModuleNameLength + 1];  // lower case, zero-terminated
};
static_assert(offsetof(ModuleEntry, ImageStart) == 16, "module entry layout");
static_assert(offsetof(ModuleEntry, Identity) == 32, "module entry layout");
static_assert(offsetof(ModuleEntry, ModuleName) == 316, "module entry layout");

struct ModuleMapRecord {
    // 0 while not set up, 1 while set up (2 for a moment while a second
    // InitializeModuleMap is turned away). Changed only atomically.
    volatile LONG InitCount;
    // Sorted by ascending ImageStart; ranges never overlap.
    LIST_ENTRY Entries;
    // Where the next insertion starts its walk: the entry inserted last, or
    // the head while the list is empty.
    PLIST_ENTRY Cursor;
    volatile LONG Lock;
};

extern ModuleMapRecord ModuleMap;

// Fills the map from the module query and registers ImageLoadNotify. On
// failure nothing of the map remains. Load routine only.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS InitializeModuleMap();

// Removes the notification and frees every entry. Only after a successful
// InitializeModuleMap, with the bug check callback already deregistered.
_IRQL_requires_(PASSIVE_LEVEL)
VOID TeardownModuleMap();

// Records the image at [ImageStart, ImageStart + ImageSize) as Name (a file
// name without directories), evicting every entry it overlaps. An image of
// size 0, or one that would reach past the top of the address space, is
// skipped. STATUS_SUCCESS or STATUS_NO_MEMORY.
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS InsertModuleEntry(ModuleMapRecord* Map, PCSTR Name, ULONG64 ImageStart,
                           ULONG64 ImageSize);

// The image-load notification: records kernel-mode images.
VOID NTAPI ImageLoadNotify(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo);

// Bug check only. Name receives the module's name (valid while the entry
// stays in the map) or null, Offset the distance from its start or 0.
VOID LookupModuleByAddress(ULONG64 Address, PCSTR* Name, PULONG64 Offset);

// Bug check only: the report's module table, one line per module in address
// order.
VOID PrintModuleTable();
