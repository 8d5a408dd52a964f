// The host build's RunGuarded: a bad pointer a kernel routine meets inside
// the guarded work ends that work (through driver frames built without
// exceptions) and the driver goes on, as a __try would let it; outside a
// guard, or at DISPATCH_LEVEL, it stays the kernel's bug check.
#include "fake_driver.h"

#include "model/driver_call.h"

extern "C" NTSTATUS NTAPI NativeGuardedQuery(PVOID context);

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

}  // namespace
}  // namespace vektest
