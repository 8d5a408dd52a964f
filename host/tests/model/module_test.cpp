// Loaded images and the routines a module map needs: load notification,
// both module queries, the ANSI strings, PsGetVersion, synthetic image
// headers, image placement and the fail-fast.
#include "fake_driver.h"

#include "model/loaded_images.h"

#include <cstring>

namespace vektest {
namespace {

using ModuleModelTest = ModelFixture;

constexpr ULONG FastFailCode = 3;  // a corrupt list entry


struct Notification {
    bool Named;
    std::u16string Name;
    uint64_t ProcessId;
    ULONG Properties;
    uint64_t Base;
    uint64_t Size;
    KIRQL Irql;
    ULONG Processor;
};

std::vector<Notification>& Notifications()
{
    static std::vector<Notification> seen;
    return seen;
}

VOID RecordNotify(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo)
{
    Notification seen{FullImageName != nullptr, {}, reinterpret_cast<uint64_t>(ProcessId),
                      ImageInfo->Properties, reinterpret_cast<uint64_t>(ImageInfo->ImageBase),
                      ImageInfo->ImageSize, KeGetCurrentIrql(), KeGetCurrentProcessorNumberEx(nullptr)};
    if (FullImageName != nullptr) {
        seen.Name.assign(FullImageName->Buffer, FullImageName->Length / sizeof(WCHAR));
    }
    Notifications().push_back(seen);
}

VOID OtherNotify(PUNICODE_STRING, HANDLE, PIMAGE_INFO) {}

model::ImageSpec Synthetic(const std::string& path, uint64_t offset, uint64_t size)
{
    model::ImageSpec image;
    image.Path = path;
    image.Offset = offset;
    image.Size = size;
    return image;
}

std::vector<uint8_t> Snapshot(uint64_t base, size_t size)
{
    std::vector<uint8_t> bytes(size);
    std::memcpy(bytes.data(), reinterpret_cast<const void*>(base), size);
    return bytes;
}

TEST_F(ModuleModelTest, NotifyRoutinesGetEachLoadAtPassiveLevelOnItsProcessor)
{
    model::MachineConfig config;
    config.Processors = 2;
    StartMachine(config);
    Notifications().clear();
    fake_.Entry = [](PDRIVER_OBJECT driver) {
        driver->DriverUnload = FakeUnloadRoutine;
        return PsSetLoadImageNotifyRoutine(RecordNotify);
    };
    fake_.Unload = [](PDRIVER_OBJECT) {
        EXPECT_EQ(PsRemoveLoadImageNotifyRoutine(RecordNotify), STATUS_SUCCESS);
    };
    LoadFake();
    std::vector<model::ImageLoad> loads(4);
    loads[0].Image = Synthetic("\\SystemRoot\\System32\\drivers\\caf\xe9.sys", 0x10000, 0x2000);
    loads[0].Processor = 1;
    loads[1].Image = Synthetic("\\Windows\\System32\\ntdll.dll", 0x20000, 0x3000);
    loads[1].UserMode = true;
    loads[1].ProcessId = 1234;
    loads[1].Properties = IMAGE_INFO_MAPPED_TO_ALL_PIDS;
    loads[2].Image = Synthetic("\\b.sys", 0x30000, 0x1000);
    loads[2].Unnamed = true;
    loads[3].Image = Synthetic("\\empty.sys", 0x40000, 0);
    std::vector<std::string> errors;
    for (const model::ImageLoad& load : loads) {
        model::RunImageLoads({load}, &errors);
    }
    EXPECT_TRUE(errors.empty());
    const uint64_t region = model::ScenarioImageRegion;
    const struct {
        bool Named;
        std::u16string Name;
        uint64_t ProcessId;
        ULONG Properties;
        uint64_t Base;
        uint64_t Size;
        ULONG Processor;
    } expected[] = {
        {true, u"\\SystemRoot\\System32\\drivers\\caf\u00e9.sys", 0, IMAGE_INFO_SYSTEM_MODE_IMAGE,
         region + 0x10000, 0x2000, 1},
        {true, u"\\Windows\\System32\\ntdll.dll", 1234, IMAGE_INFO_MAPPED_TO_ALL_PIDS,
         region + 0x20000, 0x3000, 0},
        {false, u"", 0, IMAGE_INFO_SYSTEM_MODE_IMAGE, region + 0x30000, 0x1000, 0},
        {true, u"\\empty.sys", 0, IMAGE_INFO_SYSTEM_MODE_IMAGE, region + 0x40000, 0, 0},
    };
    ASSERT_EQ(Notifications().size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        const Notification& seen = Notifications()[i];
        EXPECT_EQ(seen.Named, expected[i].Named);
        EXPECT_EQ(seen.Name, expected[i].Name);
        EXPECT_EQ(seen.ProcessId, expected[i].ProcessId);
        EXPECT_EQ(seen.Properties, expected[i].Properties);
        EXPECT_EQ(seen.Base, expected[i].Base);
        EXPECT_EQ(seen.Size, expected[i].Size);
        EXPECT_EQ(seen.Irql, PASSIVE_LEVEL);
        EXPECT_EQ(seen.Processor, expected[i].Processor);
    }
    // Kernel-mode images of nonzero size are listed; user-mode and empty
    // ones are not.
    EXPECT_NE(model::FindImageByAddress(region + 0x10000), nullptr);
    EXPECT_NE(model::FindImageByAddress(region + 0x30000), nullptr);
    EXPECT_EQ(model::FindImageByAddress(region + 0x20000), nullptr);
    EXPECT_EQ(model::FindImageByAddress(region + 0x40000), nullptr);
    model::UnloadDriver();
}

TEST_F(ModuleModelTest, RegistrationHasTheKernelsLimitAndALeftoverIsAViolation)
{
    LoadFake();
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(PsSetLoadImageNotifyRoutine(OtherNotify), STATUS_SUCCESS) << i;
    }
    EXPECT_EQ(PsSetLoadImageNotifyRoutine(RecordNotify), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PsRemoveLoadImageNotifyRoutine(RecordNotify), STATUS_PROCEDURE_NOT_FOUND);
    for (int i = 0; i < 63; ++i) {
        ASSERT_EQ(PsRemoveLoadImageNotifyRoutine(OtherNotify), STATUS_SUCCESS) << i;
    }
    EXPECT_EQ(model::RegisteredImageNotifyRoutines(), 1u);
    model::UnloadDriver();
    EXPECT_TRUE(Contains(TakenText(), "load image notify routine"));
    EXPECT_EQ(model::RegisteredImageNotifyRoutines(), 0u);
}

TEST_F(ModuleModelTest, RoutinesAboveTheirIrqlAreViolations)
{
    LoadFake();
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    PsSetLoadImageNotifyRoutine(RecordNotify);
    PsRemoveLoadImageNotifyRoutine(RecordNotify);
    ULONG length = 0;
    RtlQueryModuleInformation(&length, sizeof(RTL_MODULE_BASIC_INFO), nullptr);
    PsGetVersion(nullptr, nullptr, nullptr, nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(TakeViolations(),
              (std::vector<std::string>{
                  "PsSetLoadImageNotifyRoutine called at IRQL 2; its contract allows at most 0",
                  "PsRemoveLoadImageNotifyRoutine called at IRQL 2; its contract allows at most 1",
                  "RtlQueryModuleInformation called at IRQL 2; its contract allows at most 0",
                  "PsGetVersion called at IRQL 2; its contract allows at most 0"}));
}

TEST_F(ModuleModelTest, UnicodeToAnsiConvertsAllocatesAndFillsAsTheKernelDoes)
{
    char small[4];
    char roomy[32];
    const struct {
        const char* Name;
        const char16_t* Source;
        bool Allocate;
        char* Buffer;
        USHORT Maximum;
        NTSTATUS Status;
        std::string Text;
    } cases[] = {
        {"allocated", u"\\SystemRoot\\a.sys", true, nullptr, 0, STATUS_SUCCESS, "\\SystemRoot\\a.sys"},
        {"high units", u"\u00e9\u00ff\u4e2d!", true, nullptr, 0, STATUS_SUCCESS, "\xe9\xff?!"},
        {"empty", u"", true, nullptr, 0, STATUS_SUCCESS, ""},
        {"caller's buffer", u"disk.sys", false, roomy, sizeof(roomy), STATUS_SUCCESS, "disk.sys"},
        {"too small", u"disk.sys", false, small, sizeof(small), STATUS_BUFFER_OVERFLOW, "disk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        UNICODE_STRING source = Name(c.Source);
        ANSI_STRING text = {0, c.Maximum, c.Buffer};
        EXPECT_EQ(RtlUnicodeStringToAnsiString(&text, &source, c.Allocate), c.Status);
        EXPECT_EQ(std::string(text.Buffer, text.Length), c.Text);
        if (c.Allocate) {
            EXPECT_EQ(text.MaximumLength, c.Text.size() + 1);
            EXPECT_EQ(text.Buffer[text.Length], '\0');
            RtlFreeAnsiString(&text);
            EXPECT_EQ(text.Buffer, nullptr);
        }
    }
    EXPECT_TRUE(model::LivePoolBlocks().empty());
}

TEST_F(ModuleModelTest, AnsiStringsBelongToRtlFreeAnsiStringAndLeaksShowAtUnload)
{
    UNICODE_STRING source = Name(u"x.sys");
    ANSI_STRING text = {};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&text, &source, TRUE), STATUS_SUCCESS);
    ExFreePoolWithTag(text.Buffer, 0);
    EXPECT_TRUE(Contains(TakenText(), "only RtlFreeAnsiString may free"));
    RtlFreeAnsiString(&text);
    RtlFreeAnsiString(&text);  // the buffer was cleared: nothing to free
    EXPECT_TRUE(TakeViolations().empty());

    void* own = ExAllocatePoolWithTag(PagedPool, 8, 0x41414141);
    ANSI_STRING foreign = {0, 8, static_cast<PCHAR>(own)};
    RtlFreeAnsiString(&foreign);
    EXPECT_TRUE(Contains(TakenText(), "which RtlUnicodeStringToAnsiString did not allocate"));
    ExFreePoolWithTag(own, 0);

    LoadFake();
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&text, &source, TRUE), STATUS_SUCCESS);
    model::UnloadDriver();
    EXPECT_TRUE(Contains(TakenText(), "pool block(s) tagged 'Strg' still allocated after unload"));

    StartMachine();
    std::string error;
    ASSERT_TRUE(model::InjectFault({"RtlUnicodeStringToAnsiString", 1, STATUS_NO_MEMORY}, &error));
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&text, &source, TRUE), STATUS_NO_MEMORY);
}

