// The module map's rules (placement, eviction, lookups at range edges,
// names), its table in the report, and the report's way around a lock that
// is never released.
#include "driver_test.h"
#include "module_map_reference.h"

#include "model/address_space.h"
#include "model/driver_call.h"
#include "model/loaded_images.h"
#include "modules/module_map.h"
#include "report/bugcheck_report.h"

#include <sys/mman.h>

#include <cstring>
#include <random>

namespace vektest {
namespace {

ModuleEntry* EntryAt(PLIST_ENTRY links)
{
    return reinterpret_cast<ModuleEntry*>(reinterpret_cast<char*>(links) -
                                          offsetof(ModuleEntry, Links));
}

class ModuleMapTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        // A live map with no entries, as the first fill starts it.
        ModuleMap = ModuleMapRecord{};
        ModuleMap.Entries.Flink = &ModuleMap.Entries;
        ModuleMap.Entries.Blink = &ModuleMap.Entries;
        ModuleMap.Cursor = &ModuleMap.Entries;
        ModuleMap.InitCount = 1;
    }

    void TearDown() override
    {
        if (!model::Stopped()) {
            FreeEntries();
            EXPECT_EQ(model::LivePoolBlocks(), (std::map<ULONG, size_t>{}));
        }
        ModuleMap = ModuleMapRecord{};
        DriverTest::TearDown();
    }

    static void FreeEntries()
    {
        PLIST_ENTRY head = &ModuleMap.Entries;
        for (PLIST_ENTRY at = head->Flink; at != head;) {
            PLIST_ENTRY next = at->Flink;
            ExFreePoolWithTag(EntryAt(at), ModuleMapTag);
            at = next;
        }
        head->Flink = head->Blink = head;
        ModuleMap.Cursor = head;
    }

    static void Insert(uint64_t start, uint64_t size, const std::string& name = "m.sys")
    {
        ASSERT_EQ(InsertModuleEntry(&ModuleMap, name.c_str(), start, size), STATUS_SUCCESS);
    }

    // The list as the driver holds it, after checking its invariants.
    static std::vector<ReferenceModule> Entries()
    {
        std::vector<ReferenceModule> list;
        PLIST_ENTRY head = &ModuleMap.Entries;
        bool cursorSeen = ModuleMap.Cursor == head;
        for (PLIST_ENTRY at = head->Flink; at != head; at = at->Flink) {
            EXPECT_EQ(at->Flink->Blink, at);
            EXPECT_EQ(at->Blink->Flink, at);
            cursorSeen = cursorSeen || ModuleMap.Cursor == at;
            const ModuleEntry* entry = EntryAt(at);
            if (!list.empty()) {
                EXPECT_LT(list.back().End, entry->ImageStart) << "order";
            }
            list.push_back({entry->ImageStart, entry->ImageEnd, entry->ModuleName});
        }
        EXPECT_TRUE(cursorSeen);
        EXPECT_EQ(ModuleMap.Cursor == head, list.empty());
        return list;
    }

    static std::vector<std::pair<uint64_t, uint64_t>> ListedRanges()
    {
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        for (const ReferenceModule& module : Entries()) {
            ranges.emplace_back(module.Start, module.End);
        }
        return ranges;
    }

    static std::string Table()
    {
        model::UartAt(0).DiscardTransmitted();
        KIRQL previous = KfRaiseIrql(HIGH_LEVEL);
        PrintModuleTable();
        KeLowerIrql(previous);
        return Console();
    }

    static std::pair<std::string, ULONG64> Lookup(ULONG64 address)
    {
        KIRQL previous = KfRaiseIrql(HIGH_LEVEL);
        PCSTR name = reinterpret_cast<PCSTR>(1);
        ULONG64 offset = 1;
        LookupModuleByAddress(address, &name, &offset);
        KeLowerIrql(previous);
        return {name != nullptr ? name : "(none)", offset};
    }
};

using RangeList = std::vector<std::pair<uint64_t, uint64_t>>;

