// Load and unload bookkeeping: whatever a driver leaves behind, and how it
// leaves the IRQL and its driver object, is reported.
#include "fake_driver.h"

#include <functional>

namespace vektest {
namespace {

using ModelLoadTest = ModelFixture;

KBUGCHECK_REASON_CALLBACK_RECORD LeftRecord;

// Each way of leaving something behind, and the words its violation uses.
const struct {
    const char* What;
    std::function<void(PDRIVER_OBJECT)> Leave;
    const char* Expected;
} Leftovers[] = {
    {"pool block", [](PDRIVER_OBJECT) { ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x7466654C); },
     "1 pool block(s) tagged 'Left' still allocated after "},
    {"device",
     [](PDRIVER_OBJECT driver) {
         UNICODE_STRING name = Name(u"\\Device\\Left");
         PDEVICE_OBJECT device;
         IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
     },
     "device \\Device\\Left still exists after "},
    {"link",
     [](PDRIVER_OBJECT) {
         UNICODE_STRING link = Name(u"\\DosDevices\\Left");
         UNICODE_STRING target = Name(u"\\Device\\Left");
         IoCreateSymbolicLink(&link, &target);
     },
     "symbolic link \\DosDevices\\Left still exists after "},
    {"callback",
     [](PDRIVER_OBJECT) {
         LeftRecord = {};
         KeRegisterBugCheckReasonCallback(&LeftRecord, FakeCallbackRoutine,
                                          KbCallbackSecondaryDumpData, nullptr);
     },
     "a bug check callback is still registered after "},
    {"mapping",
     [](PDRIVER_OBJECT) {
         PHYSICAL_ADDRESS physical;
         physical.QuadPart = 0xFED0'0000;
         MmMapIoSpace(physical, 8, MmNonCached);
     },
     "device memory at 0xFED00000 is still mapped after "},
};

TEST_F(ModelLoadTest, AnythingLeftAfterUnloadOrAFailedLoadIsAViolationNamingIt)
{
    for (const auto& leftover : Leftovers) {
        StartMachine();
        FakeDriver unloaded;
        unloaded.Unload = leftover.Leave;  // made on the way out, so never released
        ASSERT_EQ(model::LoadDriver(unloaded), STATUS_SUCCESS);
        model::UnloadDriver();
        EXPECT_FALSE(model::DriverLoaded());
        EXPECT_EQ(TakeViolations(), std::vector<std::string>{leftover.Expected + std::string("unload")})
            << leftover.What;

        StartMachine();
        FakeDriver failing;
        failing.Entry = [&](PDRIVER_OBJECT driver) {
            leftover.Leave(driver);
            return STATUS_INSUFFICIENT_RESOURCES;
        };
        EXPECT_EQ(model::LoadDriver(failing), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(model::DriverLoaded());
        EXPECT_EQ(TakeViolations(),
                  std::vector<std::string>{leftover.Expected + std::string("a failed load")})
            << leftover.What;
    }
}

TEST_F(ModelLoadTest, EntryOrUnloadReturningAtRaisedIrqlIsAViolation)
{
    fake_.Entry = [](PDRIVER_OBJECT driver) {
        driver->DriverUnload = FakeUnloadRoutine;
        KfRaiseIrql(DISPATCH_LEVEL);
        return STATUS_SUCCESS;
    };
    fake_.Unload = [](PDRIVER_OBJECT) { KfRaiseIrql(APC_LEVEL); };
    ASSERT_EQ(model::LoadDriver(fake_), STATUS_SUCCESS);
    EXPECT_EQ(TakeViolations(), std::vector<std::string>{
                                    "the entry routine returned at IRQL 2; it was called at IRQL 0"});
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    model::UnloadDriver();
    EXPECT_EQ(TakeViolations(), std::vector<std::string>{
                                    "the unload routine returned at IRQL 1; it was called at IRQL 0"});
}

TEST_F(ModelLoadTest, DriverObjectChangesNameExactlyTheFieldsTheEntryChanged)
{
    const struct {
        std::function<void(PDRIVER_OBJECT)> Change;
        std::vector<std::string> Expected;
    } cases[] = {
        {[](PDRIVER_OBJECT) {}, {}},
        {[](PDRIVER_OBJECT d) { d->DriverUnload = FakeUnloadRoutine; }, {"DriverUnload"}},
        {[](PDRIVER_OBJECT d) {
             d->DriverUnload = FakeUnloadRoutine;
             d->MajorFunction[0] = nullptr;
             d->Flags |= 2;
         },
         {"Flags", "DriverUnload", "MajorFunction[0]"}},
    };
    for (const auto& c : cases) {
        StartMachine();
        fake_.Entry = [&](PDRIVER_OBJECT driver) {
            c.Change(driver);
            return STATUS_SUCCESS;
        };
        ASSERT_EQ(model::LoadDriver(fake_), STATUS_SUCCESS);
        EXPECT_EQ(model::DriverObjectChanges(), c.Expected);
        EXPECT_EQ(model::LoadedDriverObject(), fake_.Driver);
    }
}

}  // namespace
}  // namespace vektest