TEST_F(ModuleModelTest, RtlQueryModuleInformationSizesThenFills)
{
    const ULONG count = static_cast<ULONG>(model::ImageCount());
    ASSERT_GE(count, 2u);
    alignas(8) static RTL_MODULE_EXTENDED_INFO records[64];
    const struct {
        const char* Name;
        ULONG SizePerModule;
        bool Buffer;
        ULONG Length;
        NTSTATUS Status;
        ULONG Needed;
    } cases[] = {
        {"size only", 272, false, 0, STATUS_SUCCESS, count * 272},
        {"bases, size only", 8, false, 0, STATUS_SUCCESS, count * 8},
        {"one byte short", 272, true, count * 272 - 1, STATUS_BUFFER_TOO_SMALL, count * 272},
        {"exact", 272, true, count * 272, STATUS_SUCCESS, count * 272},
        {"bases", 8, true, count * 8, STATUS_SUCCESS, count * 8},
        {"unknown record size", 16, true, 4096, STATUS_INVALID_PARAMETER_2, 4096},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::memset(records, 0xEE, sizeof(records));
        ULONG length = c.Length;
        EXPECT_EQ(RtlQueryModuleInformation(&length, c.SizePerModule, c.Buffer ? records : nullptr),
                  c.Status);
        EXPECT_EQ(length, c.Needed);
        bool filled = c.Status == STATUS_SUCCESS && c.Buffer;
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(records)[0] != 0xEE, filled);
    }
    ULONG length = count * 272;
    ASSERT_EQ(RtlQueryModuleInformation(&length, 272, records), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<uint64_t>(records[0].BasicInfo.ImageBase), model::KernelImageBase);
    EXPECT_STREQ(reinterpret_cast<const char*>(records[0].FullPathName) + records[0].FileNameOffset,
                 "ntoskrnl.exe");
    EXPECT_STREQ(reinterpret_cast<const char*>(records[1].FullPathName), "\\SystemRoot\\system32\\hal.dll");
    EXPECT_EQ(records[1].ImageSize, model::HalImageSize);
}

