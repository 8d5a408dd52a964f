// Entry and unload routines. The entry routine brings the subsystems up one
// by one; a failing step undoes the steps before it in reverse order and
// the load fails with that step's status. Unload unhooks the callbacks
// before it releases anything they use.
#include "driver/kernel.h"
#include "driver/device_extension.h"
#include "driver/io_space.h"
#include "driver/pool_settings.h"
#include "console/serial_console.h"
#include "hypervisor/hypervisor_state.h"
#include "hypervisor/resume_restore.h"
#include "devsecure/device_secure.h"
#include "modules/module_map.h"
#include "report/bugcheck_report.h"

extern "C" DRIVER_INITIALIZE DriverEntry;
static DRIVER_UNLOAD UnloadDriver;

namespace {

constexpr PCWSTR DeviceNameText = WIDE("\\Device\\VekCrashDmp");
constexpr PCWSTR LinkNameText = WIDE("\\DosDevices\\VEKCRASHDMP");
// Protected DACL, one entry: all access for the local system account.
constexpr PCWSTR DeviceSecurityText = WIDE("D:P(A;;GA;;;SY)");

static_assert(offsetof(DRIVER_OBJECT, DriverUnload) == 0x68, "driver object layout");

// The registration on "\Callback\PowerState", removed first at unload.
PVOID PowerStateRegistration = nullptr;

} // namespace

_Use_decl_annotations_
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    // Fixed before anything is allocated.
    FixPoolSettings();
    // Looked up here, at PASSIVE_LEVEL, for the console and for the
    // restore's later mappings.
    LookUpIoSpaceRoutines();

    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, DeviceNameText);
    UNICODE_STRING deviceSecurity;
    RtlInitUnicodeString(&deviceSecurity, DeviceSecurityText);
    PDEVICE_OBJECT device = nullptr;
    // The device carries the extension and is the context of the
    // callbacks; it accepts no requests, so only the system may open it.
    NTSTATUS status = CreateDeviceSecure(DriverObject, sizeof(CrashDeviceExtension), &deviceName,
                                         FILE_DEVICE_UNKNOWN, 0, TRUE, &deviceSecurity, nullptr,
                                         &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, LinkNameText);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }

    // The driver object gets an unload routine and nothing else: the
    // driver serves no requests.
    DriverObject->DriverUnload = UnloadDriver;

    auto* extension = static_cast<CrashDeviceExtension*>(device->DeviceExtension);
    // Recorded before anything can restore it; null (no compatible
    // hypervisor, or no pool) only means that resumes restore nothing.
    extension->HypervisorState = CaptureHypervisorState();

    // Kept for the crash report; a failed query leaves the record zeroed
    // apart from its size, which the report prints as it stands.
    RtlZeroMemory(&extension->VersionInfo, sizeof(extension->VersionInfo));
    extension->VersionInfo.dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOEXW);
    RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&extension->VersionInfo));

    status = OpenSerialConsole(ConsoleComIndex);
    if (!NT_SUCCESS(status)) {
        goto FreeHypervisor;
    }

    status = InitializeModuleMap();
    if (!NT_SUCCESS(status)) {
        goto CloseConsole;
    }

    status = RegisterBugCheckReport(&extension->VersionInfo, sizeof(extension->VersionInfo));
    if (!NT_SUCCESS(status)) {
        goto TeardownModules;
    }

    // Last: the callback reads the extension, complete by now.
    status = RegisterPowerStateCallback(&PowerStateRegistration, device, PowerStateCallback);
    if (!NT_SUCCESS(status)) {
        goto DeregisterReport;
    }

    return STATUS_SUCCESS;

    // Undo, in reverse order of the steps above.
DeregisterReport:
    DeregisterBugCheckReport();
TeardownModules:
    TeardownModuleMap();
CloseConsole:
    CloseSerialConsole();
FreeHypervisor:
    FreeHypervisorState(extension->HypervisorState);
    extension->HypervisorState = nullptr;
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(device);
    return status;
}

_Use_decl_annotations_
static VOID UnloadDriver(PDRIVER_OBJECT DriverObject)
{
    // Callbacks first: nothing they use may go while they can still run.
    ExUnregisterCallback(PowerStateRegistration);
    PowerStateRegistration = nullptr;
    DeregisterBugCheckReport();
    TeardownModuleMap();
    CloseSerialConsole();

    PDEVICE_OBJECT device = DriverObject->DeviceObject;
    auto* extension = static_cast<CrashDeviceExtension*>(device->DeviceExtension);
    FreeHypervisorState(extension->HypervisorState);
    extension->HypervisorState = nullptr;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, LinkNameText);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(device);
}
