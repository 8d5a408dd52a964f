// Internal state of the model machine, shared by the files that implement
// its kernel routines and devices.
#pragma once

#include "model/image_registry.h"
#include "model/machine.h"
#include "model/uart16550.h"

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace model {

struct PoolBlock {
    POOL_TYPE Type;
    size_t Size;
    ULONG Tag;
};

struct DeviceRecord {
    std::u16string Name;
    PDEVICE_OBJECT Object;
    bool Exclusive;
};

struct LinkRecord {
    std::u16string Name;
    std::u16string Target;
};

struct IoMapping {
    uint64_t Physical;
    size_t Size;
    uintptr_t Virtual;
    bool Cached;
    bool Ram;  // plain memory behind it, not device registers
    uint64_t Range;  // its entry in the address space map
};

// Host memory standing for a physical RAM range of the machine, made when
// it is first mapped.
struct PhysicalRamBacking {
    uint64_t Physical;
    size_t Size;
    void* Host;
};

struct RegisteredCallback {
    PKBUGCHECK_REASON_CALLBACK_RECORD Record;
    PKBUGCHECK_REASON_CALLBACK_ROUTINE Routine;
    PUCHAR Component;
    KBUGCHECK_CALLBACK_REASON Reason;
};

struct ProcessorState {
    KIRQL Irql = PASSIVE_LEVEL;
    // DPCs queued to this processor, in the order they run.
    std::deque<PKDPC> Dpcs;
    // A test driver's code runs on it (CallTestDriver): a fault there is
    // the one the scenario asked for.
    bool InTestDriver = false;
};

// The kernel's part of DRIVER_OBJECT that the model owns.
struct DriverExtensionRecord {
    PDRIVER_OBJECT DriverObject;
    PVOID AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
};

// What the kernel builds for a driver it loads, in kernel memory the driver
// can reach.
struct DriverLoadBlock {
    DRIVER_OBJECT DriverObject;
    DriverExtensionRecord Extension;
    UNICODE_STRING RegistryPath;
    WCHAR DriverNameText[32];
    WCHAR RegistryPathText[96];
};

// The processor the running code is on. Under the baton one value serves
// every lane (each sets it when it gets the turn); free-running lanes run at
// once, so each thread keeps its own.
class CurrentProcessorSlot {
public:
    explicit CurrentProcessorSlot(bool perThread) : perThread_(perThread) {}
    operator unsigned() const { return perThread_ ? ThreadValue : shared_; }
    CurrentProcessorSlot& operator=(unsigned processor)
    {
        (perThread_ ? ThreadValue : shared_) = processor;
        return *this;
    }

private:
    static thread_local unsigned ThreadValue;
    bool perThread_;
    unsigned shared_ = 0;
};

// Hypervisor and power objects (hypervisor.cpp, power.cpp). Handles the
// driver receives point at host memory of their own, which the driver
// never reads.
struct PowerRegistration {
    std::unique_ptr<uint64_t> Handle;
    PCALLBACK_FUNCTION Routine;
    PVOID Context;
};
struct CallbackObjectRecord {
    std::u16string Name;
    std::unique_ptr<uint64_t> Object;
    bool AllowMultiple;
    unsigned DriverReferences = 0;  // ExCreateCallback opens not yet dereferenced
    std::vector<PowerRegistration> Registrations;
};
struct WorkItemRecord {
    std::unique_ptr<uint64_t> Item;
    PDEVICE_OBJECT Device;
    bool Queued = false;
    PIO_WORKITEM_ROUTINE Routine = nullptr;
    PVOID Context = nullptr;
};

struct MachineState {
    explicit MachineState(bool freeRunning) : Current(freeRunning) {}

    MachineConfig Config;
    std::vector<ProcessorState> Processors;
    CurrentProcessorSlot Current;

    std::vector<std::string> Violations;
    std::vector<KernelCall> Calls;
    std::map<std::string, unsigned> CallCounts;
    std::vector<Fault> Faults;

    std::map<void*, PoolBlock> Pool;
    std::set<void*> FreedBlocks;

    std::vector<DeviceRecord> Devices;
    std::vector<LinkRecord> Links;

    std::vector<std::unique_ptr<Uart16550>> Uarts;
    std::vector<IoMapping> Mappings;
    std::vector<PhysicalRamBacking> RamBacking;

    std::vector<RegisteredCallback> BugCheckCallbacks;
    std::vector<PLOAD_IMAGE_NOTIFY_ROUTINE> ImageNotifyRoutines;
    // Buffers RtlUnicodeStringToAnsiString allocated, which only
    // RtlFreeAnsiString may free.
    std::set<void*> AnsiStrings;
    // Images the machine lists beyond the kernel's own, dropped with it.
    std::vector<ImageRegistration> MachineImages;
    // What a fail-fast leaves for a debugger (exception record, trap
    // frame): kernel memory that lives until the machine goes.
    std::vector<void*> FailFastRecords;
    // Module list queries answered (class 11 and RtlQueryModuleInformation),
    // for the list that grows between queries.
    unsigned ModuleQueries = 0;
    KBUGCHECK_SECONDARY_DUMP_DATA LastDumpData = {};

    // Processors online now; Processors holds room for MaxProcessors.
    unsigned ActiveProcessors = 1;
    // The synthetic MSRs as they hold now (Config.Hypervisor holds which are
    // offered and the features, changed by a resume).
    uint64_t GuestOsId = 0, Hypercall = 0, ReferenceTsc = 0;
    std::vector<uint64_t> VpAssistPage;  // one per processor slot
    std::vector<CallbackObjectRecord> CallbackObjects;
    std::vector<WorkItemRecord> WorkItems;  // queue order for the queued ones
    bool RunningWorkItems = false;
    bool TscPageDue = false;  // enabled at power-on, not yet written

    DriverImage* Image = nullptr;
    // Kernel memory: what the entry routine receives, for the life of a load.
    DriverLoadBlock* Load = nullptr;
    DRIVER_OBJECT DriverObjectBefore = {};
    std::vector<std::string> DriverObjectChanges;

    bool Loaded = false;
    bool Stopped = false;
    bool InBugCheck = false;
    // A kernel routine faulted: the driver call in progress is ending.
    bool EndingCall = false;
    int64_t SystemTime = 0;
};

MachineState& State();

void Violation(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Whether a routine may run while the bug check callbacks run: only the
// ones the report needs (time, IRQL, context capture and unwinding).
enum class AtBugCheck { Forbidden, Allowed };

// Common entry of every kernel routine: logs the call, checks the caller's
// IRQL against the routine's contract and the bug check rule, and tells
// whether an injected fault makes this call fail.
std::optional<NTSTATUS> EnterRoutine(const char* name, KIRQL maxIrql, AtBugCheck use,
                                     std::string detail = {});

KIRQL CurrentIrql();

// Text helpers for logs and messages.
std::string Narrow(const std::u16string& text);
std::string Hex(uint64_t value);
// Reads a counted string the driver passed; a malformed one is a violation
// and yields nullopt.
std::optional<std::u16string> ReadUnicodeString(const char* routine, PCUNICODE_STRING string);
bool SameName(const std::u16string& a, const std::u16string& b);

// Device space.
Uart16550* UartAtPort(uint16_t port, uint8_t* offset);
Uart16550* UartAtPhysical(uint64_t physical, uint8_t* offset);
bool PhysicalRangeHasDevice(uint64_t physical, size_t size);
uintptr_t ReserveMappingAddress(uint64_t physical, size_t size);
// Host memory behind a physical RAM range of the machine, or null.
uint8_t* RamBehind(uint64_t physical, size_t size);

// The address MmGetSystemRoutineAddress returns for a routine.
void* RoutineAddressFor(const RoutineInfo& routine);

// A byte of mapped device memory, routed to the device model behind it.
uint8_t DeviceReadByte(uintptr_t address);
void DeviceWriteByte(uintptr_t address, uint8_t value);

// The address space map's internals (address_space.cpp).
bool OverlapsDevice(uintptr_t start, size_t size);
void DropKernelMemory();
// The calling thread is about to run driver code: its stack stays valid
// memory for the other processors' threads too.
void NoteDriverThread();

// Device memory mappings, as an emulated processor must see them.
void NotifyMapped(uintptr_t address, size_t size);
void NotifyUnmapped(uintptr_t address, size_t size);

// The hypervisor's side of CPUID and RDMSR/WRMSR (hypervisor.cpp): leaves
// from 0x40000000 and the synthetic MSRs. HypervisorCpuid returns false for
// a leaf it does not answer. StartHypervisor sets the MSRs from the
// machine's description.
bool HypervisorCpuid(ULONG leaf, ULONG registers[4]);
bool HypervisorReadMsr(ULONG msr, ULONG64* value);
bool HypervisorWriteMsr(ULONG msr, ULONG64 value);
void StartHypervisor(MachineState& state);
// Memory was made for a physical RAM range: a reference TSC page enabled at
// power-on is written now.
void PhysicalRamMade();
// The hypervisor's side of a resume: features, presence, MSRs.
void ApplyHypervisorChanges(const ResumeChanges& changes);
// Callback registrations, callback object references and work items the
// driver still holds at unload: violations, then dropped (power.cpp).
void CheckPowerObjectsLeft(const char* when);

// Called at unload and after a failed load: anything the driver still
// holds is a violation.
void CheckNothingLeft(const char* when);

// Image notify routines still registered when the driver's image goes
// away: each is a violation, and each is dropped.
void DropImageNotifyRoutinesLeftBehind(const char* when);

// Lists the images of the machine's description (ResetMachine).
void ListMachineImages(MachineState& state);

// Bug check callbacks still registered when the driver's image goes away
// (unload, failed load): each is a violation, and each is dropped, since its
// record and routine lie in the image that is no longer there.
void DropCallbacksLeftBehind(const char* when);

// A pointer as a call argument.
inline uint64_t PointerArgument(const void* pointer)
{
    return reinterpret_cast<uintptr_t>(pointer);
}

}  // namespace model
