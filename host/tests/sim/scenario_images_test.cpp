// The scenario keys of loaded images and image-load events: bad values are
// refused with one line naming the key; good ones are read as meant.
#include "sim/scenario.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Images(const std::string& image)
{
    return R"({"machine": {"images": [)" + image + R"(]}, "events": []})";
}

std::string Loads(const std::string& load)
{
    return R"({"machine": {"processors": 2}, "events": [{"event": "image-load", "images": [)" +
           load + "]}]}";
}

const std::string Disk = R"("path": "\\SystemRoot\\disk.sys", "offset": "0x10000")";

TEST(ScenarioImages, BadValuesAreRefusedNamingTheKey)
{
    const struct {
        const char* Name;
        std::string Text;
        const char* Path;
        const char* What;
    } cases[] = {
        {"no path", Images(R"({"offset": 0, "size": 1})"), "machine.images[0].path", "missing"},
        {"empty path", Images(R"({"path": "", "offset": 0, "size": 1})"), "machine.images[0].path",
         "from 1 to 4000"},
        {"path beyond Latin-1", Images(R"({"path": "\u4e2d.sys", "offset": 0, "size": 1})"),
         "machine.images[0].path", "U+00FF"},
        {"unaligned offset", Images(R"({"path": "a", "offset": "0x10001", "size": 1})"),
         "machine.images[0].offset", "multiple of 4096"},
        {"offset beyond region", Images(R"({"path": "a", "offset": "0x100000000", "size": 1})"),
         "machine.images[0].offset", "to 4294963200"},
        {"past region end", Images(R"({"path": "a", "offset": "0xFFFFF000", "size": "0x2000"})"),
         "machine.images[0].offset", "past the end"},
        {"listed size 0", Images("{" + Disk + R"(, "size": 0})"), "machine.images[0].size",
         "from 1 to"},
        {"no size", Images("{" + Disk + "}"), "machine.images[0].size", "missing"},
        {"bad guid", Images("{" + Disk + R"(, "size": 1, "guid": "0123"})"), "machine.images[0].guid",
         "expected a GUID"},
        {"guid not hex", Images("{" + Disk + R"(, "size": 1, "guid": "0123456Z-89AB-CDEF-0123-456789ABCDEF"})"),
         "machine.images[0].guid", "expected a GUID"},
        {"age over 32 bits", Images("{" + Disk + R"(, "size": 1, "age": "0x100000000"})"),
         "machine.images[0].age", "to 4294967295"},
        {"long pdb path", Images("{" + Disk + R"(, "size": 1, "pdb_path": ")" + std::string(3001, 'p') + "\"}"),
         "machine.images[0].pdb_path", "at most 3000"},
        {"unknown damage", Images("{" + Disk + R"(, "size": 1, "damage": "cracked"})"),
         "machine.images[0].damage", "expected one of"},
        {"page beyond image", Images("{" + Disk + R"(, "size": "0x2000", "non_resident_pages": [2]})"),
         "machine.images[0].non_resident_pages[0]", "from 0 to 1"},
        // image.pdb: a 34-byte record, which ends at the image's last byte
        // from 0xFDE of a one-page image.
        {"record before the directory's end", Images("{" + Disk + R"(, "size": 1, "codeview_rva": "0x21B"})"),
         "machine.images[0].codeview_rva", "from 540 to 4062"},
        {"record past the image's end", Images("{" + Disk + R"(, "size": 1, "codeview_rva": "0xFDF"})"),
         "machine.images[0].codeview_rva", "from 540 to 4062"},
        {"missing file", Images("{" + Disk + R"(, "file": "/no/such.sys"})"), "machine.images[0].file",
         "cannot read"},
        {"file and synthetic keys", Images("{" + Disk + R"(, "file": "/proc/self/exe", "age": 1})"),
         "machine.images[0].age", "takes its headers from the file"},
        {"file no PE image", Images("{" + Disk + R"(, "file": "/proc/self/exe"})"),
         "machine.images[0].file", "no DOS header"},
        {"overlap", Images("{" + Disk + R"(, "size": "0x2000"}, {"path": "b", "offset": "0x11000", "size": 1})"),
         "machine.images[1]", "overlaps an earlier one"},
        {"unknown key", Images("{" + Disk + R"(, "size": 1, "colour": 1})"), "machine.images[0].colour",
         "unknown key"},
        {"growth after 0 queries",
         R"({"machine": {"module_list_growth": [{"after_queries": 0, "image": {)" + Disk +
             R"(, "size": 1}}]}, "events": []})",
         "machine.module_list_growth[0].after_queries", "from 1 to"},
        {"no loads", R"({"events": [{"event": "image-load", "images": []}]})", "events[0].images",
         "non-empty list"},
        {"processor beyond machine", Loads("{" + Disk + R"(, "size": 1, "processor": 2})"),
         "events[0].images[0].processor", "from 0 to 1"},
        {"unknown mode", Loads("{" + Disk + R"(, "size": 1, "mode": "both"})"),
         "events[0].images[0].mode", "expected one of"},
        {"system bit given", Loads("{" + Disk + R"(, "size": 1, "properties": "0x100"})"),
         "events[0].images[0].properties", "follows from mode"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        sim::Scenario scenario;
        std::string error;
        ASSERT_FALSE(sim::ParseScenario(c.Text, &scenario, &error));
        EXPECT_EQ(error.rfind(std::string(c.Path) + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.What), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(ScenarioImages, GoodValuesAreReadAsMeant)
{
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(sim::ParseScenario(
        Images(R"({"path": "\\SystemRoot\\caf\u00e9.sys", "offset": "0x10000", "size": "0x1800",
                   "pdb_path": "x.pdb", "guid": "01234567-89ab-CDEF-0123-456789ABCDEF", "age": 2,
                   "time_stamp": "0x5F3E2A10", "checksum": 77, "e_lfanew": "0xFFFFF000",
                   "damage": "truncated-codeview", "non_resident_pages": [1]})"),
        &scenario, &error))
        << error;
    ASSERT_EQ(scenario.Machine.Images.size(), 1u);
    const model::ImageSpec& image = scenario.Machine.Images[0];
    EXPECT_EQ(image.Path, "\\SystemRoot\\caf\xe9.sys");
    EXPECT_EQ(image.Base(), model::ScenarioImageRegion + 0x10000);
    EXPECT_EQ(image.Size, 0x1800u);
    const uint8_t guid[16] = {0x67, 0x45, 0x23, 0x01, 0xAB, 0x89, 0xEF, 0xCD,
                              0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(std::memcmp(image.Identity.Guid, guid, 16), 0);
    EXPECT_EQ(image.Identity.Age, 2u);
    EXPECT_EQ(image.Identity.TimeStamp, 0x5F3E2A10u);
    EXPECT_EQ(image.Identity.CheckSum, 77u);
    EXPECT_EQ(image.Identity.NewHeaderOffset, -0x1000);
    EXPECT_EQ(image.Identity.Damage, model::ImageDamage::TruncatedCodeView);
    EXPECT_EQ(image.NonResidentPages, std::vector<uint64_t>{1});

    ASSERT_TRUE(sim::ParseScenario(
        Loads(R"({"path": "\\Windows\\ntdll.dll", "offset": 0, "size": 0, "mode": "user",
                  "process_id": 4321, "unnamed": true, "properties": "0x200", "processor": 1})"),
        &scenario, &error))
        << error;
    ASSERT_EQ(scenario.Events.size(), 1u);
    ASSERT_EQ(scenario.Events[0].Loads.size(), 1u);
    const model::ImageLoad& load = scenario.Events[0].Loads[0];
    EXPECT_TRUE(load.UserMode);
    EXPECT_TRUE(load.Unnamed);
    EXPECT_EQ(load.ProcessId, 4321u);
    EXPECT_EQ(load.Properties, 0x200u);
    EXPECT_EQ(load.Processor, 1u);
    EXPECT_EQ(load.Image.Size, 0u);
}

}  // namespace
