// Power-state notifications and what drivers start from them: the kernel's
// callback objects ("\Callback\PowerState", opened with ExCreateCallback,
// registered on with ExRegisterCallback), the sleep and resume of the
// machine, work items that run later at PASSIVE_LEVEL on a system worker,
// and RtlCompareMemory. A registration, a callback object reference or a
// work item still held when the driver goes away is a violation: the
// kernel would call into, or keep, an image that is gone.
#include "memory/guest_memory.h"
#include "core/model_lock.h"

#include <algorithm>

namespace model {

namespace {

const std::u16string PowerStateName = u"\\Callback\\PowerState";

std::string Pointer(const void* pointer)
{
    return AddressText(reinterpret_cast<uintptr_t>(pointer));
}

// The kernel creates the power-state object at boot, for many callers.
std::vector<CallbackObjectRecord>& CallbackObjects()
{
    MachineState& s = State();
    if (s.CallbackObjects.empty()) {
        s.CallbackObjects.push_back(
            CallbackObjectRecord{PowerStateName, NewKernelObject(), true, 0, {}});
    }
    return s.CallbackObjects;
}

CallbackObjectRecord* FindObject(const void* object)
{
    for (CallbackObjectRecord& record : CallbackObjects()) {
        if (record.Object.get() == object) {
            return &record;
        }
    }
    return nullptr;
}

WorkItemRecord* FindWorkItem(const void* item)
{
    for (WorkItemRecord& record : State().WorkItems) {
        if (record.Item.get() == item) {
            return &record;
        }
    }
    return nullptr;
}

bool LiveDevice(PDEVICE_OBJECT device)
{
    for (const DeviceRecord& record : State().Devices) {
        if (record.Object == device) {
            return true;
        }
    }
    return false;
}

}  // namespace

void CheckPowerObjectsLeft(const char* when)
{
    MachineState& s = State();
    for (CallbackObjectRecord& object : CallbackObjects()) {
        if (!object.Registrations.empty()) {
            Violation("%zu callback registration(s) on %s still exist after %s",
                      object.Registrations.size(), Narrow(object.Name).c_str(), when);
            object.Registrations.clear();
        }
        if (object.DriverReferences != 0) {
            Violation("callback object %s still referenced %u time(s) after %s",
                      Narrow(object.Name).c_str(), object.DriverReferences, when);
            object.DriverReferences = 0;
        }
    }
    if (!s.WorkItems.empty()) {
        Violation("%zu work item(s) still allocated after %s", s.WorkItems.size(), when);
        s.WorkItems.clear();
    }
}

void NotifyPowerState(uint64_t argument1, uint64_t argument2, unsigned processor, KIRQL irql)
{
    MachineState& s = State();
    // The kernel delivers power notifications on whichever processor its
    // power manager thread runs; an inactive one stands for a scenario
    // mistake and is refused.
    if (processor >= s.ActiveProcessors) {
        Violation("power notification on processor %u; only %u are active", processor,
                  s.ActiveProcessors);
        return;
    }
    // The callback object's notifier calls at its caller's IRQL, which the
    // system keeps at or below DISPATCH_LEVEL ("Using a System-Defined
    // Callback Object").
    if (irql > DISPATCH_LEVEL) {
        Violation("power notification at IRQL %u; the system notifies at DISPATCH_LEVEL or below",
                  static_cast<unsigned>(irql));
        return;
    }
    std::vector<const void*> handles;
    for (const PowerRegistration& registration : CallbackObjects().front().Registrations) {
        handles.push_back(registration.Handle.get());
    }
    for (const void* handle : handles) {
        // A callback may unregister itself or another one meanwhile.
        for (const PowerRegistration& registration : CallbackObjects().front().Registrations) {
            if (registration.Handle.get() != handle || s.Stopped) {
                continue;
            }
            CallDriver(reinterpret_cast<const void*>(registration.Routine),
                       {reinterpret_cast<uintptr_t>(registration.Context), argument1, argument2},
                       processor, irql, "the power-state callback");
            break;
        }
    }
    RunQueuedWorkItems();
}

void EnterSleep(unsigned processor, KIRQL irql)
{
    NotifyPowerState(PO_CB_SYSTEM_STATE_LOCK, 0, processor, irql);
}

void Resume(const ResumeChanges& changes)
{
    MachineState& s = State();
    if (s.Stopped) {
        return;
    }
    if (changes.Processors) {
        if (*changes.Processors == 0 || *changes.Processors > s.Processors.size()) {
            Violation("resume with %u processors; the machine has room for %zu",
                      *changes.Processors, s.Processors.size());
        } else if (*changes.Processors != s.ActiveProcessors) {
            s.ActiveProcessors = *changes.Processors;
            s.Groups = ProcessorGroups(s.ActiveProcessors, {});
        }
    }
    if (changes.Groups) {
        s.Groups = ProcessorGroups(s.ActiveProcessors, *changes.Groups);
    }
    if (changes.ProcessorBrand) {
        s.Config.ProcessorBrand = *changes.ProcessorBrand;
    }
    ApplyHypervisorChanges(changes);
    NotifyPowerState(PO_CB_SYSTEM_STATE_LOCK, 1, changes.CallbackProcessor, changes.CallbackIrql);
}

void RunQueuedWorkItems()
{
    MachineState& s = State();
    if (s.RunningWorkItems) {
        return;  // the worker already drains the queue
    }
    s.RunningWorkItems = true;
    while (!s.Stopped) {
        auto next = std::find_if(s.WorkItems.begin(), s.WorkItems.end(),
                                 [](const WorkItemRecord& item) { return item.Queued; });
        if (next == s.WorkItems.end()) {
            break;
        }
        next->Queued = false;
        // The routine may free its own item: take what the call needs first.
        const void* routine = reinterpret_cast<const void*>(next->Routine);
        uint64_t device = reinterpret_cast<uintptr_t>(next->Device);
        uint64_t context = reinterpret_cast<uintptr_t>(next->Context);
        // Queued items go to the back: the queue runs oldest first.
        std::rotate(next, next + 1, s.WorkItems.end());
        CallDriver(routine, {device, context}, 0, PASSIVE_LEVEL, "a work item routine");
    }
    s.RunningWorkItems = false;
}

unsigned ActiveProcessors()
{
    return State().ActiveProcessors;
}

size_t PowerStateRegistrations()
{
    return CallbackObjects().front().Registrations.size();
}

size_t LiveWorkItems()
{
    return State().WorkItems.size();
}

}  // namespace model