TEST_F(ModuleMapTest, PlacementAndEviction)
{
    struct Step {
        uint64_t Start;
        uint64_t Size;
    };
    struct Case {
        const char* Name;
        std::vector<Step> Steps;
        RangeList Expected;
        uint64_t Cursor;  // start of the entry the cursor rests on
    };
    const Case cases[] = {
        {"touching ranges both stay",
         {{0x100, 0x100}, {0x200, 0x100}},
         {{0x100, 0x1FF}, {0x200, 0x2FF}},
         0x200},
        {"one image over two",
         {{0x100, 0x100}, {0x300, 0x100}, {0x500, 0x100}, {0x180, 0x200}},
         {{0x180, 0x37F}, {0x500, 0x5FF}},
         0x180},
        {"the same range replaces",
         {{0x100, 0x100}, {0x300, 0x100}, {0x100, 0x100}},
         {{0x100, 0x1FF}, {0x300, 0x3FF}},
         0x100},
        {"below every entry from the highest",
         {{0x300, 0x100}, {0x500, 0x100}, {0x100, 0x10}},
         {{0x100, 0x10F}, {0x300, 0x3FF}, {0x500, 0x5FF}},
         0x100},
        {"above every entry from the lowest",
         {{0x500, 0x100}, {0x100, 0x100}, {0x900, 0x10}},
         {{0x100, 0x1FF}, {0x500, 0x5FF}, {0x900, 0x90F}},
         0x900},
        {"between two, walking backward",
         {{0x100, 0x100}, {0x500, 0x100}, {0x900, 0x100}, {0x300, 0x10}},
         {{0x100, 0x1FF}, {0x300, 0x30F}, {0x500, 0x5FF}, {0x900, 0x9FF}},
         0x300},
        {"covering every entry leaves one",
         {{0x100, 0x10}, {0x300, 0x10}, {0x500, 0x10}, {0x0, 0x1000}},
         {{0x0, 0xFFF}},
         0x0},
        {"overlap found walking forward",
         {{0x100, 0x100}, {0x300, 0x100}, {0x500, 0x100}, {0x100, 0x10}, {0x4F0, 0x20}},
         {{0x100, 0x10F}, {0x300, 0x3FF}, {0x4F0, 0x50F}},
         0x4F0},
        {"overlap found walking backward",
         {{0x100, 0x100}, {0x300, 0x100}, {0x500, 0x100}, {0x1F0, 0x20}},
         {{0x1F0, 0x20F}, {0x300, 0x3FF}, {0x500, 0x5FF}},
         0x1F0},
        // Exact boundaries against the entry the cursor rests on, and
        // against entries met while walking each way.
        {"starting on the cursor entry's last byte evicts it",
         {{0x100, 0x100}, {0x1FF, 0x10}},
         {{0x1FF, 0x20E}},
         0x1FF},
        {"ending on the cursor entry's first byte evicts it",
         {{0x200, 0x100}, {0x100, 0x101}},
         {{0x100, 0x200}},
         0x100},
        {"ending one byte short of the cursor entry keeps it",
         {{0x200, 0x100}, {0x100, 0x100}},
         {{0x100, 0x1FF}, {0x200, 0x2FF}},
         0x100},
        {"starting on a later entry's last byte, walking forward",
         {{0x100, 0x100}, {0x300, 0x100}, {0x100, 0x10}, {0x3FF, 0x10}},
         {{0x100, 0x10F}, {0x3FF, 0x40E}},
         0x3FF},
        {"ending one byte short of a later entry, walking forward",
         {{0x100, 0x100}, {0x300, 0x100}, {0x100, 0x10}, {0x200, 0x100}},
         {{0x100, 0x10F}, {0x200, 0x2FF}, {0x300, 0x3FF}},
         0x200},
        {"ending on an earlier entry's first byte, walking backward",
         {{0x100, 0x100}, {0x500, 0x100}, {0x0, 0x101}},
         {{0x0, 0x100}, {0x500, 0x5FF}},
         0x0},
        {"starting one byte past an earlier entry, walking backward",
         {{0x100, 0x100}, {0x500, 0x100}, {0x200, 0x10}},
         {{0x100, 0x1FF}, {0x200, 0x20F}, {0x500, 0x5FF}},
         0x200},
        {"the top of the address space",
         {{0xFFFFFFFFFFFFF000, 0x1000}, {0xFFFFFFFFFFFFFF00, 0x10}},
         {{0xFFFFFFFFFFFFFF00, 0xFFFFFFFFFFFFFF0F}},
         0xFFFFFFFFFFFFFF00},
        {"size 0 and ranges past the top are skipped",
         {{0x100, 0x100}, {0x180, 0}, {0xFFFFFFFFFFFFFF00, 0x101}},
         {{0x100, 0x1FF}},
         0x100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        for (const Step& step : c.Steps) {
            Insert(step.Start, step.Size);
        }
        EXPECT_EQ(ListedRanges(), c.Expected);
        EXPECT_EQ(EntryAt(ModuleMap.Cursor)->ImageStart, c.Cursor);
        FreeEntries();
    }
}

TEST_F(ModuleMapTest, RandomInsertsAgreeWithTheReferenceModel)
{
    std::mt19937_64 random(7);
    ReferenceModuleMap reference;
    for (int i = 0; i < 3000; ++i) {
        uint64_t start = random() % 0x4000;
        uint64_t size = random() % 8 == 0 ? random() % 0x1000 : random() % 0x80;
        std::string name = "m" + std::to_string(i) + ".SYS";
        Insert(start, size, name);
        reference.Insert(start, size, name);
        ASSERT_EQ(Entries(), reference.Modules()) << "after insert " << i;
        uint64_t address = random() % 0x4100;
        const ReferenceModule* expected = reference.Lookup(address);
        auto [found, offset] = Lookup(address);
        EXPECT_EQ(found, expected != nullptr ? expected->Name : "(none)");
        EXPECT_EQ(offset, expected != nullptr ? address - expected->Start : 0u);
    }
}

TEST_F(ModuleMapTest, LookupsAtTheEdgesOfRanges)
{
    Insert(0x1000, 0x100, "a.sys");
    Insert(0x1100, 0x100, "b.sys");
    Insert(0x1300, 0x100, "c.sys");
    struct Case {
        ULONG64 Address;
        std::string Name;
        ULONG64 Offset;
    };
    const Case cases[] = {
        {0xFFF, "(none)", 0},   {0x1000, "a.sys", 0},   {0x10FF, "a.sys", 0xFF},
        {0x1100, "b.sys", 0},   {0x11FF, "b.sys", 0xFF}, {0x1200, "(none)", 0},
        {0x13FF, "c.sys", 0xFF}, {0x1400, "(none)", 0},  {~0ull, "(none)", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Lookup(c.Address), std::make_pair(c.Name, c.Offset)) << std::hex << c.Address;
    }
}

TEST_F(ModuleMapTest, EmptyMapHasNoModulesAndATableOfOneLine)
{
    EXPECT_EQ(Lookup(0x1000), std::make_pair(std::string("(none)"), ULONG64{0}));
    EXPECT_EQ(Table(), "Module\tPdbName\tGuid\tPdbAge\n");
    // A map that was never set up reads the same.
    ModuleMap = ModuleMapRecord{};
    EXPECT_EQ(Lookup(0x1000), std::make_pair(std::string("(none)"), ULONG64{0}));
    EXPECT_EQ(Table(), "Module\tPdbName\tGuid\tPdbAge\n");
    ModuleMap.Entries.Flink = ModuleMap.Entries.Blink = &ModuleMap.Entries;
    ModuleMap.Cursor = &ModuleMap.Entries;
}

TEST_F(ModuleMapTest, NamesAreLowerCasedAndCut)
{
    struct Case {
        const char* Name;
        std::string Given;
        std::string Stored;
    };
    const std::string longName = "ABCDEFGHIJ" + std::string(290, 'X');
    const Case cases[] = {
        {"upper case", "Ndis.SYS", "ndis.sys"},
        {"high bytes unchanged", "\xC0\xC9\xE9Z.sys", "\xC0\xC9\xE9z.sys"},
        {"300 characters keep 256", longName, "abcdefghij" + std::string(246, 'x')},
        {"punctuation unchanged", "[A]@_{Z}.SYS", "[a]@_{z}.sys"},
        {"empty", "", ""},
    };
    uint64_t start = 0x10000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Insert(start, 0x100, c.Given);
        EXPECT_EQ(Lookup(start + 1).first, c.Stored.empty() ? "" : c.Stored);
        EXPECT_EQ(std::string(EntryAt(ModuleMap.Cursor)->ModuleName), c.Stored);
        start += 0x1000;
    }
}

