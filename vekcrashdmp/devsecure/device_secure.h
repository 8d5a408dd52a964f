// Secure device creation: the driver's device gets its security descriptor
// at creation, on every kernel. The kernel's IoCreateDeviceSecure does it
// where the running kernel exports one; otherwise the driver converts the
// descriptor string, creates the device and writes the descriptor onto it
// through a kernel handle before anyone can use the device.
// PASSIVE_LEVEL; the load routine is the one caller.
#pragma once

#include "driver/kernel.h"

// The creation routine in use, chosen on the first call and kept for the
// life of the driver.
extern IoCreateDeviceSecureRoutine DeviceCreationRoutine;
extern BOOLEAN DeviceCreationChosen;

// The parts of a security descriptor, as SECURITY_INFORMATION bits.
constexpr ULONG DescriptorOwnerPart = 1;
constexpr ULONG DescriptorGroupPart = 2;
constexpr ULONG DescriptorDaclPart = 4;
constexpr ULONG DescriptorSaclPart = 8;

// Creates a named device whose security the descriptor string gives. Takes
// the arguments of IoCreateDeviceSecure; *DeviceObject is null on failure,
// and then nothing is left behind.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                            PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                            ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                            PCUNICODE_STRING DefaultSDDLString, LPCGUID DeviceClassGuid,
                            PDEVICE_OBJECT* DeviceObject);

// The driver's own path, for kernels without IoCreateDeviceSecure.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS NTAPI CreateDeviceSecureFallback(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                          PCUNICODE_STRING DefaultSDDLString,
                                          LPCGUID DeviceClassGuid, PDEVICE_OBJECT* DeviceObject);

// Writes every part the descriptor holds onto the device object.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ApplyDeviceSecurity(PDEVICE_OBJECT DeviceObject, PSECURITY_DESCRIPTOR Descriptor);