using namespace model;

extern "C" NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject,
                                     POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                                     BOOLEAN AllowMultipleCallbacks)
{
    KernelScope kernel;
    constexpr const char* Routine = "ExCreateCallback";
    OBJECT_ATTRIBUTES attributes = ReadFromDriver(Routine, ObjectAttributes);
    std::optional<std::u16string> name;
    if (attributes.ObjectName != nullptr) {
        name = ReadUnicodeString(Routine, attributes.ObjectName);
    }
    if (auto failure = EnterRoutine(Routine, PASSIVE_LEVEL, AtBugCheck::Forbidden,
                                    (name ? Narrow(*name) : std::string("(unnamed)")) +
                                        " create=" + std::to_string(Create))) {
        return *failure;
    }
    if (attributes.Length != sizeof(OBJECT_ATTRIBUTES)) {
        Violation("ExCreateCallback with OBJECT_ATTRIBUTES.Length %u; the structure has %zu bytes",
                  attributes.Length, sizeof(OBJECT_ATTRIBUTES));
        return STATUS_INVALID_PARAMETER;
    }
    if (attributes.ObjectName != nullptr && !name) {
        return STATUS_OBJECT_NAME_INVALID;  // a malformed name, already reported
    }
    CallbackObjectRecord* found = nullptr;
    if (name && attributes.RootDirectory == nullptr) {
        bool caseless = (attributes.Attributes & OBJ_CASE_INSENSITIVE) != 0;
        for (CallbackObjectRecord& object : CallbackObjects()) {
            if (caseless ? SameName(object.Name, *name) : object.Name == *name) {
                found = &object;
            }
        }
    }
    if (found == nullptr) {
        if (!Create) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        CallbackObjects().push_back(CallbackObjectRecord{name.value_or(u""),
                                                         NewKernelObject(),
                                                         AllowMultipleCallbacks != FALSE, 0, {}});
        found = &CallbackObjects().back();
    }
    WriteToDriver(Routine, CallbackObject, reinterpret_cast<PCALLBACK_OBJECT>(found->Object.get()));
    ++found->DriverReferences;
    return STATUS_SUCCESS;
}

extern "C" PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject,
                                    PCALLBACK_FUNCTION CallbackFunction, PVOID CallbackContext)
{
    KernelScope kernel;
    if (EnterRoutine("ExRegisterCallback", APC_LEVEL, AtBugCheck::Forbidden,
                     Pointer(CallbackObject))) {
        return nullptr;
    }
    CallbackObjectRecord* object = FindObject(CallbackObject);
    if (object == nullptr || object->DriverReferences == 0) {
        Violation("ExRegisterCallback on %s, which is no callback object the driver holds",
                  Pointer(CallbackObject).c_str());
        return nullptr;
    }
    if (CallbackFunction == nullptr) {
        Violation("ExRegisterCallback with a null callback function");
        return nullptr;
    }
    if (!object->AllowMultiple && !object->Registrations.empty()) {
        return nullptr;
    }
    object->Registrations.push_back(
        PowerRegistration{NewKernelObject(), CallbackFunction, CallbackContext});
    return object->Registrations.back().Handle.get();
}

