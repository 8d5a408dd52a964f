// The module map. Writers are the load routine (first fill) and the
// image-load notification (any number of processors at once); readers are
// the crash report's module table and address lookups, during the bug
// check. Everything that allocates, frees or reads an image runs outside
// the lock; the critical section only walks and relinks.
#include "modules/module_map.h"
#include "modules/module_query.h"
#include "driver/bytes.h"
#include "driver/pool_settings.h"
#include "console/report_print.h"

ModuleMapRecord ModuleMap;

namespace {

// How often the report tries for the lock before it reads the map without
// it. Once the bug check runs, every other processor is stopped: a lock
// still held is held by this processor (a bug check raised inside an
// insertion) or by one that will never run again, and waiting for ever
// would lose the whole report. The bound leaves a processor that was still
// inside the critical section while the others were being stopped time to
// finish it.
constexpr ULONG BugCheckLockTries = 4096;

ModuleEntry* EntryOf(PLIST_ENTRY Links)
{
    return reinterpret_cast<ModuleEntry*>(reinterpret_cast<PUCHAR>(Links) -
                                          offsetof(ModuleEntry, Links));
}

// -- Self-verifying list operations ----------------------------------------
// A link that does not agree with its neighbour means memory is corrupt:
// the operation never follows it and stops the system instead.

VOID InitializeList(PLIST_ENTRY Head)
{
    Head->Flink = Head;
    Head->Blink = Head;
}

VOID LinkAfter(PLIST_ENTRY Previous, PLIST_ENTRY Entry)
{
    PLIST_ENTRY next = Previous->Flink;
    Entry->Flink = next;
    Entry->Blink = Previous;
    next->Blink = Entry;
    Previous->Flink = Entry;
}

VOID UnlinkEntry(PLIST_ENTRY Entry)
{
    PLIST_ENTRY next = Entry->Flink;
    PLIST_ENTRY previous = Entry->Blink;
    if (next->Blink != Entry || previous->Flink != Entry) {
        FailFast(FastFailCorruptListEntry);
    }
    previous->Flink = next;
    next->Blink = previous;
}

VOID AppendEntry(PLIST_ENTRY Head, PLIST_ENTRY Entry)
{
    PLIST_ENTRY last = Head->Blink;
    if (last->Flink != Head) {
        FailFast(FastFailCorruptListEntry);
    }
    Entry->Flink = Head;
    Entry->Blink = last;
    last->Flink = Entry;
    Head->Blink = Entry;
}

// The list must not be empty.
PLIST_ENTRY RemoveFirstEntry(PLIST_ENTRY Head)
{
    PLIST_ENTRY first = Head->Flink;
    PLIST_ENTRY next = first->Flink;
    if (first->Blink != Head || next->Blink != first) {
        FailFast(FastFailCorruptListEntry);
    }
    Head->Flink = next;
    next->Blink = Head;
    return first;
}

VOID FreeEntries(PLIST_ENTRY Head)
{
    while (Head->Flink != Head) {
        ExFreePoolWithTag(EntryOf(RemoveFirstEntry(Head)), ModuleMapTag);
    }
}

// -- The lock ----------------------------------------------------------------

KIRQL AcquireMapLock(ModuleMapRecord* Map)
{
    KIRQL previous = KfRaiseIrql(HIGH_LEVEL);
    while (AtomicCompareExchange(&Map->Lock, ModuleMapLockHeld, ModuleMapLockFree) !=
           ModuleMapLockFree) {
        ProcessorPause();
    }
    FullBarrier();
    return previous;
}

// The report's way in: a bounded wait (see BugCheckLockTries). Returns
// whether the lock was taken; when it was not, the caller reads the map
// without it and must not release it.
BOOLEAN AcquireMapLockAtBugCheck(ModuleMapRecord* Map, PKIRQL Previous)
{
    *Previous = KfRaiseIrql(HIGH_LEVEL);
    for (ULONG tries = 1;; ++tries) {
        if (AtomicCompareExchange(&Map->Lock, ModuleMapLockHeld, ModuleMapLockFree) ==
            ModuleMapLockFree) {
            FullBarrier();
            return TRUE;
        }
        if (tries == BugCheckLockTries) {
            return FALSE;
        }
        ProcessorPause();
    }
}

VOID ReleaseMapLock(ModuleMapRecord* Map, KIRQL Previous, BOOLEAN Taken)
{
    if (Taken) {
        FullBarrier();
        AtomicExchange(&Map->Lock, ModuleMapLockFree);
    }
    KeLowerIrql(Previous);
}

// Whether a whole entry can be read at bug check: a page that is not
// resident there raises a second bug check that nothing catches, and a
// damaged link may point anywhere.
BOOLEAN EntryResident(PLIST_ENTRY Links)
{
    PUCHAR first = reinterpret_cast<PUCHAR>(EntryOf(Links));
    return MmIsAddressValid(first) && MmIsAddressValid(first + sizeof(ModuleEntry) - 1);
}

// The next entry of a walk by a reader, or null at the end. A reader may
// run without the lock, over a list an insertion on this processor left
// half relinked: it stops where the links stop agreeing, or point at
// memory that is not there, instead of following them or stopping the
// system inside the bug check.
PLIST_ENTRY NextForReader(PLIST_ENTRY Head, PLIST_ENTRY Entry)
{
    PLIST_ENTRY next = Entry->Flink;
    if (next == nullptr || next == Head || !EntryResident(next) || next->Blink != Entry) {
        return nullptr;
    }
    return next;
}

PLIST_ENTRY FirstForReader(PLIST_ENTRY Head)
{
    if (Head->Flink == nullptr) {
        return nullptr;  // not set up
    }
    return NextForReader(Head, Head);
}

// -- Names -------------------------------------------------------------------

// The part after the last '\' of the first Length bytes of Path (or up to
// its terminator), or all of it.
PCSTR FileNamePart(PCSTR Path, ULONG Length)
{
    PCSTR name = Path;
    for (ULONG i = 0; i < Length && Path[i] != '\0'; ++i) {
        if (Path[i] == '\\') {
            name = Path + i + 1;
        }
    }
    return name;
}

VOID CopyModuleName(PCHAR Destination, PCSTR Name)
{
    ULONG i = 0;
    for (; i < MaxModuleNameLength && Name[i] != '\0'; ++i) {
        CHAR c = Name[i];
        Destination[i] = (c >= 'A' && c <= 'Z') ? static_cast<CHAR>(c + ('a' - 'A')) : c;
    }
    Destination[i] = '\0';
}

// -- Placement ---------------------------------------------------------------

BOOLEAN Overlaps(const ModuleEntry* Entry, ULONG64 Start, ULONG64 End)
{
    return Start <= Entry->ImageEnd && End >= Entry->ImageStart;
}

VOID Evict(PLIST_ENTRY Entry, PLIST_ENTRY Released)
{
    UnlinkEntry(Entry);
    AppendEntry(Released, Entry);
}

// Links New into the list under the lock, evicting onto Released every
// entry it overlaps. The walk starts at the Cursor: insertions at
// neighbouring addresses cost a few steps each.
VOID PlaceEntry(ModuleMapRecord* Map, ModuleEntry* New, PLIST_ENTRY Released)
{
    PLIST_ENTRY head = &Map->Entries;
    const ULONG64 start = New->ImageStart;
    const ULONG64 end = New->ImageEnd;
    for (;;) {
        PLIST_ENTRY at = Map->Cursor;
        if (at == head) {
            LinkAfter(head, &New->Links);
            break;
        }
        ModuleEntry* entry = EntryOf(at);
        if (start > entry->ImageEnd) {
            // Forward, to the first entry that does not end below New.
            do {
                at = at->Flink;
                Map->Cursor = at;
                if (at == head) {
                    LinkAfter(head->Blink, &New->Links);
                    goto Placed;
                }
                entry = EntryOf(at);
            } while (start > entry->ImageEnd);
            if (end < entry->ImageStart) {
                LinkAfter(at->Blink, &New->Links);
                break;
            }
            Map->Cursor = at->Blink;
            Evict(at, Released);
            continue;
        }
        if (Overlaps(entry, start, end)) {
            PLIST_ENTRY next = at->Flink;
            Map->Cursor = next != head ? next : at->Blink;
            Evict(at, Released);
            continue;
        }
        // Backward, to the first entry that does not start above New.
        do {
            at = at->Blink;
            Map->Cursor = at;
            if (at == head) {
                LinkAfter(head, &New->Links);
                goto Placed;
            }
            entry = EntryOf(at);
        } while (end < entry->ImageStart);
        if (start > entry->ImageEnd) {
            LinkAfter(at, &New->Links);
            break;
        }
        Map->Cursor = at->Flink;
        Evict(at, Released);
    }
Placed:
    Map->Cursor = &New->Links;
}

} // namespace

