// Secure device creation inside a load: the kernel's routine where it
// exists, else the driver's path; the descriptor the device ends with; and
// every failure leaving no device, no pool, no handle and a null device.
#include "descriptor_reader.h"
#include "driver_test.h"

#include "devsecure/device_secure.h"

#include <functional>
#include <map>

namespace vektest {
namespace {

// A driver image whose entry routine is the test's: CreateDeviceSecure needs
// the driver object the kernel makes for a load.
class EntryImage : public model::DriverImage {
public:
    explicit EntryImage(std::function<NTSTATUS(PDRIVER_OBJECT)> entry) : entry_(std::move(entry)) {}
    std::string Name() const override { return "entry"; }
    const void* EntryRoutine() const override { return reinterpret_cast<const void*>(Entry); }
    uint64_t Call(const model::DriverCall& call) override
    {
        Current() = this;
        return model::CallNativeRoutine(call);
    }

private:
    static EntryImage*& Current()
    {
        static EntryImage* current = nullptr;
        return current;
    }
    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
    {
        return Current()->entry_(driver);
    }
    std::function<NTSTATUS(PDRIVER_OBJECT)> entry_;
};

constexpr NTSTATUS EntryDone = static_cast<NTSTATUS>(0xC0000001);
const char16_t DeviceText[] = u"\\Device\\VekCrashDmp";
const char16_t SystemOnly[] = u"D:P(A;;GA;;;SY)";

UNICODE_STRING Counted(const char16_t* text)
{
    auto bytes = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * sizeof(WCHAR));
    return UNICODE_STRING{bytes, static_cast<USHORT>(bytes + sizeof(WCHAR)),
                          const_cast<PWSTR>(text)};
}

struct Outcome {
    NTSTATUS Status = STATUS_SUCCESS;
    PDEVICE_OBJECT Device = nullptr;
    std::vector<std::string> Devices;
    std::vector<uint8_t> Security;
    size_t Handles = 0;
    std::map<ULONG, size_t> Pool;
};

class DeviceSecureTest : public DriverTest {
protected:
    void Use(bool kernelRoutine, bool converter = false)
    {
        model::MachineConfig config;
        config.Routines["IoCreateDeviceSecure"] = kernelRoutine;
        config.Routines["SeConvertStringSecurityDescriptorToSecurityDescriptor"] = converter;
        UseMachine(config);
        // Each load is a fresh image: the choice is made anew.
        DeviceCreationChosen = FALSE;
        DeviceCreationRoutine = nullptr;
    }

