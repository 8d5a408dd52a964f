// The object namespace as far as the driver reaches it: counted strings,
// device objects with their extensions, and symbolic links. Names compare
// without regard to case, as the object manager compares them.
#include "guest_memory.h"
#include "model_lock.h"

#include "model/kernel_memory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace model {

namespace {

constexpr CSHORT DeviceObjectType = 3;
constexpr ULONG DeviceExclusiveFlag = 0x00000008;
constexpr size_t ExtensionAlignment = 16;
// The longest text a counted string can describe, in units, leaving room
// for the terminator in MaximumLength.
constexpr size_t LongestCountedText = 0xFFFC / sizeof(WCHAR);

char16_t Fold(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

DeviceRecord* FindDevice(PDEVICE_OBJECT object)
{
    for (DeviceRecord& device : State().Devices) {
        if (device.Object == object) {
            return &device;
        }
    }
    return nullptr;
}

}  // namespace

bool SameName(const std::u16string& a, const std::u16string& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char16_t x, char16_t y) { return Fold(x) == Fold(y); });
}

std::optional<std::u16string> ReadUnicodeString(const char* routine, PCUNICODE_STRING string)
{
    if (string == nullptr) {
        Violation("%s given a null UNICODE_STRING", routine);
        return std::nullopt;
    }
    const UNICODE_STRING counted = ReadFromDriver(routine, string);
    if (counted.Length % sizeof(WCHAR) != 0 || counted.Length > counted.MaximumLength ||
        (counted.Length != 0 && counted.Buffer == nullptr)) {
        Violation("%s given a malformed UNICODE_STRING (Length %u, MaximumLength %u)", routine,
                  unsigned{counted.Length}, unsigned{counted.MaximumLength});
        return std::nullopt;
    }
    std::u16string text(counted.Length / sizeof(WCHAR), u'\0');
    CopyFromDriver(routine, text.data(), counted.Buffer, counted.Length);
    return text;
}

}  // namespace model