_Use_decl_annotations_
NTSTATUS InsertModuleEntry(ModuleMapRecord* Map, PCSTR Name, ULONG64 ImageStart,
                           ULONG64 ImageSize)
{
    // Neither source should report such an image; its last byte would lie
    // below its first, and no range rule could place it.
    if (ImageSize == 0 || ImageStart + (ImageSize - 1) < ImageStart) {
        return STATUS_SUCCESS;
    }
    auto* entry = static_cast<ModuleEntry*>(AllocateNonPagedPool(sizeof(ModuleEntry), ModuleMapTag));
    if (entry == nullptr) {
        return STATUS_NO_MEMORY;
    }
    CopyModuleName(entry->ModuleName, Name);
    entry->ImageStart = ImageStart;
    entry->ImageEnd = ImageStart + (ImageSize - 1);
    ReadImageIdentity(static_cast<ULONG_PTR>(ImageStart), &entry->Identity);

    LIST_ENTRY released;
    InitializeList(&released);
    KIRQL previous = AcquireMapLock(Map);
    PlaceEntry(Map, entry, &released);
    ReleaseMapLock(Map, previous, TRUE);

    // Freed only now: nothing in the critical section calls the pool.
    FreeEntries(&released);
    return STATUS_SUCCESS;
}

VOID NTAPI ImageLoadNotify(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo)
{
    UNREFERENCED_PARAMETER(ProcessId);
    if ((ImageInfo->Properties & IMAGE_INFO_SYSTEM_MODE_IMAGE) == 0) {
        return;  // user-mode images are not recorded
    }
    // A notification without a name has nothing to record it by.
    if (FullImageName == nullptr || FullImageName->Length == 0 ||
        FullImageName->Buffer == nullptr) {
        return;
    }
    ANSI_STRING ansi;
    if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&ansi, FullImageName, TRUE))) {
        return;
    }
    auto* copy = static_cast<PCHAR>(AllocateNonPagedPool(SIZE_T{ansi.Length} + 1, ModuleMapTag));
    if (copy == nullptr) {
        RtlFreeAnsiString(&ansi);
        return;
    }
    CopyBytes(copy, ansi.Buffer, ansi.Length);
    copy[ansi.Length] = '\0';
    // An image that cannot be recorded is missing from the map; nothing
    // is reported.
    InsertModuleEntry(&ModuleMap, FileNamePart(copy, ansi.Length),
                      reinterpret_cast<ULONG_PTR>(ImageInfo->ImageBase), ImageInfo->ImageSize);
    ExFreePoolWithTag(copy, ModuleMapTag);
    RtlFreeAnsiString(&ansi);
}

