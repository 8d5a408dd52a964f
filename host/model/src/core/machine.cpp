// The model machine: its state and reset, and the common entry of every
// kernel routine (call log, IRQL contract, bug check rule, failure
// injection). Calls into the driver, the bug check and what a run leaves
// behind live in driver_calls.cpp, bugcheck.cpp and observation.cpp.
#include "core/machine_state.h"
#include "core/model_lock.h"
#include "processors/scheduler.h"

#include "model/address_space.h"
#include "model/driver_call.h"
#include "model/kernel_memory.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

namespace model {

namespace {

MachineState* TheState = nullptr;
bool CallLogKept = true;  // see KeepCallLog

}  // namespace

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
    s.Groups = ProcessorGroups(s.ActiveProcessors, config.Groups);
    StartHypervisor(s);
    StartSecurity(s);
    for (const UartConfig& uart : config.Uarts) {
        s.Uarts.push_back(std::make_unique<Uart16550>(uart));
    }
    s.SystemTime = config.SystemTime;
    UpdateSharedUserData(s);
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

// Routines that one build calls and the other does not: the shipped
// image's headers inline the IRQL routines as CR8 accesses, and each
// compiler decides for itself where it calls the block routines. They give
// no turn away, so that a seed interleaves the processors alike on both
// builds.
bool GivesTheTurn(const char* name)
{
    static constexpr const char* BuildDependent[] = {
        "KeGetCurrentIrql", "KfRaiseIrql", "KeLowerIrql", "memset", "memcpy", "memmove"};
    for (const char* routine : BuildDependent) {
        if (std::strcmp(name, routine) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<NTSTATUS> EnterRoutine(const char* name, KIRQL maxIrql, AtBugCheck use,
                                     std::string detail)
{
    // Another processor may take its turn at any call into the kernel.
    if (GivesTheTurn(name)) {
        SwitchPoint(SwitchReason::KernelCall);
    }
    MachineState& s = State();
    const std::string* logged = &detail;
    if (CallLogKept) {
        s.Calls.push_back(KernelCall{name, std::move(detail)});
        logged = &s.Calls.back().Detail;
    }
    if (CurrentIrql() > maxIrql) {
        Violation("%s called at IRQL %u; its contract allows at most %u", name,
                  unsigned{CurrentIrql()}, unsigned{maxIrql});
    }
    if (s.InBugCheck && use == AtBugCheck::Forbidden) {
        Violation("%s called during the bug check", name);
    }
    ++s.CallCounts[name];
    std::optional<NTSTATUS> result;
    for (Fault& fault : s.Faults) {
        // A fault fires once; counting stops at its call.
        if (fault.Matched < fault.Call && FaultSelects(fault, name, *logged) &&
            ++fault.Matched == fault.Call && !result) {
            result = *fault.Status;
        }
    }
    return result;
}

void KeepCallLog(bool keep)
{
    CallLogKept = keep;
}

bool InjectFault(const Fault& fault, std::string* error)
{
    const RoutineInfo* routine = FindRoutine(fault.Routine);
    if (routine == nullptr) {
        *error = "no kernel routine named '" + fault.Routine + "'";
        return false;
    }
    if (routine->FailsAs == RoutineInfo::Failure::None) {
        *error = "'" + fault.Routine + "' cannot be made to fail: no kernel fails it for a correct call";
        return false;
    }
    // A routine that fails without a status (null, FALSE) takes any: it
    // returns none of it.
    if (fault.Status && routine->FailsAs == RoutineInfo::Failure::Status) {
        std::string refused = RefusedFaultStatus(*routine, *fault.Status);
        if (!refused.empty()) {
            *error = refused;
            return false;
        }
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
    counted.Status = fault.Status.value_or(DefaultFaultStatus(*routine));
    counted.Matched = 0;
    for (const KernelCall& call : s.Calls) {
        counted.Matched += FaultSelects(counted, call.Routine.c_str(), call.Detail) ? 1 : 0;
    }
    s.Faults.push_back(counted);
    return true;
}

void HaltMachine()
{
    State().Stopped = true;
}

void ToolFailure(const std::string& message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "vekcrash: tool failure: %s\n", message.c_str());
    std::fflush(stderr);
    // The lanes may be anywhere: no destructor runs.
    std::_Exit(ToolFailureStatus);
}

void ReportViolation(const std::string& message)
{
    State().Violations.push_back(message);
}

bool Stopped()
{
    return State().Stopped;
}

bool InBugCheck()
{
    return State().InBugCheck;
}

unsigned CurrentProcessor()
{
    return State().Current;
}

void SetSystemTime(int64_t time)
{
    State().SystemTime = time;
    UpdateSharedUserData(State());
}

}  // namespace model
