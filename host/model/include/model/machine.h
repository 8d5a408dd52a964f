// The model machine as tests and the simulator see it: how a machine is
// described, how it is driven (load, bug check, unload) and what can be
// read back (console bytes, register accesses, kernel calls, leftovers and
// every rule the driver broke).
//
// One machine exists at a time, as one kernel does; ResetMachine starts a
// fresh one. The kernel routines themselves (ntmodel.h) act on it.
#pragma once

#include "model/loaded_images.h"
#include "ntmodel/ntmodel.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace model {

class DriverImage;
class Uart16550;

// ---------------------------------------------------------------------------
// Description of a machine
// ---------------------------------------------------------------------------
struct OsVersion {
    ULONG Major = 10;
    ULONG Minor = 0;
    ULONG Build = 19045;
    ULONG PlatformId = 2;
    std::u16string CsdVersion;
    USHORT ServicePackMajor = 0;
    USHORT ServicePackMinor = 0;
    USHORT SuiteMask = 0x0100;
    UCHAR ProductType = 1;
};

// What the kernel answers to the pool zeroing query.
enum class PoolZeroing {
    Supported,         // blocks asked for with the zero flag come zeroed
    NotSupported,      // the query answers 0; the flag is ignored
    QueryUnsupported,  // the information class is unknown to this kernel
};

// The firmware's SPCR table.
enum class SpcrKind {
    Absent,    // no such table
    Memory,    // base address in system memory (address space 0)
    Io,        // base address in I/O space (address space 1)
    TooLarge,  // a table longer than the driver's 80-byte buffer
};

struct SpcrTable {
    SpcrKind Kind = SpcrKind::Absent;
    uint64_t Address = 0;
};

// A 16550 UART: at an I/O port base or a physical memory address.
struct UartConfig {
    bool MemoryMapped = false;
    uint64_t Address = 0x3F8;
    // After each transmitted byte the holding register reads busy for this
    // many line status reads.
    uint64_t BusyReads = 0;
    // The transmitter never becomes ready.
    bool BusyForever = false;
    // Line control register as the firmware left it.
    UCHAR InitialLineControl = 0x03;
};

// A range of physical RAM that a driver may map with MmMapIoSpace, such as
// a page the hypervisor shares with the guest (a reference TSC page). Host
// memory stands for it; every mapping of it sees the same bytes.
struct PhysicalRam {
    uint64_t Address = 0;
    size_t Size = 0;
};

// A Hyper-V compatible hypervisor, as Microsoft's published Hyper-V TLFS
// (Top-Level Functional document) shows it to a guest: CPUID leaves
// 0x40000000 to 0x40000004 and the synthetic MSRs (hypervisor.cpp).
// An MSR that is not offered raises #GP when read or written.
struct SyntheticMsr {
    bool Offered = true;
    uint64_t Value = 0;
};
struct HypervisorConfig {
    bool Present = false;  // CPUID 1 ECX bit 31, and the leaves above
    std::string Vendor = "Microsoft Hv";  // 12 bytes: EBX, ECX, EDX of 0x40000000
    ULONG HighestLeaf = 0x40000006;       // EAX of 0x40000000
    ULONG Interface = 0x31237648;         // EAX of 0x40000001: "Hv#1"
    ULONG Features = 0x00002E7F;          // EAX of 0x40000003: privilege flags
    ULONG Recommendations = 0x00000020;   // EAX of 0x40000004
    // What the time stamp counter runs at: the scale the hypervisor writes
    // into the reference TSC page.
    uint64_t TscFrequency = 2500000000;
    SyntheticMsr GuestOsId;     // 0x40000000
    SyntheticMsr Hypercall;     // 0x40000001
    SyntheticMsr ReferenceTsc;  // 0x40000021
    // 0x40000073, one per processor: slot i is processor i's value, a
    // missing slot 0.
    bool VpAssistPageOffered = true;
    std::vector<uint64_t> VpAssistPage;
};