_Use_decl_annotations_
NTSTATUS InitializeModuleMap()
{
    ModuleMapRecord* map = &ModuleMap;
    NTSTATUS status;
    if (AtomicIncrement(&map->InitCount) != 1) {
        status = STATUS_OBJECTID_EXISTS;
        goto Done;
    }
    {
        // A query left uninitialised fails the size query below.
        InitializeModuleQuery();

        ULONG size = 0;
        status = QueryModuleInformation(&size, ModuleExtendedElementSize, nullptr);
        if (!NT_SUCCESS(status)) {
            goto Done;
        }
        if (size == 0) {
            status = STATUS_UNSUCCESSFUL;
            goto Done;
        }

        ModuleExtendedInfo* modules = nullptr;
        for (;;) {
            ULONG count = size / ModuleExtendedElementSize;
            size = count * ModuleExtendedElementSize;
            modules = static_cast<ModuleExtendedInfo*>(AllocateNonPagedPool(size, ModuleMapTag));
            if (modules == nullptr) {
                status = STATUS_NO_MEMORY;
                goto Done;
            }
            ULONG bufferSize = size;
            status = QueryModuleInformation(&bufferSize, ModuleExtendedElementSize, modules);
            if (status == STATUS_BUFFER_TOO_SMALL) {
                // Images were loaded since the size query.
                ExFreePoolWithTag(modules, ModuleMapTag);
                size = bufferSize;
                continue;
            }
            if (!NT_SUCCESS(status)) {
                ExFreePoolWithTag(modules, ModuleMapTag);
                goto Done;
            }
            // Never more records than the buffer holds.
            if (bufferSize < size) {
                size = bufferSize;
            }
            break;
        }

        InitializeList(&map->Entries);
        map->Cursor = &map->Entries;
        ULONG count = size / ModuleExtendedElementSize;
        for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
            const ModuleExtendedInfo& module = modules[i];
            // The path is cut at its record's end, terminated or not.
            CHAR path[ModulePathLength + 1];
            CopyBytes(path, module.FullPathName, ModulePathLength);
            path[ModulePathLength] = '\0';
            status = InsertModuleEntry(map, FileNamePart(path, ModulePathLength),
                                       reinterpret_cast<ULONG_PTR>(module.BasicInfo.ImageBase),
                                       module.ImageSize);
        }
        if (NT_SUCCESS(status)) {
            status = PsSetLoadImageNotifyRoutine(ImageLoadNotify);
        }
        if (!NT_SUCCESS(status)) {
            FreeEntries(&map->Entries);
            map->Entries.Flink = nullptr;
            map->Entries.Blink = nullptr;
            map->Cursor = nullptr;
        }
        ExFreePoolWithTag(modules, ModuleMapTag);
        if (NT_SUCCESS(status)) {
            return STATUS_SUCCESS;
        }
    }
