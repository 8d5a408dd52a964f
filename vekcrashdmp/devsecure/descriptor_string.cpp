// Descriptor strings to self-relative security descriptors: the kernel's
// converter where it exists, else the driver's reader of the one-DACL
// subset. Every read stays inside the terminated string: nothing steps
// over its terminator, and two-character matches stop at a mismatch.
#include "devsecure/descriptor_string.h"

namespace {

constexpr WCHAR Terminator = 0;
constexpr ULONG EntryFields = 5;  // ';' separators in one entry
constexpr UCHAR WdmMajorForServiceSids = 1;
constexpr UCHAR WdmMinorForServiceSids = 0x20;
// SE_EXPORTS gained the app-package and user-mode driver SIDs in Windows 8
// (6.2); every Windows from Vista on reports WDM 6.00, so the version tells.
constexpr ULONG AppSidsMajor = 6;
constexpr ULONG AppSidsMinor = 2;
constexpr ULONG VersionRecordSize = sizeof(RTL_OSVERSIONINFOW);

static_assert(VersionRecordSize == 276, "version record size");
static_assert(sizeof(ACL) == AclHeaderSize, "ACL header layout");
static_assert(sizeof(SECURITY_DESCRIPTOR) == 40, "absolute descriptor layout");
static_assert(offsetof(SECURITY_DESCRIPTOR, Control) == 2, "descriptor control field");
static_assert(offsetof(SE_EXPORTS, SeWorldSid) == 192, "SE_EXPORTS layout");
static_assert(offsetof(SE_EXPORTS, SeLocalSystemSid) == 264, "SE_EXPORTS layout");
static_assert(offsetof(SE_EXPORTS, SeLocalServiceSid) == 384, "SE_EXPORTS layout");
static_assert(offsetof(SE_EXPORTS, SeAllAppPackagesSid) == 520, "SE_EXPORTS layout");
static_assert(offsetof(SE_EXPORTS, SeUserModeDriversSid) == 528, "SE_EXPORTS layout");
static_assert(48 * (0x7FFF / EntryFields) + AclHeaderSize > LargestAclSize, "the cap applies");

struct RightsToken {
    WCHAR Text[2];
    ACCESS_MASK Mask;
};

const RightsToken RightsTokenTable[] = {
    {{'R', 'C'}, READ_CONTROL},  {{'W', 'D'}, WRITE_DAC},    {{'W', 'O'}, WRITE_OWNER},
    {{'S', 'D'}, DELETE},        {{'G', 'A'}, GENERIC_ALL},  {{'G', 'R'}, GENERIC_READ},
    {{'G', 'W'}, GENERIC_WRITE}, {{'G', 'X'}, GENERIC_EXECUTE},
};

// What a conditional alias needs of the running kernel.
enum SidCondition : UCHAR { Always, ServiceSids, AppSids };

struct SidAlias {
    WCHAR Text[2];
    ULONG Field;  // offset of its SID pointer in SE_EXPORTS
    SidCondition Condition;
};

const SidAlias SidAliasTable[] = {
    {{'W', 'D'}, offsetof(SE_EXPORTS, SeWorldSid), Always},
    {{'B', 'A'}, offsetof(SE_EXPORTS, SeAliasAdminsSid), Always},
    {{'S', 'Y'}, offsetof(SE_EXPORTS, SeLocalSystemSid), Always},
    {{'I', 'U'}, offsetof(SE_EXPORTS, SeInteractiveSid), Always},
    {{'R', 'C'}, offsetof(SE_EXPORTS, SeRestrictedSid), Always},
    {{'A', 'U'}, offsetof(SE_EXPORTS, SeAuthenticatedUsersSid), Always},
    {{'N', 'U'}, offsetof(SE_EXPORTS, SeNetworkSid), Always},
    {{'A', 'N'}, offsetof(SE_EXPORTS, SeAnonymousLogonSid), Always},
    {{'B', 'G'}, offsetof(SE_EXPORTS, SeAliasGuestsSid), Always},
    {{'B', 'U'}, offsetof(SE_EXPORTS, SeAliasUsersSid), Always},
    {{'L', 'S'}, offsetof(SE_EXPORTS, SeLocalServiceSid), ServiceSids},
    {{'N', 'S'}, offsetof(SE_EXPORTS, SeNetworkServiceSid), ServiceSids},
    // Gated on the kernel version, not on WDM 1.20: XP to 7 have WDM 1.20
    // and a shorter SE_EXPORTS, where these fields would be read past its end.
    {{'A', 'C'}, offsetof(SE_EXPORTS, SeAllAppPackagesSid), AppSids},
    {{'U', 'D'}, offsetof(SE_EXPORTS, SeUserModeDriversSid), AppSids},
};
static_assert(ARRAYSIZE(RightsTokenTable) == 8, "rights token table");
static_assert(ARRAYSIZE(SidAliasTable) == 14, "SID alias table");

WCHAR UpperCase(WCHAR c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 'a' + 'A') : c;
}