    // Creates the device inside a load, records what the kernel then holds,
    // deletes the device and fails the load, so that the model checks that
    // nothing else was left.
    Outcome Create(const char16_t* name, ULONG characteristics, const char16_t* sddl = SystemOnly,
                   const std::vector<model::Fault>& faults = {}, LPCGUID guid = nullptr)
    {
        for (model::Fault fault : faults) {
            std::string error;
            EXPECT_TRUE(model::InjectFault(fault, &error)) << error;
        }
        Outcome outcome;
        EntryImage image([&](PDRIVER_OBJECT driver) {
            UNICODE_STRING deviceName = Counted(name != nullptr ? name : u"");
            UNICODE_STRING descriptor = Counted(sddl);
            outcome.Device = reinterpret_cast<PDEVICE_OBJECT>(1);
            outcome.Status = CreateDeviceSecure(driver, 296, name != nullptr ? &deviceName : nullptr,
                                                FILE_DEVICE_UNKNOWN, characteristics, TRUE,
                                                &descriptor, guid, &outcome.Device);
            outcome.Devices = model::DeviceNames();
            if (!outcome.Devices.empty()) {
                outcome.Security = model::DeviceSecurity(outcome.Devices.front());
            }
            outcome.Handles = model::OpenHandles();
            outcome.Pool = model::LivePoolBlocks();
            if (NT_SUCCESS(outcome.Status)) {
                IoDeleteDevice(outcome.Device);
            }
            return EntryDone;
        });
        EXPECT_EQ(model::LoadDriver(image), EntryDone);
        return outcome;
    }
};

void ExpectSystemOnly(const std::vector<uint8_t>& security)
{
    DecodedDescriptor d = DecodeSelfRelative(security);
    EXPECT_EQ(d.Error, "");
    EXPECT_TRUE(d.DaclPresent);
    EXPECT_TRUE(d.Control & 0x1000) << "the DACL must be protected from inheritance";
    EXPECT_EQ(d.Dacl, (std::vector<DecodedAce>{{0, 0, 0x10000000, "S-1-5-18"}}));
}

TEST_F(DeviceSecureTest, TheDeviceAdmitsOnlyTheSystemOnEveryPath)
{
    const struct {
        const char* Name;
        bool KernelRoutine, Converter;
        std::vector<std::string> Calls;
    } cases[] = {
        {"driver's path and parser", false, false,
         {"IoCreateDevice", "ObOpenObjectByPointer", "ZwSetSecurityObject", "ZwClose"}},
        {"driver's path, kernel converter", false, true,
         {"SeConvertStringSecurityDescriptorToSecurityDescriptor", "IoCreateDevice",
          "ObOpenObjectByPointer", "ZwSetSecurityObject", "ZwClose"}},
        {"kernel routine", true, false, {"IoCreateDeviceSecure"}},
    };
    const std::vector<std::string> watched = {
        "SeConvertStringSecurityDescriptorToSecurityDescriptor", "IoCreateDevice",
        "IoCreateDeviceSecure", "ObOpenObjectByPointer", "ZwSetSecurityObject", "ZwClose"};
    for (const auto& c : cases) {
        Use(c.KernelRoutine, c.Converter);
        // Before: a device the kernel makes plainly lets everyone in.
        Outcome outcome = Create(DeviceText, 0);
        EXPECT_EQ(outcome.Status, STATUS_SUCCESS) << c.Name;
        EXPECT_EQ(outcome.Devices, std::vector<std::string>{"\\Device\\VekCrashDmp"}) << c.Name;
        ExpectSystemOnly(outcome.Security);
        EXPECT_EQ(outcome.Handles, 0u) << c.Name;
        EXPECT_EQ(outcome.Pool, (std::map<ULONG, size_t>{})) << c.Name;
        EXPECT_EQ(RoutineNames(model::CallsTo(watched)), c.Calls) << c.Name;
    }
}

TEST_F(DeviceSecureTest, TheDriversPathAsksOnlyForTheAccessItWrites)
{
    Use(false);
    Create(DeviceText, 0);
    auto opened = model::CallsTo({"ObOpenObjectByPointer", "ZwSetSecurityObject"});
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0].Detail, "access=0x40000 attributes=0x200 mode=0");
    EXPECT_EQ(opened[1].Detail, "information=0x4");
}

TEST_F(DeviceSecureTest, TheKernelRoutineGetsTheArgumentsUnchanged)
{
    Use(true);
    const GUID guid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
    const struct {
        LPCGUID Guid;
        const char* Class;
    } cases[] = {{nullptr, "null"}, {&guid, "12345678-9ABC-DEF0"}};
    for (const auto& c : cases) {
        Use(true);
        Outcome outcome = Create(DeviceText, 0, SystemOnly, {}, c.Guid);
        EXPECT_EQ(outcome.Status, STATUS_SUCCESS);
        auto calls = model::CallsTo({"IoCreateDeviceSecure"});
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].Detail, std::string("\\Device\\VekCrashDmp extension=296 type=0x22 "
                                               "exclusive=1 sddl=D:P(A;;GA;;;SY) class=") +
                                       c.Class);
    }
}

TEST_F(DeviceSecureTest, TheRoutineIsChosenOnceForTheLifeOfTheDriver)
{
    Use(false);
    Create(DeviceText, 0);
    Create(u"\\Device\\Second", 0);
    auto lookups = model::CallsTo({"MmGetSystemRoutineAddress"});
    size_t forCreation = 0;
    for (const auto& call : lookups) {
        forCreation += call.Detail == "IoCreateDeviceSecure" ? 1 : 0;
    }
    EXPECT_EQ(forCreation, 1u);
    EXPECT_EQ(model::CallsTo({"IoCreateDevice"}).size(), 2u);
}

