// The model machine: its state, the common entry of every kernel routine
// (call log, IRQL contract, bug check rule, failure injection) and the
// events that drive a driver: load, bug check, unload.
#include "machine_state.h"
#include "model_lock.h"
#include "scheduler.h"

#include "model/address_space.h"
#include "model/driver_call.h"
#include "model/kernel_memory.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <algorithm>

namespace model {

namespace {

MachineState* TheState = nullptr;

constexpr ULONG SecondaryDumpBufferSize = 4096;

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

uint64_t Slot(const void* pointer)
{
    return reinterpret_cast<uintptr_t>(pointer);
}

}  // namespace

thread_local unsigned CurrentProcessorSlot::ThreadValue = 0;

uint64_t CallDriver(const void* routine, std::initializer_list<uint64_t> arguments,
                    unsigned processor, KIRQL irql, const char* what)
{
    // Kernel code on both sides of the call; the driver's code in between
    // runs without the model lock.
    KernelScope kernel;
    MachineState& s = State();
    if (s.Stopped || s.Image == nullptr) {
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
    s.Current = processor;
    s.Processors[processor].Irql = irql;
    NoteDriverThread();
    bool outermost = EnterMainCall(processor, what);
    uint64_t result = 0;
    try {
        KernelLeave driverCode;
        result = s.Image->Call(call);
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
    if (!s.Stopped) {
        CheckIrqlAfterCall(what, irql);
        s.Processors[processor].Irql = callerIrql;
        s.Current = callerProcessor;
    }
    return result;
}

MachineState& State()
{
    if (TheState == nullptr) {
        static const MachineConfig defaultMachine;
        ResetMachine(defaultMachine);
    }
    return *TheState;
}

void ResetMachine(const MachineConfig& config)
{
    // Blocks the previous driver never freed are released here so that one
    // test's leak does not show up as another's.
    if (TheState != nullptr) {
        StopScheduler(*TheState);
        for (auto& [block, info] : TheState->Pool) {
            (void)info;
            FreeKernelMemory(block);
        }
        for (auto& device : TheState->Devices) {
            FreeKernelMemory(device.Object);
        }
        FreeKernelMemory(TheState->Load);
        for (void* record : TheState->FailFastRecords) {
            FreeKernelMemory(record);
        }
        for (const PhysicalRamBacking& backing : TheState->RamBacking) {
            FreeKernelMemory(backing.Host);
        }
        delete TheState;
    }
    DropKernelMemory();
    bool freeRunning = config.FreeRunning && !FiberLanesRequested();
    SetFreeRunning(freeRunning);
    TheState = new MachineState(freeRunning);
    MachineState& s = *TheState;
    s.Current = 0;
    s.Config = config;
    s.Processors.assign(std::max({1u, config.Processors, config.MaxProcessors}), ProcessorState{});
    s.ActiveProcessors = std::max(1u, config.Processors);
    StartHypervisor(s);
    for (const UartConfig& uart : config.Uarts) {
        s.Uarts.push_back(std::make_unique<Uart16550>(uart));
    }
    s.SystemTime = config.SystemTime;
    for (ULONG_PTR& value : KiBugCheckData) {
        value = 0;
    }
    ListMachineImages(s);
}

const MachineConfig& Config()
{
    return State().Config;
}

void Violation(const char* format, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    State().Violations.emplace_back(text);
}

KIRQL CurrentIrql()
{
    MachineState& s = State();
    return s.Processors[s.Current].Irql;
}

namespace {

// The detail holds "tag=XXXX" as a word of its own.
bool DetailHasTag(const std::string& detail, const std::string& tag)
{
    const std::string word = "tag=" + tag;
    for (size_t at = detail.find(word); at != std::string::npos; at = detail.find(word, at + 1)) {
        bool starts = at == 0 || detail[at - 1] == ' ';
        bool ends = at + word.size() == detail.size() || detail[at + word.size()] == ' ';
        if (starts && ends) {
            return true;
        }
    }
    return false;
}

bool FaultSelects(const Fault& fault, const char* routine, const std::string& detail)
{
    return fault.Routine == routine && (fault.Tag.empty() || DetailHasTag(detail, fault.Tag)) &&
           (fault.Detail.empty() || detail.find(fault.Detail) != std::string::npos);
}

// Routines whose logged detail carries the pool tag.
bool LogsPoolTag(const std::string& routine)
{
    return routine == "ExAllocatePoolWithTag" || routine == "ExAllocatePoolWithQuotaTag";
}

}  // namespace

std::optional<NTSTATUS> EnterRoutine(const char* name, KIRQL maxIrql, AtBugCheck use,
                                     std::string detail)
{
    // Another processor may take its turn at any call into the kernel.
    SwitchPoint(SwitchReason::KernelCall);
    MachineState& s = State();
    s.Calls.push_back(KernelCall{name, std::move(detail)});
    if (CurrentIrql() > maxIrql) {
        Violation("%s called at IRQL %u; its contract allows at most %u", name,
                  unsigned{CurrentIrql()}, unsigned{maxIrql});
    }
    if (s.InBugCheck && use == AtBugCheck::Forbidden) {
        Violation("%s called during the bug check", name);
    }
    ++s.CallCounts[name];
    const std::string& logged = s.Calls.back().Detail;
    std::optional<NTSTATUS> result;
    for (Fault& fault : s.Faults) {
        // A fault fires once; counting stops at its call.
        if (fault.Matched < fault.Call && FaultSelects(fault, name, logged) &&
            ++fault.Matched == fault.Call && !result) {
            result = fault.Status;
        }
    }
    return result;
}

bool InjectFault(const Fault& fault, std::string* error)
{
    const RoutineInfo* routine = FindRoutine(fault.Routine);
    if (routine == nullptr) {
        *error = "no kernel routine named '" + fault.Routine + "'";
        return false;
    }
    if (routine->FailsAs == RoutineInfo::Failure::None) {
        *error = "'" + fault.Routine + "' returns nothing and cannot fail";
        return false;
    }
    if (fault.Call == 0) {
        *error = "calls are counted from 1";
        return false;
    }
    if (!fault.Tag.empty() && !LogsPoolTag(fault.Routine)) {
        *error = "'" + fault.Routine + "' takes no pool tag";
        return false;
    }
    // Calls count from the start of the machine, also those made before
    // the fault was injected.
    MachineState& s = State();
    Fault counted = fault;
    counted.Matched = 0;
    for (const KernelCall& call : s.Calls) {
        counted.Matched += FaultSelects(counted, call.Routine.c_str(), call.Detail) ? 1 : 0;
    }
    s.Faults.push_back(counted);
    return true;
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
        CallDriver(image.EntryRoutine(), {Slot(&driver), Slot(&load.RegistryPath)}, 0,
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
    CallDriver(reinterpret_cast<const void*>(unload), {Slot(&s.Load->DriverObject)}, 0,
               PASSIVE_LEVEL, "the unload routine");
    if (s.Stopped) {
        return;
    }
    CheckNothingLeft("unload");
    s.Loaded = false;
    ReleaseDriverObject(s);
}

void BugCheck(ULONG_PTR code, const ULONG_PTR (&parameters)[4], unsigned processor)
{
    MachineState& s = State();
    if (s.Stopped) {
        Violation("bug check requested on a machine already stopped");
        return;
    }
    if (processor >= s.ActiveProcessors) {
        Violation("bug check requested on processor %u of %u", processor, s.ActiveProcessors);
        return;
    }
    KiBugCheckData[0] = code;
    for (int i = 0; i < 4; ++i) {
        KiBugCheckData[i + 1] = parameters[i];
    }

    // The other processors are frozen; the bug check runs on this one with
    // interrupts masked.
    s.Current = processor;
    s.Processors[processor].Irql = HIGH_LEVEL;
    s.InBugCheck = true;
    s.LastDumpData = {};
    for (const RegisteredCallback& callback : std::vector<RegisteredCallback>(s.BugCheckCallbacks)) {
        // The record is the driver's memory: it may have been freed or
        // unmapped while registered.
        if (FirstInvalid(reinterpret_cast<uintptr_t>(callback.Record), sizeof(*callback.Record),
                         MemoryAccess::Read)) {
            Violation("a registered bug check callback record at %s is no longer valid memory",
                      Hex(reinterpret_cast<uintptr_t>(callback.Record)).c_str());
            continue;
        }
        const KBUGCHECK_REASON_CALLBACK_RECORD& record = *callback.Record;
        if (record.CallbackRoutine != callback.Routine || record.Reason != callback.Reason ||
            record.Component != callback.Component) {
            Violation("a bug check callback record was changed while registered");
            continue;
        }
        if (callback.Reason != KbCallbackSecondaryDumpData || s.Image == nullptr) {
            continue;
        }
        // The kernel offers a secondary dump buffer; a callback that adds
        // nothing leaves OutBuffer null.
        auto* data = static_cast<KBUGCHECK_SECONDARY_DUMP_DATA*>(
            AllocateKernelMemory(sizeof(KBUGCHECK_SECONDARY_DUMP_DATA) + SecondaryDumpBufferSize));
        if (data == nullptr) {
            continue;
        }
        data->InBuffer = data + 1;
        data->InBufferLength = SecondaryDumpBufferSize;
        data->MaximumAllowed = SecondaryDumpBufferSize;
        CallDriver(reinterpret_cast<const void*>(callback.Routine),
                   {static_cast<uint64_t>(callback.Reason), Slot(callback.Record), Slot(data),
                    sizeof(*data)},
                   processor, HIGH_LEVEL, "a bug check callback");
        s.LastDumpData = *data;
        FreeKernelMemory(data);
    }
    s.InBugCheck = false;
    s.Stopped = true;
}

void HaltMachine()
{
    State().Stopped = true;
}

void ReportViolation(const std::string& message)
{
    State().Violations.push_back(message);
}

namespace {

// What the kernel leaves for a debugger when a fail-fast stops it: an
// exception record and a trap frame, in kernel memory, as x64 lays them out.
struct FailFastExceptionRecord {
    uint32_t ExceptionCode;
    uint32_t ExceptionFlags;
    uint64_t ExceptionRecord;
    uint64_t ExceptionAddress;
    uint32_t NumberParameters;
    uint32_t Reserved;
    uint64_t ExceptionInformation[15];
};
static_assert(sizeof(FailFastExceptionRecord) == 152, "EXCEPTION_RECORD layout");

constexpr size_t TrapFrameSize = 0x190;
constexpr size_t TrapFrameRip = 0x168;
constexpr size_t TrapFrameRsp = 0x180;

const char* FaultText(const DriverFault& fault)
{
    if (fault.What != nullptr) {
        return fault.What;
    }
    switch (fault.Kind) {
    case DriverFaultKind::Read: return "read unmapped or protected memory";
    case DriverFaultKind::Write: return "wrote to unmapped or protected memory";
    case DriverFaultKind::Execute: return "jumped to memory that holds no code";
    case DriverFaultKind::InvalidInstruction: return "executed an invalid instruction";
    case DriverFaultKind::PrivilegedInstruction:
        return "executed an instruction the processor refused";
    case DriverFaultKind::Exception: return "raised an exception";
    case DriverFaultKind::DoubleFault:
        return "overflowed its stack or lost its stack pointer (double fault)";
    case DriverFaultKind::FailFast: return "failed fast (int 29h)";
    }
    return "faulted";
}

}  // namespace

namespace {

struct {
    FaultBugCheckRoute Route;
    void* Context;
} FaultBugCheckPath = {nullptr, nullptr};

}  // namespace

void RaiseDriverFault(const DriverFault& fault)
{
    MachineState& s = State();
    Violation("driver code %s at %s (address %s)", FaultText(fault), Hex(fault.Rip).c_str(),
              Hex(fault.Address).c_str());
    if (s.InBugCheck) {
        // The kernel guards the callbacks it runs during a bug check: the
        // faulting one is abandoned and the bug check goes on.
        return;
    }

    constexpr ULONG PageFaultInNonPagedArea = 0x50;
    constexpr ULONG DriverIrqlNotLessOrEqual = 0xD1;
    constexpr ULONG KmodeExceptionNotHandled = 0x1E;
    constexpr ULONG UnexpectedKernelModeTrap = 0x7F;
    constexpr ULONG KernelSecurityCheckFailure = 0x139;
    constexpr ULONG_PTR DoubleFaultTrap = 8;
    constexpr ULONG_PTR IllegalInstruction = 0xC000001D;
    constexpr ULONG_PTR PrivilegedInstruction = 0xC0000096;
    constexpr uint32_t StackBufferOverrun = 0xC0000409;
    constexpr uint32_t NonContinuable = 1;

    ULONG_PTR parameters[4] = {};
    ULONG code = KmodeExceptionNotHandled;
    switch (fault.Kind) {
    case DriverFaultKind::Read:
    case DriverFaultKind::Write:
    case DriverFaultKind::Execute:
        if (CurrentIrql() >= DISPATCH_LEVEL) {
            code = DriverIrqlNotLessOrEqual;
            parameters[0] = fault.Address;
            parameters[1] = CurrentIrql();
            parameters[2] = fault.Kind == DriverFaultKind::Read    ? 0
                            : fault.Kind == DriverFaultKind::Write ? 1
                                                                   : 8;
            parameters[3] = fault.Rip;
        } else {
            code = PageFaultInNonPagedArea;
            parameters[0] = fault.Address;
            parameters[1] = fault.Kind == DriverFaultKind::Read    ? 0
                            : fault.Kind == DriverFaultKind::Write ? 2
                                                                   : 0x10;
            parameters[2] = fault.Rip;
        }
        break;
    case DriverFaultKind::InvalidInstruction:
    case DriverFaultKind::PrivilegedInstruction:
        parameters[0] = fault.Kind == DriverFaultKind::InvalidInstruction ? IllegalInstruction
                                                                          : PrivilegedInstruction;
        parameters[1] = fault.Rip;
        break;
    case DriverFaultKind::Exception:
        // The exception code, where it happened, and the two parameters of
        // its exception record.
        parameters[0] = fault.ExceptionCode;
        parameters[1] = fault.Rip;
        parameters[2] = fault.ExceptionParameters[0];
        parameters[3] = fault.ExceptionParameters[1];
        break;
    case DriverFaultKind::DoubleFault:
        // The trap number; the other parameters are reserved.
        code = UnexpectedKernelModeTrap;
        parameters[0] = DoubleFaultTrap;
        break;
    case DriverFaultKind::FailFast: {
        // The fail-fast code, then the trap frame and the exception record
        // of the failure.
        code = KernelSecurityCheckFailure;
        auto* record = static_cast<FailFastExceptionRecord*>(
            AllocateKernelMemory(sizeof(FailFastExceptionRecord)));
        auto* trapFrame = static_cast<uint8_t*>(AllocateKernelMemory(TrapFrameSize));
        if (record != nullptr) {
            record->ExceptionCode = StackBufferOverrun;
            record->ExceptionFlags = NonContinuable;
            record->ExceptionAddress = fault.Rip;
            record->NumberParameters = 1;
            record->ExceptionInformation[0] = fault.ExceptionCode;
        }
        if (trapFrame != nullptr) {
            std::memcpy(trapFrame + TrapFrameRip, &fault.Rip, sizeof(fault.Rip));
            std::memcpy(trapFrame + TrapFrameRsp, &fault.Rsp, sizeof(fault.Rsp));
        }
        s.FailFastRecords.push_back(record);
        s.FailFastRecords.push_back(trapFrame);
        parameters[0] = fault.ExceptionCode;
        parameters[1] = reinterpret_cast<uintptr_t>(trapFrame);
        parameters[2] = reinterpret_cast<uintptr_t>(record);
        break;
    }
    }
    if (FaultBugCheckPath.Route != nullptr) {
        FaultBugCheckPath.Route(fault, code, parameters, FaultBugCheckPath.Context);
        return;
    }
    BugCheck(code, parameters, s.Current);
}

}  // namespace model

extern "C" void ModelFailFast(ULONG Code)
{
    using namespace model;
    {
        KernelScope kernel;
        DriverFault fault{};
        fault.Kind = DriverFaultKind::FailFast;
        fault.Rip = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
        fault.Rsp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        fault.Address = fault.Rip;
        fault.ExceptionCode = Code;
        RaiseDriverFault(fault);
    }
    // Control never comes back to the driver past its fail-fast.
    throw DriverCallEnd{};
}

namespace model {

void SetFaultBugCheckRoute(FaultBugCheckRoute route, void* context)
{
    FaultBugCheckPath = {route, context};
}

bool Stopped()
{
    return State().Stopped;
}

unsigned CurrentProcessor()
{
    return State().Current;
}

void SetSystemTime(int64_t time)
{
    State().SystemTime = time;
}

const std::vector<std::string>& Violations()
{
    return State().Violations;
}

const std::vector<KernelCall>& Calls()
{
    return State().Calls;
}

std::vector<KernelCall> CallsTo(const std::vector<std::string>& routines)
{
    std::vector<KernelCall> selected;
    for (const KernelCall& call : State().Calls) {
        if (std::find(routines.begin(), routines.end(), call.Routine) != routines.end()) {
            selected.push_back(call);
        }
    }
    return selected;
}

std::string ConsoleBytes()
{
    MachineState& s = State();
    return s.Uarts.empty() ? std::string() : s.Uarts.front()->Transmitted();
}

Uart16550& UartAt(size_t index)
{
    return *State().Uarts.at(index);
}

size_t UartCount()
{
    return State().Uarts.size();
}

std::vector<std::string> DeviceNames()
{
    std::vector<std::string> names;
    for (const DeviceRecord& device : State().Devices) {
        names.push_back(Narrow(device.Name));
    }
    return names;
}

std::vector<std::string> SymbolicLinks()
{
    std::vector<std::string> links;
    for (const LinkRecord& link : State().Links) {
        links.push_back(Narrow(link.Name) + " -> " + Narrow(link.Target));
    }
    return links;
}

size_t RegisteredBugCheckCallbacks()
{
    return State().BugCheckCallbacks.size();
}

size_t LiveIoMappings()
{
    return State().Mappings.size();
}

const DRIVER_OBJECT* LoadedDriverObject()
{
    return State().Load != nullptr ? &State().Load->DriverObject : nullptr;
}

std::vector<std::string> DriverObjectChanges()
{
    return State().DriverObjectChanges;
}

const KBUGCHECK_SECONDARY_DUMP_DATA& LastSecondaryDumpData()
{
    return State().LastDumpData;
}

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 0x20 && c < 0x7F ? c : '.');
    }
    return text;
}

std::string Narrow(const std::u16string& text)
{
    std::string narrow;
    for (char16_t c : text) {
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace model