// The text starts with the two characters, ignoring case. The second is
// read only when the first matched, so never past a terminator.
BOOLEAN StartsWith(PCWSTR Text, const WCHAR (&Pair)[2])
{
    return UpperCase(Text[0]) == Pair[0] && UpperCase(Text[1]) == Pair[1];
}

PCWSTR SkipSpaces(PCWSTR Text)
{
    while (*Text == ' ') {
        ++Text;
    }
    return Text;
}

// One character on, but never past the terminator.
PCWSTR StepOver(PCWSTR Text)
{
    return *Text != Terminator ? Text + 1 : Text;
}

BOOLEAN ConditionHolds(SidCondition Condition)
{
    if (Condition == ServiceSids) {
        return IoIsWdmVersionAvailable(WdmMajorForServiceSids, WdmMinorForServiceSids);
    }
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = VersionRecordSize;
    if (!NT_SUCCESS(RtlGetVersion(&version))) {
        return FALSE;
    }
    return version.dwMajorVersion > AppSidsMajor ||
           (version.dwMajorVersion == AppSidsMajor && version.dwMinorVersion >= AppSidsMinor);
}

PACL AllocateAcl(ULONG Size)
{
    auto* acl = static_cast<PACL>(ExAllocatePoolWithTag(DescriptorPoolType, Size, AclBufferTag));
    if (acl != nullptr) {
        RtlZeroMemory(acl, Size);
        acl->AclRevision = DescriptorAclRevision;
        acl->AclSize = static_cast<USHORT>(Size);
    }
    return acl;
}

} // namespace

_Use_decl_annotations_
BOOLEAN LookupRightsToken(PCWSTR* Position, ACCESS_MASK* Mask)
{
    for (const RightsToken& token : RightsTokenTable) {
        if (StartsWith(*Position, token.Text)) {
            *Mask = token.Mask;
            *Position += 2;
            return TRUE;
        }
    }
    return FALSE;
}

_Use_decl_annotations_
BOOLEAN LookupSidAlias(PCWSTR* Position, PSID* Sid)
{
    for (const SidAlias& alias : SidAliasTable) {
        if (!StartsWith(*Position, alias.Text)) {
            continue;
        }
        *Sid = nullptr;
        // The field is read only where this kernel's record has it.
        if (alias.Condition == Always || ConditionHolds(alias.Condition)) {
            *Sid = *reinterpret_cast<PSID*>(reinterpret_cast<PUCHAR>(SeExports) + alias.Field);
        }
        *Position += 2;
        return TRUE;
    }
    return FALSE;
}

_Use_decl_annotations_
BOOLEAN ParseAccessNumber(PCWSTR* Position, ACCESS_MASK* Value)
{
    PCWSTR text = *Position;
    ULONG base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    } else if (text[0] < '0' || text[0] > '9') {
        // A number starts with a decimal digit: read as hexadecimal, tokens
        // this reader lacks ("FA", "CC", "DC") would become other rights.
        return FALSE;
    }
    ULONG value = 0;
    PCWSTR first = text;
    for (;; ++text) {
        WCHAR c = *text;
        ULONG digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            break;
        }
        // Exact overflow test: a wrapped product can still exceed the value
        // before it (0x1FFFFFFF0 would read as 0xFFFFFFF0).
        if (value > (MAXULONG - digit) / base) {
            return FALSE;
        }
        value = value * base + digit;
    }
    if (text == first) {
        return FALSE;
    }
    *Value = value;
    *Position = text;
    return TRUE;
}

