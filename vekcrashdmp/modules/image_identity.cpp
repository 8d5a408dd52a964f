// Reads an image's debug identity from its mapped PE headers and CodeView
// record. Runs at PASSIVE_LEVEL from the module map's first fill and from
// the image-load notification, outside the map's lock.
//
// Nothing here may fault: the image may be damaged or partly paged out, and
// its RVAs may point anywhere. Every page is vouched for by MmIsAddressValid
// before the first byte is read from it, so a header, directory entry or
// record that runs into a page that is not there ends the read with what
// has been found so far.
#include "modules/image_identity.h"
#include "driver/bytes.h"

namespace {

constexpr ULONG_PTR PageSize = 4096;

// PE/COFF, as mapped (all little-endian).
constexpr USHORT DosSignature = 0x5A4D;         // 'MZ'
constexpr ULONG DosNewHeaderOffset = 0x3C;     // e_lfanew
constexpr ULONG NtSignature = 0x00004550;       // 'PE\0\0'
constexpr ULONG NtTimeDateStampOffset = 8;      // FileHeader.TimeDateStamp
constexpr ULONG NtCheckSumOffset = 88;          // OptionalHeader.CheckSum (PE32+)
constexpr ULONG NtDebugDirectoryOffset = 184;   // DataDirectory[6].VirtualAddress (PE32+)
constexpr ULONG NtDebugDirectorySizeOffset = 188;
constexpr ULONG DebugEntrySize = 28;
constexpr ULONG DebugEntryTypeOffset = 12;
constexpr ULONG DebugEntryRawDataOffset = 20;   // AddressOfRawData
constexpr ULONG DebugTypeCodeView = 2;
constexpr ULONG CodeViewGuidOffset = 4;         // 'RSDS' layout
constexpr ULONG CodeViewAgeOffset = 20;
constexpr ULONG CodeViewPathOffset = 24;

// Bytes of the PDB path that name the file: a name starting k bytes into the
// path keeps at most this many minus k characters.
constexpr ULONG PdbPathBytesUsed = MaxPdbNameLength;
// How far past the used bytes the search for a later '\' goes when the path
// has no terminator among them.
constexpr ULONG PdbPathSearchLimit = 4096;

// Remembers the last page found resident, so that a run of reads from one
// page asks the kernel once.
struct ResidentPages {
    ULONG_PTR KnownPage;
    BOOLEAN Known;
};

// True when every byte of [Address, Address + Length) lies on a resident
// page. A range that wraps around the top of the address space is not.
BOOLEAN IsReadable(ResidentPages* Pages, ULONG_PTR Address, ULONG_PTR Length)
{
    if (Address == 0 || Length == 0) {
        return Address != 0;
    }
    ULONG_PTR last = Address + Length - 1;
    if (last < Address) {
        return FALSE;
    }
    for (ULONG_PTR page = Address & ~(PageSize - 1);; page += PageSize) {
        if (!Pages->Known || Pages->KnownPage != page) {
            // The test for the first page is on the address itself, as a
            // caller reads it; later pages are tested at their start.
            ULONG_PTR probe = page < Address ? Address : page;
            if (!MmIsAddressValid(reinterpret_cast<PVOID>(probe))) {
                return FALSE;
            }
            Pages->KnownPage = page;
            Pages->Known = TRUE;
        }
        if (last - page < PageSize) {
            return TRUE;
        }
    }
}

USHORT ReadUshort(ULONG_PTR Address)
{
    USHORT value;
    CopyBytes(&value, reinterpret_cast<const VOID*>(Address), sizeof(value));
    return value;
}

ULONG ReadUlong(ULONG_PTR Address)
{
    ULONG value;
    CopyBytes(&value, reinterpret_cast<const VOID*>(Address), sizeof(value));
    return value;
}

// The PDB path's last component, as much as the used bytes hold of it.
// When the last '\' lies beyond the used bytes, no part of the name is
// within them and the name stays empty.
VOID CopyPdbName(ResidentPages* Pages, ULONG_PTR Path, PCHAR Name)
{
    ULONG nameStart = 0;
    ULONG used = 0;  // path bytes before the terminator, within the used bytes
    for (ULONG i = 0; i < PdbPathSearchLimit; ++i) {
        if (!IsReadable(Pages, Path + i, 1)) {
            break;
        }
        CHAR c = *reinterpret_cast<const volatile CHAR*>(Path + i);
        if (c == '\0') {
            break;
        }
        if (c == '\\') {
            nameStart = i + 1;
        }
        if (i < PdbPathBytesUsed) {
            used = i + 1;
        } else if (nameStart > PdbPathBytesUsed) {
            // A '\' beyond the used bytes: the name lies wholly outside them.
            break;
        }
    }
    if (nameStart > used) {
        return;
    }
    ULONG length = used - nameStart;
    CopyBytes(Name, reinterpret_cast<const VOID*>(Path + nameStart), length);
    Name[length] = '\0';
}

} // namespace