struct MachineConfig {
    unsigned Processors = 1;
    // What CPUID leaves 0x80000002 to 0x80000004 spell (at most 47 bytes).
    std::string ProcessorBrand = "Vek Virtual Processor @ 2.50GHz";
    OsVersion Version;
    PoolZeroing Zeroing = PoolZeroing::Supported;
    SpcrTable Spcr;
    std::vector<UartConfig> Uarts = {UartConfig{}};
    // Optional kernel routines by name; absent ones are not found by
    // MmGetSystemRoutineAddress. Unlisted names keep their default.
    std::map<std::string, bool> Routines;
    // System time, 100 ns units since 1601-01-01 UTC.
    int64_t SystemTime = 0;
    // Physical RAM the driver may map; any other physical range without a
    // device maps to nothing (reads float, writes vanish).
    std::vector<PhysicalRam> Ram;
    // The most processors a resume may bring online (0: Processors); the
    // machine starts with Processors active.
    unsigned MaxProcessors = 0;
    HypervisorConfig Hypervisor;
    // Picks which processor runs next wherever more than one can: the same
    // seed gives the same run.
    uint64_t Seed = 0;
    // PAUSEs executed with no DPC starting or finishing anywhere before the
    // machine counts as deadlocked and stops.
    uint64_t SpinLimit = 1000000;
    // Images listed from the start, after the kernel's own.
    std::vector<ImageSpec> Images;
    // Images that load between module list queries: each is listed once
    // AfterQueries queries (class 11 or RtlQueryModuleInformation, counted
    // together) have been answered, so that a size query and the data query
    // after it see different lists.
    struct ListGrowth {
        unsigned AfterQueries = 1;
        ImageSpec Image;
    };
    std::vector<ListGrowth> GrowingList;
    // Processors run truly in parallel, each DPC lane on its own thread with
    // no baton and no seed: for ThreadSanitizer runs of the driver's
    // cross-processor code. Kernel routines stay serialized; driver code
    // does not. The deadlock stop counts PAUSEs per processor.
    bool FreeRunning = false;
};

// The Nth call (1-based) among the calls of a routine that match the
// selector fails: routines returning a status return Status, those
// returning a pointer return null, those returning a BOOLEAN return FALSE.
// With no Tag and no Detail every call of the routine matches. Selecting
// by tag or detail keeps a fault on its call when the driver adds calls
// elsewhere.
struct Fault {
    std::string Routine;
    unsigned Call = 1;
    NTSTATUS Status = STATUS_INSUFFICIENT_RESOURCES;
    // Pool allocations only: the tag as a pool dump shows it ("MODU").
    std::string Tag = {};
    // Text the call's logged detail (KernelCall::Detail) must contain.
    std::string Detail = {};
    // Matching calls seen so far; the machine counts them in its own copy.
    unsigned Matched = 0;
};

// ---------------------------------------------------------------------------
// What a run leaves behind
// ---------------------------------------------------------------------------
struct KernelCall {
    std::string Routine;
    std::string Detail;  // the arguments that matter, as text
};

struct RoutineInfo {
    const char* Name;
    void* Address;
    bool Optional;        // may be absent from a kernel
    bool DefaultPresent;  // present unless the machine says otherwise
    enum class Failure { None, Status, Null, False } FailsAs;
    // Calls the routine with its arguments as 64-bit slots (guest_thunk.h).
    uint64_t (*Thunk)(const uint64_t* slots);
    unsigned Arity;
};

// Every routine the model kernel exports, by name.
const std::vector<RoutineInfo>& ExportedRoutines();
const RoutineInfo* FindRoutine(const std::string& name);

// Variables the kernel exports (KiBugCheckData). Each starts a page of its
// own that holds nothing else, so that an emulated processor can map the
// variable without the host data around it.
constexpr size_t DataExportPageSize = 4096;
struct DataExport {
    const char* Name;
    void* Address;
    size_t Size;
};
const std::vector<DataExport>& ExportedData();
const DataExport* FindData(const std::string& name);

