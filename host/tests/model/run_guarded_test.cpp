// The host build's RunGuarded: a bad pointer a kernel routine meets inside
// the guarded work ends that work (through driver frames built without
// exceptions) and the driver goes on, as a __try would let it; outside a
// guard, or at DISPATCH_LEVEL, it stays the kernel's bug check.
#include "fake_driver.h"

#include "model/driver_call.h"
#include "model/image_registry.h"

#include <sys/mman.h>

extern "C" NTSTATUS NTAPI NativeGuardedQuery(PVOID context);
extern "C" NTSTATUS NTAPI NativeGuardedRead(PVOID context);

namespace vektest {
namespace {

constexpr uintptr_t WildAddress = 0x40;

class RunGuardedTest : public ModelFixture {};

TEST_F(RunGuardedTest, GuardEndsOnlyTheGuardedWork)
{
    struct Case {
        const char* Name;
        uintptr_t Time;       // 0: a valid record
        KIRQL Irql;
        bool Nested;          // inside a second guard
        NTSTATUS Status;      // what RunGuarded returns
        int Reached;          // how far the guarded work got
        bool EntryGoesOn;
        bool Stopped;
    } cases[] = {
        {"clean work returns its status", 0, PASSIVE_LEVEL, false, STATUS_SUCCESS, 2, true, false},
        {"a wild pointer ends the work", WildAddress, PASSIVE_LEVEL, false, STATUS_ACCESS_VIOLATION, 0,
         true, false},
        {"the inner of two guards takes it", WildAddress, PASSIVE_LEVEL, true, STATUS_ACCESS_VIOLATION, 0,
         true, false},
        {"at DISPATCH_LEVEL it is a bug check", WildAddress, DISPATCH_LEVEL, false, 0, 0, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        StartMachine();
        LARGE_INTEGER time = {};
        volatile int reached = 0;
        void* arguments[2] = {c.Time == 0 ? static_cast<void*>(&time) : reinterpret_cast<void*>(c.Time),
                              const_cast<int*>(&reached)};
        NTSTATUS status = 0;
        bool entryWentOn = false;
        fake_.Entry = [&](PDRIVER_OBJECT) {
            KIRQL old = KfRaiseIrql(c.Irql);
            if (c.Nested) {
                struct Outer {
                    static NTSTATUS NTAPI Run(PVOID context)
                    {
                        return ModelRunGuarded(NativeGuardedQuery, context);
                    }
                };
                status = ModelRunGuarded(Outer::Run, arguments);
            } else {
                status = ModelRunGuarded(NativeGuardedQuery, arguments);
            }
            KeLowerIrql(old);
            entryWentOn = true;
            return STATUS_UNSUCCESSFUL;
        };
        model::LoadDriver(fake_);
        EXPECT_EQ(status, c.Status);
        EXPECT_EQ(reached, c.Reached);
        EXPECT_EQ(entryWentOn, c.EntryGoesOn);
        EXPECT_EQ(model::Stopped(), c.Stopped);
        std::vector<std::string> violations = TakeViolations();
        EXPECT_EQ(violations.empty(), !c.Stopped) << (violations.empty() ? "" : violations[0]);
    }
}

// Driver code's own read of a page that is not there, taken by the host
// processor as SIGSEGV: the kernel's page fault, never a crash of the tool.
// Only a user-space address below DISPATCH_LEVEL is an exception a guard
// takes; a system-space one (here a page of the region that stands in for
// the kernel half, like a scenario image's page that is out) is bug check
// 0x50, 0xD1 at DISPATCH_LEVEL, and a nested stop during the bug check.
TEST_F(RunGuardedTest, NativeReadOfAMissingPageIsThePageFaultTheKernelTakes)
{
    struct Case {
        const char* Name;
        bool SystemSpace;
        KIRQL Irql;
        bool InBugCheck;
        NTSTATUS Status;  // what RunGuarded returns, when it returns
        ULONG BugCheck;   // 0: none
        const char* Violation;
    } cases[] = {
        {"a user-space page is an exception the guard takes", false, PASSIVE_LEVEL, false,
         STATUS_ACCESS_VIOLATION, 0, nullptr},
        {"a system-space page is bug check 0x50", true, PASSIVE_LEVEL, false, 0, 0x50,
         "driver code read unmapped or protected memory"},
        {"at DISPATCH_LEVEL it is 0xD1", false, DISPATCH_LEVEL, false, 0, 0xD1,
         "driver code read unmapped or protected memory"},
        {"during the bug check it is a nested stop", true, HIGH_LEVEL, true, 0, 0xE2,
         "nested bug check 0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL during the bug check"},
    };
    const size_t page = 4096;
    void* user = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(user, MAP_FAILED);
    void* system = mmap(reinterpret_cast<void*>(model::ScenarioImageRegion + 0x7F000000ull), page,
                        PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_NE(system, MAP_FAILED);
    static KBUGCHECK_REASON_CALLBACK_RECORD record;
    static UCHAR Component[] = "native";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        StartMachine();
        volatile int reached = 0;
        void* arguments[2] = {c.SystemSpace ? system : user, const_cast<int*>(&reached)};
        NTSTATUS status = 0;
        bool entryWentOn = false;
        auto guardedRead = [&] {
            KIRQL old = KfRaiseIrql(c.Irql);
            status = ModelRunGuarded(NativeGuardedRead, arguments);
            KeLowerIrql(old);
        };
        fake_.OnBugCheck = [&](PKBUGCHECK_SECONDARY_DUMP_DATA) {
            if (c.InBugCheck) {
                status = ModelRunGuarded(NativeGuardedRead, arguments);
            }
        };
        if (c.InBugCheck) {
            fake_.Entry = [&](PDRIVER_OBJECT) {
                entryWentOn = true;
                return STATUS_SUCCESS;
            };
            LoadFake();
            record = {};
            ASSERT_TRUE(KeRegisterBugCheckReasonCallback(&record, FakeCallbackRoutine,
                                                         KbCallbackSecondaryDumpData, Component));
            model::BugCheck(c.BugCheck, {0, 0, 0, 0});
        } else {
            fake_.Entry = [&](PDRIVER_OBJECT) {
                guardedRead();
                entryWentOn = true;
                return STATUS_UNSUCCESSFUL;
            };
            model::LoadDriver(fake_);
        }
        EXPECT_EQ(reached, 0);
        EXPECT_EQ(entryWentOn, c.BugCheck == 0 || c.InBugCheck);
        if (c.BugCheck == 0) {
            EXPECT_EQ(status, c.Status);
        }
        EXPECT_EQ(model::Stopped(), c.BugCheck != 0);
        if (c.BugCheck != 0) {
            EXPECT_EQ(KiBugCheckData[0], c.BugCheck);
        }
        std::string text = TakenText();
        EXPECT_EQ(text.empty(), c.Violation == nullptr) << text;
        if (c.Violation != nullptr) {
            EXPECT_TRUE(Contains(text, c.Violation)) << text;
        }
    }
    munmap(system, page);
    munmap(user, page);
}

}  // namespace
}  // namespace vektest