TEST_F(ModuleModelTest, Class11AnswersFromTheRegistryAndTheListCanGrowBetweenQueries)
{
    model::MachineConfig config;
    config.GrowingList.push_back({1, Synthetic("\\SystemRoot\\late.sys", 0x100000, 0x1000)});
    StartMachine(config);
    const ULONG count = static_cast<ULONG>(model::ImageCount());
    alignas(8) static uint8_t buffer[8192];
    ULONG needed = 0;
    EXPECT_EQ(ZwQuerySystemInformation(SystemModuleInformation, buffer, sizeof(RTL_PROCESS_MODULES),
                                       &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(needed, 8 + count * sizeof(RTL_PROCESS_MODULE_INFORMATION));
    auto* modules = reinterpret_cast<RTL_PROCESS_MODULES*>(buffer);
    EXPECT_EQ(modules->NumberOfModules, count);
    // The image loaded after that query: the length just returned is short.
    ULONG again = 0;
    EXPECT_EQ(ZwQuerySystemInformation(SystemModuleInformation, buffer, needed, &again),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(again, needed + sizeof(RTL_PROCESS_MODULE_INFORMATION));
    EXPECT_EQ(ZwQuerySystemInformation(SystemModuleInformation, buffer, again, &again),
              STATUS_SUCCESS);
    ASSERT_EQ(modules->NumberOfModules, count + 1);
    const RTL_PROCESS_MODULE_INFORMATION& late = modules->Modules[count];
    EXPECT_EQ(reinterpret_cast<uint64_t>(late.ImageBase), model::ScenarioImageRegion + 0x100000);
    EXPECT_EQ(late.ImageSize, 0x1000u);
    EXPECT_STREQ(reinterpret_cast<const char*>(late.FullPathName) + late.OffsetToFileName,
                 "late.sys");
}

// The fields the identity reader takes from the headers, at the offsets it
// takes them from, for each damaged form.
TEST(SyntheticImage, HeadersCarryTheIdentityOrItsDamage)
{
    model::SyntheticIdentity identity;
    identity.PdbPath = "d:\\build\\disk.pdb";
    for (uint8_t i = 0; i < 16; ++i) {
        identity.Guid[i] = static_cast<uint8_t>(0x10 + i);
    }
    identity.Age = 7;
    identity.TimeStamp = 0x5F3E2A10;
    identity.CheckSum = 0x12345;
    const struct {
        model::ImageDamage Damage;
        uint64_t Size;
        bool Mz, Pe;
        uint32_t DirectorySize;
        uint32_t Type;
        uint32_t DataSize;
        uint32_t Record;
    } cases[] = {
        {model::ImageDamage::None, 0x3000, true, true, 28, 2, 24 + 18, 0x1000},
        {model::ImageDamage::None, 0x1000, true, true, 28, 2, 24 + 18, 0x240},
        {model::ImageDamage::NoMz, 0x3000, false, true, 28, 2, 24 + 18, 0x1000},
        {model::ImageDamage::NoPeSignature, 0x3000, true, false, 28, 2, 24 + 18, 0x1000},
        {model::ImageDamage::NoDebugDirectory, 0x3000, true, true, 0, 2, 24 + 18, 0x1000},
        {model::ImageDamage::NoCodeView, 0x3000, true, true, 28, 13, 24 + 18, 0x1000},
        {model::ImageDamage::TruncatedCodeView, 0x3000, true, true, 28, 2, 24 + 8, 0x1000},
    };
    auto u16 = [](const std::vector<uint8_t>& b, size_t at) { uint16_t v; std::memcpy(&v, &b[at], 2); return v; };
    auto u32 = [](const std::vector<uint8_t>& b, size_t at) { uint32_t v; std::memcpy(&v, &b[at], 4); return v; };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.Damage));
        identity.Damage = c.Damage;
        std::vector<uint8_t> b = model::BuildSyntheticImage(identity, 0x590000100000ull, c.Size);
        ASSERT_EQ(b.size(), c.Size);
        EXPECT_EQ(u16(b, 0) == 0x5A4D, c.Mz);
        const uint32_t nt = u32(b, 0x3C);
        ASSERT_EQ(nt, 0x80u);
        EXPECT_EQ(u32(b, nt) == 0x4550, c.Pe);
        EXPECT_EQ(u32(b, nt + 8), identity.TimeStamp);
        EXPECT_EQ(u32(b, nt + 88), identity.CheckSum);
        EXPECT_EQ(u32(b, nt + 188), c.DirectorySize);
        const uint32_t dir = u32(b, nt + 184);
        if (c.DirectorySize == 0) {
            continue;
        }
        EXPECT_EQ(u32(b, dir + 12), c.Type);
        EXPECT_EQ(u32(b, dir + 16), c.DataSize);
        const uint32_t record = u32(b, dir + 20);
        EXPECT_EQ(record, c.Record);
        if (c.Type != 2) {
            continue;
        }
        EXPECT_EQ(u32(b, record), 0x53445352u);  // "RSDS"
        EXPECT_EQ(std::memcmp(&b[record + 4], identity.Guid, 16), 0);
        EXPECT_EQ(u32(b, record + 20), identity.Age);
        std::string path(reinterpret_cast<const char*>(&b[record + 24]));
        EXPECT_EQ(path, c.Damage == model::ImageDamage::TruncatedCodeView
                            ? identity.PdbPath.substr(0, 8)
                            : identity.PdbPath);
    }
    // e_lfanew as given, even outside the image.
    identity.Damage = model::ImageDamage::None;
    identity.NewHeaderOffset = -0x1000;
    std::vector<uint8_t> b = model::BuildSyntheticImage(identity, 0x590000100000ull, 0x1000);
    EXPECT_EQ(static_cast<int32_t>(u32(b, 0x3C)), -0x1000);
}