// What MmGetSystemRoutineAddress hands out for a routine. By default the
// routine's own address; an emulated image needs an address it can call.
using RoutineAddressTranslator = void* (*)(const RoutineInfo& routine, void* context);
void SetRoutineAddressTranslator(RoutineAddressTranslator translator, void* context);

// Told of every device memory mapping made and released, so that an
// emulated processor can route accesses to the mapped range.
struct IoMappingObserver {
    void (*Mapped)(uintptr_t address, size_t size, void* context);
    void (*Unmapped)(uintptr_t address, size_t size, void* context);
    void* Context;
};
void SetIoMappingObserver(const IoMappingObserver* observer);

// A processor exception in driver code that nothing handles.
enum class DriverFaultKind {
    Read,                   // page faults: 0x50, or 0xD1 at DISPATCH_LEVEL and above
    Write,
    Execute,
    InvalidInstruction,     // 0x1E with STATUS_ILLEGAL_INSTRUCTION
    PrivilegedInstruction,  // 0x1E with STATUS_PRIVILEGED_INSTRUCTION
    Exception,              // 0x1E with ExceptionCode and its two parameters
    DoubleFault,            // 0x7F: the exception frame found no stack
    FailFast,               // int 29h: 0x139 with ExceptionCode as the fail-fast code
};
struct DriverFault {
    DriverFaultKind Kind;
    uint64_t Address;  // the address accessed, for the page faults
    uint64_t Rip;      // the faulting instruction
    // Exception and FailFast: the code and what the exception record says.
    uint64_t ExceptionCode = 0;
    uint64_t ExceptionParameters[2] = {};
    const char* What = nullptr;  // for the violation line: "divided by zero"
    uint64_t Rsp = 0;            // for the trap frame of a fail-fast
};
// Stops the machine with the bug check the kernel would raise for it, and
// records the fault as a violation. A fault inside a bug check callback
// abandons that callback instead, as the kernel does.
void RaiseDriverFault(const DriverFault& fault);
// How the bug check a driver fault raises reaches BugCheck: directly, or
// (the runner) through the frames the processor and the kernel lay out, a
// trap entry and KeBugCheckEx, which end in BugCheck(code, parameters,
// CurrentProcessor()). The route must stop the machine. Null: directly.
// A fault inside a bug check callback never takes the route: the kernel
// abandons that callback and raises no second bug check, so there is no
// trap entry to run and no KeBugCheckEx frame to lay out.
using FaultBugCheckRoute = void (*)(const DriverFault& fault, ULONG code,
                                    const ULONG_PTR (&parameters)[4], void* context);
void SetFaultBugCheckRoute(FaultBugCheckRoute route, void* context);

// Virtual processors on one emulated processor (the runner). Each
// processor's work then runs on a fiber of the calling thread instead of a
// host thread of its own: the engine belongs to one processor at a time, and
// the hooks hand its registers over. Leaving is called as a processor's lane
// stops running (it switches away or ends), Entering as one starts or
// resumes. Lane 0 is the lane that called into the driver from outside
// (load, unload, the bug check); lane 1 + n runs processor n's DPCs.
struct ProcessorLaneHooks {
    void (*Leaving)(unsigned lane, void* context) = nullptr;
    void (*Entering)(unsigned lane, void* context) = nullptr;
    void* Context = nullptr;
};
// Null: back to host threads.
void UseFiberLanes(const ProcessorLaneHooks* hooks);
constexpr unsigned MaxProcessorLanes = 65;

