// The model machine as tests and the simulator see it: how a machine is
// described, how it is driven (load, bug check, unload) and what can be
// read back (console bytes, register accesses, kernel calls, leftovers and
// every rule the driver broke).
//
// One machine exists at a time, as one kernel does; ResetMachine starts a
// fresh one. The kernel routines themselves (ntmodel.h) act on it.
#pragma once

#include "model/driver_image.h"
#include "model/hypervisor.h"
#include "model/machine_config.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace model {

class Uart16550;

// ---------------------------------------------------------------------------
// What a run leaves behind
// ---------------------------------------------------------------------------
struct KernelCall {
    std::string Routine;
    std::string Detail;  // the arguments that matter, as text
};

// A failure status a routine's documentation gives, with its name.
struct FailureStatus {
    NTSTATUS Code;
    const char* Name;
};

struct RoutineInfo {
    const char* Name;
    void* Address;
    bool Optional;        // may be absent from a kernel
    bool DefaultPresent;  // present unless the machine says otherwise
    // The first Windows version that exports it, as 0xMMmm (0x0601 is 6.1).
    uint16_t Since;
    // How an injected fault shows; None: no fault may name it.
    enum class Failure { None, Status, Null, False } FailsAs;
    // Calls the routine with its arguments as 64-bit slots (guest_thunk.h).
    uint64_t (*Thunk)(const uint64_t* slots);
    unsigned Arity;
    // Failure::Status only: the statuses an injected failure may return,
    // the default first.
    std::vector<FailureStatus> Statuses = {};
    // The reference page the row's contract comes from (first version,
    // IRQL, failures). For a routine that mingw-w64's x64 libntoskrnl.a
    // (made from a real x64 export table) lacks and the list of later
    // exports does not name, it is also what tells why the model offers it.
    const char* Reference = nullptr;
};

// Every routine the model kernel exports, by name.
const std::vector<RoutineInfo>& ExportedRoutines();
const RoutineInfo* FindRoutine(const std::string& name);

// Why an injected failure of ROUTINE may not return STATUS (one line
// naming the routine and the statuses it may), or empty when it may.
std::string RefusedFaultStatus(const RoutineInfo& routine, NTSTATUS status);
// The status a fault on ROUTINE returns when it names none.
NTSTATUS DefaultFaultStatus(const RoutineInfo& routine);

// Whether the running machine's kernel exports the routine: its version
// (machine.os_version) is the routine's first one or later, and the
// machine's `routines` do not take it away.
bool RoutineExported(const RoutineInfo& routine);
// Why the running machine's loader refuses an image importing NAME from
// the kernel statically (the status it fails the load with, and the
// version), or empty when it binds or names no export of the model kernel.
// A routine the kit defines for x64 as a read of the shared user data page
// (KeQuerySystemTime, ...) is refused on every version.
std::string UnresolvedImport(const std::string& name);
// Whether NAME is a routine that only 32-bit kernels export: the kit makes
// it a read of the shared user data page on x64.
bool ExportedOnlyBy32BitKernels(const std::string& name);
// What the loader fails an image with whose import the kernel lacks:
// {Driver Entry Point Not Found}.
constexpr NTSTATUS StatusDriverEntrypointNotFound = static_cast<NTSTATUS>(0xC0000263);

// The shared user data page (KUSER_SHARED_DATA): one page the kernel keeps
// the clock and its version in, mapped read-only for every reader at this
// fixed kernel address on x64. The model's copy lives at SharedUserDataPage
// (page-aligned host memory); the host build reads it there, and an
// emulated processor maps it at the fixed address.
constexpr uint64_t KernelSharedUserDataAddress = 0xFFFFF78000000000ull;
constexpr size_t SharedUserDataSize = 4096;
void* SharedUserDataPage();

// Variables the kernel exports (KiBugCheckData). Each starts a page of its
// own that holds nothing else, so that an emulated processor can map the
// variable without the host data around it.
constexpr size_t DataExportPageSize = 4096;
struct DataExport {
    const char* Name;
    void* Address;
    size_t Size;
    uint16_t Since;  // the first Windows version that exports it, as 0xMMmm
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
// records the fault as a violation. Inside a bug check callback a page
// fault or a double fault is a nested bug check (NestedBugCheck); any other
// exception no handler took abandons that callback, and the bug check goes
// on.
void RaiseDriverFault(const DriverFault& fault);
// How the bug check a driver fault raises reaches BugCheck: directly, or
// (the runner) through the frames the processor and the kernel lay out, a
// trap entry and KeBugCheckEx, which end in BugCheck(code, parameters,
// CurrentProcessor()). The route must stop the machine. Null: directly.
// A fault inside a bug check callback never takes the route: the machine
// stops there (a nested bug check) or the callback is abandoned, and there
// is no report left to walk the trap entry's frames.
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
// A fault of the model itself (its processor scheduler deadlocked), not of
// the driver: prints "vekcrash: tool failure: " and the message as one line
// on stderr, flushes stdout and ends the process with ToolFailureStatus.
constexpr int ToolFailureStatus = 3;
[[noreturn]] void ToolFailure(const std::string& message);

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
// With secondaryDumpPasses 2 each secondary dump callback is called twice,
// a sizing pass without a buffer first, as some kernels do.
void BugCheck(ULONG_PTR code, const ULONG_PTR (&parameters)[4], unsigned processor = 0,
              unsigned secondaryDumpPasses = 1);
bool Stopped();
// Whether the bug check callbacks are running.
bool InBugCheck();
// A page fault while the bug check callbacks run (at HIGH_LEVEL, where
// nothing pages and no exception is dispatched) is a second bug check:
// the kernel stops there, and the callbacks not yet run, the rest of the
// report and the dump are lost. Records the violation naming the nested
// stop and its code, and stops the machine; the console keeps what it had
// received.
void NestedBugCheck(ULONG code, const char* what);
// The processor the kernel runs on: 0, or the one that bug checked.
unsigned CurrentProcessor();
void SetSystemTime(int64_t time);

// Reading back.
const std::vector<std::string>& Violations();
const std::vector<KernelCall>& Calls();
// Whether kernel calls are logged for Calls() and CallsTo(): on unless
// turned off, for every machine after. A run that never reads the log
// turns it off so that its memory does not grow with each call; faults then
// count only the calls made after they were injected.
void KeepCallLog(bool keep);
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
// The security descriptor the kernel keeps for the named device,
// self-relative; empty when no such device exists.
std::vector<uint8_t> DeviceSecurity(const std::string& name);
// Object handles the driver holds open.
size_t OpenHandles();
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

}  // namespace model