extern "C" VOID ExUnregisterCallback(PVOID CallbackRegistration)
{
    KernelScope kernel;
    EnterRoutine("ExUnregisterCallback", APC_LEVEL, AtBugCheck::Forbidden,
                 Pointer(CallbackRegistration));
    for (CallbackObjectRecord& object : CallbackObjects()) {
        auto& list = object.Registrations;
        auto found = std::find_if(list.begin(), list.end(), [&](const PowerRegistration& r) {
            return r.Handle.get() == CallbackRegistration;
        });
        if (found != list.end()) {
            list.erase(found);
            return;
        }
    }
    Violation("ExUnregisterCallback on %s, which is no live registration",
              Pointer(CallbackRegistration).c_str());
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object)
{
    KernelScope kernel;
    EnterRoutine("ObfDereferenceObject", DISPATCH_LEVEL, AtBugCheck::Forbidden, Pointer(Object));
    CallbackObjectRecord* object = FindObject(Object);
    if (object == nullptr || object->DriverReferences == 0) {
        Violation("ObfDereferenceObject on %s, which the driver holds no reference to",
                  Pointer(Object).c_str());
        return 0;
    }
    return --object->DriverReferences;
}

extern "C" PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    KernelScope kernel;
    if (EnterRoutine("IoAllocateWorkItem", DISPATCH_LEVEL, AtBugCheck::Forbidden,
                     Pointer(DeviceObject))) {
        return nullptr;
    }
    if (!LiveDevice(DeviceObject)) {
        Violation("IoAllocateWorkItem for %s, which is no device object",
                  Pointer(DeviceObject).c_str());
        return nullptr;
    }
    MachineState& s = State();
    s.WorkItems.push_back(WorkItemRecord{NewKernelObject(), DeviceObject});
    return reinterpret_cast<PIO_WORKITEM>(s.WorkItems.back().Item.get());
}

extern "C" VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                WORK_QUEUE_TYPE QueueType, PVOID Context)
{
    KernelScope kernel;
    EnterRoutine("IoQueueWorkItem", DISPATCH_LEVEL, AtBugCheck::Forbidden,
                 Pointer(IoWorkItem) + " queue=" + std::to_string(QueueType));
    WorkItemRecord* item = FindWorkItem(IoWorkItem);
    if (item == nullptr) {
        Violation("IoQueueWorkItem on %s, which is no allocated work item",
                  Pointer(IoWorkItem).c_str());
        return;
    }
    if (item->Queued) {
        Violation("IoQueueWorkItem on a work item that is already queued");
        return;
    }
    if (QueueType != CriticalWorkQueue && QueueType != DelayedWorkQueue &&
        QueueType != HyperCriticalWorkQueue) {
        Violation("IoQueueWorkItem to queue type %d, which is no work queue", int{QueueType});
        return;
    }
    if (WorkerRoutine == nullptr) {
        Violation("IoQueueWorkItem with a null routine");
        return;
    }
    item->Queued = true;
    item->Routine = WorkerRoutine;
    item->Context = Context;
}

extern "C" VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    KernelScope kernel;
    EnterRoutine("IoFreeWorkItem", DISPATCH_LEVEL, AtBugCheck::Forbidden, Pointer(IoWorkItem));
    MachineState& s = State();
    WorkItemRecord* item = FindWorkItem(IoWorkItem);
    if (item == nullptr) {
        Violation("IoFreeWorkItem on %s, which is no allocated work item",
                  Pointer(IoWorkItem).c_str());
        return;
    }
    if (item->Queued) {
        Violation("IoFreeWorkItem on a work item still queued; its routine has not run");
        return;
    }
    s.WorkItems.erase(s.WorkItems.begin() + (item - s.WorkItems.data()));
}

extern "C" SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    KernelScope kernel;
    constexpr const char* Routine = "RtlCompareMemory";
    EnterRoutine(Routine, HIGH_LEVEL, AtBugCheck::Forbidden, "size=" + std::to_string(Length));
    // Byte by byte, as far as they match: a block may end at the first
    // difference and the rest need not be readable.
    const auto* a = static_cast<const UCHAR*>(Source1);
    const auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T same = 0;
    while (same < Length &&
           ReadFromDriver(Routine, a + same) == ReadFromDriver(Routine, b + same)) {
        ++same;
    }
    return same;
}