// Identities set by hand: the table's columns, not the reader.
TEST_F(ModuleMapTest, TablePrintsEveryModuleInAddressOrder)
{
    Insert(0x3000, 0x100, "ntoskrnl.exe");
    ModuleEntry* kernel = EntryAt(ModuleMap.Cursor);
    Insert(0x1000, 0x100, "tcpip.sys");
    ModuleEntry* tcpip = EntryAt(ModuleMap.Cursor);
    Insert(0x2000, 0x100, "Foo.SYS");
    ModuleEntry* foo = EntryAt(ModuleMap.Cursor);

    const UCHAR guid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::memcpy(&kernel->Identity.PdbGuid, guid, 16);
    kernel->Identity.PdbAge = 0x1A;
    std::strcpy(kernel->Identity.PdbName, "ntkrnlmp.pdb");
    std::strcpy(tcpip->Identity.PdbName, "tcpip.pdb");
    tcpip->Identity.PdbAge = 1;
    std::strcpy(foo->Identity.PdbName, "Foo.pdb");

    EXPECT_EQ(Table(),
              "Module\tPdbName\tGuid\tPdbAge\n"
              "tcpip.sys\t\t00000000000000000000000000000000\t1\n"
              "foo.sys\tFoo.pdb\t00000000000000000000000000000000\t0\n"
              "ntoskrnl.exe\tntkrnlmp.pdb\t0403020106050807090A0B0C0D0E0F10\t1A\n");
}