Done:
    AtomicDecrement(&map->InitCount);
    return status;
}

_Use_decl_annotations_
VOID TeardownModuleMap()
{
    // The notification goes first and the report is already deregistered:
    // nobody else can reach the map, so no lock is taken.
    PsRemoveLoadImageNotifyRoutine(ImageLoadNotify);
    ModuleMapRecord* map = &ModuleMap;
    map->Cursor = nullptr;
    FreeEntries(&map->Entries);
    map->Entries.Flink = nullptr;
    map->Entries.Blink = nullptr;
    map->Lock = ModuleMapLockFree;
    AtomicDecrement(&map->InitCount);
}

VOID LookupModuleByAddress(ULONG64 Address, PCSTR* Name, PULONG64 Offset)
{
    *Name = nullptr;
    *Offset = 0;
    ModuleMapRecord* map = &ModuleMap;
    KIRQL previous;
    BOOLEAN taken = AcquireMapLockAtBugCheck(map, &previous);
    PLIST_ENTRY head = &map->Entries;
    for (PLIST_ENTRY at = FirstForReader(head); at != nullptr; at = NextForReader(head, at)) {
        const ModuleEntry* entry = EntryOf(at);
        if (entry->ImageStart <= Address && Address <= entry->ImageEnd) {
            *Name = entry->ModuleName;
            *Offset = Address - entry->ImageStart;
            break;
        }
    }
    ReleaseMapLock(map, previous, taken);
}

VOID PrintModuleTable()
{
    ModuleMapRecord* map = &ModuleMap;
    KIRQL previous;
    BOOLEAN taken = AcquireMapLockAtBugCheck(map, &previous);
    ReportPrint(ReportLevelCrash, "Module\tPdbName\tGuid\tPdbAge\n");
    PLIST_ENTRY head = &map->Entries;
    for (PLIST_ENTRY at = FirstForReader(head); at != nullptr; at = NextForReader(head, at)) {
        const ModuleEntry* entry = EntryOf(at);
        const ImageIdentity& identity = entry->Identity;
        // Empty when the PDB name says nothing beyond the module's own name,
        // and when the image has no CodeView record.
        PCSTR pdbName =
            PdbNameMatchesModule(entry->ModuleName, identity.PdbName) ? "" : identity.PdbName;
        const GUID& guid = identity.PdbGuid;
        ReportPrint(ReportLevelCrash,
                    "%s\t%s\t%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X\t%X\n",
                    entry->ModuleName, pdbName, ULONG{guid.Data1}, ULONG{guid.Data2},
                    ULONG{guid.Data3}, ULONG{guid.Data4[0]}, ULONG{guid.Data4[1]},
                    ULONG{guid.Data4[2]}, ULONG{guid.Data4[3]}, ULONG{guid.Data4[4]},
                    ULONG{guid.Data4[5]}, ULONG{guid.Data4[6]}, ULONG{guid.Data4[7]},
                    ULONG{identity.PdbAge});
    }
    ReleaseMapLock(map, previous, taken);
}
