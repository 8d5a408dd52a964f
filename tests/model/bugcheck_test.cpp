// Bug check reason callbacks: registration rules and the bug check itself.
#include "fake_driver.h"

#include <algorithm>

namespace vektest {
namespace {

using ModelBugCheckTest = ModelFixture;

UCHAR Component[] = "vektest";

BOOLEAN Register(KBUGCHECK_REASON_CALLBACK_RECORD& record,
                 KBUGCHECK_CALLBACK_REASON reason = KbCallbackSecondaryDumpData)
{
    return KeRegisterBugCheckReasonCallback(&record, FakeCallbackRoutine, reason, Component);
}

TEST_F(ModelBugCheckTest, RegistrationNeedsAnEmptyUnregisteredRecord)
{
    KBUGCHECK_REASON_CALLBACK_RECORD record = {};
    record.State = BufferFinished;
    EXPECT_FALSE(Register(record));

    std::string error;
    ASSERT_TRUE(model::InjectFault({"KeRegisterBugCheckReasonCallback", 2}, &error));
    record.State = BufferEmpty;
    EXPECT_FALSE(Register(record));
    EXPECT_EQ(record.State, BufferEmpty);  // a failed registration leaves the record alone
    EXPECT_EQ(model::RegisteredBugCheckCallbacks(), 0u);

    ASSERT_TRUE(Register(record));
    EXPECT_EQ(record.State, BufferInserted);
    // Even with its State forced back, a registered record is refused.
    record.State = BufferEmpty;
    EXPECT_FALSE(Register(record));
    EXPECT_EQ(model::RegisteredBugCheckCallbacks(), 1u);

    record.State = BufferInserted;
    EXPECT_TRUE(KeDeregisterBugCheckReasonCallback(&record));
    EXPECT_EQ(record.State, BufferEmpty);
    EXPECT_FALSE(KeDeregisterBugCheckReasonCallback(&record));
    EXPECT_EQ(model::RegisteredBugCheckCallbacks(), 0u);
}

TEST_F(ModelBugCheckTest, BugCheckRunsDumpDataCallbacksAtHighLevelOnTheChosenProcessor)
{
    model::MachineConfig config;
    config.Processors = 4;
    StartMachine(config);
    LoadFake();
    KBUGCHECK_REASON_CALLBACK_RECORD dump = {};
    KBUGCHECK_REASON_CALLBACK_RECORD dumpIo = {};
    ASSERT_TRUE(Register(dump));
    ASSERT_TRUE(Register(dumpIo, KbCallbackDumpIo));  // only dump data callbacks are called

    static UCHAR out[16];
    KIRQL irql = 0;
    unsigned processor = 0;
    ULONG_PTR seen[5] = {};
    fake_.OnBugCheck = [&](PKBUGCHECK_SECONDARY_DUMP_DATA data) {
        irql = KeGetCurrentIrql();
        processor = model::CurrentProcessor();
        std::copy(std::begin(KiBugCheckData), std::end(KiBugCheckData), seen);
        EXPECT_NE(data->InBuffer, nullptr);
        data->OutBuffer = out;
        data->OutBufferLength = sizeof(out);
    };
    static_assert(sizeof(KiBugCheckData[0]) == sizeof(void*), "code in a pointer-sized slot");
    const ULONG_PTR parameters[4] = {0x1111, 0xFFFF'FFFF'8000'0000, 3, 0};
    model::BugCheck(0xD1, parameters, 2);

    EXPECT_EQ(fake_.CalledRecords, std::vector<PKBUGCHECK_REASON_CALLBACK_RECORD>{&dump});
    EXPECT_EQ(irql, HIGH_LEVEL);
    EXPECT_EQ(processor, 2u);
    const ULONG_PTR expected[5] = {0xD1, 0x1111, 0xFFFF'FFFF'8000'0000, 3, 0};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), seen));
    EXPECT_EQ(model::LastSecondaryDumpData().OutBuffer, out);
    EXPECT_EQ(model::LastSecondaryDumpData().OutBufferLength, sizeof(out));
    EXPECT_TRUE(model::Stopped());

    // A stopped machine neither bug checks again nor unloads.
    model::BugCheck(0xD1, parameters);
    model::UnloadDriver();
    EXPECT_EQ(TakeViolations().size(), 2u);
    EXPECT_EQ(fake_.CalledRecords.size(), 1u);
}

TEST_F(ModelBugCheckTest, CallbackReturningAtAnotherIrqlIsAViolation)
{
    LoadFake();
    KBUGCHECK_REASON_CALLBACK_RECORD record = {};
    ASSERT_TRUE(Register(record));
    fake_.OnBugCheck = [](auto) { KeLowerIrql(DISPATCH_LEVEL); };
    model::BugCheck(0xE2, {0, 0, 0, 0});
    EXPECT_EQ(TakeViolations(), std::vector<std::string>{"a bug check callback returned at "
                                                         "IRQL 2; it was called at IRQL 15"});
}

TEST_F(ModelBugCheckTest, OnlyReportRoutinesMayRunDuringTheBugCheck)
{
    LoadFake();
    KBUGCHECK_REASON_CALLBACK_RECORD record = {};
    ASSERT_TRUE(Register(record));
    model::SetSystemTime(model::SystemTimeFromCalendar(2024, 2, 29, 12, 0, 0, 0));
    TIME_FIELDS fields = {};
    fake_.OnBugCheck = [&](auto) {
        LARGE_INTEGER now;
        KeQuerySystemTimePrecise(&now);
        RtlTimeToTimeFields(&now, &fields);
        EXPECT_TRUE(TakeViolations().empty());
        ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x5454454B);
    };
    model::BugCheck(0xE2, {0, 0, 0, 0});
    EXPECT_EQ(fields.Day, 29);
    EXPECT_TRUE(Contains(TakenText(), "ExAllocatePoolWithTag called during the bug check"));
}

}  // namespace
}  // namespace vektest
