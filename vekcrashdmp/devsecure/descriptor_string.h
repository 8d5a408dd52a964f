// Descriptor strings to security descriptors. The kernel's converter does
// the work where the running kernel exports one; otherwise the driver reads
// a fixed subset itself: one DACL section ("D:", optionally protected with
// "P") of access-allowed entries without flags or object types, rights as
// two-letter tokens or a number, trustees as two-letter SID aliases.
// PASSIVE_LEVEL (paged pool); no shared state.
#pragma once

#include "driver/kernel.h"

// Paged pool for every buffer of a conversion, freed without a tag check.
constexpr POOL_TYPE DescriptorPoolType = PagedPool;
constexpr ULONG DescriptorFreeTag = 0;
// 'SeTs', 'SeAl', 'SeSd' as a pool dump shows them: the terminated copy of
// a counted string, the ACL being built, the resulting descriptor.
constexpr ULONG StringCopyTag = 0x73546553;
constexpr ULONG AclBufferTag = 0x6C416553;
constexpr ULONG DescriptorTag = 0x64536553;

// The ACL and entry formats of the published security model.
constexpr UCHAR DescriptorAclRevision = 2;
constexpr ULONG AclHeaderSize = 8;
constexpr ULONG AllowedAceHeaderSize = 8;
// Room reserved per entry before the SIDs are known: the longest SID an
// alias names is 32 bytes.
constexpr ULONG ReservedBytesPerAce = 48;
// The largest ACL: AclSize is 16 bits and must stay a multiple of four.
constexpr ULONG LargestAclSize = 0xFFFC;
constexpr ULONG DescriptorStringRevision = 1;

// Converts a counted string into a self-relative descriptor in paged pool,
// which the caller frees with ExFreePoolWithTag. DaclDefaulted adds
// SE_DACL_DEFAULTED. On failure *Descriptor is null and nothing is left
// allocated.
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS DescriptorFromString(PCUNICODE_STRING String, BOOLEAN DaclDefaulted,
                              PSECURITY_DESCRIPTOR* Descriptor);

// The same for a terminated string.
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS ParseDescriptorString(PCWSTR String, BOOLEAN DaclDefaulted,
                               PSECURITY_DESCRIPTOR* Descriptor);

// The driver's own reading: the DACL section that must be the whole string;
// its ACL (paged pool) and the control bits it contributes.
NTSTATUS ParseDaclSection(PCWSTR String, BOOLEAN DaclDefaulted, PACL* Acl,
                          SECURITY_DESCRIPTOR_CONTROL* Control);

// The entry list after "D:" and an optional "P": the ACL and where the list
// ends (before the first ':' of a following section, else the terminator).
NTSTATUS ParseAceList(PCWSTR Text, PACL* Acl, PCWSTR* ListEnd);

// Appends one access-allowed entry, replacing *Acl with a larger buffer when
// the entry does not fit; EntriesToCome counts this entry and those after
// it, to size that buffer.
NTSTATUS AppendAllowedAce(PACL* Acl, ULONG* BytesInUse, ACCESS_MASK Mask, ULONG EntriesToCome,
                          PSID Sid);

// Each matches at *Position and moves it past the match, or returns FALSE
// and leaves it. LookupSidAlias matches an alias whose SID this kernel
// lacks too, with *Sid null.
BOOLEAN LookupRightsToken(PCWSTR* Position, ACCESS_MASK* Mask);
BOOLEAN LookupSidAlias(PCWSTR* Position, PSID* Sid);
BOOLEAN ParseAccessNumber(PCWSTR* Position, ACCESS_MASK* Value);
