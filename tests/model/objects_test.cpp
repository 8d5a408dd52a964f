// Device objects, symbolic links and counted strings.
#include "fake_driver.h"

namespace vektest {
namespace {

using ModelObjectsTest = ModelFixture;

constexpr ULONG DeviceExclusive = 0x8;

PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, const char16_t* text, ULONG extension = 0,
                            BOOLEAN exclusive = FALSE, NTSTATUS expected = STATUS_SUCCESS)
{
    UNICODE_STRING name = Name(text);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, extension, &name, FILE_DEVICE_UNKNOWN, 0, exclusive, &device),
              expected);
    return device;
}

TEST_F(ModelObjectsTest, DeviceExtensionIsZeroedAndOfTheAskedSize)
{
    PDRIVER_OBJECT driver = LoadFake();
    for (auto [size, exclusive] : {std::pair<ULONG, BOOLEAN>{100, TRUE}, {0, FALSE}}) {
        PDEVICE_OBJECT device = CreateDevice(driver, u"\\Device\\Vek", size, exclusive);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->DriverObject, driver);
        EXPECT_EQ(device->Size, sizeof(DEVICE_OBJECT) + size);
        EXPECT_EQ((device->Flags & DeviceExclusive) != 0, exclusive != 0);
        auto* extension = static_cast<UCHAR*>(device->DeviceExtension);
        EXPECT_EQ(extension == nullptr, size == 0);
        for (ULONG i = 0; i < size; ++i) {
            ASSERT_EQ(extension[i], 0) << "byte " << i;
            extension[i] = 1;  // all of it is the driver's (a sanitizer checks)
        }
        IoDeleteDevice(device);
    }
}

TEST_F(ModelObjectsTest, DevicesAreListedUntilDeletedAndDeletingAnUnknownOneIsAViolation)
{
    PDRIVER_OBJECT driver = LoadFake();
    PDEVICE_OBJECT a = CreateDevice(driver, u"\\Device\\A");
    PDEVICE_OBJECT b = CreateDevice(driver, u"\\Device\\B");
    PDEVICE_OBJECT c = CreateDevice(driver, u"\\Device\\C");
    // Names compare without regard to case.
    EXPECT_EQ(CreateDevice(driver, u"\\DEVICE\\b", 0, FALSE, STATUS_OBJECT_NAME_COLLISION), nullptr);
    EXPECT_EQ(model::DeviceNames(),
              (std::vector<std::string>{"\\Device\\A", "\\Device\\B", "\\Device\\C"}));
    // Newest first.
    EXPECT_EQ(driver->DeviceObject, c);
    EXPECT_EQ(c->NextDevice, b);
    EXPECT_EQ(b->NextDevice, a);
    EXPECT_EQ(a->NextDevice, nullptr);

    IoDeleteDevice(b);
    EXPECT_EQ(c->NextDevice, a);
    IoDeleteDevice(c);
    EXPECT_EQ(driver->DeviceObject, a);
    IoDeleteDevice(a);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_TRUE(model::DeviceNames().empty());

    DEVICE_OBJECT notADevice = {};
    IoDeleteDevice(&notADevice);
    IoDeleteDevice(a);
    auto violations = TakeViolations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_TRUE(Contains(violations[1], "which is no live device object"));
}

TEST_F(ModelObjectsTest, SymbolicLinksCollideAndDeleteWithoutRegardToCase)
{
    UNICODE_STRING link = Name(u"\\DosDevices\\Vek");
    UNICODE_STRING shouted = Name(u"\\DOSDEVICES\\VEK");
    UNICODE_STRING target = Name(u"\\Device\\Vek");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(model::SymbolicLinks(), std::vector<std::string>{"\\DosDevices\\Vek -> \\Device\\Vek"});
    EXPECT_EQ(IoCreateSymbolicLink(&shouted, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoDeleteSymbolicLink(&shouted), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(model::SymbolicLinks().empty());
}

TEST_F(ModelObjectsTest, MalformedUnicodeStringIsAViolation)
{
    static char16_t text[] = u"\\DosDevices\\Vek";
    const UNICODE_STRING malformed[] = {
        {3, 30, text},    // odd byte count
        {30, 28, text},   // longer than its buffer
        {4, 4, nullptr},  // characters without a buffer
    };
    PDRIVER_OBJECT driver = LoadFake();
    for (UNICODE_STRING string : malformed) {
        SCOPED_TRACE(string.Length);
        PDEVICE_OBJECT device = nullptr;
        EXPECT_FALSE(NT_SUCCESS(IoCreateSymbolicLink(&string, &string)));
        EXPECT_FALSE(NT_SUCCESS(IoDeleteSymbolicLink(&string)));
        EXPECT_FALSE(NT_SUCCESS(
            IoCreateDevice(driver, 0, &string, FILE_DEVICE_UNKNOWN, 0, FALSE, &device)));
        EXPECT_EQ(MmGetSystemRoutineAddress(&string), nullptr);
        auto violations = TakeViolations();
        EXPECT_EQ(violations.size(), 5u);  // the link reads both of its strings
        for (const std::string& violation : violations) {
            EXPECT_TRUE(Contains(violation, "malformed UNICODE_STRING")) << violation;
        }
    }
    EXPECT_TRUE(model::SymbolicLinks().empty());
    EXPECT_TRUE(model::DeviceNames().empty());
}

}  // namespace
}  // namespace vektest
