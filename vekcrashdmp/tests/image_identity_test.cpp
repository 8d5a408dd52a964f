// The image identity reader over synthetic mapped images, damaged and
// partly paged out, and the rule that leaves the PDB name column empty.
#include "driver_test.h"
#include "synthetic_pe.h"

#include "modules/image_identity.h"

#include <cstring>

namespace vektest {
namespace {

const uint8_t SampleGuid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr uint32_t SampleStamp = 0x5F3A1B2C;
constexpr uint32_t SampleSum = 0x0001A2B3;
constexpr uint32_t SampleAge = 3;
constexpr uint32_t DirectoryRva = 0x1000;
constexpr uint32_t RecordRva = 0x1100;

struct Identity {
    uint32_t Stamp = 0;
    uint32_t Sum = 0;
    uint32_t Age = 0;
    bool Guid = false;  // the sample GUID, or all zero
    std::string Pdb;
};

Identity Read(uintptr_t start)
{
    ImageIdentity identity;
    std::memset(&identity, 0x5A, sizeof(identity));
    ReadImageIdentity(start, &identity);
    Identity read;
    read.Stamp = identity.TimeDateStamp;
    read.Sum = identity.CheckSum;
    read.Age = identity.PdbAge;
    static const uint8_t zero[16] = {};
    read.Guid = std::memcmp(&identity.PdbGuid, SampleGuid, 16) == 0;
    EXPECT_TRUE(read.Guid || std::memcmp(&identity.PdbGuid, zero, 16) == 0);
    EXPECT_EQ(identity.PdbName[MaxPdbNameLength], '\0');
    read.Pdb = identity.PdbName;
    return read;
}

// A well-formed image: headers on page 0, the debug directory and the
// CodeView record on page 1.
void WriteSample(SyntheticImage& image, const std::string& path = std::string("d:\\build\\out\\tcpip.pdb") + '\0')
{
    image.WriteHeaders(SampleStamp, SampleSum);
    image.WriteDebugDirectory(DirectoryRva, 28);
    image.WriteDebugEntry(DirectoryRva, 2, RecordRva);
    image.WriteCodeView(RecordRva, SampleGuid, SampleAge, path);
}

class ImageIdentityTest : public DriverTest {};

TEST_F(ImageIdentityTest, ReadsAsMuchAsTheImageGives)
{
    struct Case {
        const char* Name;
        void (*Damage)(SyntheticImage&);
        bool Stamp;
        bool Pdb;  // age and GUID, and the name unless PdbName says otherwise
        const char* PdbName = "tcpip.pdb";
    };
    const Case cases[] = {
        {"whole image", [](SyntheticImage&) {}, true, true},
        {"no MZ", [](SyntheticImage& i) { i.Put16(0, 0x5A4E); }, false, false},
        {"no PE", [](SyntheticImage& i) { i.Put32(SyntheticNtOffset, 0x00014550); }, false, false},
        {"headers not resident", [](SyntheticImage& i) { i.SetResident(0, false); }, false, false},
        {"NT headers beyond the image",
         [](SyntheticImage& i) { i.Put32(0x3C, 0x7FFFFFF0); }, false, false},
        {"NT headers before the image",
         [](SyntheticImage& i) { i.Put32(0x3C, 0xFFFFF000); }, false, false},
        {"empty debug directory", [](SyntheticImage& i) { i.WriteDebugDirectory(DirectoryRva, 0); },
         true, false},
        {"debug directory not resident", [](SyntheticImage& i) { i.SetResident(1, false); }, true,
         false},
        {"debug directory outside the image",
         [](SyntheticImage& i) { i.WriteDebugDirectory(0xF0000000, 28); }, true, false},
        {"only a partial entry", [](SyntheticImage& i) { i.WriteDebugDirectory(DirectoryRva, 27); },
         true, false},
        {"CodeView record outside the image",
         [](SyntheticImage& i) { i.WriteDebugEntry(DirectoryRva, 2, 0xFFFFFFF0); }, true, false},
        {"CodeView record runs into a page that is not resident",
         [](SyntheticImage& i) {
             i.WriteDebugEntry(DirectoryRva, 2, 0x1FF0);
             i.SetResident(2, false);
         },
         true, false},
        // The record written whole, its last byte (the age's top byte) the
        // first of the page that is out: a bound one byte short reads the
        // GUID and age. These pages stay readable when out (only
        // MmIsAddressValid says no; the shipped image's runner traps such a
        // read), so the bytes are there to be read wrongly; the golden
        // codeview_last_byte_on_a_page_out runs the boundary on the .sys.
        {"CodeView record's last byte is the first of a page that is not resident",
         [](SyntheticImage& i) {
             i.WriteDebugEntry(DirectoryRva, 2, 0x2000 - 23);
             i.WriteCodeView(0x2000 - 23, SampleGuid, 0x03000000 | SampleAge,
                             std::string("tcpip.pdb") + '\0');
             i.SetResident(2, false);
         },
         true, false},
        {"CodeView record ends on the last byte of the resident page",
         [](SyntheticImage& i) {
             i.WriteDebugEntry(DirectoryRva, 2, 0x2000 - 24);
             i.WriteCodeView(0x2000 - 24, SampleGuid, SampleAge, std::string("tcpip.pdb") + '\0');
             i.SetResident(2, false);
         },
         true, true, ""},
        {"NT headers run into a page that is not resident",
         [](SyntheticImage& i) {
             i.WriteHeaders(SampleStamp, SampleSum, 0x2FF0);
             i.SetResident(3, false);
         },
         false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        SyntheticImage image(4);
        WriteSample(image);
        c.Damage(image);
        image.Enter();
        Identity read = Read(image.Base());
        EXPECT_EQ(read.Stamp, c.Stamp ? SampleStamp : 0u);
        EXPECT_EQ(read.Sum, c.Stamp ? SampleSum : 0u);
        EXPECT_EQ(read.Age, c.Pdb ? SampleAge : 0u);
        EXPECT_EQ(read.Guid, c.Pdb);
        EXPECT_EQ(read.Pdb, c.Pdb ? c.PdbName : "");
    }
}

TEST_F(ImageIdentityTest, NullOrUnmappedStartGivesAZeroIdentity)
{
    for (uintptr_t start : {uintptr_t{0}, uintptr_t{0x1000}, uintptr_t{0xFFFFF80540200000}}) {
        Identity read = Read(start);
        EXPECT_EQ(read.Stamp, 0u);
        EXPECT_FALSE(read.Guid);
        EXPECT_EQ(read.Pdb, "");
    }
}

TEST_F(ImageIdentityTest, TheFirstCodeViewEntryCountsAndPartialEntriesAreIgnored)
{
    struct Case {
        const char* Name;
        std::vector<uint32_t> Types;
        uint32_t Size;
        bool Found;
    };
    const Case cases[] = {
        {"other types only", {13, 16}, 56, false},
        {"CodeView third", {13, 16, 2}, 84, true},
        {"CodeView in a trailing partial entry", {13, 16, 2}, 83, false},
        {"size not a multiple of 28", {2, 13}, 28 + 10, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        SyntheticImage image(2);
        WriteSample(image);
        image.WriteDebugDirectory(DirectoryRva, c.Size);
        for (size_t i = 0; i < c.Types.size(); ++i) {
            // Only the CodeView entry points at the record.
            image.WriteDebugEntry(DirectoryRva + static_cast<uint32_t>(28 * i), c.Types[i],
                                  c.Types[i] == 2 ? RecordRva : 0x40);
        }
        image.Enter();
        Identity read = Read(image.Base());
        EXPECT_EQ(read.Stamp, SampleStamp);
        EXPECT_EQ(read.Guid, c.Found);
        EXPECT_EQ(read.Pdb, c.Found ? "tcpip.pdb" : "");
    }
}

TEST_F(ImageIdentityTest, PdbNameIsTheLastComponentOfTheUsedBytes)
{
    auto path300 = [](size_t lastSeparator) {
        std::string path(300, 'a');
        path[10] = '\\';
        path[lastSeparator] = '\\';
        return path;  // no terminator: the page's zeros end it
    };
    struct Case {
        const char* Name;
        std::string Path;
        std::string Pdb;
    };
    const Case cases[] = {
        {"directories", std::string("d:\\build\\out\\tcpip.pdb") + '\0', "tcpip.pdb"},
        {"no separator", std::string("tcpip.pdb") + '\0', "tcpip.pdb"},
        {"trailing separator", std::string("d:\\out\\") + '\0', ""},
        {"empty path", std::string(1, '\0'), ""},
        {"last separator at byte 240", path300(240), std::string(14, 'a')},
        {"last separator at byte 253", path300(253), "a"},
        {"last separator at byte 254", path300(254), ""},
        {"last separator beyond the used bytes", path300(280), ""},
        {"no separator in a long path", std::string(300, 'b'), std::string(255, 'b')},
        {"high bytes", std::string("c:\\\xC3\xA9t\xE9.pdb") + '\0', "\xC3\xA9t\xE9.pdb"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        SyntheticImage image(2);
        WriteSample(image, c.Path);
        image.Enter();
        EXPECT_EQ(Read(image.Base()).Pdb, c.Pdb);
    }
}

TEST_F(ImageIdentityTest, PathEndsWhereTheResidentPagesEnd)
{
    SyntheticImage image(3);
    // The resident page ends 12 bytes into the path, 7 characters into the
    // name.
    const uint32_t record = 0x2000 - 24 - 12;
    WriteSample(image, std::string("d:\\x\\abcdefgh_beyond.pdb") + '\0');
    image.WriteDebugEntry(DirectoryRva, 2, record);
    image.WriteCodeView(record, SampleGuid, SampleAge, std::string("d:\\x\\abcdefgh_beyond.pdb"));
    image.SetResident(2, false);
    image.Enter();
    Identity read = Read(image.Base());
    EXPECT_TRUE(read.Guid);
    EXPECT_EQ(read.Pdb, "abcdefg");
}

TEST(PdbNameMatchesModuleTest, OnlyTheModulesOwnNameWithPdbMatches)
{
    struct Case {
        const char* Module;
        const char* Pdb;
        bool Matches;
    };
    const Case cases[] = {
        {"tcpip.sys", "tcpip.pdb", true},
        {"ntoskrnl.exe", "ntkrnlmp.pdb", false},
        {"foo.sys", "Foo.pdb", false},
        {"foo.sys", "foo.PDB", false},
        {"a.b.sys", "a.b.pdb", true},
        {"foo", "foo.pdb", false},
        {"foo.sys", "", false},
        {"foo.sys", "foo", false},
        {"foo.sys", "foo.pdbx", false},
        {"foo.sys", "foo.pd", false},
        {"foo.sys", "fo.pdb", false},
        {"fo.sys", "foo.pdb", false},
        {"foo.", "foo.pdb", true},
        {"\xe9t\xe9.sys", "\xe9t\xe9.pdb", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PdbNameMatchesModule(c.Module, c.Pdb) != 0, c.Matches)
            << c.Module << " / " << c.Pdb;
    }
}

}  // namespace
}  // namespace vektest
