// Descriptor strings to self-relative descriptors: every accepted and every
// refused form of the driver's own reader, the kernel converter's path, the
// counted-string forms, and every failure leaving nothing behind. The bytes
// are decoded with the tests' own reader of the published layout.
#include "descriptor_reader.h"
#include "driver_test.h"

#include "devsecure/descriptor_string.h"

#include <map>

namespace vektest {
namespace {

std::string Narrow(const std::u16string& text)
{
    return std::string(text.begin(), text.end());
}

constexpr unsigned SelfRelativeBit = 0x8000;
constexpr unsigned DaclPresentBit = 0x0004;
constexpr unsigned DaclDefaultedBit = 0x0008;
constexpr unsigned DaclProtectedBit = 0x1000;
constexpr uint32_t GenericAll = 0x10000000;
constexpr uint32_t GenericRead = 0x80000000;

class DescriptorStringTest : public DriverTest {
protected:
    // The driver's own reader: a 10.0 kernel exports the converter, so it
    // is taken away unless a case gives it back.
    void SetUp() override { UseVersion(10, 0); }

    void UseVersion(ULONG major, ULONG minor, bool converter = false)
    {
        model::MachineConfig config;
        config.Version.Major = major;
        config.Version.Minor = minor;
        config.Routines["SeConvertStringSecurityDescriptorToSecurityDescriptor"] = converter;
        UseMachine(config);
    }

    // Converts a literal as the load routine passes it: terminated in place,
    // on the stack, which the kernel's converter may read.
    NTSTATUS Convert(const std::u16string& text, DecodedDescriptor* decoded,
                     BOOLEAN defaulted = TRUE)
    {
        char16_t storage[LongestText + 1] = {};
        std::copy(text.begin(), text.end(), storage);
        UNICODE_STRING counted;
        counted.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
        counted.MaximumLength = static_cast<USHORT>(counted.Length + sizeof(WCHAR));
        counted.Buffer = storage;
        return ConvertCounted(&counted, decoded, defaulted);
    }

    static constexpr size_t LongestText = 0x7FFE;

