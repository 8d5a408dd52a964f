// The module information query: the hand-over to the kernel's own routine,
// the fallback's argument checks, and the fallback's conversion of the
// system module list into either element format.
#include "driver_test.h"

#include "modules/module_query.h"

#include <cstring>
#include <vector>

namespace vektest {
namespace {

struct KernelRoutineCall {
    PULONG Size;
    ULONG ElementSize;
    PVOID Buffer;
};
std::vector<KernelRoutineCall> KernelRoutineCalls;

NTSTATUS NTAPI FakeKernelRoutine(PULONG InformationLength, ULONG SizePerModule, PVOID Buffer)
{
    KernelRoutineCalls.push_back({InformationLength, SizePerModule, Buffer});
    return static_cast<NTSTATUS>(0xC0001234);
}

class ModuleQueryTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ModuleQueryState = ModuleQueryStateRecord{};
        KernelRoutineCalls.clear();
    }
    void TearDown() override
    {
        ModuleQueryState = ModuleQueryStateRecord{};
        DriverTest::TearDown();
    }
};

// A class 11 reply of the given images, as the kernel lays it out.
struct Reply {
    explicit Reply(const std::vector<std::pair<uint64_t, std::string>>& images)
        : Bytes(8 + 296 * images.size(), 0)
    {
        uint32_t count = static_cast<uint32_t>(images.size());
        std::memcpy(Bytes.data(), &count, 4);
        for (size_t i = 0; i < images.size(); ++i) {
            uint8_t* record = Bytes.data() + 8 + 296 * i;
            uint32_t size = 0x1000 * static_cast<uint32_t>(i + 1);
            uint16_t offset = static_cast<uint16_t>(images[i].second.rfind('\\') + 1);
            std::memcpy(record + 16, &images[i].first, 8);
            std::memcpy(record + 24, &size, 4);
            std::memcpy(record + 38, &offset, 2);
            std::memcpy(record + 40, images[i].second.data(), images[i].second.size());
        }
    }
    const RTL_PROCESS_MODULES* Modules() const
    {
        return reinterpret_cast<const RTL_PROCESS_MODULES*>(Bytes.data());
    }
    ULONG Length() const { return static_cast<ULONG>(Bytes.size()); }
    std::vector<uint8_t> Bytes;
};

const std::vector<std::pair<uint64_t, std::string>> ThreeImages = {
    {0xFFFFF80540200000, "\\SystemRoot\\system32\\ntoskrnl.exe"},
    {0xFFFFF80541400000, "\\SystemRoot\\system32\\hal.dll"},
    {0xFFFFF8054A2A0000, "\\SystemRoot\\System32\\drivers\\vekcrashdmp.sys"},
};

TEST_F(ModuleQueryTest, QueryBeforeInitialisationFails)
{
    ULONG size = 0;
    EXPECT_EQ(QueryModuleInformation(&size, 272, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(size, 0u);
}

TEST_F(ModuleQueryTest, KernelRoutineGetsTheCallUncheckedAndUnchanged)
{
    ModuleQueryState.KernelRoutine = FakeKernelRoutine;
    ModuleQueryState.Initialised = 1;
    ULONG size = 12;
    alignas(8) UCHAR buffer[32];
    // Arguments the fallback would refuse pass straight through.
    EXPECT_EQ(QueryModuleInformation(&size, 16, buffer + 4), static_cast<NTSTATUS>(0xC0001234));
    ASSERT_EQ(KernelRoutineCalls.size(), 1u);
    EXPECT_EQ(KernelRoutineCalls[0].Size, &size);
    EXPECT_EQ(KernelRoutineCalls[0].ElementSize, 16u);
    EXPECT_EQ(KernelRoutineCalls[0].Buffer, buffer + 4);
    EXPECT_EQ(size, 12u);
}

TEST_F(ModuleQueryTest, FallbackChecksElementSizeThenAlignment)
{
    ModuleQueryState.Initialised = 1;
    alignas(8) UCHAR buffer[16];
    struct Case {
        ULONG ElementSize;
        PVOID Buffer;
        NTSTATUS Status;
    };
    const Case cases[] = {
        {16, nullptr, STATUS_INVALID_PARAMETER_2},
        {16, buffer + 4, STATUS_INVALID_PARAMETER_2},
        {0, buffer, STATUS_INVALID_PARAMETER_2},
        {272, buffer + 4, STATUS_INVALID_PARAMETER_3},
        {8, buffer + 1, STATUS_INVALID_PARAMETER_3},
    };
    for (const Case& c : cases) {
        ULONG size = 16;
        EXPECT_EQ(QueryModuleInformation(&size, c.ElementSize, c.Buffer), c.Status)
            << c.ElementSize;
        EXPECT_EQ(size, 16u);
    }
    EXPECT_TRUE(model::CallsTo({"ZwQuerySystemInformation"}).empty());
}

TEST_F(ModuleQueryTest, ReplyBecomesBasesOrExtendedRecords)
{
    Reply reply(ThreeImages);
    // Sizes only.
    for (ULONG element : {8u, 272u}) {
        ULONG size = 0;
        EXPECT_EQ(CopySystemModuleReply(reply.Modules(), reply.Length(), element, nullptr, &size),
                  STATUS_SUCCESS);
        EXPECT_EQ(size, 3 * element);
    }
    // Bases, in the reply's order.
    uint64_t bases[4] = {1, 1, 1, 1};
    ULONG size = sizeof(bases);
    EXPECT_EQ(CopySystemModuleReply(reply.Modules(), reply.Length(), 8, bases, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(bases[0], ThreeImages[0].first);
    EXPECT_EQ(bases[2], ThreeImages[2].first);
    EXPECT_EQ(bases[3], 1u);
    // Extended records; the alignment bytes are left as they were.
    std::vector<ModuleExtendedInfo> records(3);
    std::memset(records.data(), 0xEE, 3 * sizeof(ModuleExtendedInfo));
    size = 3 * 272;
    EXPECT_EQ(CopySystemModuleReply(reply.Modules(), reply.Length(), 272, records.data(), &size),
              STATUS_SUCCESS);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(reinterpret_cast<uint64_t>(records[i].BasicInfo.ImageBase), ThreeImages[i].first);
        EXPECT_EQ(records[i].ImageSize, 0x1000u * (i + 1));
        EXPECT_EQ(reinterpret_cast<const char*>(records[i].FullPathName), ThreeImages[i].second);
        EXPECT_EQ(records[i].FileNameOffset, ThreeImages[i].second.rfind('\\') + 1);
        EXPECT_EQ(records[i].FullPathName[255], 0);
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(&records[i])[270], 0xEE);
    }
}

TEST_F(ModuleQueryTest, ShortBufferGetsNothingButTheNeededSize)
{
    Reply reply(ThreeImages);
    std::vector<uint8_t> buffer(3 * 272, 0xEE);
    ULONG size = 3 * 272 - 1;
    EXPECT_EQ(CopySystemModuleReply(reply.Modules(), reply.Length(), 272, buffer.data(), &size),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 3u * 272);
    EXPECT_EQ(buffer, std::vector<uint8_t>(3 * 272, 0xEE));
}

TEST_F(ModuleQueryTest, CountIsBoundedByTheReplyLength)
{
    Reply reply(ThreeImages);
    uint32_t lying = 1000;
    std::memcpy(reply.Bytes.data(), &lying, 4);
    ULONG size = 0;
    EXPECT_EQ(CopySystemModuleReply(reply.Modules(), reply.Length(), 272, nullptr, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(size, 3u * 272);
}

}  // namespace
}  // namespace vektest
