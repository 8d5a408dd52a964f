// Pool, IRQL contracts and failure injection.
#include "fake_driver.h"

namespace vektest {
namespace {

constexpr ULONG TagA = 0x41646F4D;  // 'ModA'
constexpr ULONG TagB = 0x42646F4D;  // 'ModB'
constexpr ULONG ZeroFlag = 1024;
constexpr ULONG QuotaFailFlag = 8;

using ModelPoolTest = ModelFixture;
using ModelIrqlTest = ModelFixture;

TEST_F(ModelPoolTest, LiveBlocksAreCountedByTagUntilFreed)
{
    void* a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 24, TagA);
    void* a2 = ExAllocatePoolWithQuotaTag(NonPagedPool, 8, TagA);
    void* b = ExAllocatePoolWithTag(PagedPool, 1, TagB);
    EXPECT_EQ(model::LivePoolBlocks(), (std::map<ULONG, size_t>{{TagA, 2}, {TagB, 1}}));
    ExFreePoolWithTag(a1, TagA);
    ExFreePoolWithTag(b, 0);  // tag 0 asks for no check
    EXPECT_EQ(model::LivePoolBlocks(), (std::map<ULONG, size_t>{{TagA, 1}}));
    ExFreePoolWithTag(a2, TagA);
    EXPECT_TRUE(model::LivePoolBlocks().empty());
}

// A driver that trusts the zero flag on a kernel without pool zeroing must
// see garbage, not lucky zeros.
TEST_F(ModelPoolTest, ZeroFlagIsHonouredOnlyWhenPoolZeroingIsSupported)
{
    for (auto zeroing : {model::PoolZeroing::Supported, model::PoolZeroing::NotSupported,
                         model::PoolZeroing::QueryUnsupported}) {
        model::MachineConfig config;
        config.Zeroing = zeroing;
        StartMachine(config);
        bool zeroed = zeroing == model::PoolZeroing::Supported;
        for (ULONG type : {NonPagedPoolNx, NonPagedPool, PagedPool}) {
            SCOPED_TRACE(testing::Message() << static_cast<int>(zeroing) << " type " << type);
            auto withFlag = static_cast<POOL_TYPE>(type | ZeroFlag);
            const std::pair<UCHAR*, bool> blocks[] = {
                {static_cast<UCHAR*>(ExAllocatePoolWithTag(withFlag, 40, TagA)), zeroed},
                {static_cast<UCHAR*>(ExAllocatePoolWithQuotaTag(
                     static_cast<POOL_TYPE>(withFlag | QuotaFailFlag), 40, TagA)),
                 zeroed},
                {static_cast<UCHAR*>(ExAllocatePoolWithTag(static_cast<POOL_TYPE>(type), 40, TagA)),
                 false},
            };
            for (auto [block, expectZeroed] : blocks) {
                ASSERT_NE(block, nullptr);
                for (int i = 0; i < 40; ++i) {
                    ASSERT_EQ(block[i] == 0, expectZeroed) << "byte " << i;
                }
                ExFreePoolWithTag(block, TagA);
            }
        }
    }
}

TEST_F(ModelPoolTest, FreeingMisuseIsAViolation)
{
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, TagA);
    ExFreePoolWithTag(block, TagB);
    EXPECT_EQ(TakeViolations(),
              std::vector<std::string>{"pool block tagged 'ModA' freed with tag 'ModB'"});
    EXPECT_TRUE(model::LivePoolBlocks().empty());
    ExFreePoolWithTag(block, TagA);
    EXPECT_TRUE(Contains(TakenText(), "double free of pool block"));
    int onStack = 0;
    ExFreePoolWithTag(&onStack, TagA);
    EXPECT_TRUE(Contains(TakenText(), "which is no pool block"));
}

TEST_F(ModelPoolTest, PagedPoolAboveApcLevelIsAViolation)
{
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPoolNx, 8, TagA);
    ExFreePoolWithTag(nonPaged, TagA);
    EXPECT_TRUE(TakeViolations().empty());
    void* paged = ExAllocatePoolWithTag(PagedPool, 8, TagA);
    ExFreePoolWithTag(paged, TagA);
    EXPECT_EQ(TakeViolations(),
              (std::vector<std::string>{
                  "ExAllocatePoolWithTag called at IRQL 2; its contract allows at most 1",
                  "ExFreePoolWithTag called at IRQL 2; its contract allows at most 1"}));
    KeLowerIrql(old);
}

TEST_F(ModelPoolTest, InjectedFaultFailsExactlyTheNthCall)
{
    std::string error;
    ASSERT_TRUE(model::InjectFault({"ExAllocatePoolWithTag", 2}, &error)) << error;
    ASSERT_TRUE(model::InjectFault({"IoCreateSymbolicLink", 1, STATUS_NO_MEMORY}, &error));
    void* blocks[3];
    for (void*& block : blocks) {
        block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, TagA);
    }
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_EQ(blocks[1], nullptr);
    EXPECT_NE(blocks[2], nullptr);
    EXPECT_EQ(model::LivePoolBlocks()[TagA], 2u);
    ExFreePoolWithTag(blocks[0], TagA);
    ExFreePoolWithTag(blocks[2], TagA);

    UNICODE_STRING link = Name(u"\\DosDevices\\Vek");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &link), STATUS_NO_MEMORY);
    EXPECT_TRUE(model::SymbolicLinks().empty());
}

TEST_F(ModelPoolTest, InjectFaultRefusesRoutinesThatCannotFail)
{
    std::string error;
    for (const char* routine : {"NoSuchRoutine", "ExFreePoolWithTag", "IoDeleteDevice"}) {
        EXPECT_FALSE(model::InjectFault({routine, 1}, &error)) << routine;
        EXPECT_TRUE(Contains(error, routine)) << error;
    }
    EXPECT_FALSE(model::InjectFault({"ExAllocatePoolWithTag", 0}, &error));
}

TEST_F(ModelIrqlTest, RaisingDownOrLoweringUpIsAViolation)
{
    EXPECT_EQ(KfRaiseIrql(DISPATCH_LEVEL), PASSIVE_LEVEL);
    KfRaiseIrql(APC_LEVEL);
    KeLowerIrql(DISPATCH_LEVEL);
    EXPECT_EQ(TakeViolations(),
              (std::vector<std::string>{"KfRaiseIrql to 1 below the current IRQL 2",
                                        "KeLowerIrql to 2 above the current IRQL 1"}));
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(ModelIrqlTest, PassiveLevelRoutinesAtDispatchLevelAreViolations)
{
    PDRIVER_OBJECT driver = LoadFake();
    UNICODE_STRING name = Name(u"\\Device\\Vek");
    RTL_OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    UCHAR zeroing = 0;
    PDEVICE_OBJECT device = nullptr;
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    IoCreateSymbolicLink(&name, &name);
    IoDeleteSymbolicLink(&name);
    RtlGetVersion(&version);
    ZwQuerySystemInformation(SystemPoolZeroingInformation, &zeroing, 1, nullptr);
    MmGetSystemRoutineAddress(&name);
    IoDeleteDevice(device);
    KeLowerIrql(old);
    std::vector<std::string> expected;
    for (const char* routine : {"IoCreateDevice", "IoCreateSymbolicLink", "IoDeleteSymbolicLink",
                                "RtlGetVersion", "ZwQuerySystemInformation",
                                "MmGetSystemRoutineAddress", "IoDeleteDevice"}) {
        expected.push_back(std::string(routine) +
                           " called at IRQL 2; its contract allows at most 0");
    }
    EXPECT_EQ(TakeViolations(), expected);
}

}  // namespace
}  // namespace vektest
