// The bug check: the reason callbacks run at HIGH_LEVEL on the processor
// that stopped, and the bug check a fault in driver code raises, as the
// kernel raises it.
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

constexpr ULONG SecondaryDumpBufferSize = 4096;

}  // namespace

void BugCheck(ULONG_PTR code, const ULONG_PTR (&parameters)[4], unsigned processor,
              unsigned secondaryDumpPasses)
{
    // Idle free-running processors read the machine's state under the lock.
    KernelScope kernel;
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
        if (s.Stopped) {
            break;  // a nested bug check stopped the machine
        }
        // The record is the driver's memory: it may have been freed or
        // unmapped while registered.
        if (FirstInvalid(reinterpret_cast<uintptr_t>(callback.Record), sizeof(*callback.Record),
                         MemoryAccess::Read)) {
            Violation("a registered bug check callback record at %s is no longer valid memory",
                      AddressText(reinterpret_cast<uintptr_t>(callback.Record)).c_str());
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
        // Some kernels call each secondary dump callback twice: first with
        // no buffer, to learn the sizes, then with the buffer. The last
        // pass offers it; a callback that adds nothing leaves OutBuffer null.
        for (unsigned pass = 1; pass <= secondaryDumpPasses && !s.Stopped; ++pass) {
            auto* data = static_cast<KBUGCHECK_SECONDARY_DUMP_DATA*>(AllocateKernelMemory(
                sizeof(KBUGCHECK_SECONDARY_DUMP_DATA) + SecondaryDumpBufferSize));
            if (data == nullptr) {
                continue;
            }
            bool sizing = pass < secondaryDumpPasses;
            data->InBuffer = sizing ? nullptr : data + 1;
            data->InBufferLength = sizing ? 0 : SecondaryDumpBufferSize;
            data->MaximumAllowed = SecondaryDumpBufferSize;
            CallDriver(reinterpret_cast<const void*>(callback.Routine),
                       {static_cast<uint64_t>(callback.Reason), PointerArgument(callback.Record),
                        PointerArgument(data), sizeof(*data)},
                       processor, HIGH_LEVEL, "a bug check callback");
            s.LastDumpData = *data;
            FreeKernelMemory(data);
        }
    }
    s.InBugCheck = false;
    s.Stopped = true;
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

// The kernel runs these in system threads at PASSIVE_LEVEL, whose start
// routine takes an exception nothing else handled: bug check 0x7E, not the
// 0x1E of a DPC or of a callback run in another thread.
bool InSystemThread(const ProcessorState& processor)
{
    static const char* const systemThreadCalls[] = {"the entry routine", "the unload routine",
                                                     "a work item routine"};
    for (const char* what : systemThreadCalls) {
        if (processor.CallWhat != nullptr && std::strcmp(processor.CallWhat, what) == 0) {
            return true;
        }
    }
    return false;
}

// SYSTEM_THREAD_EXCEPTION_NOT_HANDLED's exception and context records, in
// kernel memory a debugger reads; freed with the machine.
void SystemThreadRecords(MachineState& s, const DriverFault& fault, ULONG_PTR (&parameters)[4])
{
    auto* record = static_cast<FailFastExceptionRecord*>(
        AllocateKernelMemory(sizeof(FailFastExceptionRecord)));
    auto* context = static_cast<CONTEXT*>(AllocateKernelMemory(sizeof(CONTEXT)));
    if (record != nullptr) {
        record->ExceptionCode = static_cast<uint32_t>(parameters[0]);
        record->ExceptionAddress = fault.Rip;
        record->NumberParameters = 2;
        record->ExceptionInformation[0] = parameters[2];
        record->ExceptionInformation[1] = parameters[3];
    }
    if (context != nullptr) {
        context->Rip = fault.Rip;
        context->Rsp = fault.Rsp;
    }
    s.FailFastRecords.push_back(record);
    s.FailFastRecords.push_back(context);
    parameters[2] = reinterpret_cast<uintptr_t>(record);
    parameters[3] = reinterpret_cast<uintptr_t>(context);
}

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

void NestedBugCheck(ULONG code, const char* what)
{
    MachineState& s = State();
    if (s.Stopped) {
        return;
    }
    const char* name = code == 0xD1   ? "DRIVER_IRQL_NOT_LESS_OR_EQUAL"
                       : code == 0x0A ? "IRQL_NOT_LESS_OR_EQUAL"
                       : code == 0x7F ? "UNEXPECTED_KERNEL_MODE_TRAP"
                                      : "PAGE_FAULT_IN_NONPAGED_AREA";
    Violation("nested bug check 0x%X %s during the bug check (%s): the machine stopped there; "
              "the callbacks not yet run, the rest of the report and the dump are lost",
              code, name, what);
    s.Stopped = true;
    s.EndingCall = true;
}

namespace {

struct {
    FaultBugCheckRoute Route;
    void* Context;
} FaultBugCheckPath = {nullptr, nullptr};

}  // namespace

void RaiseDriverFault(const DriverFault& fault)
{
    MachineState& s = State();
    // A test driver's fault is the bug check its scenario asked for.
    if (!s.Processors[s.Current].InTestDriver) {
        Violation("driver code %s at %s (address %s)", FaultText(fault),
                  AddressText(fault.Rip).c_str(), AddressText(fault.Address).c_str());
    }
    const bool pageFault = fault.Kind == DriverFaultKind::Read ||
                           fault.Kind == DriverFaultKind::Write ||
                           fault.Kind == DriverFaultKind::Execute;
    if (s.InBugCheck && (pageFault || fault.Kind == DriverFaultKind::DoubleFault)) {
        constexpr ULONG DriverIrqlNotLessOrEqualCode = 0xD1;
        constexpr ULONG UnexpectedKernelModeTrapCode = 0x7F;
        NestedBugCheck(pageFault ? DriverIrqlNotLessOrEqualCode : UnexpectedKernelModeTrapCode,
                       FaultText(fault));
        return;
    }
    if (s.InBugCheck) {
        // An exception other than a page fault is dispatched at any IRQL;
        // one no handler takes abandons the callback, and the bug check
        // goes on.
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
    constexpr ULONG SystemThreadExceptionNotHandled = 0x7E;
    bool exception = fault.Kind == DriverFaultKind::InvalidInstruction ||
                     fault.Kind == DriverFaultKind::PrivilegedInstruction ||
                     fault.Kind == DriverFaultKind::Exception;
    if (exception && InSystemThread(s.Processors[s.Current])) {
        code = SystemThreadExceptionNotHandled;
        SystemThreadRecords(s, fault, parameters);
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

}  // namespace model