// Listed images lie at their bases in host memory; pages out are invalid
// to MmIsAddressValid and unreadable; gone once unlisted.
TEST_F(ModuleModelTest, ListedImagesLieAtTheirBasesWithTheirResidency)
{
    model::ImageSpec wanted = Synthetic("\\SystemRoot\\paged.sys", 0x200000, 0x3000);
    wanted.NonResidentPages = {1};
    const uint64_t base = wanted.Base();
    {
        std::string error;
        model::ImageRegistration listed = model::ListImage(wanted, &error);
        ASSERT_TRUE(listed.Registered()) << error;
        EXPECT_EQ(Snapshot(base, 2), (std::vector<uint8_t>{'M', 'Z'}));
        const struct {
            uint64_t Offset;
            bool Valid;
        } pages[] = {{0, true}, {0xFFF, true}, {0x1000, false}, {0x1FFF, false}, {0x2000, true}};
        for (const auto& page : pages) {
            EXPECT_EQ(MmIsAddressValid(reinterpret_cast<PVOID>(base + page.Offset)), page.Valid)
                << page.Offset;
        }
        std::string second;
        EXPECT_FALSE(model::ListImage(wanted, &second).Registered());
        EXPECT_TRUE(Contains(second, "overlaps")) << second;
    }
    EXPECT_FALSE(MmIsAddressValid(reinterpret_cast<PVOID>(base)));
    // Pages out are known before the image is placed: an emulated
    // processor's mapping is told of each resident run once, not again for
    // every page out.
    struct Counts {
        int Mapped = 0, Unmapped = 0;
    } counts;
    const model::ImageMemoryObserver observer{
        [](uintptr_t, size_t, void* c) { ++static_cast<Counts*>(c)->Mapped; },
        [](uintptr_t, size_t, void* c) { ++static_cast<Counts*>(c)->Unmapped; }, &counts};
    model::SetImageMemoryObserver(&observer);
    counts = {};
    wanted.Size = 0x6000;
    wanted.NonResidentPages = {5, 1, 3};
    {
        std::string error;
        model::ImageRegistration listed = model::ListImage(wanted, &error);
        ASSERT_TRUE(listed.Registered()) << error;
        EXPECT_EQ(counts.Mapped, 3);
        EXPECT_EQ(counts.Unmapped, 0);
    }
    EXPECT_EQ(counts.Unmapped, 3);
    model::SetImageMemoryObserver(nullptr);
    // The kernel's own image too, when its file was built.
    const model::LoadedImage* kernel = model::FindImageByAddress(model::KernelImageBase);
    ASSERT_NE(kernel, nullptr);
    if (kernel->Bytes != nullptr) {
        EXPECT_EQ(kernel->Bytes, reinterpret_cast<const uint8_t*>(model::KernelImageBase));
        EXPECT_EQ(Snapshot(model::KernelImageBase, 2), (std::vector<uint8_t>{'M', 'Z'}));
    }
}

