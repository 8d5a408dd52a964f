// The bug check table. Names are those of the kernel's bugcodes.h; the
// parameter meanings are those of the public bug check reference. A code
// with no phrase of its own shows its parameters raw.
#include "decode/reports/bugcheck_codes.h"

#include <cstdio>

namespace decode {

namespace {

using Phrase = std::string (*)(const BugCheckParameters& p, uint32_t osBuild);

struct BugCheckCode {
    uint32_t Code;
    const char* Name;
    std::array<const char*, 4> Labels;  // nullptr: reserved or not described
    int FaultingIp;
    Phrase Meaning;  // nullptr: the raw parameters
};

// The first Windows 10 release; from it on, 0x50's second parameter is a
// bit field rather than 0 for a read and 1 for a write.
constexpr uint32_t Windows10FirstBuild = 10240;

// Bits of the access parameter of 0x0A and 0xD1.
constexpr uint64_t AccessWriteBit = 0x1;
constexpr uint64_t AccessExecuteBit = 0x8;
constexpr uint64_t AccessExecuteValue = 0x2;  // 0xD1 spells an execute as 2 as well
// Bits of 0x50's second parameter on Windows 10 and later.
constexpr uint64_t PageFaultWriteBit = 0x2;
constexpr uint64_t PageFaultExecuteBit = 0x10;

// 0x133's first parameter.
constexpr uint64_t DpcWatchdogSingle = 0;
constexpr uint64_t DpcWatchdogCumulative = 1;
// 0x9F's first parameter, the subtype: the rest of its parameters change
// meaning with it (the public reference's table for DRIVER_POWER_STATE_FAILURE).
constexpr uint64_t PowerRequestOutstanding = 0x1;
constexpr uint64_t PowerNextIrpNotStarted = 0x2;
constexpr uint64_t PowerIrpBlocked = 0x3;
constexpr uint64_t PowerPnpLockTimeout = 0x4;
constexpr uint64_t PowerDirectedTimeout = 0x5;
constexpr uint64_t PowerDirectedCallbackFailed = 0x6;
constexpr uint64_t PowerNextIrpNotStartedLegacy = 0x500;

std::string Access(uint64_t value)
{
    if ((value & AccessExecuteBit) != 0 || value == AccessExecuteValue) {
        return "execute";
    }
    return (value & AccessWriteBit) != 0 ? "write" : "read";
}

struct NamedValue {
    uint64_t Value;
    const char* Name;
};

template <size_t N>
const char* NameOf(const NamedValue (&table)[N], uint64_t value)
{
    for (const NamedValue& named : table) {
        if (named.Value == value) {
            return named.Name;
        }
    }
    return nullptr;
}

// The NTSTATUS exception codes seen most in kernel-mode exception bug checks.
constexpr NamedValue ExceptionNames[] = {
    {0x80000002, "misaligned data"},
    {0x80000003, "breakpoint"},
    {0x80000004, "single step"},
    {0xC0000005, "access violation"},
    {0xC000001D, "illegal instruction"},
    {0xC0000094, "integer divide by zero"},
    {0xC0000096, "privileged instruction"},
    {0xC00000FD, "stack overflow"},
    {0xC0000409, "security check failure"},
    {0xC0000420, "assertion failure"},
};

// The fail-fast codes (FAST_FAIL_* in winnt.h) 0x139 carries.
constexpr NamedValue FailFastNames[] = {
    {0, "stack buffer overrun"},
    {1, "vtable guard check"},
    {2, "stack cookie check"},
    {3, "corrupt list entry"},
    {4, "incorrect stack"},
    {5, "invalid argument"},
    {6, "stack cookie not initialized"},
    {7, "fatal exit"},
    {8, "range check"},
    {10, "indirect call guard check"},
    {11, "write guard check"},
    {14, "invalid reference count"},
};

// 0x124's error source types (WHEA_ERROR_SOURCE_TYPE).
constexpr NamedValue WheaSourceNames[] = {
    {0, "machine check exception"},
    {1, "corrected machine check"},
    {2, "corrected platform error"},
    {3, "NMI"},
    {4, "PCI Express error"},
    {5, "generic error"},
    {6, "INIT error"},
    {7, "boot error record"},
};

std::string Exception(const BugCheckParameters& p)
{
    const char* name = NameOf(ExceptionNames, p[0]);
    return "exception " + ShortHex(p[0]) + (name != nullptr ? std::string(" (") + name + ")" : "") +
           " at " + ShortHex(p[1]);
}

std::string IrqlAccess(const BugCheckParameters& p, uint32_t)
{
    return Access(p[2]) + " of " + ShortHex(p[0]) + " at IRQL " + std::to_string(p[1]);
}

std::string PageFault(const BugCheckParameters& p, uint32_t osBuild)
{
    std::string access;
    if (osBuild != 0 && osBuild < Windows10FirstBuild) {
        access = p[1] != 0 ? "write" : "read";
    } else {
        access = (p[1] & PageFaultExecuteBit) != 0  ? "execute"
                 : (p[1] & PageFaultWriteBit) != 0 ? "write"
                                                   : "read";
    }
    return access + " of " + ShortHex(p[0]) + (p[2] != 0 ? " by " + ShortHex(p[2]) : "");
}

std::string UnhandledException(const BugCheckParameters& p, uint32_t)
{
    return Exception(p);
}

std::string SecurityCheck(const BugCheckParameters& p, uint32_t)
{
    const char* name = NameOf(FailFastNames, p[0]);
    return "fail-fast " + std::to_string(p[0]) + (name != nullptr ? std::string(" (") + name + ")" : "");
}

std::string Verifier(const BugCheckParameters& p, uint32_t)
{
    return "verifier rule " + ShortHex(p[0]) + " (" + ShortHex(p[1]) + ", " + ShortHex(p[2]) + ", " +
           ShortHex(p[3]) + ")";
}

std::string CriticalProcess(const BugCheckParameters& p, uint32_t)
{
    return std::string(p[1] == 1 ? "a thread" : "the process") + " of critical process " +
           ShortHex(p[0]) + " ended";
}

std::string DpcWatchdog(const BugCheckParameters& p, uint32_t)
{
    if (p[0] == DpcWatchdogSingle) {
        return "one DPC or ISR ran " + std::to_string(p[1]) + " ticks (allotted " + std::to_string(p[2]) +
               ")";
    }
    if (p[0] == DpcWatchdogCumulative) {
        return "DISPATCH_LEVEL or above for longer than the watchdog period (" + std::to_string(p[1]) +
               " ticks)";
    }
    return "watchdog case " + ShortHex(p[0]);
}

std::string PowerState(const BugCheckParameters& p, uint32_t)
{
    switch (p[0]) {
    case PowerRequestOutstanding:
        return "device object " + ShortHex(p[1]) + " freed with a power request outstanding";
    case PowerNextIrpNotStarted:
        return "device object " + ShortHex(p[2]) + " completed a system power IRP without PoStartNextPowerIrp";
    case PowerIrpBlocked:
        return "device object " + ShortHex(p[1]) + " held power IRP " + ShortHex(p[3]) + " too long";
    case PowerPnpLockTimeout:
        return "power transition timed out after " + std::to_string(p[1]) + " s waiting for the PnP lock held by " +
               "thread " + ShortHex(p[2]);
    case PowerDirectedTimeout:
        return "device object " + ShortHex(p[1]) + " did not finish a directed power transition in time";
    case PowerDirectedCallbackFailed:
        return "directed power " + std::string(p[2] != 0 ? "down" : "up") + " of " + ShortHex(p[1]) + " failed";
    case PowerNextIrpNotStartedLegacy:
        return "device object " + ShortHex(p[3]) + " completed a system power IRP without PoStartNextPowerIrp";
    default:
        break;
    }
    return "power failure case " + ShortHex(p[0]) + " (" + ShortHex(p[1]) + ", " + ShortHex(p[2]) + ", " +
           ShortHex(p[3]) + ")";
}

std::string Manual(const BugCheckParameters&, uint32_t)
{
    return "started by hand";
}

std::string HardwareError(const BugCheckParameters& p, uint32_t)
{
    const char* name = NameOf(WheaSourceNames, p[0]);
    return std::string(name != nullptr ? name : "error source " + ShortHex(p[0])) + ", WHEA record at " +
           ShortHex(p[1]);
}

std::string ClockWatchdog(const BugCheckParameters& p, uint32_t)
{
    return "processor " + std::to_string(p[3]) + " took no clock interrupt in " + std::to_string(p[0]) +
           " ticks";
}

constexpr std::array<const char*, 4> NoLabels = {nullptr, nullptr, nullptr, nullptr};
constexpr std::array<const char*, 4> IrqlLabels = {"memory referenced", "IRQL", "access (0 read, 1 write, 8 execute)",
                                                   "address that referenced memory"};
constexpr std::array<const char*, 4> ExceptionLabels = {"exception code", "address of the exception",
                                                        "exception record", "context record"};

// 0x9F's parameters by subtype; the entry in the code table labels only the
// subtype itself.
struct SubtypeLabels {
    uint64_t Subtype;
    std::array<const char*, 4> Labels;
};
constexpr SubtypeLabels PowerStateLabels[] = {
    {PowerRequestOutstanding, {"subtype", "device object", nullptr, nullptr}},
    {PowerNextIrpNotStarted, {"subtype", "target device object", "device object", "driver object"}},
    {PowerIrpBlocked, {"subtype", "physical device object of the stack", "nt!TRIAGE_9F_POWER", "blocked IRP"}},
    {PowerPnpLockTimeout, {"subtype", "timeout in seconds", "thread holding the PnP lock", "nt!TRIAGE_9F_PNP"}},
    {PowerDirectedTimeout, {"subtype", "physical device object of the stack", "POP_FX_DEVICE object", nullptr}},
    {PowerDirectedCallbackFailed, {"subtype", "POP_FX_DEVICE object", "1 power down, 0 power up", nullptr}},
    {PowerNextIrpNotStartedLegacy, {"subtype", nullptr, "target device object", "device object"}},
};
constexpr uint32_t DriverPowerStateFailure = 0x9F;

constexpr BugCheckCode BugCheckCodes[] = {
    {0x0A, "IRQL_NOT_LESS_OR_EQUAL", IrqlLabels, 3, IrqlAccess},
    {0x19, "BAD_POOL_HEADER", NoLabels, NoFaultingIpParameter, nullptr},
    {0x1A, "MEMORY_MANAGEMENT", NoLabels, NoFaultingIpParameter, nullptr},
    {0x1E, "KMODE_EXCEPTION_NOT_HANDLED",
     {"exception code", "address of the exception", "exception information 0", "exception information 1"}, 1,
     UnhandledException},
    {0x24, "NTFS_FILE_SYSTEM", NoLabels, NoFaultingIpParameter, nullptr},
    {0x3B, "SYSTEM_SERVICE_EXCEPTION", {"exception code", "address of the exception", "context record", nullptr},
     1, UnhandledException},
    {0x4E, "PFN_LIST_CORRUPT", NoLabels, NoFaultingIpParameter, nullptr},
    {0x50, "PAGE_FAULT_IN_NONPAGED_AREA",
     {"memory referenced", "access", "address that referenced memory", "fault type"}, 2, PageFault},
    {0x77, "KERNEL_STACK_INPAGE_ERROR", NoLabels, NoFaultingIpParameter, nullptr},
    {0x7A, "KERNEL_DATA_INPAGE_ERROR", NoLabels, NoFaultingIpParameter, nullptr},
    {0x7B, "INACCESSIBLE_BOOT_DEVICE", NoLabels, NoFaultingIpParameter, nullptr},
    {0x7E, "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED", ExceptionLabels, 1, UnhandledException},
    {0x7F, "UNEXPECTED_KERNEL_MODE_TRAP", NoLabels, NoFaultingIpParameter, nullptr},
    {0x8E, "KERNEL_MODE_EXCEPTION_NOT_HANDLED", NoLabels, NoFaultingIpParameter, nullptr},
    {DriverPowerStateFailure, "DRIVER_POWER_STATE_FAILURE", {"subtype", nullptr, nullptr, nullptr},
     NoFaultingIpParameter, PowerState},
    {0xA0, "INTERNAL_POWER_ERROR", NoLabels, NoFaultingIpParameter, nullptr},
    {0xBE, "ATTEMPTED_WRITE_TO_READONLY_MEMORY", NoLabels, NoFaultingIpParameter, nullptr},
    {0xC2, "BAD_POOL_CALLER", NoLabels, NoFaultingIpParameter, nullptr},
    {0xC4, "DRIVER_VERIFIER_DETECTED_VIOLATION", {"verifier rule", "rule data 1", "rule data 2", "rule data 3"},
     NoFaultingIpParameter, Verifier},
    {0xC5, "DRIVER_CORRUPTED_EXPOOL", NoLabels, NoFaultingIpParameter, nullptr},
    {0xCE, "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS", NoLabels, NoFaultingIpParameter, nullptr},
    {0xD1, "DRIVER_IRQL_NOT_LESS_OR_EQUAL", IrqlLabels, 3, IrqlAccess},
    {0xD5, "DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL", NoLabels, NoFaultingIpParameter, nullptr},
    {0xE2, "MANUALLY_INITIATED_CRASH", NoLabels, NoFaultingIpParameter, Manual},
    {0xEF, "CRITICAL_PROCESS_DIED", {"process object", "0 process, 1 thread ended", nullptr, nullptr},
     NoFaultingIpParameter, CriticalProcess},
    {0xF4, "CRITICAL_OBJECT_TERMINATION", NoLabels, NoFaultingIpParameter, nullptr},
    {0xF7, "DRIVER_OVERRAN_STACK_BUFFER", NoLabels, NoFaultingIpParameter, nullptr},
    {0xFC, "ATTEMPTED_EXECUTE_OF_NOEXECUTE_MEMORY", NoLabels, NoFaultingIpParameter, nullptr},
    {0x101, "CLOCK_WATCHDOG_TIMEOUT", {"timeout in clock ticks", nullptr, "PRCB of the processor", "processor index"},
     NoFaultingIpParameter, ClockWatchdog},
    {0x109, "CRITICAL_STRUCTURE_CORRUPTION", NoLabels, NoFaultingIpParameter, nullptr},
    {0x116, "VIDEO_TDR_FAILURE", NoLabels, NoFaultingIpParameter, nullptr},
    {0x124, "WHEA_UNCORRECTABLE_ERROR", {"error source type", "WHEA error record", "source data 1", "source data 2"},
     NoFaultingIpParameter, HardwareError},
    {0x133, "DPC_WATCHDOG_VIOLATION", {"case (0 one DPC, 1 cumulative)", "ticks", "allotted ticks or triage data",
                                       nullptr},
     NoFaultingIpParameter, DpcWatchdog},
    {0x139, "KERNEL_SECURITY_CHECK_FAILURE", {"fail-fast code", "trap frame", "exception record", nullptr},
     NoFaultingIpParameter, SecurityCheck},
    {0x1000007E, "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED_M", ExceptionLabels, 1, UnhandledException},
    {0x1000008E, "KERNEL_MODE_EXCEPTION_NOT_HANDLED_M", NoLabels, NoFaultingIpParameter, nullptr},
    {0xDEADDEAD, "MANUALLY_INITIATED_CRASH1", NoLabels, NoFaultingIpParameter, Manual},
};

const BugCheckCode* Find(uint32_t code)
{
    for (const BugCheckCode& entry : BugCheckCodes) {
        if (entry.Code == code) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

std::string ShortHex(uint64_t value)
{
    // "0x%llX" without the format parser: every culprit line has a few.
    constexpr char Digits[] = "0123456789ABCDEF";
    char text[2 + 16];
    size_t at = sizeof(text);
    do {
        text[--at] = Digits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    text[--at] = 'x';
    text[--at] = '0';
    return std::string(text + at, sizeof(text) - at);
}

const char* BugCheckName(uint32_t code)
{
    const BugCheckCode* entry = Find(code);
    return entry != nullptr ? entry->Name : nullptr;
}

const char* BugCheckParameterLabel(uint32_t code, const BugCheckParameters& parameters, size_t index)
{
    if (code == DriverPowerStateFailure) {
        for (const SubtypeLabels& subtype : PowerStateLabels) {
            if (subtype.Subtype == parameters[0]) {
                return index < subtype.Labels.size() ? subtype.Labels[index] : nullptr;
            }
        }
    }
    const BugCheckCode* entry = Find(code);
    return entry != nullptr && index < entry->Labels.size() ? entry->Labels[index] : nullptr;
}

int BugCheckFaultingIpParameter(uint32_t code)
{
    const BugCheckCode* entry = Find(code);
    return entry != nullptr ? entry->FaultingIp : NoFaultingIpParameter;
}

std::string BugCheckMeaning(uint32_t code, const BugCheckParameters& parameters, uint32_t osBuild)
{
    const BugCheckCode* entry = Find(code);
    if (entry != nullptr && entry->Meaning != nullptr) {
        return entry->Meaning(parameters, osBuild);
    }
    return "parameters " + ShortHex(parameters[0]) + " " + ShortHex(parameters[1]) + " " +
           ShortHex(parameters[2]) + " " + ShortHex(parameters[3]);
}

}  // namespace decode