_Use_decl_annotations_
VOID ReadImageIdentity(ULONG_PTR ImageStart, ImageIdentity* Identity)
{
    ZeroBytes(Identity, sizeof(*Identity));
    ResidentPages pages = {0, FALSE};

    if (!IsReadable(&pages, ImageStart, DosNewHeaderOffset + sizeof(ULONG)) ||
        ReadUshort(ImageStart) != DosSignature) {
        return;
    }
    LONG newHeader = static_cast<LONG>(ReadUlong(ImageStart + DosNewHeaderOffset));
    ULONG_PTR nt = ImageStart + static_cast<ULONG_PTR>(static_cast<LONGLONG>(newHeader));
    if (!IsReadable(&pages, nt, sizeof(ULONG)) || ReadUlong(nt) != NtSignature) {
        return;
    }
    if (!IsReadable(&pages, nt, NtCheckSumOffset + sizeof(ULONG))) {
        return;
    }
    Identity->TimeDateStamp = ReadUlong(nt + NtTimeDateStampOffset);
    Identity->CheckSum = ReadUlong(nt + NtCheckSumOffset);

    if (!IsReadable(&pages, nt + NtDebugDirectoryOffset, 2 * sizeof(ULONG))) {
        return;
    }
    ULONG remaining = ReadUlong(nt + NtDebugDirectorySizeOffset);
    if (remaining == 0) {
        return;
    }
    ULONG_PTR entry = ImageStart + ReadUlong(nt + NtDebugDirectoryOffset);

    // The first CodeView entry counts; a trailing partial entry is ignored.
    for (;; entry += DebugEntrySize, remaining -= DebugEntrySize) {
        if (remaining < DebugEntrySize || !IsReadable(&pages, entry, DebugEntrySize)) {
            return;
        }
        if (ReadUlong(entry + DebugEntryTypeOffset) == DebugTypeCodeView) {
            break;
        }
    }

    ULONG_PTR record = ImageStart + ReadUlong(entry + DebugEntryRawDataOffset);
    if (!IsReadable(&pages, record, CodeViewPathOffset)) {
        return;
    }
    Identity->PdbAge = ReadUlong(record + CodeViewAgeOffset);
    CopyBytes(&Identity->PdbGuid, reinterpret_cast<const VOID*>(record + CodeViewGuidOffset),
              sizeof(Identity->PdbGuid));
    CopyPdbName(&pages, record + CodeViewPathOffset, Identity->PdbName);
}

BOOLEAN PdbNameMatchesModule(PCSTR ModuleName, PCSTR PdbName)
{
    LONG moduleDot = -1;
    LONG pdbDot = -1;
    LONG pdbLength = 0;
    for (LONG i = 0; ModuleName[i] != '\0'; ++i) {
        if (ModuleName[i] == '.') {
            moduleDot = i;
        }
    }
    for (; PdbName[pdbLength] != '\0'; ++pdbLength) {
        if (PdbName[pdbLength] == '.') {
            pdbDot = pdbLength;
        }
    }
    if (moduleDot < 0 || pdbDot < 0 || moduleDot != pdbDot) {
        return FALSE;
    }
    // Exact comparison: the module name is stored in lower case, so a PDB
    // name with an upper-case letter never matches.
    for (LONG i = 0; i < pdbDot; ++i) {
        if (ModuleName[i] != PdbName[i]) {
            return FALSE;
        }
    }
    return pdbLength - pdbDot == 4 && PdbName[pdbDot + 1] == 'p' && PdbName[pdbDot + 2] == 'd' &&
           PdbName[pdbDot + 3] == 'b';
}