TEST_F(ModuleModelTest, PsGetVersionAnswersEachOutputAsked)
{
    model::MachineConfig config;
    config.Version.Major = 6;
    config.Version.Minor = 3;
    config.Version.Build = 9600;
    config.Version.CsdVersion = u"Service Pack 1";
    StartMachine(config);
    ULONG major = 0;
    ULONG minor = 0;
    ULONG build = 0;
    WCHAR text[8];
    UNICODE_STRING csd = {0, sizeof(text), text};
    EXPECT_FALSE(PsGetVersion(&major, nullptr, nullptr, nullptr));
    EXPECT_EQ(major, 6u);
    PsGetVersion(&major, &minor, &build, &csd);
    EXPECT_EQ(minor, 3u);
    EXPECT_EQ(build, 9600u);
    EXPECT_EQ(std::u16string(csd.Buffer, csd.Length / sizeof(WCHAR)), u"Service ");
}

TEST_F(ModuleModelTest, FailFastIsBugCheck0x139WithItsCode)
{
    fake_.Entry = [](PDRIVER_OBJECT) -> NTSTATUS { ModelFailFast(FastFailCode); };
    model::LoadDriver(fake_);
    EXPECT_TRUE(model::Stopped());
    EXPECT_EQ(KiBugCheckData[0], 0x139u);
    EXPECT_EQ(KiBugCheckData[1], FastFailCode);
    EXPECT_TRUE(Contains(TakenText(), "failed fast"));
}

}  // namespace
}  // namespace vektest