// Where an emulated processor may give the turn to another: it executed
// PAUSE, or it ran a quantum of code without calling the kernel. Runs the
// processor's pending DPCs first. Returns when this lane has the turn again;
// a machine that stopped meanwhile is seen with Stopped().
enum class ProcessorYield { Pause, Quantum };
void YieldProcessor(ProcessorYield reason);
// CR8 written by emulated code: the IRQL changes at once, but DPCs a lower
// IRQL lets run wait for DeliverPendingDpcs, which the runner calls once
// emulation has stopped (a DPC is a call into the driver).
void WriteCr8WithoutDelivery(KIRQL irql);
void DeliverPendingDpcs();
// A lane's current call from the kernel is over because the machine stopped
// while other processors ran (a deadlock): thrown through the caller's
// frames and caught where the kernel called into the driver.
struct LaneAbandoned {};

// Stops the machine without a bug check (runaway driver code): nothing
// runs on it afterwards.
void HaltMachine();

// Records a rule broken that only a caller outside the model can see.
void ReportViolation(const std::string& message);

// Starts a fresh machine. Anything a previous machine held is dropped.
void ResetMachine(const MachineConfig& config);
const MachineConfig& Config();

// Failure injection.
// Returns false (with a reason) when the routine is unknown or cannot fail.
bool InjectFault(const Fault& fault, std::string* error);

// Driving the machine.
// Loads the image: calls its entry routine at PASSIVE_LEVEL. A failed load
// must leave nothing behind; the model checks.
NTSTATUS LoadDriver(DriverImage& image);
bool DriverLoaded();
// Calls the unload routine and checks that everything is released.
void UnloadDriver();
// Stops the machine with a bug check on the given processor; runs the
// registered reason callbacks at HIGH_LEVEL. The machine stays stopped.
void BugCheck(ULONG_PTR code, const ULONG_PTR (&parameters)[4], unsigned processor = 0);
bool Stopped();
// The processor the kernel runs on: 0, or the one that bug checked.
unsigned CurrentProcessor();
void SetSystemTime(int64_t time);

// Reading back.
const std::vector<std::string>& Violations();
const std::vector<KernelCall>& Calls();
// Calls of the named routines only, in order.
std::vector<KernelCall> CallsTo(const std::vector<std::string>& routines);
// Bytes the console UART transmitted: the first UART of the machine.
std::string ConsoleBytes();
Uart16550& UartAt(size_t index);
size_t UartCount();

// Pool blocks still allocated, by tag.
std::map<ULONG, size_t> LivePoolBlocks();
// Names of devices and symbolic links that exist.
std::vector<std::string> DeviceNames();
std::vector<std::string> SymbolicLinks();
size_t RegisteredBugCheckCallbacks();
size_t LiveIoMappings();
// The driver object as the driver left it after its entry routine.
const DRIVER_OBJECT* LoadedDriverObject();
// Fields of the driver object the entry routine changed.
std::vector<std::string> DriverObjectChanges();
// The secondary dump data record of the last bug check, as the callbacks
// left it.
const KBUGCHECK_SECONDARY_DUMP_DATA& LastSecondaryDumpData();

// Converts a calendar time (UTC) to the kernel's system time.
int64_t SystemTimeFromCalendar(int year, int month, int day, int hour, int minute, int second,
                               int millisecond);

// Text form of a pool tag as a pool dump shows it ('MODU').
std::string TagText(ULONG tag);

// ---------------------------------------------------------------------------
// Hypervisor, sleep and power notifications (hypervisor.cpp, power.cpp)
// ---------------------------------------------------------------------------
// The synthetic MSR numbers and CPUID leaves of the TLFS the model answers.
constexpr ULONG HvCpuidVendorLeaf = 0x40000000;
constexpr ULONG HvMsrGuestOsId = 0x40000000;
constexpr ULONG HvMsrHypercall = 0x40000001;
constexpr ULONG HvMsrVpIndex = 0x40000002;
constexpr ULONG HvMsrReferenceTsc = 0x40000021;
constexpr ULONG HvMsrVpAssistPage = 0x40000073;