TEST_F(ModuleMapTest, ReportWithTheLockHeldPrintsEverythingAndLeavesTheLock)
{
    Insert(0x1000, 0x100, "a.sys");
    Insert(0x2000, 0x100, "b.sys");
    // As a bug check raised inside an insertion on this processor finds it.
    ModuleMap.Lock = ModuleMapLockHeld;
    EXPECT_EQ(Table(), "Module\tPdbName\tGuid\tPdbAge\n"
                       "a.sys\t\t00000000000000000000000000000000\t0\n"
                       "b.sys\t\t00000000000000000000000000000000\t0\n");
    EXPECT_EQ(Lookup(0x2010), std::make_pair(std::string("b.sys"), ULONG64{0x10}));
    EXPECT_EQ(ModuleMap.Lock, ModuleMapLockHeld);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ModuleMap.Lock = ModuleMapLockFree;
}

TEST_F(ModuleMapTest, ReaderStopsWhereLinksStopAgreeing)
{
    Insert(0x1000, 0x100, "a.sys");
    Insert(0x2000, 0x100, "b.sys");
    Insert(0x3000, 0x100, "c.sys");
    // Half of an unlink of b: a already skips it, c still points back at it.
    PLIST_ENTRY b = ModuleMap.Entries.Flink->Flink;
    PLIST_ENTRY c = b->Flink;
    ModuleMap.Entries.Flink->Flink = c;
    EXPECT_EQ(Table(), "Module\tPdbName\tGuid\tPdbAge\n"
                       "a.sys\t\t00000000000000000000000000000000\t0\n");
    EXPECT_EQ(Lookup(0x3000).first, "(none)");
    ModuleMap.Entries.Flink->Flink = b;
}