namespace vektest {
namespace {

// The quota allocation returns null on failure only when asked to; else
// it raises, and an exception nothing handles in the entry routine's system
// thread is bug check 0x7E, with the exception record as parameter 3.
TEST_F(ModuleModelTest, QuotaAllocationFailsWithNullOnlyWhenAskedTo)
{
    const struct {
        const char* Name;
        ULONG Type;
        bool Stops;
    } cases[] = {{"fail instead of raise", 0x409, false}, {"raise", 0x401, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        StartMachine();
        std::string error;
        ASSERT_TRUE(model::InjectFault({"ExAllocatePoolWithQuotaTag", 1, STATUS_INSUFFICIENT_RESOURCES,
                                        "AuxK"},
                                       &error))
            << error;
        static ULONG type;
        type = c.Type;
        fake_.Entry = [](PDRIVER_OBJECT driver) -> NTSTATUS {
            driver->DriverUnload = FakeUnloadRoutine;
            EXPECT_EQ(ExAllocatePoolWithQuotaTag(static_cast<POOL_TYPE>(type), 64, 0x4B787541),
                      nullptr);
            return STATUS_SUCCESS;
        };
        model::LoadDriver(fake_);
        EXPECT_EQ(model::Stopped(), c.Stops);
        if (c.Stops) {
            EXPECT_EQ(KiBugCheckData[0], 0x7Eu);
            EXPECT_EQ(KiBugCheckData[1], static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES));
            const auto* record = reinterpret_cast<const EXCEPTION_RECORD*>(KiBugCheckData[3]);
            ASSERT_NE(record, nullptr);
            EXPECT_EQ(record->ExceptionCode, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(reinterpret_cast<uint64_t>(record->ExceptionAddress), KiBugCheckData[2]);
            EXPECT_NE(KiBugCheckData[4], 0u);
            EXPECT_TRUE(Contains(TakenText(), "ExAllocatePoolWithQuotaTag"));
        } else {
            model::UnloadDriver();
        }
    }
}

}  // namespace
}  // namespace vektest