// What changed across a sleep, as the resume finds the machine.
struct ResumeChanges {
    // Every synthetic MSR reads 0 again, as after a reset (hibernation on
    // some hypervisors); which MSRs are offered does not change.
    bool ResetMsrs = false;
    std::optional<bool> HypervisorPresent;
    std::optional<ULONG> Features;
    std::optional<unsigned> Processors;  // at most MaxProcessors
    std::optional<std::string> ProcessorBrand;
    // MSRs as the resume finds them (after any reset): offered or not, and
    // their values; processor i's VP assist page from slot i.
    std::optional<SyntheticMsr> GuestOsId, Hypercall, ReferenceTsc;
    std::optional<bool> VpAssistPageOffered;
    std::optional<std::vector<uint64_t>> VpAssistPage;
};

// The machine leaves the working state: every registration on
// "\Callback\PowerState" hears PO_CB_SYSTEM_STATE_LOCK with Argument2 0.
void EnterSleep();
// The machine comes back: the changes apply, then every registration hears
// PO_CB_SYSTEM_STATE_LOCK with Argument2 1, then queued work items run.
void Resume(const ResumeChanges& changes);
// Any notification on "\Callback\PowerState", at PASSIVE_LEVEL on
// processor 0; then the work items it queued run.
void NotifyPowerState(uint64_t argument1, uint64_t argument2);
// Runs every queued work item, oldest first, at PASSIVE_LEVEL on a system
// worker (processor 0); items queued meanwhile run too.
void RunQueuedWorkItems();

unsigned ActiveProcessors();
// A synthetic MSR as processor `processor` reads it now; nullopt when the
// hypervisor does not offer it.
std::optional<uint64_t> SyntheticMsrValue(ULONG msr, unsigned processor);
// Reads a reference TSC page the way a guest does under the TLFS: the time
// in 100 ns units for a TSC value, or nullopt when the page is invalid
// (sequence 0) or no RAM is behind it.
std::optional<uint64_t> ReferenceTimeFromPage(uint64_t physical, uint64_t tsc);
// Registrations on "\Callback\PowerState" and work items allocated now.
size_t PowerStateRegistrations();
size_t LiveWorkItems();

// ---------------------------------------------------------------------------
// Driver images
// ---------------------------------------------------------------------------
// One call from the kernel into driver code: the routine's address and its
// arguments as 64-bit slots, in the order of the routine's parameters.
constexpr unsigned MaxDriverCallArguments = 8;
struct DriverCall {
    const void* Routine = nullptr;
    uint64_t Arguments[MaxDriverCallArguments] = {};
    unsigned ArgumentCount = 0;
    const char* What = "";  // "the entry routine", for messages
};

// An image of the driver that the model can load and call into. The host
// image is the driver built for Linux; the shipped .sys runs on an emulated
// processor; tests have fakes. Each implements one primitive, Call; the
// kernel's side of every call (processor, IRQL, checks) is the model's.
class DriverImage {
public:
    virtual ~DriverImage() = default;
    virtual std::string Name() const = 0;
    // The address of the image's entry routine (DriverEntry).
    virtual const void* EntryRoutine() const = 0;
    // Runs one driver routine and returns what it left in the result
    // register. Returns without running when the machine has stopped.
    virtual uint64_t Call(const DriverCall& call) = 0;
};

// Calls a native routine of the host build with the call's arguments, as
// the host image does. Tests' fake images use it too.
uint64_t CallNativeRoutine(const DriverCall& call);

// Calls into the loaded driver on the given processor at the given IRQL, as
// the kernel calls its callbacks, and checks that the routine returns at
// that IRQL. Returns 0 without calling when the machine has stopped.
uint64_t CallDriver(const void* routine, std::initializer_list<uint64_t> arguments,
                    unsigned processor, KIRQL irql, const char* what);

// The host build of the driver, a shared object loaded afresh for every
// image so that each load starts from zeroed driver globals, as a newly
// mapped image does.
std::unique_ptr<DriverImage> OpenHostImage(const std::string& path, std::string* error);

// Where the host image was built; the simulator and tests find it there.
std::string DefaultHostImagePath();

}  // namespace model