// A link into memory that is not there, as a damaged list holds it: the
// reader stops before it, whether the missing page is the one the link
// names or the one the rest of the entry lies on.
TEST_F(ModuleMapTest, ReaderStopsAtALinkIntoMissingMemory)
{
    constexpr size_t PageBytes = 4096;
    Insert(0x1000, 0x100, "a.sys");
    Insert(0x2000, 0x100, "b.sys");
    void* pages = mmap(nullptr, 2 * PageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<char*>(pages) + PageBytes, PageBytes, PROT_NONE), 0);
    const auto start = reinterpret_cast<uintptr_t>(pages);
    model::MemoryRangeId firstPage = model::EnterMemory(
        {start, PageBytes, model::MemoryKind::Ram, true, true, "test pool"}, model::MemoryOwner::Host);
    PLIST_ENTRY a = ModuleMap.Entries.Flink;
    PLIST_ENTRY b = a->Flink;
    // The links whole on the last bytes of the resident page, pointing back
    // at a as a good entry would; the rest of the entry lies beyond.
    auto* straddling = reinterpret_cast<PLIST_ENTRY>(start + PageBytes - sizeof(LIST_ENTRY));
    straddling->Flink = b;
    straddling->Blink = a;
    const PLIST_ENTRY wild[] = {reinterpret_cast<PLIST_ENTRY>(start + PageBytes), straddling};
    for (PLIST_ENTRY next : wild) {
        a->Flink = next;
        EXPECT_EQ(Table(), "Module\tPdbName\tGuid\tPdbAge\n"
                           "a.sys\t\t00000000000000000000000000000000\t0\n");
        EXPECT_EQ(Lookup(0x2000).first, "(none)");
    }
    a->Flink = b;
    model::RemoveMemory(firstPage);
    munmap(pages, 2 * PageBytes);
}

// A corrupt list stops the system from inside the critical section, with
// the lock held by the processor that runs the bug check; the report still
// comes out whole, from the first line to the last.
TEST_F(ModuleMapTest, FailFastInsideTheLockStillPrintsTheWholeReport)
{
    RTL_OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 10;
    ASSERT_EQ(RegisterBugCheckReport(&version, sizeof(version)), STATUS_SUCCESS);
    Insert(0x1000, 0x100, "a.sys");
    Insert(0x2000, 0x100, "b.sys");
    Insert(0x3000, 0x100, "c.sys");
    PLIST_ENTRY c = ModuleMap.Entries.Blink;
    c->Blink = c;  // c no longer points back at b

    bool finished = model::Guarded([] { InsertModuleEntry(&ModuleMap, "x.sys", 0x3080, 0x10); });
    EXPECT_FALSE(finished);
    EXPECT_TRUE(model::Stopped());
    EXPECT_EQ(KiBugCheckData[0], 0x139u);
    EXPECT_EQ(KiBugCheckData[1], FastFailCorruptListEntry);
    std::vector<std::string> violations = TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("failed fast"), std::string::npos) << violations[0];
    EXPECT_EQ(ModuleMap.Lock, ModuleMapLockHeld);

    // The kernel calls the report on this processor, the lock still held.
    KBUGCHECK_SECONDARY_DUMP_DATA data = {};
    BugCheckReportCallback(KbCallbackSecondaryDumpData, &BugCheckRegistration.CallbackRecord,
                           &data, sizeof(data));
    std::string report = Console();
    EXPECT_EQ(report.rfind("\nBUGCHECK DUMP STARTS\n", 0), 0u) << report;
    EXPECT_NE(report.find("Module\tPdbName\tGuid\tPdbAge\n"
                          "a.sys\t\t00000000000000000000000000000000\t0\n"
                          "b.sys\t\t00000000000000000000000000000000\t0\n"
                          "BUGCHECK CODE 00000139: 0000000000000003"),
              std::string::npos)
        << report;
    ASSERT_GE(report.size(), 19u);
    EXPECT_EQ(report.substr(report.size() - 19), "BUGCHECK DUMP ENDS\n");
}

