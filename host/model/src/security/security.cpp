// Security as far as the driver reaches it: SIDs and the kernel's SE_EXPORTS
// record, ACLs and security descriptors (the Rtl routines), the kernel's
// descriptor string converter and IoCreateDeviceSecure, object handles
// (ObOpenObjectByPointer, ZwClose) and the descriptor each device keeps
// (ZwSetSecurityObject). Every byte the driver hands over is read through
// the checked accesses and validated as the kernel validates it; a handle
// still open when the driver goes is a violation.
#include "memory/guest_memory.h"
#include "core/model_lock.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <tuple>

namespace model {

namespace {

constexpr size_t SidHeader = 8;
constexpr UCHAR MaxSubAuthorities = 15;
constexpr size_t RelativeHeader = 20;
constexpr UCHAR AllowedAceType = 0;
constexpr UCHAR DeniedAceType = 1;
constexpr UCHAR AuditAceType = 2;
constexpr size_t AceHeader = 8;  // type, flags, size, mask
constexpr USHORT LargestAcl = 0xFFFC;
constexpr USHORT DaclControlBits = SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_PROTECTED;
constexpr USHORT SaclControlBits = SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_PROTECTED;
// Kernel handles have the top bit set; user mode cannot name them.
constexpr uint64_t KernelHandleBase = 0xFFFFFFFF80000000ull;
constexpr size_t LongestDescriptorString = 0x7FFF;
constexpr ULONG ConverterTag = 0x6C646453;  // 'Sddl'
// Where SE_EXPORTS fields lie that the machine's kernel does not have: what
// a read past the kernel's shorter record finds, an address nothing maps.
constexpr uintptr_t BeyondTheRecord = 0x0000DEAD00000000ull;

using Bytes = std::vector<uint8_t>;

uint16_t Get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
uint32_t Get32(const Bytes& b, size_t at)
{
    return static_cast<uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16)) |
           (static_cast<uint32_t>(b[at + 3]) << 24);
}
void Put16(Bytes& b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

Bytes MakeSid(uint64_t authority, std::initializer_list<uint32_t> subs)
{
    Bytes sid(SidHeader + 4 * subs.size());
    sid[0] = 1;
    sid[1] = static_cast<uint8_t>(subs.size());
    for (int i = 0; i < 6; ++i) {
        sid[2 + i] = static_cast<uint8_t>(authority >> (8 * (5 - i)));
    }
    size_t at = SidHeader;
    for (uint32_t sub : subs) {
        Put32(sid, at, sub);
        at += 4;
    }
    return sid;
}

// The well-known SIDs: their descriptor string alias (if any), their
// SE_EXPORTS field, the kernel version (major, minor) that has the field.
struct WellKnownSid {
    const char* Alias;
    size_t Field;
    ULONG Major, Minor;
    Bytes Sid;
};

const std::vector<WellKnownSid>& WellKnownSids()
{
#define FIELD(name) offsetof(SE_EXPORTS, name)
    static const std::vector<WellKnownSid> sids = {
        {nullptr, FIELD(SeNullSid), 0, 0, MakeSid(0, {0})},
        {"WD", FIELD(SeWorldSid), 0, 0, MakeSid(1, {0})},
        {nullptr, FIELD(SeLocalSid), 0, 0, MakeSid(2, {0})},
        {"CO", FIELD(SeCreatorOwnerSid), 0, 0, MakeSid(3, {0})},
        {"CG", FIELD(SeCreatorGroupSid), 0, 0, MakeSid(3, {1})},
        {nullptr, FIELD(SeNtAuthoritySid), 0, 0, MakeSid(5, {})},
        {nullptr, FIELD(SeDialupSid), 0, 0, MakeSid(5, {1})},
        {"NU", FIELD(SeNetworkSid), 0, 0, MakeSid(5, {2})},
        {nullptr, FIELD(SeBatchSid), 0, 0, MakeSid(5, {3})},
        {"IU", FIELD(SeInteractiveSid), 0, 0, MakeSid(5, {4})},
        {"SY", FIELD(SeLocalSystemSid), 0, 0, MakeSid(5, {18})},
        {"BA", FIELD(SeAliasAdminsSid), 0, 0, MakeSid(5, {32, 544})},
        {"BU", FIELD(SeAliasUsersSid), 0, 0, MakeSid(5, {32, 545})},
        {"BG", FIELD(SeAliasGuestsSid), 0, 0, MakeSid(5, {32, 546})},
        {"PU", FIELD(SeAliasPowerUsersSid), 0, 0, MakeSid(5, {32, 547})},
        {"AO", FIELD(SeAliasAccountOpsSid), 0, 0, MakeSid(5, {32, 548})},
        {"SO", FIELD(SeAliasSystemOpsSid), 0, 0, MakeSid(5, {32, 549})},
        {"PO", FIELD(SeAliasPrintOpsSid), 0, 0, MakeSid(5, {32, 550})},
        {"BO", FIELD(SeAliasBackupOpsSid), 0, 0, MakeSid(5, {32, 551})},
        {"AU", FIELD(SeAuthenticatedUsersSid), 0, 0, MakeSid(5, {11})},
        {"RC", FIELD(SeRestrictedSid), 0, 0, MakeSid(5, {12})},
        {"AN", FIELD(SeAnonymousLogonSid), 0, 0, MakeSid(5, {7})},
        {"LS", FIELD(SeLocalServiceSid), 5, 1, MakeSid(5, {19})},
        {"NS", FIELD(SeNetworkServiceSid), 5, 1, MakeSid(5, {20})},
        {nullptr, FIELD(SeIUserSid), 6, 0, MakeSid(5, {17})},
        {nullptr, FIELD(SeUntrustedMandatorySid), 6, 0, MakeSid(16, {0})},
        {"LW", FIELD(SeLowMandatorySid), 6, 0, MakeSid(16, {0x1000})},
        {"ME", FIELD(SeMediumMandatorySid), 6, 0, MakeSid(16, {0x2000})},
        {"HI", FIELD(SeHighMandatorySid), 6, 0, MakeSid(16, {0x3000})},
        {"SI", FIELD(SeSystemMandatorySid), 6, 0, MakeSid(16, {0x4000})},
        {"OW", FIELD(SeOwnerRightsSid), 6, 0, MakeSid(3, {4})},
        {"AC", FIELD(SeAllAppPackagesSid), 6, 2, MakeSid(15, {2, 1})},
        {nullptr, FIELD(SeUserModeDriversSid), 6, 2, MakeSid(5, {84, 0, 0, 0, 0, 0})},
    };
#undef FIELD
    return sids;
}

// The kernel's exported SE_EXPORTS pointer, the record and the SIDs it
// points at: one page, which an emulated processor maps as it is.
struct alignas(DataExportPageSize) SeExportsPage {
    PSE_EXPORTS Pointer;
    SE_EXPORTS Record;
    uint8_t Sids[2048];
};
static_assert(sizeof(SeExportsPage) == DataExportPageSize, "one page");

// The device object type: the exported pointer and the object it names.
struct alignas(DataExportPageSize) ObjectTypePage {
    POBJECT_TYPE Pointer;
    uint64_t DeviceType[8];
};
static_assert(sizeof(ObjectTypePage) == DataExportPageSize, "one page");

bool VersionHas(const OsVersion& version, ULONG major, ULONG minor)
{
    return version.Major > major || (version.Major == major && version.Minor >= minor);
}

// A descriptor as the kernel keeps it: which parts it has and their bytes.
struct Descriptor {
    USHORT Control = 0;  // without SE_SELF_RELATIVE
    std::optional<Bytes> Owner, Group;
    Bytes Sacl, Dacl;  // empty with the present bit: a null ACL
};

Bytes SelfRelative(const Descriptor& d)
{
    const bool sacl = (d.Control & SE_SACL_PRESENT) && !d.Sacl.empty();
    const bool dacl = (d.Control & SE_DACL_PRESENT) && !d.Dacl.empty();
    const size_t total = RelativeHeader + (sacl ? d.Sacl.size() : 0) + (dacl ? d.Dacl.size() : 0) +
                         (d.Owner ? d.Owner->size() : 0) + (d.Group ? d.Group->size() : 0);
    // Sized once, filled in place.
    Bytes out(total, 0);
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    Put16(out, 2, static_cast<uint16_t>(d.Control | SE_SELF_RELATIVE));
    size_t next = RelativeHeader;
    auto place = [&](size_t offsetField, const Bytes& part) {
        Put32(out, offsetField, static_cast<uint32_t>(next));
        std::copy(part.begin(), part.end(), out.begin() + static_cast<long>(next));
        next += part.size();
    };
    if (sacl) {
        place(12, d.Sacl);
    }
    if (dacl) {
        place(16, d.Dacl);
    }
    if (d.Owner) {
        place(4, *d.Owner);
    }
    if (d.Group) {
        place(8, *d.Group);
    }
    return out;
}

size_t SidLength(const Bytes& sid) { return SidHeader + 4 * size_t{sid[1]}; }

// Reads a SID the driver points at; nullopt when it is malformed.
std::optional<Bytes> ReadSid(const char* routine, const void* sid)
{
    Bytes head(SidHeader);
    CopyFromDriver(routine, head.data(), sid, SidHeader);
    if (head[0] != 1 || head[1] > MaxSubAuthorities) {
        return std::nullopt;
    }
    Bytes whole(SidLength(head));
    CopyFromDriver(routine, whole.data(), sid, whole.size());
    return whole;
}

bool ValidSidBytes(const Bytes& acl, size_t at, size_t end)
{
    return at + SidHeader <= end && acl[at] == 1 && acl[at + 1] <= MaxSubAuthorities &&
           at + SidHeader + 4 * size_t{acl[at + 1]} <= end;
}

// The ACL's entries are walkable inside its size; returns the bytes in use.
std::optional<size_t> AclBytesInUse(const Bytes& acl)
{
    if (acl.size() < sizeof(ACL) || acl[0] < ACL_REVISION || acl[0] > ACL_REVISION_DS ||
        Get16(acl, 2) != acl.size() || acl.size() % 4 != 0) {
        return std::nullopt;
    }
    size_t at = sizeof(ACL);
    for (unsigned i = 0; i < Get16(acl, 4); ++i) {
        if (at + 4 > acl.size()) {
            return std::nullopt;
        }
        size_t size = Get16(acl, at + 2);
        if (size < 4 || size % 4 != 0 || at + size > acl.size()) {
            return std::nullopt;
        }
        UCHAR type = acl[at];
        if ((type == AllowedAceType || type == DeniedAceType || type == AuditAceType) &&
            (size < AceHeader + SidHeader || !ValidSidBytes(acl, at + AceHeader, at + size))) {
            return std::nullopt;
        }
        at += size;
    }
    return at;
}

std::optional<Bytes> ReadAcl(const char* routine, const void* acl)
{
    ACL head = ReadFromDriver(routine, static_cast<const ACL*>(acl));
    if (head.AclSize < sizeof(ACL)) {
        return std::nullopt;
    }
    Bytes whole(head.AclSize);
    CopyFromDriver(routine, whole.data(), acl, whole.size());
    if (!AclBytesInUse(whole)) {
        return std::nullopt;
    }
    return whole;
}

// The header of a descriptor, absolute or self-relative, with its parts'
// addresses; what the Rtl query routines answer from.
struct DescriptorHead {
    USHORT Control;
    const uint8_t* Owner;
    const uint8_t* Group;
    const uint8_t* Sacl;
    const uint8_t* Dacl;
};

NTSTATUS ReadHead(const char* routine, PSECURITY_DESCRIPTOR sd, DescriptorHead* head)
{
    auto base = static_cast<const uint8_t*>(sd);
    uint8_t first[4];
    CopyFromDriver(routine, first, base, sizeof(first));
    if (first[0] != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    head->Control = static_cast<USHORT>(first[2] | (first[3] << 8));
    if (head->Control & SE_SELF_RELATIVE) {
        Bytes h(RelativeHeader);
        CopyFromDriver(routine, h.data(), base, h.size());
        auto at = [&](size_t field) {
            uint32_t offset = Get32(h, field);
            return offset != 0 ? base + offset : nullptr;
        };
        head->Owner = at(4);
        head->Group = at(8);
        head->Sacl = at(12);
        head->Dacl = at(16);
    } else {
        auto absolute = ReadFromDriver(routine, static_cast<const SECURITY_DESCRIPTOR*>(sd));
        head->Owner = static_cast<const uint8_t*>(absolute.Owner);
        head->Group = static_cast<const uint8_t*>(absolute.Group);
        head->Sacl = reinterpret_cast<const uint8_t*>(absolute.Sacl);
        head->Dacl = reinterpret_cast<const uint8_t*>(absolute.Dacl);
    }
    return STATUS_SUCCESS;
}

// The whole descriptor, validated.
NTSTATUS ReadDescriptor(const char* routine, PSECURITY_DESCRIPTOR sd, Descriptor* out)
{
    DescriptorHead head;
    NTSTATUS status = ReadHead(routine, sd, &head);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    out->Control = static_cast<USHORT>(head.Control & ~SE_SELF_RELATIVE);
    if (head.Owner != nullptr && !(out->Owner = ReadSid(routine, head.Owner))) {
        return STATUS_INVALID_SID;
    }
    if (head.Group != nullptr && !(out->Group = ReadSid(routine, head.Group))) {
        return STATUS_INVALID_SID;
    }
    for (auto [bit, at, part] : {std::tuple{SE_SACL_PRESENT, head.Sacl, &out->Sacl},
                                 std::tuple{SE_DACL_PRESENT, head.Dacl, &out->Dacl}}) {
        if ((out->Control & bit) && at != nullptr) {
            auto acl = ReadAcl(routine, at);
            if (!acl) {
                return STATUS_INVALID_ACL;
            }
            *part = *acl;
        }
    }
    return STATUS_SUCCESS;
}

Bytes AclOf(const std::vector<std::pair<ACCESS_MASK, Bytes>>& allowed)
{
    Bytes acl(sizeof(ACL), 0);
    acl[0] = ACL_REVISION;
    for (const auto& [mask, sid] : allowed) {
        Bytes ace(AceHeader, 0);
        ace[0] = AllowedAceType;
        Put16(ace, 2, static_cast<uint16_t>(AceHeader + sid.size()));
        Put32(ace, 4, mask);
        ace.insert(ace.end(), sid.begin(), sid.end());
        acl.insert(acl.end(), ace.begin(), ace.end());
    }
    Put16(acl, 2, static_cast<uint16_t>(acl.size()));
    Put16(acl, 4, static_cast<uint16_t>(allowed.size()));
    return acl;
}

const Bytes* SidByAlias(const std::u16string& alias)
{
    for (const WellKnownSid& known : WellKnownSids()) {
        if (known.Alias != nullptr && alias.size() == 2 &&
            std::toupper(alias[0] & 0x7F) == known.Alias[0] &&
            std::toupper(alias[1] & 0x7F) == known.Alias[1] && alias[0] < 0x80 &&
            alias[1] < 0x80) {
            return &known.Sid;
        }
    }
    return nullptr;
}

// The kernel's descriptor string converter: owner, group, DACL and SACL
// sections; allow, deny and audit entries with the common flags; rights as
// tokens or numbers; trustees as aliases or S-1-... strings.
class SddlReader {
public:
    explicit SddlReader(const std::u16string& text) : text_(text) {}

    NTSTATUS Read(Descriptor* out)
    {
        std::string seen;
        for (SkipSpaces(); at_ < text_.size(); SkipSpaces()) {
            if (at_ + 1 >= text_.size() || text_[at_ + 1] != u':') {
                return STATUS_INVALID_PARAMETER;
            }
            char section = static_cast<char>(text_[at_]);
            if (seen.find(section) != std::string::npos) {
                return STATUS_INVALID_PARAMETER;
            }
            seen.push_back(section);
            at_ += 2;
            NTSTATUS status = STATUS_SUCCESS;
            if (section == 'O' || section == 'G') {
                Bytes sid;
                status = ReadTrustee(&sid);
                (section == 'O' ? out->Owner : out->Group) = sid;
            } else if (section == 'D' || section == 'S') {
                status = ReadAclSection(section == 'D', out);
            } else {
                return STATUS_INVALID_PARAMETER;
            }
            if (status != STATUS_SUCCESS) {
                return status;
            }
        }
        return STATUS_SUCCESS;
    }

private:
    char16_t Peek(size_t ahead = 0) const
    {
        return at_ + ahead < text_.size() ? text_[at_ + ahead] : u'\0';
    }
    void SkipSpaces()
    {
        while (Peek() == u' ') {
            ++at_;
        }
    }
    bool Take(const char* token)
    {
        size_t n = std::strlen(token);
        for (size_t i = 0; i < n; ++i) {
            char16_t c = Peek(i);
            if (c >= 0x80 || std::toupper(static_cast<int>(c)) != token[i]) {
                return false;
            }
        }
        at_ += n;
        return true;
    }

    NTSTATUS ReadTrustee(Bytes* sid)
    {
        SkipSpaces();
        if (Take("S-")) {
            std::vector<uint64_t> numbers;
            do {
                if (Peek() < u'0' || Peek() > u'9') {
                    return STATUS_INVALID_PARAMETER;
                }
                uint64_t value = 0;
                while (Peek() >= u'0' && Peek() <= u'9' && value <= 0xFFFFFFFFFFFull) {
                    value = value * 10 + (Peek() - u'0');
                    ++at_;
                }
                numbers.push_back(value);
            } while (Take("-"));
            if (numbers.size() < 2 || numbers[0] != 1 || numbers.size() - 2 > MaxSubAuthorities ||
                numbers[1] > 0xFFFFFFFFFFFFull) {
                return STATUS_INVALID_PARAMETER;
            }
            *sid = MakeSid(numbers[1], {});
            for (size_t i = 2; i < numbers.size(); ++i) {
                if (numbers[i] > 0xFFFFFFFFu) {
                    return STATUS_INVALID_PARAMETER;
                }
                sid->resize(sid->size() + 4);
                Put32(*sid, sid->size() - 4, static_cast<uint32_t>(numbers[i]));
            }
            (*sid)[1] = static_cast<uint8_t>(numbers.size() - 2);
            return STATUS_SUCCESS;
        }
        const Bytes* known = SidByAlias(text_.substr(at_, 2));
        if (known == nullptr) {
            return STATUS_NONE_MAPPED;
        }
        at_ += 2;
        *sid = *known;
        return STATUS_SUCCESS;
    }

    NTSTATUS ReadRights(ACCESS_MASK* mask)
    {
        static const std::pair<const char*, ACCESS_MASK> Rights[] = {
            {"GA", GENERIC_ALL},     {"GR", GENERIC_READ}, {"GW", GENERIC_WRITE},
            {"GX", GENERIC_EXECUTE}, {"RC", READ_CONTROL}, {"SD", DELETE},
            {"WD", WRITE_DAC},       {"WO", WRITE_OWNER},  {"FA", 0x001F01FF},
            {"FR", 0x00120089},      {"FW", 0x00120116},   {"FX", 0x001200A0},
            {"KA", 0x000F003F},      {"KR", 0x00020019},   {"KW", 0x00020006},
            {"CC", 0x1},             {"DC", 0x2},          {"LC", 0x4},
            {"SW", 0x8},             {"RP", 0x10},         {"WP", 0x20},
            {"DT", 0x40},            {"LO", 0x80},         {"CR", 0x100},
        };
        *mask = 0;
        SkipSpaces();
        if (Peek() >= u'0' && Peek() <= u'9') {
            // As the C library reads it: 0x hex, a leading 0 octal.
            unsigned base = 10;
            if (Take("0X")) {
                base = 16;
            } else if (Peek() == u'0') {
                base = 8;
            }
            uint64_t value = 0;
            bool any = base == 8;
            for (;; ++at_) {
                char16_t c = Peek();
                unsigned digit = c >= u'0' && c <= u'9'   ? c - u'0'
                                 : c >= u'a' && c <= u'f' ? c - u'a' + 10
                                 : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                          : 99;
                if (digit >= base) {
                    break;
                }
                value = value * base + digit;
                any = true;
                if (value > 0xFFFFFFFFu) {
                    return STATUS_INVALID_PARAMETER;
                }
            }
            *mask = static_cast<ACCESS_MASK>(value);
            return any ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        }
        while (Peek() != u';') {
            bool found = false;
            for (const auto& [token, value] : Rights) {
                if (Take(token)) {
                    *mask |= value;
                    found = true;
                    break;
                }
            }
            if (!found) {
                return STATUS_INVALID_PARAMETER;
            }
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS ReadAclSection(bool dacl, Descriptor* out)
    {
        USHORT control = dacl ? SE_DACL_PRESENT : SE_SACL_PRESENT;
        for (;;) {
            if (Take("P")) {
                control |= dacl ? SE_DACL_PROTECTED : SE_SACL_PROTECTED;
            } else if (Take("AI") || Take("AR")) {
                // Inheritance requests: nothing to inherit from here.
            } else {
                break;
            }
        }
        Bytes acl(sizeof(ACL), 0);
        acl[0] = ACL_REVISION;
        unsigned count = 0;
        for (SkipSpaces(); Peek() == u'('; SkipSpaces()) {
            ++at_;
            UCHAR type;
            if (Take("AU")) {
                type = AuditAceType;
            } else if (Take("A")) {
                type = AllowedAceType;
            } else if (Take("D")) {
                type = DeniedAceType;
            } else {
                return STATUS_INVALID_PARAMETER;
            }
            if (!Take(";")) {
                return STATUS_INVALID_PARAMETER;
            }
            UCHAR flags = 0;
            static const std::pair<const char*, UCHAR> Flags[] = {
                {"OI", 0x1}, {"CI", 0x2}, {"NP", 0x4}, {"IO", 0x8}, {"ID", 0x10}, {"SA", 0x40},
                {"FA", 0x80}};
            while (!Take(";")) {
                bool found = false;
                for (const auto& [token, bit] : Flags) {
                    if (Take(token)) {
                        flags |= bit;
                        found = true;
                        break;
                    }
                }
                if (!found) {
                    return STATUS_INVALID_PARAMETER;
                }
            }
            ACCESS_MASK mask;
            NTSTATUS status = ReadRights(&mask);
            if (status != STATUS_SUCCESS) {
                return status;
            }
            if (!Take(";") || !Take(";") || !Take(";")) {
                return STATUS_INVALID_PARAMETER;
            }
            Bytes sid;
            status = ReadTrustee(&sid);
            if (status != STATUS_SUCCESS) {
                return status;
            }
            SkipSpaces();
            if (!Take(")")) {
                return STATUS_INVALID_PARAMETER;
            }
            Bytes ace(AceHeader, 0);
            ace[0] = type;
            ace[1] = flags;
            Put16(ace, 2, static_cast<uint16_t>(AceHeader + sid.size()));
            Put32(ace, 4, mask);
            ace.insert(ace.end(), sid.begin(), sid.end());
            acl.insert(acl.end(), ace.begin(), ace.end());
            if (acl.size() > LargestAcl) {
                return STATUS_INVALID_PARAMETER;
            }
            ++count;
        }
        Put16(acl, 2, static_cast<uint16_t>(acl.size()));
        Put16(acl, 4, static_cast<uint16_t>(count));
        out->Control |= control;
        (dacl ? out->Dacl : out->Sacl) = acl;
        return STATUS_SUCCESS;
    }

    const std::u16string& text_;
    size_t at_ = 0;
};

// Reads and converts the driver's descriptor string.
NTSTATUS ConvertString(const char* routine, const std::u16string& text, Bytes* selfRelative)
{
    (void)routine;
    Descriptor descriptor;
    NTSTATUS status = SddlReader(text).Read(&descriptor);
    if (status == STATUS_SUCCESS) {
        *selfRelative = SelfRelative(descriptor);
    }
    return status;
}

HandleRecord* FindHandle(HANDLE handle)
{
    auto found = State().Handles.find(reinterpret_cast<uintptr_t>(handle));
    return found != State().Handles.end() ? &found->second : nullptr;
}

DeviceRecord* DeviceOf(const void* object)
{
    for (DeviceRecord& device : State().Devices) {
        if (device.Object == object) {
            return &device;
        }
    }
    return nullptr;
}

}  // namespace

}  // namespace model

extern "C" {
// The storage is the page; the exported names are its first words. Their
// values are constants, set before any program starts: a test program that
// names them gets a copy of the word at start-up, which must already hold
// the right address.
model::SeExportsPage VekSeExportsPage = {&VekSeExportsPage.Record, {}, {}};
extern PSE_EXPORTS SeExports __attribute__((alias("VekSeExportsPage")));
model::ObjectTypePage VekObjectTypePage = {
    reinterpret_cast<POBJECT_TYPE>(&VekObjectTypePage.DeviceType), {}};
extern POBJECT_TYPE IoDeviceObjectType __attribute__((alias("VekObjectTypePage")));
}

namespace model {

void StartSecurity(MachineState& state)
{
    // AddressSanitizer sizes each page by its exported name's type (one
    // pointer) and guards the rest; the record and objects behind that word
    // are part of the page too.
    ASAN_UNPOISON_MEMORY_REGION(&VekSeExportsPage, sizeof(VekSeExportsPage));
    ASAN_UNPOISON_MEMORY_REGION(&VekObjectTypePage, sizeof(VekObjectTypePage));
    SeExportsPage& page = VekSeExportsPage;
    std::memset(&page.Record, 0, sizeof(page.Record));
    std::memset(page.Sids, 0, sizeof(page.Sids));
    size_t used = 0;
    for (const WellKnownSid& known : WellKnownSids()) {
        void* value = reinterpret_cast<void*>(BeyondTheRecord + known.Field);
        if (VersionHas(state.Config.Version, known.Major, known.Minor)) {
            std::memcpy(page.Sids + used, known.Sid.data(), known.Sid.size());
            value = page.Sids + used;
            used += known.Sid.size();
        }
        std::memcpy(reinterpret_cast<uint8_t*>(&page.Record) + known.Field, &value, sizeof(value));
    }
}

void* SeExportsPageAddress()
{
    return &VekSeExportsPage;
}

void* DeviceObjectTypePageAddress()
{
    return &VekObjectTypePage;
}

std::vector<uint8_t> DefaultDeviceSecurity()
{
    // The kernel's default for a named device: the system and the
    // administrators may do anything, everyone may read, write and execute.
    Descriptor d;
    d.Control = SE_DACL_PRESENT;
    d.Dacl = AclOf({{GENERIC_ALL, *SidByAlias(u"SY")},
                    {GENERIC_ALL, *SidByAlias(u"BA")},
                    {GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE, *SidByAlias(u"WD")},
                    {GENERIC_READ | GENERIC_EXECUTE, *SidByAlias(u"RC")}});
    return SelfRelative(d);
}

void CheckHandlesLeft(const char* when)
{
    MachineState& s = State();
    if (!s.Handles.empty()) {
        Violation("%zu object handle(s) still open after %s", s.Handles.size(), when);
        s.Handles.clear();
    }
}

std::vector<uint8_t> DeviceSecurity(const std::string& name)
{
    for (const DeviceRecord& device : State().Devices) {
        if (Narrow(device.Name) == name) {
            return device.Security;
        }
    }
    return {};
}

size_t OpenHandles()
{
    return State().Handles.size();
}

}  // namespace model

using namespace model;

extern "C" NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                ULONG Revision)
{
    KernelScope kernel;
    constexpr const char* Routine = "RtlCreateSecurityDescriptor";
    // Its page: PASSIVE_LEVEL.
    auto fault = EnterRoutine(Routine, PASSIVE_LEVEL, AtBugCheck::Forbidden,
                              "revision=" + std::to_string(Revision));
    if (fault) {
        return *fault;
    }
    if (Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    SECURITY_DESCRIPTOR fresh = {};
    fresh.Revision = SECURITY_DESCRIPTOR_REVISION;
    WriteToDriver(Routine, static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor), fresh);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                 BOOLEAN DaclPresent, PACL Dacl,
                                                 BOOLEAN DaclDefaulted)
{
    KernelScope kernel;
    constexpr const char* Routine = "RtlSetDaclSecurityDescriptor";
    // Its page: PASSIVE_LEVEL.
    auto fault = EnterRoutine(Routine, PASSIVE_LEVEL, AtBugCheck::Forbidden,
                              "present=" + std::to_string(DaclPresent) +
                                  " defaulted=" + std::to_string(DaclDefaulted));
    if (fault) {
        return *fault;
    }
    auto* target = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
    SECURITY_DESCRIPTOR sd = ReadFromDriver(Routine, target);
    if (sd.Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    if (sd.Control & SE_SELF_RELATIVE) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    sd.Control &= static_cast<USHORT>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (DaclPresent) {
        sd.Control |= SE_DACL_PRESENT | (DaclDefaulted ? SE_DACL_DEFAULTED : 0);
        sd.Dacl = Dacl;
    }
    WriteToDriver(Routine, target, sd);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                                PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                                PULONG BufferLength)
{
    KernelScope kernel;
    constexpr const char* Routine = "RtlAbsoluteToSelfRelativeSD";
    ULONG length = ReadFromDriver(Routine, BufferLength);
    // Its page: APC_LEVEL or below.
    auto fault = EnterRoutine(Routine, APC_LEVEL, AtBugCheck::Forbidden,
                              "length=" + std::to_string(length));
    if (fault) {
        return *fault;
    }
    auto first = ReadFromDriver(Routine, static_cast<const SECURITY_DESCRIPTOR*>(
                                             AbsoluteSecurityDescriptor));
    if (first.Revision == SECURITY_DESCRIPTOR_REVISION && (first.Control & SE_SELF_RELATIVE)) {
        return STATUS_BAD_DESCRIPTOR_FORMAT;
    }
    Descriptor descriptor;
    NTSTATUS status = ReadDescriptor(Routine, AbsoluteSecurityDescriptor, &descriptor);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    Bytes bytes = SelfRelative(descriptor);
    if (length < bytes.size()) {
        WriteToDriver(Routine, BufferLength, static_cast<ULONG>(bytes.size()));
        return STATUS_BUFFER_TOO_SMALL;
    }
    CopyToDriver(Routine, SelfRelativeSecurityDescriptor, bytes.data(), bytes.size());
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                           PSID Sid)
{
    KernelScope kernel;
    constexpr const char* Routine = "RtlAddAccessAllowedAce";
    // Its page: below DISPATCH_LEVEL.
    auto fault = EnterRoutine(Routine, APC_LEVEL, AtBugCheck::Forbidden,
                              "revision=" + std::to_string(AceRevision) +
                                  " mask=" + Hex(AccessMask));
    if (fault) {
        return *fault;
    }
    auto acl = ReadAcl(Routine, Acl);
    if (!acl) {
        return STATUS_INVALID_ACL;
    }
    auto sid = ReadSid(Routine, Sid);
    if (!sid) {
        return STATUS_INVALID_SID;
    }
    if (AceRevision < ACL_REVISION || AceRevision > ACL_REVISION_DS) {
        return STATUS_REVISION_MISMATCH;
    }
    size_t used = *AclBytesInUse(*acl);
    size_t aceSize = AceHeader + sid->size();
    if (used + aceSize > acl->size()) {
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    }
    Bytes ace(AceHeader, 0);
    ace[0] = AllowedAceType;
    Put16(ace, 2, static_cast<uint16_t>(aceSize));
    Put32(ace, 4, AccessMask);
    ace.insert(ace.end(), sid->begin(), sid->end());
    auto* base = reinterpret_cast<uint8_t*>(Acl);
    CopyToDriver(Routine, base + used, ace.data(), ace.size());
    ACL head = ReadFromDriver(Routine, Acl);
    head.AceCount = static_cast<USHORT>(head.AceCount + 1);
    head.AclRevision = static_cast<UCHAR>(std::max<ULONG>(head.AclRevision, AceRevision));
    WriteToDriver(Routine, Acl, head);
    return STATUS_SUCCESS;
}

extern "C" ULONG RtlLengthSid(PSID Sid)
{
    KernelScope kernel;
    constexpr const char* Routine = "RtlLengthSid";
    // Its page: APC_LEVEL or below.
    EnterRoutine(Routine, APC_LEVEL, AtBugCheck::Forbidden);
    uint8_t head[2];
    CopyFromDriver(Routine, head, Sid, sizeof(head));
    return static_cast<ULONG>(SidHeader + 4 * size_t{head[1]});
}

namespace {

// The four query routines: the part's address and flags, or the status.
NTSTATUS QueryPart(const char* routine, PSECURITY_DESCRIPTOR sd, int part, PVOID* address,
                   PBOOLEAN present, PBOOLEAN defaulted)
{
    // RtlGetOwnerSecurityDescriptor's page: PASSIVE_LEVEL; the group, SACL
    // and DACL pages: APC_LEVEL or below.
    auto fault = EnterRoutine(routine, part == 0 ? PASSIVE_LEVEL : APC_LEVEL,
                              AtBugCheck::Forbidden);
    if (fault) {
        return *fault;
    }
    DescriptorHead head;
    NTSTATUS status = ReadHead(routine, sd, &head);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    const uint8_t* at = nullptr;
    bool isPresent = true;
    USHORT defaultedBit = 0;
    switch (part) {
    case 0: at = head.Owner; defaultedBit = SE_OWNER_DEFAULTED; break;
    case 1: at = head.Group; defaultedBit = SE_GROUP_DEFAULTED; break;
    case 2:
        isPresent = (head.Control & SE_SACL_PRESENT) != 0;
        at = isPresent ? head.Sacl : nullptr;
        defaultedBit = SE_SACL_DEFAULTED;
        break;
    default:
        isPresent = (head.Control & SE_DACL_PRESENT) != 0;
        at = isPresent ? head.Dacl : nullptr;
        defaultedBit = SE_DACL_DEFAULTED;
        break;
    }
    if (present != nullptr) {
        WriteToDriver(routine, present, static_cast<BOOLEAN>(isPresent));
    }
    // Absent parts leave the pointer and the defaulted flag as they were.
    if (isPresent) {
        WriteToDriver(routine, address, const_cast<PVOID>(static_cast<const void*>(at)));
        WriteToDriver(routine, defaulted,
                      static_cast<BOOLEAN>((head.Control & defaultedBit) != 0));
    }
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                  PSID* Owner, PBOOLEAN OwnerDefaulted)
{
    KernelScope kernel;
    return QueryPart("RtlGetOwnerSecurityDescriptor", SecurityDescriptor, 0, Owner, nullptr,
                     OwnerDefaulted);
}

extern "C" NTSTATUS RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                  PSID* Group, PBOOLEAN GroupDefaulted)
{
    KernelScope kernel;
    return QueryPart("RtlGetGroupSecurityDescriptor", SecurityDescriptor, 1, Group, nullptr,
                     GroupDefaulted);
}

extern "C" NTSTATUS RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                 PBOOLEAN SaclPresent, PACL* Sacl,
                                                 PBOOLEAN SaclDefaulted)
{
    KernelScope kernel;
    return QueryPart("RtlGetSaclSecurityDescriptor", SecurityDescriptor, 2,
                     reinterpret_cast<PVOID*>(Sacl), SaclPresent, SaclDefaulted);
}

extern "C" NTSTATUS RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                 PBOOLEAN DaclPresent, PACL* Dacl,
                                                 PBOOLEAN DaclDefaulted)
{
    KernelScope kernel;
    return QueryPart("RtlGetDaclSecurityDescriptor", SecurityDescriptor, 3,
                     reinterpret_cast<PVOID*>(Dacl), DaclPresent, DaclDefaulted);
}

