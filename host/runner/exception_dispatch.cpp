// Exceptions in driver code dispatched as the kernel dispatches them: the
// frames walked from the faulting instruction with the image's unwind data;
// for a frame handled by __C_specific_handler its scope table applied here
// (filters run as calls into the driver on the faulting stack, below the
// fault); then the unwind to the chosen frame, running the __finally blocks
// of the scopes it leaves, and the processor resumed at the __except block.
//
// The image may be damaged: every read goes through the unwinder's checked
// reader and every walk is bounded. Damaged unwind data or scope tables end
// the search: the fault then takes the bug check path as if unhandled.
// A fault inside a filter or a __finally block is not dispatched again (the
// kernel would nest the dispatch): it bug checks. A bad pointer a kernel
// routine met is dispatched as if the driver's call instruction faulted.
#include "runner/emulator.h"

#include "runner/layout.h"

#include "model/address_space.h"
#include "model/driver_call.h"
#include "model/image_registry.h"
#include "model/scope_table.h"
#include "model/unwind.h"

#include <cstdio>
#include <cstring>

namespace runner {

namespace {

constexpr uint32_t StatusAccessViolation = 0xC0000005;
constexpr uint32_t StatusIllegalInstruction = 0xC000001D;
constexpr uint32_t StatusPrivilegedInstruction = 0xC0000096;
// The first access violation parameter: what the access was.
constexpr uint64_t AccessRead = 0;
constexpr uint64_t AccessWrite = 1;
constexpr uint64_t AccessExecute = 8;

// Frames a dispatch walks before it gives up: far more than the driver's
// deepest call chain, and a bound on a stack that loops.
constexpr unsigned MaxFrames = 64;
// Times a filter may continue execution at the same faulting instruction
// before the loop counts as runaway code.
constexpr unsigned MaxContinuations = 64;
// Exceptions one call from the kernel may dispatch: a loop of faults that
// handlers resume from is runaway code, whatever instructions it counts.
constexpr unsigned MaxDispatchesPerCall = 10000;
// Room left below the faulting stack pointer before the records: what the
// processor's exception frame would take, and then some.
constexpr uint64_t RecordGap = 128;
// An import thunk of the linker: jmp qword ptr [rip + disp32].
constexpr uint8_t ImportThunkOpcode[2] = {0xFF, 0x25};
constexpr size_t ImportThunkLength = 6;

const int IntegerRegisters[16] = {UC_X86_REG_RAX, UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_RBX,
                                  UC_X86_REG_RSP, UC_X86_REG_RBP, UC_X86_REG_RSI, UC_X86_REG_RDI,
                                  UC_X86_REG_R8,  UC_X86_REG_R9,  UC_X86_REG_R10, UC_X86_REG_R11,
                                  UC_X86_REG_R12, UC_X86_REG_R13, UC_X86_REG_R14, UC_X86_REG_R15};

// What the exception record says of a fault.
void DescribeFault(const model::DriverFault& fault, EXCEPTION_RECORD* record)
{
    *record = {};
    record->ExceptionAddress = reinterpret_cast<PVOID>(static_cast<uintptr_t>(fault.Rip));
    switch (fault.Kind) {
    case model::DriverFaultKind::Read:
    case model::DriverFaultKind::Write:
    case model::DriverFaultKind::Execute:
        record->ExceptionCode = static_cast<NTSTATUS>(StatusAccessViolation);
        record->NumberParameters = 2;
        record->ExceptionInformation[0] = fault.Kind == model::DriverFaultKind::Read    ? AccessRead
                                          : fault.Kind == model::DriverFaultKind::Write ? AccessWrite
                                                                                        : AccessExecute;
        record->ExceptionInformation[1] = fault.Address;
        break;
    case model::DriverFaultKind::InvalidInstruction:
        record->ExceptionCode = static_cast<NTSTATUS>(StatusIllegalInstruction);
        break;
    case model::DriverFaultKind::PrivilegedInstruction:
        record->ExceptionCode = static_cast<NTSTATUS>(StatusPrivilegedInstruction);
        break;
    default:
        record->ExceptionCode = static_cast<NTSTATUS>(fault.ExceptionCode);
        if (fault.ExceptionCode == StatusAccessViolation) {
            record->NumberParameters = 2;
            record->ExceptionInformation[0] = fault.ExceptionParameters[0];
            record->ExceptionInformation[1] = fault.ExceptionParameters[1];
        }
        break;
    }
}

// One frame the search passed: where it was, its registers, and its scopes
// when __C_specific_handler handles it.
struct Frame {
    uint64_t ImageBase = 0;
    uint64_t ControlPc = 0;
    uint64_t EstablisherFrame = 0;
    CONTEXT Context = {};
    bool Scoped = false;
    std::vector<model::seh::ScopeRecord> Scopes;
};

// The records a filter reads through GetExceptionInformation(), in guest
// memory below the fault.
struct GuestRecords {
    CONTEXT Context;
    EXCEPTION_RECORD Record;
    EXCEPTION_POINTERS Pointers;
};
static_assert(offsetof(GuestRecords, Context) % 16 == 0, "CONTEXT is 16-byte aligned");

// Filters, handlers and __finally blocks must lie in the image; a table
// that sends them elsewhere is damaged.
bool ScopesInImage(const std::vector<model::seh::ScopeRecord>& scopes, uint64_t imageSize)
{
    for (const model::seh::ScopeRecord& scope : scopes) {
        bool constantFilter = scope.HandlerAddress == model::seh::ConstantExecuteHandler &&
                              !model::seh::IsTermination(scope);
        if ((!constantFilter && scope.HandlerAddress >= imageSize) || scope.JumpTarget >= imageSize) {
            return false;
        }
    }
    return true;
}

}  // namespace

void Emulator::ReadContext(CONTEXT* context) const
{
    *context = {};
    context->ContextFlags = CONTEXT_FULL;
    for (unsigned i = 0; i < 16; ++i) {
        model::unwind::IntegerRegister(*context, i) = Register(IntegerRegisters[i]);
    }
    context->Rip = Register(UC_X86_REG_RIP);
    context->EFlags = static_cast<ULONG>(Register(UC_X86_REG_RFLAGS));
}

void Emulator::WriteContext(const CONTEXT& context)
{
    CONTEXT registers = context;
    for (unsigned i = 0; i < 16; ++i) {
        SetRegister(IntegerRegisters[i], model::unwind::IntegerRegister(registers, i));
    }
    SetRegister(UC_X86_REG_RIP, context.Rip);
}

bool Emulator::IsCSpecificHandler(uint64_t handler) const
{
    static const model::RoutineInfo* routine = model::FindRoutine("__C_specific_handler");
    if (routine == nullptr) {
        return false;
    }
    uint64_t trampoline = TrampolineBase + TrampolineSlot * static_cast<uint64_t>(
                                                                routine - model::ExportedRoutines().data());
    const model::unwind::MemoryReader& memory = model::UnwindMemory();
    uint8_t thunk[ImportThunkLength];
    if (!memory.Read(handler, thunk, sizeof(thunk)) ||
        std::memcmp(thunk, ImportThunkOpcode, sizeof(ImportThunkOpcode)) != 0) {
        return false;
    }
    int32_t displacement = 0;
    std::memcpy(&displacement, thunk + sizeof(ImportThunkOpcode), sizeof(displacement));
    uint64_t slot = handler + ImportThunkLength + static_cast<uint64_t>(static_cast<int64_t>(displacement));
    uint64_t target = 0;
    return memory.Read(slot, &target, sizeof(target)) && target == trampoline;
}

Emulator::Dispatch Emulator::DispatchException(const model::DriverFault& fault)
{
    CONTEXT context;
    ReadContext(&context);
    context.Rip = fault.Rip;
    return DispatchException(fault, context, true);
}

bool Emulator::OnRoutineFault(const model::RoutineFault& fault, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    uint64_t rsp = emulator->lane_.ImportRsp;
    uint64_t returnAddress = 0;
    if (rsp == 0 || !emulator->OnStack(rsp, sizeof(returnAddress))) {
        return false;
    }
    std::memcpy(&returnAddress, reinterpret_cast<const void*>(rsp), sizeof(returnAddress));
    // As if the call instruction itself faulted: inside the caller's guarded
    // range, with the stack as it was before the call.
    CONTEXT context;
    emulator->ReadContext(&context);
    context.Rip = returnAddress - 1;
    context.Rsp = rsp + sizeof(returnAddress);
    model::DriverFault driverFault{fault.Write ? model::DriverFaultKind::Write : model::DriverFaultKind::Read,
                                   fault.Address, context.Rip};
    if (emulator->DispatchException(driverFault, context, false) != Dispatch::Resumed) {
        return false;
    }
    emulator->lane_.RoutineFaultTaken = true;
    return true;
}

Emulator::Dispatch Emulator::DispatchException(const model::DriverFault& fault, const CONTEXT& faultContext,
                                               bool continuable)
{
    if (lane_.Dispatching || fault.Kind == model::DriverFaultKind::FailFast ||
        fault.Kind == model::DriverFaultKind::DoubleFault) {
        return Dispatch::NotHandled;
    }
    // A page fault is an exception a __try could see only below
    // DISPATCH_LEVEL, outside the bug check, on a user-space address; on a
    // system-space address it is bug check 0x50 at once, and at raised IRQL
    // 0xD1 (the reference pages of both bug checks).
    bool pageFault = fault.Kind == model::DriverFaultKind::Read || fault.Kind == model::DriverFaultKind::Write ||
                     fault.Kind == model::DriverFaultKind::Execute;
    if (pageFault && (ModelReadCr8() >= DISPATCH_LEVEL || model::InBugCheck() ||
                      model::SystemSpaceAddress(fault.Address))) {
        return Dispatch::NotHandled;
    }
    if (++lane_.Dispatches > MaxDispatchesPerCall) {
        char message[256];
        std::snprintf(message, sizeof(message),
                      "driver code raised more than %u exceptions in one call and its handlers "
                      "resumed it each time (runaway code, stopped)",
                      MaxDispatchesPerCall);
        model::ReportViolation(message);
        model::HaltMachine();
        lane_.Halted = true;
        return Dispatch::Stopped;
    }
    const model::unwind::MemoryReader& memory = model::UnwindMemory();

    // The records the filters see, in guest memory below the fault.
    uint64_t faultRsp = faultContext.Rsp;
    uint64_t registerRsp = Register(UC_X86_REG_RSP);
    uint64_t recordsAt = (faultRsp - RecordGap - sizeof(GuestRecords)) & ~uint64_t{15};
    if (faultRsp < RecordGap + sizeof(GuestRecords) + 16 || !OnStack(recordsAt, sizeof(GuestRecords))) {
        return Dispatch::NotHandled;
    }
    auto* records = reinterpret_cast<GuestRecords*>(static_cast<uintptr_t>(recordsAt));
    EXCEPTION_RECORD exception;
    DescribeFault(fault, &exception);

    // Search: the first scope whose filter says execute the handler.
    std::vector<Frame> frames;
    CONTEXT context = faultContext;
    size_t targetFrame = 0;
    size_t targetScope = 0;
    bool found = false;
    lane_.Dispatching = true;
    for (unsigned depth = 0; depth < MaxFrames && !found; ++depth) {
        uint64_t pc = context.Rip;
        if (pc == kernelEntries_.CallDriverReturn || pc == SentinelBase) {
            break;  // the kernel called this frame: nothing above it is the driver's
        }
        const model::LoadedImage* image = model::FindImageByAddress(pc);
        model::unwind::FoundEntry entry;
        Frame frame;
        frame.ControlPc = pc;
        frame.Context = context;
        if (image != nullptr && model::unwind::LookupFunctionEntry(memory, image->Base, image->Size, pc, &entry)) {
            frame.ImageBase = image->Base;
            CONTEXT caller = context;
            model::unwind::Result unwound = model::unwind::VirtualUnwind(
                memory, UNW_FLAG_EHANDLER, image->Base, pc, entry.Entry, &caller, nullptr);
            if (unwound.Outcome != model::unwind::Status::Ok || !OnStack(unwound.EstablisherFrame, 0)) {
                break;
            }
            frame.EstablisherFrame = unwound.EstablisherFrame;
            if (unwound.LanguageHandler != 0 && IsCSpecificHandler(unwound.LanguageHandler)) {
                if (!model::seh::ReadScopeTable(memory, unwound.HandlerData, &frame.Scopes) ||
                    !ScopesInImage(frame.Scopes, image->Size)) {
                    break;
                }
                frame.Scoped = true;
            }
            context = caller;
        } else {
            // A leaf function, or a call through a wild pointer: the return
            // address is on top of the stack. Outside any image only the
            // faulting frame may be such.
            uint64_t returnAddress = 0;
            if ((image == nullptr && depth > 0) || !OnStack(context.Rsp, sizeof(returnAddress)) ||
                !memory.Read(context.Rsp, &returnAddress, sizeof(returnAddress))) {
                break;
            }
            context.Rip = returnAddress;
            context.Rsp += sizeof(returnAddress);
        }
        frames.push_back(std::move(frame));
        const Frame& current = frames.back();
        if (!current.Scoped) {
            continue;
        }
        uint64_t rva = current.ControlPc - current.ImageBase;
        for (size_t scope = model::seh::NextExceptScope(current.Scopes, 0, rva);
             scope < current.Scopes.size();
             scope = model::seh::NextExceptScope(current.Scopes, scope + 1, rva)) {
            const model::seh::ScopeRecord& record = current.Scopes[scope];
            int32_t verdict = EXCEPTION_EXECUTE_HANDLER;
            if (record.HandlerAddress != model::seh::ConstantExecuteHandler) {
                // A filter may change what it is shown; each sees the fault afresh.
                records->Context = faultContext;
                records->Record = exception;
                records->Pointers = {&records->Record, &records->Context};
                SetRegister(UC_X86_REG_RSP, recordsAt);
                verdict = static_cast<int32_t>(
                    Call(current.ImageBase + record.HandlerAddress,
                         {reinterpret_cast<uintptr_t>(&records->Pointers), current.EstablisherFrame},
                         "an exception filter"));
                SetRegister(UC_X86_REG_RSP, registerRsp);
                if (CallAbandoned()) {
                    return Dispatch::Stopped;
                }
            }
            if (verdict < 0) {
                // A kernel routine's instruction cannot be resumed here: its
                // fault stays unhandled.
                lane_.Dispatching = false;
                return continuable ? ContinueExecution(records->Context) : Dispatch::NotHandled;
            }
            if (verdict > 0) {
                targetFrame = frames.size() - 1;
                targetScope = scope;
                found = true;
                break;
            }
        }
    }
    if (!found) {
        lane_.Dispatching = false;
        return Dispatch::NotHandled;
    }

    // Unwind: the __finally blocks of every scope left, innermost first.
    for (size_t index = 0; index <= targetFrame; ++index) {
        const Frame& frame = frames[index];
        if (!frame.Scoped) {
            continue;
        }
        uint64_t rva = frame.ControlPc - frame.ImageBase;
        for (size_t scope : model::seh::ScopesToTerminate(
                 frame.Scopes, rva, index == targetFrame ? targetScope : model::seh::NoTargetScope)) {
            SetRegister(UC_X86_REG_RSP, recordsAt);
            constexpr uint64_t AbnormalTermination = 1;
            Call(frame.ImageBase + frame.Scopes[scope].HandlerAddress,
                 {AbnormalTermination, frame.EstablisherFrame}, "a __finally block");
            SetRegister(UC_X86_REG_RSP, registerRsp);
            if (CallAbandoned()) {
                return Dispatch::Stopped;
            }
        }
    }
    lane_.Dispatching = false;
    lane_.Continuations = 0;

    // The target frame's registers as the unwind restored them, resumed at
    // the __except block with the exception code in RAX.
    const Frame& target = frames[targetFrame];
    CONTEXT resume = target.Context;
    resume.Rip = target.ImageBase + target.Scopes[targetScope].JumpTarget;
    resume.Rax = static_cast<uint32_t>(exception.ExceptionCode);
    WriteContext(resume);
    return Dispatch::Resumed;
}

bool Emulator::CallAbandoned()
{
    if (!lane_.Halted && !model::Stopped() && !model::DriverCallEnding() && !lane_.DispatchAbandoned) {
        return false;
    }
    lane_.Dispatching = false;
    lane_.DispatchAbandoned = false;
    return true;
}

Emulator::Dispatch Emulator::ContinueExecution(const CONTEXT& context)
{
    if (context.Rip == lane_.ContinuedRip) {
        ++lane_.Continuations;
    } else {
        lane_.ContinuedRip = context.Rip;
        lane_.Continuations = 1;
    }
    if (lane_.Continuations > MaxContinuations) {
        char message[256];
        std::snprintf(message, sizeof(message),
                      "an exception filter continued execution at %#llx more than %u times and "
                      "it raised the exception again each time (runaway code, stopped)",
                      static_cast<unsigned long long>(context.Rip), MaxContinuations);
        model::ReportViolation(message);
        model::HaltMachine();
        lane_.Halted = true;
        return Dispatch::Stopped;
    }
    WriteContext(context);
    return Dispatch::Resumed;
}

}  // namespace runner