TEST_F(ModuleMapTest, UserModeAndNamelessImagesChangeNothing)
{
    Insert(0x1000, 0x100, "a.sys");
    WCHAR text[] = u"\\SystemRoot\\System32\\drivers\\b.sys";
    UNICODE_STRING name = {sizeof(text) - 2, sizeof(text), text};
    UNICODE_STRING empty = {0, 0, nullptr};
    IMAGE_INFO user = {};
    user.ImageBase = reinterpret_cast<PVOID>(0x1000);
    user.ImageSize = 0x100;
    IMAGE_INFO kernel = user;
    kernel.Properties = 0x100;
    ImageLoadNotify(&name, nullptr, &user);
    ImageLoadNotify(&empty, nullptr, &kernel);
    ImageLoadNotify(nullptr, nullptr, &kernel);
    EXPECT_EQ(Entries(), (std::vector<ReferenceModule>{{0x1000, 0x10FF, "a.sys"}}));
}

}  // namespace
}  // namespace vektest

namespace vektest {
namespace {

class ModuleMapLifecycleTest : public DriverTest {
protected:
    void TearDown() override
    {
        ModuleMap = ModuleMapRecord{};
        DriverTest::TearDown();
    }
};

TEST_F(ModuleMapLifecycleTest, SecondInitializationIsTurnedAwayAndTeardownLeavesNothing)
{
    ASSERT_EQ(InitializeModuleMap(), STATUS_SUCCESS);
    EXPECT_EQ(ModuleMap.InitCount, 1);
    EXPECT_EQ(InitializeModuleMap(), STATUS_OBJECTID_EXISTS);
    EXPECT_EQ(ModuleMap.InitCount, 1);
    EXPECT_EQ(model::RegisteredImageNotifyRoutines(), 1u);
    TeardownModuleMap();
    EXPECT_EQ(ModuleMap.InitCount, 0);
    EXPECT_EQ(ModuleMap.Entries.Flink, nullptr);
    EXPECT_EQ(ModuleMap.Cursor, nullptr);
    EXPECT_EQ(model::RegisteredImageNotifyRoutines(), 0u);
    EXPECT_EQ(model::LivePoolBlocks(), (std::map<ULONG, size_t>{}));
}

// Processors that really run at once (the ThreadSanitizer run's mode): the
// loaded driver gets loads of overlapping images on every processor, round
// after round; the table then holds one image of each round, in order.
TEST_F(ModuleMapLifecycleTest, OverlappingLoadsOnFreeRunningProcessors)
{
    model::MachineConfig config = DefaultMachine();
    config.Processors = 4;
    config.FreeRunning = true;
    StartMachine(config);
    std::unique_ptr<model::DriverImage> image = OpenDriverImage();
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(model::LoadDriver(*image), STATUS_SUCCESS);
    constexpr int Rounds = 50;
    for (int round = 0; round < Rounds; ++round) {
        std::vector<model::ImageLoad> loads;
        for (unsigned processor = 0; processor < 4; ++processor) {
            model::ImageLoad load;
            load.Image.Path = "\\SystemRoot\\System32\\drivers\\r" + std::to_string(1000 + round) +
                              "p" + std::to_string(processor) + ".sys";
            // Every load of a round overlaps the others of its round.
            load.Image.Offset = 0x100000 * static_cast<uint64_t>(round + 1) + 0x1000 * processor;
            load.Image.Size = 0x8000;
            load.Processor = processor;
            loads.push_back(load);
        }
        std::vector<std::string> errors;
        model::RunImageLoads(loads, &errors);
        ASSERT_EQ(errors, std::vector<std::string>{});
    }
    const ULONG_PTR parameters[4] = {};
    model::BugCheck(0xD1, parameters);
    std::string console = model::ConsoleBytes();
    std::vector<std::string> rounds;
    for (size_t at = console.find("\nr1"); at != std::string::npos; at = console.find("\nr1", at + 1)) {
        rounds.push_back(console.substr(at + 2, 4));
    }
    std::vector<std::string> expected;
    for (int round = 0; round < Rounds; ++round) {
        expected.push_back(std::to_string(1000 + round).substr(1));
    }
    for (std::string& round : rounds) {
        round = round.substr(1);
    }
    EXPECT_EQ(rounds, expected);
    image.reset();
}

}  // namespace
}  // namespace vektest
