// The model's security routines as a driver meets them: handles and the
// access they carry, the rules on kernel handles, leaks at unload, ACL
// bounds, and the SE_EXPORTS record of older kernels.
#include "descriptor_reader.h"
#include "fake_driver.h"

#include <algorithm>

namespace vektest {
namespace {

using ModelSecurityTest = ModelFixture;

// A self-relative descriptor with a DACL of one entry: all access for S-1-5-18.
struct SystemOnlyDescriptor {
    alignas(8) uint8_t Bytes[48] = {
        1, 0, 0x04, 0x90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0,
        // ACL: revision 2, size 28, one entry
        2, 0, 28, 0, 1, 0, 0, 0,
        // allow, no flags, size 20, GENERIC_ALL, S-1-5-18
        0, 0, 20, 0, 0, 0, 0, 0x10, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
};

TEST_F(ModelSecurityTest, WritingADescriptorNeedsAKernelHandleWithTheRightAccess)
{
    const struct {
        const char* Name;
        ULONG Attributes;
        ACCESS_MASK Access;
        NTSTATUS Written;
        size_t Violations;
    } cases[] = {
        {"write DAC", OBJ_KERNEL_HANDLE, WRITE_DAC, STATUS_SUCCESS, 0},
        {"read only", OBJ_KERNEL_HANDLE, READ_CONTROL, STATUS_ACCESS_DENIED, 0},
        {"process handle", 0, WRITE_DAC, STATUS_SUCCESS, 1},
    };
    for (const auto& c : cases) {
        StartMachine();
        std::vector<uint8_t> security;
        fake_.Entry = [&](PDRIVER_OBJECT driver) {
            UNICODE_STRING name = Name(u"\\Device\\Guarded");
            PDEVICE_OBJECT device = nullptr;
            EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &device),
                      STATUS_SUCCESS);
            // Before: everyone may read and write the device.
            DecodedDescriptor before = DecodeSelfRelative(model::DeviceSecurity("\\Device\\Guarded"));
            EXPECT_EQ(before.Dacl.size(), 4u);
            EXPECT_FALSE(before.Control & 0x1000);
            HANDLE handle = nullptr;
            EXPECT_EQ(ObOpenObjectByPointer(device, c.Attributes, nullptr, c.Access,
                                            IoDeviceObjectType, KernelMode, &handle),
                      STATUS_SUCCESS);
            SystemOnlyDescriptor descriptor;
            EXPECT_EQ(ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, descriptor.Bytes),
                      c.Written);
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
            security = model::DeviceSecurity("\\Device\\Guarded");
            IoDeleteDevice(device);
            return STATUS_UNSUCCESSFUL;
        };
        EXPECT_EQ(model::LoadDriver(fake_), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(TakeViolations().size(), c.Violations) << c.Name;
        DecodedDescriptor after = DecodeSelfRelative(security);
        EXPECT_EQ(after.Dacl.size(), c.Written == STATUS_SUCCESS ? 1u : 4u) << c.Name;
    }
}

TEST_F(ModelSecurityTest, AHandleLeftOpenOrClosedTwiceIsAViolation)
{
    fake_.Entry = [](PDRIVER_OBJECT driver) {
        UNICODE_STRING name = Name(u"\\Device\\Leaky");
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &device),
                  STATUS_SUCCESS);
        HANDLE handle = nullptr;
        EXPECT_EQ(ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC,
                                        IoDeviceObjectType, KernelMode, &handle),
                  STATUS_SUCCESS);
        EXPECT_EQ(ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC,
                                        IoDeviceObjectType, KernelMode, &handle),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
        IoDeleteDevice(device);
        return STATUS_UNSUCCESSFUL;
    };
    EXPECT_EQ(model::LoadDriver(fake_), STATUS_UNSUCCESSFUL);
    std::string taken = TakenText();
    EXPECT_TRUE(Contains(taken, "which is no open handle")) << taken;
    EXPECT_TRUE(Contains(taken, "1 object handle(s) still open after a failed load")) << taken;
    EXPECT_EQ(model::OpenHandles(), 0u);
}

