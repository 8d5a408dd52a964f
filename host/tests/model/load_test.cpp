// Load and unload bookkeeping (whatever a driver leaves behind, and how it
// leaves the IRQL and its driver object, is reported); device objects and
// counted strings.
#include "fake_driver.h"

namespace vektest {
namespace {

using ModelLoadTest = ModelFixture;
using ModelObjectsTest = ModelFixture;

PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, const char16_t* text,
                            NTSTATUS expected = STATUS_SUCCESS)
{
    UNICODE_STRING name = Name(text);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &device), expected);
    return device;
}

KBUGCHECK_REASON_CALLBACK_RECORD LeftRecord;

// Each way of leaving something behind, and the words its violation uses.
const struct {
    std::function<void(PDRIVER_OBJECT)> Leave;
    const char* Expected;
} Leftovers[] = {
    {[](PDRIVER_OBJECT) { ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x7466654C); },
     "1 pool block(s) tagged 'Left' still allocated after "},
    {[](PDRIVER_OBJECT driver) { CreateDevice(driver, u"\\Device\\Left"); },
     "device \\Device\\Left still exists after "},
    {[](PDRIVER_OBJECT) {
         UNICODE_STRING link = Name(u"\\DosDevices\\Left");
         IoCreateSymbolicLink(&link, &link);
     },
     "symbolic link \\DosDevices\\Left still exists after "},
    {[](PDRIVER_OBJECT) {
         LeftRecord = {};
         KeRegisterBugCheckReasonCallback(&LeftRecord, FakeCallbackRoutine,
                                          KbCallbackSecondaryDumpData, nullptr);
     },
     "a bug check callback is still registered after "},
    {[](PDRIVER_OBJECT) { MmMapIoSpace(Physical(0xFED0'0000), 8, MmNonCached); },
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
        EXPECT_EQ(TakeViolations(),
                  std::vector<std::string>{leftover.Expected + std::string("unload")});

        StartMachine();
        FakeDriver failing;
        failing.Entry = [&](PDRIVER_OBJECT driver) {
            leftover.Leave(driver);
            return STATUS_INSUFFICIENT_RESOURCES;
        };
        EXPECT_EQ(model::LoadDriver(failing), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(model::DriverLoaded());
        EXPECT_EQ(TakeViolations(),
                  std::vector<std::string>{leftover.Expected + std::string("a failed load")});
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
    LoadFake();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    model::UnloadDriver();
    EXPECT_EQ(TakeViolations(),
              (std::vector<std::string>{
                  "the entry routine returned at IRQL 2; it was called at IRQL 0",
                  "the unload routine returned at IRQL 1; it was called at IRQL 0"}));
}

TEST_F(ModelLoadTest, DriverObjectChangesNameExactlyTheFieldsTheEntryChanged)
{
    for (bool change : {false, true}) {
        StartMachine();
        fake_.Entry = [&](PDRIVER_OBJECT driver) {
            if (change) {
                driver->DriverUnload = FakeUnloadRoutine;
                driver->MajorFunction[0] = nullptr;
                driver->Flags |= 2;
            }
            return STATUS_SUCCESS;
        };
        LoadFake();
        using Fields = std::vector<std::string>;
        EXPECT_EQ(model::DriverObjectChanges(),
                  (change ? Fields{"Flags", "DriverUnload", "MajorFunction[0]"} : Fields{}));
    }
}

TEST_F(ModelObjectsTest, DeviceHangsOffItsDriverUntilDeletedOnce)
{
    PDRIVER_OBJECT driver = LoadFake();
    PDEVICE_OBJECT device = CreateDevice(driver, u"\\Device\\Vek");
    EXPECT_EQ(CreateDevice(driver, u"\\DEVICE\\vek", STATUS_OBJECT_NAME_COLLISION), nullptr);
    EXPECT_EQ(driver->DeviceObject, device);
    IoDeleteDevice(device);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_TRUE(model::DeviceNames().empty());
    IoDeleteDevice(device);
    EXPECT_TRUE(Contains(TakenText(), "which is no live device object"));
}

TEST_F(ModelObjectsTest, MalformedUnicodeStringIsAViolation)
{
    static char16_t text[] = u"\\DosDevices\\Vek";
    // Odd byte count, longer than its buffer, characters without a buffer.
    for (UNICODE_STRING string : {UNICODE_STRING{3, 30, text}, UNICODE_STRING{30, 28, text},
                                  UNICODE_STRING{4, 4, nullptr}}) {
        SCOPED_TRACE(string.Length);
        EXPECT_FALSE(NT_SUCCESS(IoCreateSymbolicLink(&string, &string)));
        EXPECT_EQ(MmGetSystemRoutineAddress(&string), nullptr);
        auto violations = TakeViolations();
        EXPECT_EQ(violations.size(), 3u);  // the link reads both of its strings
        for (const std::string& violation : violations) {
            EXPECT_TRUE(Contains(violation, "malformed UNICODE_STRING")) << violation;
        }
    }
    EXPECT_TRUE(model::SymbolicLinks().empty());
}

}  // namespace
}  // namespace vektest