TEST_F(DeviceSecureTest, ANullNameNeedsTheAutogeneratedCharacteristic)
{
    for (bool kernelRoutine : {false, true}) {
        Use(kernelRoutine);
        Outcome refused = Create(nullptr, 0);
        EXPECT_EQ(refused.Status, STATUS_INVALID_PARAMETER) << kernelRoutine;
        EXPECT_TRUE(refused.Devices.empty()) << kernelRoutine;
        EXPECT_EQ(refused.Device, nullptr) << kernelRoutine;
        Outcome named = Create(nullptr, FILE_AUTOGENERATED_DEVICE_NAME);
        EXPECT_EQ(named.Status, STATUS_SUCCESS) << kernelRoutine;
        EXPECT_EQ(named.Devices, std::vector<std::string>{"\\Device\\00000001"}) << kernelRoutine;
        ExpectSystemOnly(named.Security);
    }
}

TEST_F(DeviceSecureTest, EveryFailureLeavesNoDeviceNoPoolNoHandleAndANullDevice)
{
    constexpr NTSTATUS Refused = static_cast<NTSTATUS>(0xC0000123);
    const struct {
        bool KernelRoutine, Converter;
        const char16_t* Sddl;
        const char* Routine;
        const char* Tag;
        NTSTATUS Expected;
    } cases[] = {
        {false, false, u"D:(A;;GA;;;XX)", "", "", STATUS_NONE_MAPPED},
        {false, false, u"S:", "", "", STATUS_INVALID_PARAMETER},
        {false, true, u"X:", "", "", STATUS_INVALID_PARAMETER},
        {true, false, u"X:", "", "", STATUS_INVALID_PARAMETER},
        {false, false, SystemOnly, "ExAllocatePoolWithTag", "SeAl", STATUS_INSUFFICIENT_RESOURCES},
        {false, false, SystemOnly, "ExAllocatePoolWithTag", "SeSd", STATUS_INSUFFICIENT_RESOURCES},
        {false, false, SystemOnly, "RtlAddAccessAllowedAce", "", Refused},
        {false, false, SystemOnly, "IoCreateDevice", "", Refused},
        {false, false, SystemOnly, "ObOpenObjectByPointer", "", Refused},
        {false, false, SystemOnly, "ZwSetSecurityObject", "", Refused},
        {false, true, SystemOnly, "SeConvertStringSecurityDescriptorToSecurityDescriptor", "",
         Refused},
        {false, true, SystemOnly, "ZwSetSecurityObject", "", Refused},
        {true, false, SystemOnly, "IoCreateDeviceSecure", "", Refused},
    };
    for (const auto& c : cases) {
        Use(c.KernelRoutine, c.Converter);
        std::vector<model::Fault> faults;
        if (*c.Routine != '\0') {
            model::Fault fault;
            fault.Routine = c.Routine;
            fault.Tag = c.Tag;
            if (c.Expected == Refused) {
                fault.Status = LastDocumentedStatus(c.Routine);
            }
            faults.push_back(fault);
        }
        Outcome outcome = Create(DeviceText, 0, c.Sddl, faults);
        const std::string name = std::string(c.Routine) + " " + c.Tag;
        EXPECT_EQ(outcome.Status, c.Expected == Refused ? LastDocumentedStatus(c.Routine) : c.Expected)
            << name;
        EXPECT_EQ(outcome.Device, nullptr) << name;
        EXPECT_TRUE(outcome.Devices.empty()) << name;
        EXPECT_EQ(outcome.Handles, 0u) << name;
        EXPECT_EQ(outcome.Pool, (std::map<ULONG, size_t>{})) << name;
    }
}

TEST_F(DeviceSecureTest, AFailedWriteDeletesTheDeviceBeforeReturning)
{
    Use(false);
    model::Fault fault;
    fault.Routine = "ZwSetSecurityObject";
    std::string error;
    ASSERT_TRUE(model::InjectFault(fault, &error)) << error;
    Create(DeviceText, 0);
    auto calls = RoutineNames(
        model::CallsTo({"IoCreateDevice", "ZwSetSecurityObject", "ZwClose", "IoDeleteDevice"}));
    EXPECT_EQ(calls, (std::vector<std::string>{"IoCreateDevice", "ZwSetSecurityObject", "ZwClose",
                                               "IoDeleteDevice"}));
}

}  // namespace
}  // namespace vektest