// Each routine's IRQL cap as its reference page gives it: one level above
// the cap is a violation naming the cap.
TEST_F(ModelSecurityTest, EachRoutineHoldsTheIrqlItsPageGives)
{
    struct Case {
        const char* Routine;
        KIRQL Cap;
        void (*Call)(SystemOnlyDescriptor&);
    };
    const Case cases[] = {
        {"RtlCreateSecurityDescriptor", PASSIVE_LEVEL,
         [](SystemOnlyDescriptor&) {
             SECURITY_DESCRIPTOR sd;
             RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
         }},
        {"RtlSetDaclSecurityDescriptor", PASSIVE_LEVEL,
         [](SystemOnlyDescriptor&) {
             SECURITY_DESCRIPTOR sd = {};
             sd.Revision = SECURITY_DESCRIPTOR_REVISION;
             RtlSetDaclSecurityDescriptor(&sd, FALSE, nullptr, FALSE);
         }},
        {"RtlAbsoluteToSelfRelativeSD", APC_LEVEL,
         [](SystemOnlyDescriptor&) {
             SECURITY_DESCRIPTOR sd = {};
             sd.Revision = SECURITY_DESCRIPTOR_REVISION;
             alignas(8) uint8_t out[64];
             ULONG length = sizeof(out);
             RtlAbsoluteToSelfRelativeSD(&sd, out, &length);
         }},
        {"RtlAddAccessAllowedAce", APC_LEVEL,
         [](SystemOnlyDescriptor&) {
             alignas(8) uint8_t acl[28] = {2, 0, 28, 0, 0, 0, 0, 0};
             RtlAddAccessAllowedAce(reinterpret_cast<PACL>(acl), ACL_REVISION, GENERIC_ALL,
                                    SeExports->SeLocalSystemSid);
         }},
        {"RtlLengthSid", APC_LEVEL,
         [](SystemOnlyDescriptor&) { RtlLengthSid(SeExports->SeLocalSystemSid); }},
        {"RtlGetOwnerSecurityDescriptor", PASSIVE_LEVEL,
         [](SystemOnlyDescriptor& d) {
             PSID owner = nullptr;
             BOOLEAN defaulted = FALSE;
             RtlGetOwnerSecurityDescriptor(d.Bytes, &owner, &defaulted);
         }},
        {"RtlGetDaclSecurityDescriptor", APC_LEVEL,
         [](SystemOnlyDescriptor& d) {
             PACL acl = nullptr;
             BOOLEAN present = FALSE, defaulted = FALSE;
             RtlGetDaclSecurityDescriptor(d.Bytes, &present, &acl, &defaulted);
         }},
        {"IoIsWdmVersionAvailable", PASSIVE_LEVEL,
         [](SystemOnlyDescriptor&) { IoIsWdmVersionAvailable(6, 0); }},
    };
    for (const Case& c : cases) {
        SystemOnlyDescriptor descriptor;
        KIRQL old = KfRaiseIrql(static_cast<KIRQL>(c.Cap + 1));
        c.Call(descriptor);
        KeLowerIrql(old);
        std::string expected = std::string(c.Routine) + " called at IRQL " +
                               std::to_string(c.Cap + 1) + "; its contract allows at most " +
                               std::to_string(c.Cap);
        std::vector<std::string> violations = TakeViolations();
        EXPECT_NE(std::find(violations.begin(), violations.end(), expected), violations.end())
            << expected;
    }
}

TEST_F(ModelSecurityTest, AnEntryPastTheAclSizeIsRefused)
{
    alignas(8) uint8_t acl[28] = {2, 0, 28, 0, 0, 0, 0, 0};
    PSID system = SeExports->SeLocalSystemSid;
    EXPECT_EQ(RtlLengthSid(system), 12u);
    EXPECT_EQ(RtlAddAccessAllowedAce(reinterpret_cast<PACL>(acl), ACL_REVISION, GENERIC_ALL, system),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(reinterpret_cast<PACL>(acl), ACL_REVISION, GENERIC_ALL, system),
              STATUS_ALLOTTED_SPACE_EXCEEDED);
    // An ACL size the kernel cannot hold: not a multiple of four.
    acl[2] = 27;
    EXPECT_EQ(RtlAddAccessAllowedAce(reinterpret_cast<PACL>(acl), ACL_REVISION, GENERIC_ALL, system),
              STATUS_INVALID_ACL);
}

TEST_F(ModelSecurityTest, AnOlderKernelsRecordEndsBeforeTheSidsItLacks)
{
    const struct {
        ULONG Major, Minor;
        bool ServiceSids, AppSids;
        bool Wdm120;
    } cases[] = {{5, 0, false, false, false}, {5, 1, true, false, true},
                 {6, 1, true, false, true},    {6, 2, true, true, true},
                 {10, 0, true, true, true}};
    for (const auto& c : cases) {
        model::MachineConfig config;
        config.Version.Major = c.Major;
        config.Version.Minor = c.Minor;
        StartMachine(config);
        EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x20), c.Wdm120) << c.Major << "." << c.Minor;
        EXPECT_EQ(MmIsAddressValid(SeExports->SeLocalServiceSid), c.ServiceSids) << c.Major;
        EXPECT_EQ(MmIsAddressValid(SeExports->SeAllAppPackagesSid), c.AppSids) << c.Major;
        EXPECT_EQ(MmIsAddressValid(SeExports->SeWorldSid), TRUE) << c.Major;
    }
}

}  // namespace
}  // namespace vektest
