// Calls from the kernel into the driver: the one primitive every call
// takes (processor, IRQL, the checks on return), and the load and unload
// that drive the driver's life, with what they leave to check.
#include "core/machine_state.h"
#include "core/model_lock.h"
#include "processors/scheduler.h"

#include "model/address_space.h"
#include "model/driver_call.h"
#include "model/kernel_memory.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace model {

namespace {

// What the kernel stores in every dispatch slot of a new driver object.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, struct _IRP*)
{
    return STATUS_NOT_IMPLEMENTED;
}

void RecordDriverObjectChanges(MachineState& s)
{
    const DRIVER_OBJECT& before = s.DriverObjectBefore;
    const DRIVER_OBJECT& after = s.Load->DriverObject;
    auto note = [&](bool changed, const std::string& field) {
        if (changed) {
            s.DriverObjectChanges.push_back(field);
        }
    };
    note(before.Flags != after.Flags, "Flags");
    note(before.DriverExtension != after.DriverExtension, "DriverExtension");
    note(before.FastIoDispatch != after.FastIoDispatch, "FastIoDispatch");
    note(before.DriverInit != after.DriverInit, "DriverInit");
    note(before.DriverStartIo != after.DriverStartIo, "DriverStartIo");
    note(before.DriverUnload != after.DriverUnload, "DriverUnload");
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        note(before.MajorFunction[i] != after.MajorFunction[i],
             "MajorFunction[" + std::to_string(i) + "]");
    }
    note(s.Load->Extension.AddDevice != nullptr, "DriverExtension->AddDevice");
}

// Points a counted string at Storage, which holds a copy of Text.
template <size_t Units>
void SetCountedString(UNICODE_STRING* string, WCHAR (&storage)[Units], const char16_t* text)
{
    size_t length = std::char_traits<char16_t>::length(text);
    static_assert(Units > 1, "room for the terminator");
    length = std::min(length, Units - 1);
    std::copy(text, text + length, storage);
    storage[length] = 0;
    string->Buffer = storage;
    string->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    string->MaximumLength = static_cast<USHORT>((length + 1) * sizeof(WCHAR));
}

void CheckIrqlAfterCall(const char* routine, KIRQL expected)
{
    if (CurrentIrql() != expected) {
        Violation("%s returned at IRQL %u; it was called at IRQL %u", routine,
                  unsigned{CurrentIrql()}, unsigned{expected});
        State().Processors[State().Current].Irql = expected;
    }
}

void ReleaseDriverObject(MachineState& s)
{
    s.Image = nullptr;
    FreeKernelMemory(s.Load);
    s.Load = nullptr;
}

}  // namespace

thread_local unsigned CurrentProcessorSlot::ThreadValue = 0;

namespace {

// One call into an image's code: the driver's (image null: the loaded one)
// or a test driver's.
uint64_t CallImage(DriverImage* testDriver, const void* routine,
                   std::initializer_list<uint64_t> arguments, unsigned processor, KIRQL irql,
                   const char* what)
{
    // Kernel code on both sides of the call; the driver's code in between
    // runs without the model lock.
    KernelScope kernel;
    MachineState& s = State();
    DriverImage* image = testDriver != nullptr ? testDriver : s.Image;
    if (s.Stopped || image == nullptr) {
        return 0;
    }
    if (processor >= s.Processors.size() || arguments.size() > MaxDriverCallArguments) {
        Violation("%s cannot be called on processor %u with %zu arguments", what, processor,
                  arguments.size());
        return 0;
    }
    DriverCall call;
    call.Routine = routine;
    call.What = what;
    for (uint64_t argument : arguments) {
        call.Arguments[call.ArgumentCount++] = argument;
    }
    // A call made from inside another (a filter during a dispatch, a DPC at
    // a lowered IRQL) must leave the caller's processor and IRQL as it
    // found them.
    unsigned callerProcessor = s.Current;
    KIRQL callerIrql = s.Processors[processor].Irql;
    bool callerInTestDriver = s.Processors[processor].InTestDriver;
    const char* callerWhat = s.Processors[processor].CallWhat;
    s.Current = processor;
    s.Processors[processor].Irql = irql;
    s.Processors[processor].InTestDriver = testDriver != nullptr;
    s.Processors[processor].CallWhat = what;
    NoteDriverThread();
    CatchNativeDriverFaults();
    bool outermost = EnterMainCall(processor, what);
    uint64_t result = 0;
    try {
        KernelLeave driverCode;
        result = image->Call(call);
    } catch (const LaneAbandoned&) {
        // The machine stopped while this call's code spun; it ends here.
        if (!outermost) {
            throw;
        }
    } catch (const DriverCallEnd&) {
        // A kernel routine the driver called faulted (driver_call.h): the
        // call ends here, never back in driver code.
    }
    // Whatever ended the call has ended it; the caller goes on.
    s.EndingCall = false;
    LeaveMainCall(outermost);
    s.Processors[processor].InTestDriver = callerInTestDriver;
    s.Processors[processor].CallWhat = callerWhat;
    if (!s.Stopped) {
        CheckIrqlAfterCall(what, irql);
        s.Processors[processor].Irql = callerIrql;
        s.Current = callerProcessor;
    }
    return result;
}

}  // namespace

