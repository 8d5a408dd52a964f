// The debug identity of a loaded image: which PDB belongs to it (name, GUID,
// age from its CodeView record) plus its link time stamp and checksum, read
// from the image as it lies mapped. Read before an image enters the module
// map; compared under the map's lock when the report prints the table.
#pragma once

#include "driver/kernel.h"

// At most this many characters of a PDB name are kept; a terminator follows.
constexpr ULONG MaxPdbNameLength = 255;

struct ImageIdentity {
    ULONG TimeDateStamp;
    ULONG CheckSum;
    ULONG PdbAge;
    GUID PdbGuid;
    CHAR PdbName[MaxPdbNameLength + 1];
};
static_assert(offsetof(ImageIdentity, PdbAge) == 8, "identity layout");
static_assert(offsetof(ImageIdentity, PdbGuid) == 12, "identity layout");
static_assert(offsetof(ImageIdentity, PdbName) == 28, "identity layout");
static_assert(sizeof(ImageIdentity) == 284, "identity layout");

// Fills Identity from the image mapped at ImageStart. Never fails: what
// cannot be read (no image, a damaged header, a page that is not resident)
// stays zero. Reads only pages that MmIsAddressValid vouches for.
_IRQL_requires_max_(APC_LEVEL)
VOID ReadImageIdentity(ULONG_PTR ImageStart, ImageIdentity* Identity);

// True when PdbName is ModuleName with its extension replaced by "pdb":
// then the PDB name says nothing beyond the module's own name. Touches only
// the two strings; safe under the map's lock at HIGH_LEVEL.
BOOLEAN PdbNameMatchesModule(PCSTR ModuleName, PCSTR PdbName);