    NTSTATUS ConvertCounted(PCUNICODE_STRING counted, DecodedDescriptor* decoded,
                            BOOLEAN defaulted = TRUE)
    {
        PSECURITY_DESCRIPTOR descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
        NTSTATUS status = DescriptorFromString(counted, defaulted, &descriptor);
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(descriptor, nullptr);
        } else if (descriptor != nullptr) {
            auto* bytes = static_cast<const uint8_t*>(descriptor);
            *decoded = DecodeSelfRelative(bytes, SelfRelativeExtent(bytes));
            ExFreePoolWithTag(descriptor, 0);
        }
        // Whatever the outcome, the conversion leaves no pool behind.
        EXPECT_EQ(model::LivePoolBlocks(), (std::map<ULONG, size_t>{}));
        return status;
    }
};

struct Accepted {
    const char16_t* Text;
    unsigned Control;  // beyond self-relative and DACL present
    std::vector<DecodedAce> Dacl;
};

TEST_F(DescriptorStringTest, EveryAcceptedFormGivesItsDacl)
{
    const std::string System = "S-1-5-18", Admins = "S-1-5-32-544";
    const Accepted cases[] = {
        {u"D:P(A;;GA;;;SY)", DaclDefaultedBit | DaclProtectedBit, {{0, 0, GenericAll, System}}},
        {u"D:", DaclDefaultedBit, {}},
        {u"D:P", DaclDefaultedBit | DaclProtectedBit, {}},
        {u"  D:   ", DaclDefaultedBit, {}},
        {u"D:(a;;ga;;;sy)", DaclDefaultedBit, {{0, 0, GenericAll, System}}},
        {u"D:(A;;0x10000000;;;SY)", DaclDefaultedBit, {{0, 0, GenericAll, System}}},
        {u"D:(A;;0X10000000;;;SY)", DaclDefaultedBit, {{0, 0, GenericAll, System}}},
        {u"D:(A;;268435456;;;SY)", DaclDefaultedBit, {{0, 0, GenericAll, System}}},
        {u"D:(A;;4294967295;;;SY)", DaclDefaultedBit, {{0, 0, 0xFFFFFFFF, System}}},
        {u"D:(A;;0xFFFFFFFF;;;SY)", DaclDefaultedBit, {{0, 0, 0xFFFFFFFF, System}}},
        {u"D:(A;;GA GR;;;BA)", DaclDefaultedBit, {{0, 0, GenericAll | GenericRead, Admins}}},
        {u"D:(A;;GAGR;;;BA)", DaclDefaultedBit, {{0, 0, GenericAll | GenericRead, Admins}}},
        // Tokens and numbers combine in any order.
        {u"D:(A;;0x1GA;;;SY)", DaclDefaultedBit, {{0, 0, GenericAll | 1, System}}},
        {u"D:(A;;GA0x1;;;SY)", DaclDefaultedBit, {{0, 0, GenericAll | 1, System}}},
        {u"D:(A;;RCWDWOSDGWGX;;;WD)", DaclDefaultedBit, {{0, 0, 0x600F0000, "S-1-1-0"}}},
        {u"D:(A;;;;;WD)", DaclDefaultedBit, {{0, 0, 0, "S-1-1-0"}}},
        {u"D:(A;;GA;;;SY)(A;;GR;;;BA)", DaclDefaultedBit,
         {{0, 0, GenericAll, System}, {0, 0, GenericRead, Admins}}},
        {u"D:( A ;;GA; ; ;SY )", DaclDefaultedBit, {{0, 0, GenericAll, System}}},
        {u"D:(A;;GA;;;IU)(A;;GA;;;RC)(A;;GA;;;AU)(A;;GA;;;NU)(A;;GA;;;AN)(A;;GA;;;BG)(A;;GA;;;BU)",
         DaclDefaultedBit,
         {{0, 0, GenericAll, "S-1-5-4"}, {0, 0, GenericAll, "S-1-5-12"}, {0, 0, GenericAll, "S-1-5-11"},
          {0, 0, GenericAll, "S-1-5-2"}, {0, 0, GenericAll, "S-1-5-7"}, {0, 0, GenericAll, "S-1-5-32-546"},
          {0, 0, GenericAll, "S-1-5-32-545"}}},
        {u"D:(A;;GA;;;LS)(A;;GA;;;NS)(A;;GA;;;AC)(A;;GA;;;UD)", DaclDefaultedBit,
         {{0, 0, GenericAll, "S-1-5-19"}, {0, 0, GenericAll, "S-1-5-20"}, {0, 0, GenericAll, "S-1-15-2-1"},
          {0, 0, GenericAll, "S-1-5-84-0-0-0-0-0"}}},
        // Text after the last entry that adds no ';' is not read as entries.
        {u"D:(A;;GA;;;SY)(B", DaclDefaultedBit, {{0, 0, GenericAll, System}}},
    };
    for (const Accepted& c : cases) {
        DecodedDescriptor d;
        ASSERT_EQ(Convert(c.Text, &d), STATUS_SUCCESS) << Narrow(c.Text);
        EXPECT_EQ(d.Error, "") << Narrow(c.Text);
        EXPECT_EQ(d.Control, SelfRelativeBit | DaclPresentBit | c.Control) << Narrow(c.Text);
        EXPECT_EQ(d.Dacl, c.Dacl) << Narrow(c.Text);
        EXPECT_EQ(d.DaclRevision, 2u) << Narrow(c.Text);
        size_t size = 8;
        for (const DecodedAce& ace : c.Dacl) {
            size += 8 + 8 + 4 * (std::count(ace.Sid.begin(), ace.Sid.end(), '-') - 2);
        }
        EXPECT_EQ(d.DaclSize, size) << Narrow(c.Text);
        EXPECT_TRUE(d.Owner.empty() && d.Group.empty() && !d.SaclPresent) << Narrow(c.Text);
    }
}

TEST_F(DescriptorStringTest, TheSystemStringGivesTheDocumentedBytes)
{
    DecodedDescriptor d;
    ASSERT_EQ(Convert(u"D:P(A;;GA;;;SY)", &d), STATUS_SUCCESS);
    EXPECT_EQ(d.DaclSize, 28u);
    EXPECT_EQ(d.Control, 0x900Cu);
    ASSERT_EQ(Convert(u"D:P(A;;GA;;;SY)", &d, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(d.Control, 0x9004u);
}

TEST_F(DescriptorStringTest, EveryRefusedFormGivesItsStatus)
{
    const struct {
        const char16_t* Text;
        NTSTATUS Status;
    } cases[] = {
        {u"", STATUS_INVALID_PARAMETER},
        {u"   ", STATUS_INVALID_PARAMETER},
        {u"d:(A;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D", STATUS_INVALID_PARAMETER},
        {u"O:SYD:(A;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;;;SY)S:(AU;SA;GA;;;WD)", STATUS_INVALID_PARAMETER},
        {u"D::", STATUS_INVALID_PARAMETER},
        {u"D:P:", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;;;SY) :", STATUS_INVALID_PARAMETER},
        {u"D:()", STATUS_INVALID_PARAMETER},
        {u"D:x", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;;;SY)(A;;GA;;BA)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;;;SY)(A;;GA;;;BA", STATUS_INVALID_ACL},
        {u"D:(D;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;CI;GA;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA ;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;XY;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;0x;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;x;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;;x;SY)", STATUS_INVALID_PARAMETER},
        {u"D:;;;;;", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;;;XX)", STATUS_NONE_MAPPED},
        {u"D:(A;;GA;;;S-1-5-18)", STATUS_NONE_MAPPED},
        {u"D:(A;;GA;;;)", STATUS_NONE_MAPPED},
        {u"D:A;;;;;", STATUS_NONE_MAPPED},
        {u"D:(A;;GA;;;SYX)", STATUS_INVALID_ACL},
        {u"D:(A;;GA;;;SY", STATUS_INVALID_ACL},
        // Sound where the plain reading is not: an audit entry is no allow
        // entry; "FA" is a rights token this reader lacks, not 0xFA; a
        // number past 32 bits is refused even where the wrapped value
        // exceeds the value before it.
        {u"D:(AU;;GA;;;WD)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;FA;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;CC;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;0x1FFFFFFF0;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;10000000000;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;4294967296;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;0x100000000;;;SY)", STATUS_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        DecodedDescriptor d;
        EXPECT_EQ(Convert(c.Text, &d), c.Status) << Narrow(c.Text);
    }
}

TEST_F(DescriptorStringTest, ConditionalAliasesResolveOnlyWhereTheKernelHasTheirSid)
{
    const struct {
        ULONG Major, Minor;
        const char16_t* Text;
        std::vector<std::string> Sids;
    } cases[] = {
        // Windows 2000: WDM 1.10, no service SIDs.
        {5, 0, u"D:(A;;GA;;;LS)", {}},
        {5, 0, u"D:(A;;GA;;;NS)(A;;GA;;;SY)", {"S-1-5-18"}},
        {5, 1, u"D:(A;;GA;;;LS)(A;;GA;;;NS)", {"S-1-5-19", "S-1-5-20"}},
        // XP to 7 have WDM 1.20 but a record without the app SIDs: the
        // fields past its end are never read (the model puts an address
        // nothing maps there).
        {5, 1, u"D:(A;;GA;;;AC)(A;;GA;;;UD)", {}},
        {6, 1, u"D:(A;;GA;;;AC)(A;;GA;;;UD)", {}},
        {6, 2, u"D:(A;;GA;;;AC)(A;;GA;;;UD)", {"S-1-15-2-1", "S-1-5-84-0-0-0-0-0"}},
    };
    for (const auto& c : cases) {
        UseVersion(c.Major, c.Minor);
        DecodedDescriptor d;
        ASSERT_EQ(Convert(c.Text, &d), STATUS_SUCCESS) << Narrow(c.Text) << " " << c.Major;
        std::vector<std::string> sids;
        for (const DecodedAce& ace : d.Dacl) {
            sids.push_back(ace.Sid);
        }
        EXPECT_EQ(sids, c.Sids) << Narrow(c.Text) << " on " << c.Major << "." << c.Minor;
    }
}

TEST_F(DescriptorStringTest, CountedStringFormsParseInPlaceOrFromACopy)
{
    std::u16string text = u"D:P(A;;GA;;;SY)XXXX";
    const USHORT length = 15 * sizeof(WCHAR);
    const struct {
        const char* Name;
        USHORT Length, MaximumLength;
        bool Terminated;
        NTSTATUS Status;
        bool Copied;
    } cases[] = {
        {"terminated in place", length, length + 2, true, STATUS_SUCCESS, false},
        {"no room for a terminator", length, length, false, STATUS_SUCCESS, true},
        {"room, but no terminator", length, length + 2, false, STATUS_SUCCESS, true},
        {"terminated, buffer longer", length, length + 8, true, STATUS_SUCCESS, true},
        {"odd length", length - 1, length + 2, true, STATUS_INVALID_PARAMETER, false},
        {"length past the buffer", length, length - 2, true, STATUS_INVALID_PARAMETER, false},
    };
    for (const auto& c : cases) {
        std::u16string buffer = text;
        buffer[15] = c.Terminated ? u'\0' : u'X';
        const std::u16string before = buffer;
        UNICODE_STRING counted{c.Length, c.MaximumLength, buffer.data()};
        size_t callsBefore = model::Calls().size();
        DecodedDescriptor d;
        EXPECT_EQ(ConvertCounted(&counted, &d), c.Status) << c.Name;
        bool copied = false;
        for (size_t i = callsBefore; i < model::Calls().size(); ++i) {
            copied = copied || model::Calls()[i].Detail.find("tag=SeTs") != std::string::npos;
        }
        EXPECT_EQ(copied, c.Copied) << c.Name;
        EXPECT_EQ(buffer, before) << c.Name << ": the caller's buffer changed";
        if (NT_SUCCESS(c.Status)) {
            EXPECT_EQ(d.Dacl, (std::vector<DecodedAce>{{0, 0, GenericAll, "S-1-5-18"}})) << c.Name;
        }
    }
    UNICODE_STRING none{0, 0, nullptr};
    DecodedDescriptor d;
    EXPECT_EQ(ConvertCounted(&none, &d), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ConvertCounted(nullptr, &d), STATUS_INVALID_PARAMETER);
}

TEST_F(DescriptorStringTest, AnAclPastItsLargestSizeIsRefusedAndOneJustBelowIsBuilt)
{
    UseVersion(6, 2);
    const struct {
        const char16_t* Entry;
        size_t Count;
        NTSTATUS Status;
    } cases[] = {
        // 20-byte entries: 1700 fit; the reservation is capped at an
        // aligned size the kernel accepts.
        {u"(A;;GA;;;SY)", 1700, STATUS_SUCCESS},
        // 40-byte entries: 1638 fit in 0xFFFC bytes, 1639 do not.
        {u"(A;;GA;;;UD)", 1638, STATUS_SUCCESS},
        {u"(A;;GA;;;UD)", 1639, STATUS_ALLOTTED_SPACE_EXCEEDED},
    };
    for (const auto& c : cases) {
        std::u16string text = u"D:";
        for (size_t i = 0; i < c.Count; ++i) {
            text += c.Entry;
        }
        DecodedDescriptor d;
        ASSERT_EQ(Convert(text, &d), c.Status) << c.Count;
        if (c.Status == STATUS_SUCCESS) {
            EXPECT_EQ(d.Error, "");
            EXPECT_EQ(d.Dacl.size(), c.Count);
        }
    }
}

TEST_F(DescriptorStringTest, TheKernelConverterIsUsedWhereItExists)
{
    UseVersion(10, 0, true);
    DecodedDescriptor d;
    ASSERT_EQ(Convert(u"D:P(A;;GA;;;SY)", &d), STATUS_SUCCESS);
    EXPECT_EQ(d.Control, 0x900Cu);  // the converter's bits plus DACL-defaulted
    EXPECT_EQ(d.Dacl, (std::vector<DecodedAce>{{0, 0, GenericAll, "S-1-5-18"}}));
    EXPECT_TRUE(model::CallsTo({"RtlAddAccessAllowedAce"}).empty());
    // What the kernel accepts beyond the driver's subset is the kernel's.
    ASSERT_EQ(Convert(u"O:SYD:(A;CI;FA;;;BA)", &d), STATUS_SUCCESS);
    EXPECT_EQ(d.Owner, "S-1-5-18");
    EXPECT_EQ(Convert(u"X:", &d), STATUS_INVALID_PARAMETER);
}

TEST_F(DescriptorStringTest, EveryFailureReturnsItsStatusAndLeavesNothing)
{
    constexpr NTSTATUS Refused = static_cast<NTSTATUS>(0xC0000123);
    const struct {
        bool Converter;
        bool Copy;
        const char* Routine;
        const char* Tag;
        unsigned Call;
        NTSTATUS Expected;
    } cases[] = {
        {false, true, "ExAllocatePoolWithTag", "SeTs", 1, STATUS_INSUFFICIENT_RESOURCES},
        {false, false, "ExAllocatePoolWithTag", "SeAl", 1, STATUS_INSUFFICIENT_RESOURCES},
        {false, false, "ExAllocatePoolWithTag", "SeSd", 1, STATUS_INSUFFICIENT_RESOURCES},
        {false, false, "RtlAddAccessAllowedAce", "", 1, Refused},
        {false, false, "RtlAddAccessAllowedAce", "", 2, Refused},
        {true, false, "SeConvertStringSecurityDescriptorToSecurityDescriptor", "", 1, Refused},
        {true, true, "ExAllocatePoolWithTag", "SeTs", 1, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const auto& c : cases) {
        UseVersion(10, 0, c.Converter);
        model::Fault fault;
        fault.Routine = c.Routine;
        fault.Tag = c.Tag;
        fault.Call = c.Call;
        NTSTATUS expected = c.Expected;
        if (expected == Refused) {
            fault.Status = expected = LastDocumentedStatus(c.Routine);
        }
        std::string error;
        ASSERT_TRUE(model::InjectFault(fault, &error)) << error;
        char16_t text[] = u"D:P(A;;GA;;;SY)(A;;GR;;;BA)";
        UNICODE_STRING counted;
        counted.Length = static_cast<USHORT>((ARRAYSIZE(text) - 1) * sizeof(WCHAR));
        counted.MaximumLength = static_cast<USHORT>(counted.Length + (c.Copy ? 0 : 2));
        counted.Buffer = text;
        DecodedDescriptor d;
        EXPECT_EQ(ConvertCounted(&counted, &d), expected) << c.Routine << " " << c.Tag << " " << c.Call;
    }
}

}  // namespace
}  // namespace vektest
