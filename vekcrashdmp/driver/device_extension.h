// The extension of the driver's one device object. The kernel allocates it
// zeroed with the device; the load routine fills it before any callback
// that reads it is registered, and nothing writes it afterwards.
#pragma once

#include "driver/kernel.h"

struct HypervisorStateRecord;

struct CrashDeviceExtension {
    // Enlightenment registers recorded at load; null without a compatible
    // hypervisor. Owned by the driver, released at unload.
    HypervisorStateRecord* HypervisorState;
    // Filled once at load by RtlGetVersion; printed by the crash report.
    RTL_OSVERSIONINFOEXW VersionInfo;
};
static_assert(sizeof(RTL_OSVERSIONINFOEXW) == 284, "version record size");
static_assert(offsetof(CrashDeviceExtension, VersionInfo) == 8, "extension layout");
static_assert(sizeof(CrashDeviceExtension) == 296, "extension size");