using namespace model;

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    KernelScope kernel;
    constexpr const char* Routine = "RtlInitUnicodeString";
    EnterRoutine(Routine, DISPATCH_LEVEL, AtBugCheck::Forbidden);
    UNICODE_STRING result = {};
    if (SourceString != nullptr) {
        // The kernel measures the source first, then fills the destination.
        size_t units = ReadWideText(Routine, SourceString, LongestCountedText).size();
        result.Length = static_cast<USHORT>(units * sizeof(WCHAR));
        result.MaximumLength = static_cast<USHORT>((units + 1) * sizeof(WCHAR));
        result.Buffer = const_cast<PWSTR>(SourceString);
    }
    WriteToDriver(Routine, DestinationString, result);
}

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                   PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                   ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT* DeviceObject)
{
    KernelScope kernel;
    std::optional<std::u16string> name = std::u16string();
    if (DeviceName != nullptr) {
        name = ReadUnicodeString("IoCreateDevice", DeviceName);
    }
    std::string detail = (name ? Narrow(*name) : std::string("?")) +
                         " extension=" + std::to_string(DeviceExtensionSize) +
                         " type=" + Hex(DeviceType) + " exclusive=" + std::to_string(Exclusive);
    constexpr const char* Routine = "IoCreateDevice";
    auto fault = EnterRoutine(Routine, PASSIVE_LEVEL, AtBugCheck::Forbidden, detail);
    MachineState& s = State();
    if (DriverObject == nullptr || s.Load == nullptr || DriverObject != &s.Load->DriverObject) {
        Violation("IoCreateDevice given a driver object the kernel did not create");
        return STATUS_INVALID_PARAMETER;
    }
    if (!name || DeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (fault) {
        return *fault;
    }
    if (!name->empty()) {
        for (const DeviceRecord& device : s.Devices) {
            if (SameName(device.Name, *name)) {
                return STATUS_OBJECT_NAME_COLLISION;
            }
        }
    }

    // One block: the device object, then its extension, both zeroed.
    size_t extensionOffset =
        (sizeof(DEVICE_OBJECT) + ExtensionAlignment - 1) / ExtensionAlignment * ExtensionAlignment;
    size_t total = extensionOffset + DeviceExtensionSize;
    total = (total + ExtensionAlignment - 1) / ExtensionAlignment * ExtensionAlignment;
    // The caller's out pointer is checked before the device exists, so a
    // bad one leaves nothing behind.
    Require(Routine, DeviceObject, sizeof(*DeviceObject), MemoryAccess::Write);
    auto* object = static_cast<PDEVICE_OBJECT>(AllocateKernelMemory(total, ExtensionAlignment));
    if (object == nullptr) {
        // An extension the pool cannot hold fails the call.
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    object->Type = DeviceObjectType;
    object->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    object->ReferenceCount = 0;
    object->DriverObject = DriverObject;
    object->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DeviceExclusiveFlag : 0);
    object->Characteristics = DeviceCharacteristics;
    object->DeviceType = DeviceType;
    object->StackSize = 1;
    object->DeviceExtension =
        DeviceExtensionSize != 0 ? reinterpret_cast<UCHAR*>(object) + extensionOffset : nullptr;
    object->NextDevice = ReadFromDriver(Routine, &DriverObject->DeviceObject);
    WriteToDriver(Routine, &DriverObject->DeviceObject, object);

    s.Devices.push_back(DeviceRecord{*name, object, Exclusive != 0});
    WriteToDriver(Routine, DeviceObject, object);
    return STATUS_SUCCESS;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    KernelScope kernel;
    DeviceRecord* device = FindDevice(DeviceObject);
    EnterRoutine("IoDeleteDevice", PASSIVE_LEVEL, AtBugCheck::Forbidden,
                 device != nullptr ? Narrow(device->Name) : std::string("?"));
    if (device == nullptr) {
        Violation("IoDeleteDevice on %p, which is no live device object",
                  static_cast<void*>(DeviceObject));
        return;
    }
    // The device object is the driver's to scribble on: its links are read
    // as the kernel reads them, trusting nothing.
    constexpr const char* Routine = "IoDeleteDevice";
    PDRIVER_OBJECT driver = ReadFromDriver(Routine, &DeviceObject->DriverObject);
    PDEVICE_OBJECT next = ReadFromDriver(Routine, &DeviceObject->NextDevice);
    MachineState& s = State();
    PDEVICE_OBJECT* link = &driver->DeviceObject;
    // A damaged list may loop; no list holds more devices than exist.
    size_t steps = 0;
    for (PDEVICE_OBJECT current = ReadFromDriver(Routine, link);
         current != nullptr && steps <= s.Devices.size(); current = ReadFromDriver(Routine, link)) {
        ++steps;
        if (current == DeviceObject) {
            WriteToDriver(Routine, link, next);
            break;
        }
        link = &current->NextDevice;
    }
    s.Devices.erase(s.Devices.begin() + (device - s.Devices.data()));
    FreeKernelMemory(DeviceObject);
}

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                         PUNICODE_STRING DeviceName)
{
    KernelScope kernel;
    auto link = ReadUnicodeString("IoCreateSymbolicLink", SymbolicLinkName);
    auto target = ReadUnicodeString("IoCreateSymbolicLink", DeviceName);
    std::string detail = (link ? Narrow(*link) : std::string("?")) + " -> " +
                         (target ? Narrow(*target) : std::string("?"));
    auto fault = EnterRoutine("IoCreateSymbolicLink", PASSIVE_LEVEL, AtBugCheck::Forbidden, detail);
    if (!link || !target || link->empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (fault) {
        return *fault;
    }
    MachineState& s = State();
    for (const LinkRecord& existing : s.Links) {
        if (SameName(existing.Name, *link)) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    s.Links.push_back(LinkRecord{*link, *target});
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    KernelScope kernel;
    auto link = ReadUnicodeString("IoDeleteSymbolicLink", SymbolicLinkName);
    auto fault = EnterRoutine("IoDeleteSymbolicLink", PASSIVE_LEVEL, AtBugCheck::Forbidden,
                              link ? Narrow(*link) : std::string("?"));
    if (!link) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (fault) {
        return *fault;
    }
    MachineState& s = State();
    for (auto it = s.Links.begin(); it != s.Links.end(); ++it) {
        if (SameName(it->Name, *link)) {
            s.Links.erase(it);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}
