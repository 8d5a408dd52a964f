// Bug check reason callbacks: registration rules and the bug check itself.
#include "fake_driver.h"

#include <algorithm>
#include <cstring>

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

    ASSERT_TRUE(Register(record));
    EXPECT_EQ(record.State, BufferInserted);
    // Even with its State forced back, a registered record is refused.
    record.State = BufferEmpty;
    EXPECT_FALSE(Register(record));
    EXPECT_EQ(model::RegisteredBugCheckCallbacks(), 1u);

    EXPECT_TRUE(KeDeregisterBugCheckReasonCallback(&record));
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

    KIRQL irql = 0;
    unsigned processor = 0;
    fake_.OnBugCheck = [&](PKBUGCHECK_SECONDARY_DUMP_DATA data) {
        irql = KeGetCurrentIrql();
        processor = model::CurrentProcessor();
        EXPECT_NE(data->InBuffer, nullptr);
    };
    model::BugCheck(0xD1, {0, 0, 0, 0}, 2);

    EXPECT_EQ(fake_.CalledRecords, std::vector<PKBUGCHECK_REASON_CALLBACK_RECORD>{&dump});
    EXPECT_EQ(irql, HIGH_LEVEL);
    EXPECT_EQ(processor, 2u);
    EXPECT_TRUE(model::Stopped());

    // A stopped machine neither bug checks again nor unloads.
    model::BugCheck(0xD1, {0, 0, 0, 0});
    model::UnloadDriver();
    EXPECT_EQ(TakeViolations().size(), 2u);
    EXPECT_EQ(fake_.CalledRecords.size(), 1u);
}

// A driver that unloads with its callback registered: the model names it
// once and forgets the record, which lay in the image that is gone; the
// next bug check touches neither the record nor the routine.
TEST_F(ModelBugCheckTest, CallbackLeftRegisteredAtUnloadIsNamedAndNeverCalled)
{
    LoadFake();
    KBUGCHECK_REASON_CALLBACK_RECORD record = {};
    ASSERT_TRUE(Register(record));
    model::UnloadDriver();
    EXPECT_EQ(TakeViolations(),
              std::vector<std::string>{"a bug check callback is still registered after unload"});
    EXPECT_EQ(model::RegisteredBugCheckCallbacks(), 0u);

    std::memset(&record, 0xCC, sizeof(record));  // the image's memory, reused
    model::BugCheck(0xD1, {0, 0, 0, 0});
    EXPECT_TRUE(fake_.CalledRecords.empty());
    EXPECT_TRUE(TakeViolations().empty());
}

// Inside the callback only the routines a report needs may run, and it
// must return at the IRQL it was called at.
TEST_F(ModelBugCheckTest, CallbackIsHeldToTheBugCheckRules)
{
    LoadFake();
    KBUGCHECK_REASON_CALLBACK_RECORD record = {};
    ASSERT_TRUE(Register(record));
    fake_.OnBugCheck = [&](auto) {
        LARGE_INTEGER now;
        TIME_FIELDS fields;
        KeQuerySystemTimePrecise(&now);
        RtlTimeToTimeFields(&now, &fields);
        EXPECT_TRUE(TakeViolations().empty());
        ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x5454454B);
        KeLowerIrql(DISPATCH_LEVEL);
    };
    model::BugCheck(0xE2, {0, 0, 0, 0});
    std::string text = TakenText();
    EXPECT_TRUE(Contains(text, "ExAllocatePoolWithTag called during the bug check"));
    EXPECT_TRUE(Contains(text, "callback returned at IRQL 2; it was called at IRQL 15"));
}

// The block routines an image imports for the compiler's copies and fills
// are kernel calls like any other: logged, and not for the bug check.
TEST_F(ModelBugCheckTest, BlockRoutinesAreLoggedKernelCallsForbiddenInTheCallback)
{
    using Block = void* (*)(void*, const void*, size_t);
    using Fill = void* (*)(void*, int, size_t);
    char target[8] = {};
    const char source[8] = "abcdefg";
    auto callAll = [&] {
        reinterpret_cast<Fill>(model::FindRoutine("memset")->Address)(target, 'x', 4);
        for (const char* name : {"memcpy", "memmove"}) {
            reinterpret_cast<Block>(model::FindRoutine(name)->Address)(target, source, 2);
        }
    };
    const std::vector<std::string> names = {"memset", "memcpy", "memmove"};

    LoadFake();
    callAll();
    EXPECT_EQ(std::string(target, 4), "abxx");
    EXPECT_EQ(model::CallsTo(names).size(), 3u);
    EXPECT_TRUE(TakeViolations().empty());

    KBUGCHECK_REASON_CALLBACK_RECORD record = {};
    ASSERT_TRUE(Register(record));
    fake_.OnBugCheck = [&](auto) { callAll(); };
    model::BugCheck(0xE2, {0, 0, 0, 0});
    EXPECT_EQ(model::CallsTo(names).size(), 6u);
    std::string text = TakenText();
    for (const std::string& name : names) {
        EXPECT_TRUE(Contains(text, name + " called during the bug check")) << name;
    }
}

// What the crasher does, natively: raises the IRQL, then its write faults.
uint64_t WriteFaultAtDispatchLevel(uint64_t address)
{
    KfRaiseIrql(DISPATCH_LEVEL);
    model::RaiseDriverFault({model::DriverFaultKind::Write, address, 0x1234});
    return 0;
}

// A test driver's fault is the bug check its scenario asked for: 0xD1 with
// the kernel's parameters, and no violation. The driver's own code during
// that bug check is held to the rules as always: its callback's fault is one.
TEST_F(ModelBugCheckTest, TestDriverFaultIsNoViolationButTheCallbacksFaultIs)
{
    LoadFake();
    KBUGCHECK_REASON_CALLBACK_RECORD record = {};
    ASSERT_TRUE(Register(record));
    fake_.OnBugCheck = [](PKBUGCHECK_SECONDARY_DUMP_DATA) {
        model::RaiseDriverFault({model::DriverFaultKind::Read, 0x20, 0x5678});
    };
    FakeDriver crasher;
    model::CallTestDriver(crasher, reinterpret_cast<const void*>(WriteFaultAtDispatchLevel),
                          {0x18}, 0, PASSIVE_LEVEL, "the crasher");
    ASSERT_TRUE(model::Stopped());
    EXPECT_EQ(fake_.CalledRecords.size(), 1u);
    const ULONG_PTR expected[5] = {0xD1, 0x18, DISPATCH_LEVEL, 1, 0x1234};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), KiBugCheckData));
    std::vector<std::string> violations = TakeViolations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_TRUE(Contains(violations[0], "at 0x5678 ")) << violations[0];
    // A page fault at HIGH_LEVEL inside the bug check is a second one.
    EXPECT_TRUE(Contains(violations[1], "nested bug check 0xD1")) << violations[1];
}

}  // namespace
}  // namespace vektest
