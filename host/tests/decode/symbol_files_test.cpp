// The identity readers over the built image and its PDB, and over damaged
// copies of both: a damaged file has no identity, and reading it never
// faults.
#include "decode/symbols/symbol_files.h"
#include "decode/symbols/store_names.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string WriteScratch(const std::string& name, const std::string& bytes)
{
    std::string path = (fs::temp_directory_path() / (std::to_string(::getpid()) + "-" + name)).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

TEST(SymbolFiles, GuidTextIsTheStoreForm)
{
    const uint8_t bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(decode::GuidText(bytes), "0403020106050807090A0B0C0D0E0F10");
}

#ifdef VEK_SYS_IMAGE
TEST(SymbolFiles, TheBuiltImageAndItsPdbCarryOneIdentity)
{
    auto image = decode::ReadImageIdentity(VEK_SYS_IMAGE);
    auto pdb = decode::ReadPdbIdentity(VEK_SYS_PDB);
    ASSERT_TRUE(image);
    ASSERT_TRUE(pdb);
    EXPECT_EQ(image->Guid, pdb->Guid);
    EXPECT_EQ(image->Age, pdb->Age);
    EXPECT_EQ(image->PdbName, "vekcrashdmp.pdb");
    EXPECT_EQ(image->Guid.size(), 32u);
    // Neither reader takes the other's kind of file.
    EXPECT_FALSE(decode::ReadPdbIdentity(VEK_SYS_IMAGE));
    EXPECT_FALSE(decode::ReadImageIdentity(VEK_SYS_PDB));
}

TEST(SymbolFiles, DamagedCopiesHaveNoIdentityAndDoNotFault)
{
    const std::string image = ReadAll(VEK_SYS_IMAGE);
    const std::string pdb = ReadAll(VEK_SYS_PDB);
    ASSERT_GT(image.size(), 4096u);
    ASSERT_GT(pdb.size(), 4096u);
    struct Case {
        const char* Name;
        std::string Bytes;
        bool IsPdb;
    };
    std::string pdbHugeDirectory = pdb;
    pdbHugeDirectory.replace(44, 4, std::string("\xFF\xFF\xFF\x7F", 4));
    std::string pdbBadBlockMap = pdb;
    pdbBadBlockMap.replace(52, 4, std::string("\xFF\xFF\xFF\x00", 4));
    std::string imageBadHeaders = image;
    imageBadHeaders.replace(60, 4, std::string("\xF0\xFF\xFF\x7F", 4));
    const Case cases[] = {
        {"empty image", "", false},
        {"image headers only", image.substr(0, 512), false},
        {"image cut before its CodeView record", image.substr(0, 1024), false},
        {"image with its NT headers far out", imageBadHeaders, false},
        {"empty PDB", "", true},
        {"PDB header only", pdb.substr(0, 56), true},
        {"PDB cut after its first block", pdb.substr(0, 4096), true},
        {"PDB claiming a huge directory", pdbHugeDirectory, true},
        {"PDB with its block map past the end", pdbBadBlockMap, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string path = WriteScratch("damaged", c.Bytes);
        EXPECT_FALSE(c.IsPdb ? decode::ReadPdbIdentity(path).has_value()
                             : decode::ReadImageIdentity(path).has_value());
        fs::remove(path);
    }
}
#endif

}  // namespace

// ---- store names and containment ---------------------------------------------
namespace store_names {

// A path inside the cache is one under it once resolved: a link in the
// cache that points out of it, a sibling whose name starts like it, a
// "..": none of them is.
TEST(StoreNames, OnlyPathsThatResolveUnderTheCacheLieUnderIt)
{
    fs::path root = fs::temp_directory_path() / (std::to_string(::getpid()) + "-store");
    fs::remove_all(root);
    fs::create_directories(root / "cache" / "kept");
    fs::create_directories(root / "outside");
    fs::create_directory_symlink(root / "outside", root / "cache" / "link");
    std::string cache = (root / "cache").string();
    struct Case {
        const char* Path;  // under root
        bool Under;
    } cases[] = {
        {"cache/kept/x.pdb", true},
        {"cache/new/folder/x.pdb", true},
        {"cache", true},
        {"cache/../outside/x.pdb", false},
        {"cache/link/x.pdb", false},
        {"cache2/x.pdb", false},
        {"outside", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decode::LiesUnder(cache, (root / c.Path).string()), c.Under) << c.Path;
    }
    fs::remove_all(root);
}

TEST(StoreNames, KeyPartsThatCouldLeaveTheirFolderAreRefused)
{
    struct Case {
        std::string Part;
        bool Refused;
    } cases[] = {
        {"crasher.pdb", false},
        {"with space#?.pdb", false},
        {"\xC3\xA9t\xC3\xA9.pdb", false},
        {std::string(255, 'a'), false},
        {std::string(256, 'a'), true},
        {"", true},
        {".", true},
        {"..", true},
        {"a/b.pdb", true},
        {"a\\b.pdb", true},
        {std::string("nul\0.pdb", 8), true},
        {"ctl\x01.pdb", true},
        {"del\x7F.pdb", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(!decode::RefusedKeyPart(c.Part).empty(), c.Refused) << c.Part;
    }
}

}  // namespace store_names