extern "C" BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    KernelScope kernel;
    // Its page: PASSIVE_LEVEL.
    auto fault = EnterRoutine("IoIsWdmVersionAvailable", PASSIVE_LEVEL, AtBugCheck::Forbidden,
                              std::to_string(MajorVersion) + "." + Hex(MinorVersion));
    if (fault) {
        return FALSE;
    }
    // The WDM version each kernel provides: 1.10 for Windows 2000, 1.20
    // for XP, 1.30 for Server 2003, 6.00 from Vista on.
    const OsVersion& v = State().Config.Version;
    unsigned provided = v.Major >= 6                      ? 0x600
                        : v.Major == 5 && v.Minor >= 2 ? 0x130
                        : v.Major == 5 && v.Minor == 1 ? 0x120
                        : v.Major == 5                 ? 0x110
                                                       : 0x100;
    return static_cast<unsigned>(MajorVersion << 8 | MinorVersion) <= provided ? TRUE : FALSE;
}

extern "C" NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                          PACCESS_STATE PassedAccessState,
                                          ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                          KPROCESSOR_MODE AccessMode, PHANDLE Handle)
{
    KernelScope kernel;
    constexpr const char* Routine = "ObOpenObjectByPointer";
    auto fault = EnterRoutine(Routine, APC_LEVEL, AtBugCheck::Forbidden,
                              "access=" + Hex(DesiredAccess) + " attributes=" +
                                  Hex(HandleAttributes) + " mode=" + std::to_string(AccessMode));
    Require(Routine, Handle, sizeof(*Handle), MemoryAccess::Write);
    if (fault) {
        return *fault;
    }
    DeviceRecord* device = DeviceOf(Object);
    if (device == nullptr) {
        Violation("ObOpenObjectByPointer on %s, which is no live object",
                  AddressText(reinterpret_cast<uintptr_t>(Object)).c_str());
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectType != nullptr && ObjectType != IoDeviceObjectType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (PassedAccessState != nullptr) {
        Violation("ObOpenObjectByPointer given an access state; the model has none to check");
    }
    if ((HandleAttributes & OBJ_KERNEL_HANDLE) == 0) {
        Violation("ObOpenObjectByPointer without OBJ_KERNEL_HANDLE: the handle lands in the "
                  "calling process's table, where user mode can use it");
    }
    if (AccessMode != KernelMode) {
        // The object's own descriptor decides; a driver acting for itself
        // asks in kernel mode.
        return STATUS_ACCESS_DENIED;
    }
    MachineState& s = State();
    uint64_t value = KernelHandleBase + 4 * ++s.HandlesMade;
    s.Handles[value] = HandleRecord{device->Object, DesiredAccess};
    WriteToDriver(Routine, Handle, reinterpret_cast<HANDLE>(value));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                        PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    KernelScope kernel;
    constexpr const char* Routine = "ZwSetSecurityObject";
    auto fault = EnterRoutine(Routine, PASSIVE_LEVEL, AtBugCheck::Forbidden,
                              "information=" + Hex(SecurityInformation));
    if (fault) {
        return *fault;
    }
    HandleRecord* handle = FindHandle(Handle);
    DeviceRecord* device = handle != nullptr ? DeviceOf(handle->Object) : nullptr;
    if (device == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    ACCESS_MASK needed =
        ((SecurityInformation & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION))
             ? WRITE_OWNER
             : 0) |
        ((SecurityInformation & DACL_SECURITY_INFORMATION) ? WRITE_DAC : 0) |
        ((SecurityInformation & SACL_SECURITY_INFORMATION) ? ACCESS_SYSTEM_SECURITY : 0);
    if ((handle->Access & needed) != needed) {
        return STATUS_ACCESS_DENIED;
    }
    Descriptor given;
    NTSTATUS status = ReadDescriptor(Routine, SecurityDescriptor, &given);
    if (status != STATUS_SUCCESS) {
        return status == STATUS_UNKNOWN_REVISION ? status : STATUS_INVALID_SECURITY_DESCR;
    }
    // The device's own descriptor was written by the model: it parses.
    Descriptor kept;
    {
        const Bytes& b = device->Security;
        kept.Control = static_cast<USHORT>(Get16(b, 2) & ~SE_SELF_RELATIVE);
        auto sidAt = [&](size_t field) -> std::optional<Bytes> {
            uint32_t at = Get32(b, field);
            if (at == 0) {
                return std::nullopt;
            }
            return Bytes(b.begin() + at, b.begin() + at + SidHeader + 4 * b[at + 1]);
        };
        auto aclAt = [&](size_t field) {
            uint32_t at = Get32(b, field);
            return at == 0 ? Bytes() : Bytes(b.begin() + at, b.begin() + at + Get16(b, at + 2));
        };
        kept.Owner = sidAt(4);
        kept.Group = sidAt(8);
        kept.Sacl = aclAt(12);
        kept.Dacl = aclAt(16);
    }
    if (SecurityInformation & OWNER_SECURITY_INFORMATION) {
        kept.Owner = given.Owner;
    }
    if (SecurityInformation & GROUP_SECURITY_INFORMATION) {
        kept.Group = given.Group;
    }
    if (SecurityInformation & DACL_SECURITY_INFORMATION) {
        kept.Control = static_cast<USHORT>((kept.Control & ~DaclControlBits) |
                                           (given.Control & DaclControlBits));
        kept.Dacl = given.Dacl;
    }
    if (SecurityInformation & SACL_SECURITY_INFORMATION) {
        kept.Control = static_cast<USHORT>((kept.Control & ~SaclControlBits) |
                                           (given.Control & SaclControlBits));
        kept.Sacl = given.Sacl;
    }
    device->Security = SelfRelative(kept);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwClose(HANDLE Handle)
{
    KernelScope kernel;
    // Closing an open kernel handle cannot fail; no fault names ZwClose.
    EnterRoutine("ZwClose", PASSIVE_LEVEL, AtBugCheck::Forbidden);
    if (FindHandle(Handle) == nullptr) {
        Violation("ZwClose of %s, which is no open handle",
                  AddressText(reinterpret_cast<uintptr_t>(Handle)).c_str());
        return STATUS_INVALID_HANDLE;
    }
    State().Handles.erase(reinterpret_cast<uintptr_t>(Handle));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS SeConvertStringSecurityDescriptorToSecurityDescriptor(
    PCWSTR StringSecurityDescriptor, ULONG StringSDRevision,
    PSECURITY_DESCRIPTOR* SecurityDescriptor, PULONG SecurityDescriptorSize)
{
    KernelScope kernel;
    constexpr const char* Routine = "SeConvertStringSecurityDescriptorToSecurityDescriptor";
    std::u16string text = ReadWideText(Routine, StringSecurityDescriptor, LongestDescriptorString);
    auto fault = EnterRoutine(Routine, PASSIVE_LEVEL, AtBugCheck::Forbidden, Narrow(text));
    Require(Routine, SecurityDescriptor, sizeof(*SecurityDescriptor), MemoryAccess::Write);
    if (fault) {
        return *fault;
    }
    if (StringSDRevision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    Bytes bytes;
    NTSTATUS status = ConvertString(Routine, text, &bytes);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    void* block = AllocatePoolForDriver(PagedPool, bytes.size(), ConverterTag);
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(block, bytes.data(), bytes.size());
    WriteToDriver(Routine, SecurityDescriptor, block);
    if (SecurityDescriptorSize != nullptr) {
        WriteToDriver(Routine, SecurityDescriptorSize, static_cast<ULONG>(bytes.size()));
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PCUNICODE_STRING DefaultSDDLString,
                                         LPCGUID DeviceClassGuid, PDEVICE_OBJECT* DeviceObject)
{
    KernelScope kernel;
    constexpr const char* Routine = "IoCreateDeviceSecure";
    std::optional<std::u16string> name = std::u16string();
    if (DeviceName != nullptr) {
        name = ReadUnicodeString(Routine, DeviceName);
    }
    auto sddl = ReadUnicodeString(Routine, DefaultSDDLString);
    std::string guid = "null";
    if (DeviceClassGuid != nullptr) {
        GUID value = ReadFromDriver(Routine, DeviceClassGuid);
        char text[48];
        std::snprintf(text, sizeof(text), "%08X-%04X-%04X", value.Data1, value.Data2, value.Data3);
        guid = text;
    }
    auto fault = EnterRoutine(Routine, PASSIVE_LEVEL, AtBugCheck::Forbidden,
                              DeviceCreationDetail(name, DeviceExtensionSize, DeviceType,
                                                   DeviceCharacteristics, Exclusive) +
                                  " sddl=" + (sddl ? Narrow(*sddl) : std::string("?")) +
                                  " class=" + guid);
    if (DeviceObject != nullptr) {
        WriteToDriver(Routine, DeviceObject, static_cast<PDEVICE_OBJECT>(nullptr));
    }
    if (!sddl) {
        return STATUS_INVALID_PARAMETER;
    }
    if (fault) {
        return *fault;
    }
    if (name && name->empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Bytes security;
    NTSTATUS status = ConvertString(Routine, *sddl, &security);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    return CreateDeviceObject(Routine, DriverObject, DeviceExtensionSize, name, DeviceType,
                              DeviceCharacteristics, Exclusive, DeviceObject, std::nullopt,
                              std::move(security));
}
