// Pool, IRQL contracts and failure injection.
#include "fake_driver.h"

#include <algorithm>

namespace vektest {
namespace {

constexpr ULONG TagA = 0x41646F4D;  // 'ModA'
constexpr ULONG TagB = 0x42646F4D;  // 'ModB'
constexpr ULONG ZeroFlag = 1024;

using ModelPoolTest = ModelFixture;
using ModelIrqlTest = ModelFixture;

// A driver that trusts the zero flag on a kernel without pool zeroing must
// see garbage, not lucky zeros; the query tells it which kernel it is on.
TEST_F(ModelPoolTest, ZeroFlagIsHonouredOnlyWhenPoolZeroingIsSupported)
{
    const struct {
        model::PoolZeroing Zeroing;
        NTSTATUS Status;
        UCHAR Answer;
    } kernels[] = {{model::PoolZeroing::Supported, STATUS_SUCCESS, 1},
                   {model::PoolZeroing::NotSupported, STATUS_SUCCESS, 0},
                   {model::PoolZeroing::QueryUnsupported, STATUS_INVALID_INFO_CLASS, 0xEE}};
    auto allZero = [](void* block) {
        return std::all_of(static_cast<UCHAR*>(block), static_cast<UCHAR*>(block) + 40,
                           [](UCHAR byte) { return byte == 0; });
    };
    for (const auto& kernel : kernels) {
        SCOPED_TRACE(static_cast<int>(kernel.Zeroing));
        model::MachineConfig config;
        config.Zeroing = kernel.Zeroing;
        StartMachine(config);
        UCHAR answer = 0xEE;
        EXPECT_EQ(ZwQuerySystemInformation(SystemPoolZeroingInformation, &answer, 1, nullptr),
                  kernel.Status);
        EXPECT_EQ(answer, kernel.Answer);
        auto zeroFilled = static_cast<POOL_TYPE>(NonPagedPoolNx | ZeroFlag);
        void* flagged = ExAllocatePoolWithTag(zeroFilled, 40, TagA);
        void* plain = ExAllocatePoolWithTag(NonPagedPoolNx, 40, TagA);
        EXPECT_EQ(allZero(flagged), kernel.Answer == 1);
        EXPECT_FALSE(allZero(plain));
        ExFreePoolWithTag(flagged, TagA);
        ExFreePoolWithTag(plain, TagA);
    }
}

TEST_F(ModelPoolTest, BlocksAreCountedByTagAndFreeingMisuseIsAViolation)
{
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 16, TagA);
    void* b = ExAllocatePoolWithTag(PagedPool, 1, TagB);
    EXPECT_EQ(model::LivePoolBlocks(), (std::map<ULONG, size_t>{{TagA, 1}, {TagB, 1}}));
    ExFreePoolWithTag(b, 0);  // tag 0 asks for no check
    ExFreePoolWithTag(a, TagB);
    EXPECT_EQ(TakeViolations(),
              std::vector<std::string>{"pool block tagged 'ModA' freed with tag 'ModB'"});
    EXPECT_TRUE(model::LivePoolBlocks().empty());
    ExFreePoolWithTag(a, TagA);
    EXPECT_TRUE(Contains(TakenText(), "double free of pool block"));
    int onStack = 0;
    ExFreePoolWithTag(&onStack, TagA);
    EXPECT_TRUE(Contains(TakenText(), "which is no pool block"));
}

// A fault that could never fire would leave a test passing for nothing.
TEST_F(ModelPoolTest, InjectFaultRefusesFaultsThatCannotFire)
{
    std::string error;
    for (const char* routine : {"NoSuchRoutine", "IoDeleteDevice"}) {
        EXPECT_FALSE(model::InjectFault({routine, 1}, &error)) << routine;
        EXPECT_TRUE(Contains(error, routine)) << error;
    }
    EXPECT_FALSE(model::InjectFault({"ExAllocatePoolWithTag", 0}, &error));
}

TEST_F(ModelIrqlTest, CallsAboveTheContractAndWrongWayChangesAreViolations)
{
    PDRIVER_OBJECT driver = LoadFake();
    UNICODE_STRING name = Name(u"\\Device\\Vek");
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(KfRaiseIrql(DISPATCH_LEVEL), PASSIVE_LEVEL);
    ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, TagA), TagA);
    EXPECT_TRUE(TakeViolations().empty());
    ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 8, TagA), TagA);
    IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    KfRaiseIrql(APC_LEVEL);
    KeLowerIrql(DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
    IoDeleteDevice(device);
    EXPECT_EQ(TakeViolations(),
              (std::vector<std::string>{
                  "ExAllocatePoolWithTag called at IRQL 2; its contract allows at most 1",
                  "ExFreePoolWithTag called at IRQL 2; its contract allows at most 1",
                  "IoCreateDevice called at IRQL 2; its contract allows at most 0",
                  "KfRaiseIrql to 1 below the current IRQL 2",
                  "KeLowerIrql to 2 above the current IRQL 1"}));
}

}  // namespace
}  // namespace vektest