uint64_t CallDriver(const void* routine, std::initializer_list<uint64_t> arguments,
                    unsigned processor, KIRQL irql, const char* what)
{
    return CallImage(nullptr, routine, arguments, processor, irql, what);
}

uint64_t CallTestDriver(DriverImage& image, const void* routine,
                        std::initializer_list<uint64_t> arguments, unsigned processor, KIRQL irql,
                        const char* what)
{
    return CallImage(&image, routine, arguments, processor, irql, what);
}

void CheckNothingLeft(const char* when)
{
    MachineState& s = State();
    for (const auto& [tag, count] : LivePoolBlocks()) {
        Violation("%zu pool block(s) tagged '%s' still allocated after %s", count,
                  TagText(tag).c_str(), when);
    }
    for (const DeviceRecord& device : s.Devices) {
        Violation("device %s still exists after %s", Narrow(device.Name).c_str(), when);
    }
    for (const LinkRecord& link : s.Links) {
        Violation("symbolic link %s still exists after %s", Narrow(link.Name).c_str(), when);
    }
    DropCallbacksLeftBehind(when);
    DropImageNotifyRoutinesLeftBehind(when);
    CheckPowerObjectsLeft(when);
    CheckHandlesLeft(when);
    for (size_t p = 0; p < s.Processors.size(); ++p) {
        if (!s.Processors[p].Dpcs.empty()) {
            Violation("%zu DPC(s) still queued to processor %zu after %s",
                      s.Processors[p].Dpcs.size(), p, when);
        }
    }
    for (const IoMapping& mapping : s.Mappings) {
        Violation("device memory at %s is still mapped after %s", Hex(mapping.Physical).c_str(),
                  when);
    }
}

NTSTATUS LoadDriver(DriverImage& image)
{
    MachineState& s = State();
    if (s.Stopped) {
        Violation("load requested on a machine stopped by a bug check");
        return STATUS_UNSUCCESSFUL;
    }
    if (s.Loaded) {
        Violation("load requested while the driver is loaded");
        return STATUS_UNSUCCESSFUL;
    }

    s.Load = static_cast<DriverLoadBlock*>(AllocateKernelMemory(sizeof(DriverLoadBlock)));
    if (s.Load == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    DriverLoadBlock& load = *s.Load;
    DRIVER_OBJECT& driver = load.DriverObject;
    driver.Type = 4;
    driver.Size = sizeof(DRIVER_OBJECT);
    driver.DriverExtension = &load.Extension;
    load.Extension.DriverObject = &driver;
    SetCountedString(&driver.DriverName, load.DriverNameText, u"\\Driver\\vekcrashdmp");
    SetCountedString(&load.RegistryPath, load.RegistryPathText,
                     u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vekcrashdmp");
    for (PDRIVER_DISPATCH& dispatch : driver.MajorFunction) {
        dispatch = InvalidDeviceRequest;
    }
    s.DriverObjectBefore = driver;
    s.DriverObjectChanges.clear();

    s.Image = &image;
    auto status = static_cast<NTSTATUS>(static_cast<uint32_t>(
        CallDriver(image.EntryRoutine(), {PointerArgument(&driver), PointerArgument(&load.RegistryPath)}, 0,
                   PASSIVE_LEVEL, "the entry routine")));
    if (s.Stopped) {
        // The entry routine brought the machine down; nothing is checked
        // on a stopped machine.
        s.Image = nullptr;
        return STATUS_UNSUCCESSFUL;
    }
    RecordDriverObjectChanges(s);

    if (!NT_SUCCESS(status)) {
        CheckNothingLeft("a failed load");
        ReleaseDriverObject(s);
        return status;
    }
    s.Loaded = true;
    // A system worker picks up what the entry routine queued.
    RunQueuedWorkItems();
    return status;
}

bool DriverLoaded()
{
    return State().Loaded;
}

void UnloadDriver()
{
    MachineState& s = State();
    if (!s.Loaded) {
        Violation("unload requested while no driver is loaded");
        return;
    }
    if (s.Stopped) {
        Violation("unload requested on a machine stopped by a bug check");
        return;
    }
    PDRIVER_UNLOAD unload = s.Load->DriverObject.DriverUnload;
    if (unload == nullptr) {
        Violation("the driver has no unload routine and cannot be unloaded");
        return;
    }
    CallDriver(reinterpret_cast<const void*>(unload), {PointerArgument(&s.Load->DriverObject)}, 0,
               PASSIVE_LEVEL, "the unload routine");
    if (s.Stopped) {
        return;
    }
    CheckNothingLeft("unload");
    s.Loaded = false;
    ReleaseDriverObject(s);
}

}  // namespace model