_Use_decl_annotations_
NTSTATUS AppendAllowedAce(PACL* Acl, ULONG* BytesInUse, ACCESS_MASK Mask, ULONG EntriesToCome,
                          PSID Sid)
{
    ULONG sidLength = RtlLengthSid(Sid);
    ULONG needed = *BytesInUse + AllowedAceHeaderSize + sidLength;
    if (needed > (*Acl)->AclSize) {
        ULONG64 wanted = *BytesInUse + ULONG64{AllowedAceHeaderSize + sidLength} * EntriesToCome;
        // AclSize is 16 bits: past the largest ACL the entries cannot fit.
        ULONG size = wanted > LargestAclSize ? LargestAclSize : static_cast<ULONG>(wanted);
        if (needed > size) {
            return STATUS_ALLOTTED_SPACE_EXCEEDED;
        }
        PACL larger = AllocateAcl(size);
        if (larger == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlCopyMemory(larger, *Acl, *BytesInUse);
        larger->AclSize = static_cast<USHORT>(size);
        ExFreePoolWithTag(*Acl, DescriptorFreeTag);
        *Acl = larger;
    }
    *BytesInUse = needed;
    return RtlAddAccessAllowedAce(*Acl, ACL_REVISION, Mask, Sid);
}

namespace {

// The rights field up to its ';': tokens and numbers are all ORed together,
// in any order. Leaves *Position on the ';'.
NTSTATUS ParseRights(PCWSTR* Position, ACCESS_MASK* Mask)
{
    PCWSTR at = SkipSpaces(*Position);
    *Mask = 0;
    while (*at != ';') {
        at = SkipSpaces(at);
        ACCESS_MASK item = 0;
        if (!LookupRightsToken(&at, &item) && !ParseAccessNumber(&at, &item)) {
            return STATUS_INVALID_PARAMETER;
        }
        *Mask |= item;
    }
    *Position = at;
    return STATUS_SUCCESS;
}

// One entry, from its optional '(' to past its ')': the mask and the SID
// (null for a conditional alias this kernel lacks).
NTSTATUS ParseAllowedEntry(PCWSTR* Position, ACCESS_MASK* Mask, PSID* Sid)
{
    PCWSTR at = SkipSpaces(*Position);
    if (*at == '(') {
        at = SkipSpaces(at + 1);
    }
    // The type must be A alone, then the flags field, empty. The type's
    // separator is checked, not skipped: "AU" (audit) must not become an
    // allow entry.
    if (*at != 'A' && *at != 'a') {
        return STATUS_INVALID_PARAMETER;
    }
    at = SkipSpaces(at + 1);
    if (*at != ';') {
        return STATUS_INVALID_PARAMETER;
    }
    at = SkipSpaces(at + 1);
    if (*at != ';') {
        return STATUS_INVALID_PARAMETER;
    }
    ++at;
    NTSTATUS status = ParseRights(&at, Mask);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    at = SkipSpaces(at + 1);
    // Object type and inherited object type: both empty.
    BOOLEAN objectTypes = FALSE;
    for (int field = 0; field < 2; ++field) {
        at = SkipSpaces(at);
        objectTypes = objectTypes || *at != ';';
        at = StepOver(at);
    }
    if (objectTypes) {
        return STATUS_INVALID_PARAMETER;
    }
    at = SkipSpaces(at);
    if (!LookupSidAlias(&at, Sid)) {
        return STATUS_NONE_MAPPED;
    }
    at = SkipSpaces(at);
    if (*at != ')') {
        return STATUS_INVALID_ACL;
    }
    *Position = at + 1;
    return STATUS_SUCCESS;
}

// Entries in the list up to End: one per five ';'. A list without any may
// hold spaces only.
NTSTATUS CountEntries(PCWSTR Text, PCWSTR End, ULONG* Entries)
{
    ULONG separators = 0;
    BOOLEAN onlySpaces = TRUE;
    for (PCWSTR c = Text; c < End; ++c) {
        separators += *c == ';' ? 1 : 0;
        onlySpaces = onlySpaces && *c == ' ';
    }
    if (separators % EntryFields != 0 || (separators == 0 && !onlySpaces)) {
        return STATUS_INVALID_PARAMETER;
    }
    *Entries = separators / EntryFields;
    return STATUS_SUCCESS;
}

} // namespace

_Use_decl_annotations_
NTSTATUS ParseAceList(PCWSTR Text, PACL* Acl, PCWSTR* ListEnd)
{
    *Acl = nullptr;
    // The list ends before the next section; its letter is not the list's.
    PCWSTR limit = Text;
    while (*limit != Terminator && *limit != ':') {
        ++limit;
    }
    if (*limit == ':' && limit == Text) {
        return STATUS_INVALID_PARAMETER;
    }
    PCWSTR end = *limit == ':' ? limit - 1 : limit;
    ULONG entries = 0;
    NTSTATUS status = CountEntries(Text, end, &entries);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // No entries: an empty DACL, which grants nobody anything.
    ULONG64 reserved = ULONG64{ReservedBytesPerAce} * entries + AclHeaderSize;
    PACL acl = AllocateAcl(reserved > LargestAclSize ? LargestAclSize : static_cast<ULONG>(reserved));
    if (acl == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG inUse = AclHeaderSize;
    PCWSTR at = Text;
    for (ULONG index = 0; index < entries && NT_SUCCESS(status); ++index) {
        ACCESS_MASK mask = 0;
        PSID sid = nullptr;
        status = ParseAllowedEntry(&at, &mask, &sid);
        // A conditional alias this kernel lacks adds nothing.
        if (NT_SUCCESS(status) && sid != nullptr) {
            status = AppendAllowedAce(&acl, &inUse, mask, entries - index, sid);
        }
        if (*at == '(') {
            ++at;
        }
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(acl, DescriptorFreeTag);
        return status;
    }
    acl->AclSize = static_cast<USHORT>(inUse);
    *Acl = acl;
    *ListEnd = end;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS ParseDaclSection(PCWSTR String, BOOLEAN DaclDefaulted, PACL* Acl,
                          SECURITY_DESCRIPTOR_CONTROL* Control)
{
    *Acl = nullptr;
    PCWSTR at = SkipSpaces(String);
    if (at[0] != 'D' || at[1] != ':') {
        return STATUS_INVALID_PARAMETER;
    }
    at += 2;
    BOOLEAN isProtected = *at == 'P';
    if (isProtected) {
        ++at;
    }
    PACL acl = nullptr;
    PCWSTR end = nullptr;
    NTSTATUS status = ParseAceList(at, &acl, &end);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The DACL must be the whole string: another section is refused.
    if (*SkipSpaces(end) != Terminator) {
        ExFreePoolWithTag(acl, DescriptorFreeTag);
        return STATUS_INVALID_PARAMETER;
    }
    *Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>((DaclDefaulted ? SE_DACL_DEFAULTED : 0) |
                                                        (isProtected ? SE_DACL_PROTECTED : 0));
    *Acl = acl;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS ParseDescriptorString(PCWSTR String, BOOLEAN DaclDefaulted,
                               PSECURITY_DESCRIPTOR* Descriptor)
{
    *Descriptor = nullptr;
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName,
                         WIDE("SeConvertStringSecurityDescriptorToSecurityDescriptor"));
    auto convert =
        reinterpret_cast<SeConvertStringSecurityDescriptorRoutine>(MmGetSystemRoutineAddress(&routineName));
    if (convert != nullptr) {
        PSECURITY_DESCRIPTOR converted = nullptr;
        NTSTATUS status = convert(String, DescriptorStringRevision, &converted, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (DaclDefaulted) {
            // Control lies at the same place in both descriptor forms.
            static_cast<PISECURITY_DESCRIPTOR>(converted)->Control |= SE_DACL_DEFAULTED;
        }
        *Descriptor = converted;
        return status;
    }

    PACL acl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    NTSTATUS status = ParseDaclSection(String, DaclDefaulted, &acl, &control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SECURITY_DESCRIPTOR absolute;
    PVOID selfRelative = nullptr;
    ULONG length = 0;
    status = RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, FALSE);
    }
    if (NT_SUCCESS(status)) {
        absolute.Control |= control;
        // A null buffer asks for the length only.
        status = RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &length);
        if (status == STATUS_BUFFER_TOO_SMALL && length != 0) {
            status = STATUS_SUCCESS;
        } else if (NT_SUCCESS(status)) {
            status = STATUS_INVALID_SECURITY_DESCR;
        }
    }
    if (NT_SUCCESS(status)) {
        selfRelative = ExAllocatePoolWithTag(DescriptorPoolType, length, DescriptorTag);
        status = selfRelative != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(selfRelative, length);
        status = RtlAbsoluteToSelfRelativeSD(&absolute, selfRelative, &length);
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(selfRelative, DescriptorFreeTag);
            selfRelative = nullptr;
        }
    }
    // The self-relative copy holds the ACL's bytes; the ACL goes in every
    // outcome.
    ExFreePoolWithTag(acl, DescriptorFreeTag);
    *Descriptor = selfRelative;
    return status;
}

_Use_decl_annotations_
NTSTATUS DescriptorFromString(PCUNICODE_STRING String, BOOLEAN DaclDefaulted,
                              PSECURITY_DESCRIPTOR* Descriptor)
{
    *Descriptor = nullptr;
    // A counted string the kernel itself would refuse: odd length, a length
    // past its buffer, or no buffer.
    if (String == nullptr || String->Buffer == nullptr || String->Length % sizeof(WCHAR) != 0 ||
        String->Length > String->MaximumLength) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG units = String->Length / sizeof(WCHAR);
    if (ULONG{String->MaximumLength} == ULONG{String->Length} + sizeof(WCHAR) &&
        String->Buffer[units] == Terminator) {
        return ParseDescriptorString(String->Buffer, DaclDefaulted, Descriptor);
    }
    // Not terminated inside its buffer: parse a terminated copy, leaving the
    // caller's buffer untouched.
    ULONG copySize = ULONG{String->Length} + sizeof(WCHAR);
    auto* copy = static_cast<PWSTR>(ExAllocatePoolWithTag(DescriptorPoolType, copySize, StringCopyTag));
    if (copy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(copy, copySize);
    RtlCopyMemory(copy, String->Buffer, String->Length);
    copy[units] = Terminator;
    NTSTATUS status = ParseDescriptorString(copy, DaclDefaulted, Descriptor);
    ExFreePoolWithTag(copy, DescriptorFreeTag);
    return status;
}
