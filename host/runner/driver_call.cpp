// Calls from the kernel into the driver: the Microsoft x64 frame the call
// starts on, the run until the routine returns to its sentinel (with the
// driver's own kernel calls dispatched on the way), and what a stop that
// is no return means: runaway code or a processor exception, raised as the
// bug check the kernel raises for it.
#include "runner/emulator.h"

#include "runner/layout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace runner {

namespace {

// KxCallDriver's frame below RSP at its entry (its stack allocation in
// host/kernel/ntoskrnl.cpp): the outgoing area of the call into the driver.
constexpr uint64_t KxCallDriverFrame = 0x88;
static_assert(ShadowSpace + 8 * (MaxArguments - RegisterArguments) <= KxCallDriverFrame,
              "every stack argument fits KxCallDriver's outgoing area");

// What the processor's exceptions become (the kernel's exception codes).
constexpr uint64_t StatusBreakpoint = 0x80000003;
constexpr uint64_t StatusSingleStep = 0x80000004;
constexpr uint64_t StatusAccessViolation = 0xC0000005;
constexpr uint64_t StatusIllegalInstruction = 0xC000001D;
constexpr uint64_t StatusIntegerDivideByZero = 0xC0000094;
constexpr uint64_t StatusIntegerOverflow = 0xC0000095;
constexpr uint64_t StatusArrayBoundsExceeded = 0xC000008C;
constexpr uint64_t StatusFloatMultipleTraps = 0xC00002B5;
constexpr uint64_t StatusAssertionFailure = 0xC0000420;
// A general protection fault gives no address: the access violation says
// "unknown" with all ones.
constexpr uint64_t UnknownAddress = ~uint64_t{0};

// Vectors the processor raises, and the software interrupts the kernel
// gives a meaning.
enum Vector : uint32_t {
    DivideError = 0,
    Debug = 1,
    Breakpoint = 3,
    Overflow = 4,
    BoundRange = 5,
    InvalidOpcode = 6,
    GeneralProtection = 13,
    SimdException = 19,
    FailFast = 0x29,
    Assertion = 0x2C,
};

// RFLAGS: bit 1 always set, and IF.
constexpr uint64_t ReservedFlag = 0x2;
constexpr uint64_t InterruptFlag = 0x200;

// Lengths of the instructions that trap after executing: int3 and int n.
constexpr uint64_t Int3Length = 1;
constexpr uint64_t IntNLength = 2;

bool Canonical(uint64_t address)
{
    // Bits 63 to 47 all equal.
    uint64_t top = address >> 47;
    return top == 0 || top == 0x1FFFF;
}

}  // namespace

uint64_t Emulator::Call(uint64_t routine, const std::vector<uint64_t>& arguments, const char* what)
{
    if (lane_.Depth == 0) {
        lane_.Halted = false;
        lane_.Runaway = false;
        lane_.InstructionsSinceProgress = 0;
        NoteDeviceProgress();
        lane_.ProgressThisCall = 0;
        lane_.Continuations = 0;
        lane_.Dispatches = 0;
        lane_.Dispatching = false;
        lane_.DispatchAbandoned = false;
        lane_.ImportRsp = 0;
        lane_.RoutineFaultTaken = false;
    }
    if (lane_.Halted || arguments.size() > MaxArguments) {
        return 0;
    }
    if (kernel_ == nullptr) {
        std::fprintf(stderr, "vekcrash: emulator: a call into the driver without the kernel image\n");
        std::abort();
    }
    ++stats_.DriverCalls;

    // Every call enters the driver through the kernel's KxCallDriver, whose
    // frame lies below RSP at its entry. The outermost call returns from
    // KxCallDriver to a sentinel, where a walk ends. A call made while
    // another is interrupted (from inside a kernel routine the driver
    // called, or the bug check a fault raised) keeps that one's registers
    // and stack, and enters KxCallDriver at the interrupted call's
    // return-address slot, so a walk out of KxCallDriver goes on into the
    // code that called the kernel.
    uc_context* interrupted = nullptr;
    uint64_t entry = 0;
    if (lane_.Depth > 0) {
        uc_context_alloc(uc_, &interrupted);
        uc_context_save(uc_, interrupted);
        entry = NestedCallEntry(Register(UC_X86_REG_RSP), KxCallDriverFrame);
    } else {
        entry = (lane_.Stack.High & ~uint64_t{15}) - 8;
        uint64_t sentinel = SentinelBase;
        std::memcpy(reinterpret_cast<void*>(entry), &sentinel, 8);
    }
    // Control registers, segments and flags as the kernel keeps them,
    // whatever driver code did to them before.
    uc_context_restore(uc_, pristine_);

    // KxCallDriver's outgoing area: the shadow space for the four register
    // arguments, then the fifth and later arguments.
    uint64_t atCall = entry - KxCallDriverFrame;
    if (!OnStack(atCall, entry + 8 - atCall)) {
        std::fprintf(stderr, "vekcrash: emulator: no stack for a call into the driver\n");
        std::abort();
    }
    size_t stackArguments = arguments.size() > RegisterArguments ? arguments.size() - RegisterArguments : 0;
    for (size_t i = 0; i < stackArguments; ++i) {
        uint64_t value = arguments[RegisterArguments + i];
        std::memcpy(reinterpret_cast<void*>(atCall + ShadowSpace + 8 * i), &value, 8);
    }
    for (size_t i = 0; i < RegisterArguments; ++i) {
        SetRegister(ArgumentRegisters[i], i < arguments.size() ? arguments[i] : 0);
    }
    SetRegister(UC_X86_REG_R11, routine);
    SetRegister(UC_X86_REG_RSP, entry);
    // Interrupts are enabled in every call but the bug check's, which runs
    // with them masked.
    const uint64_t flags = ModelReadCr8() < HIGH_LEVEL ? ReservedFlag | InterruptFlag : ReservedFlag;
    SetRegister(UC_X86_REG_RFLAGS, flags);
    SetRegister(UC_X86_REG_RIP, kernelEntries_.CallDriver);
    uint64_t sentinel = kernelEntries_.CallDriverReturn;

    // The call may also end by a throw: a deadlock abandons every lane's
    // call. Either way the interrupted call gets its registers back.
    struct CallScope {
        Emulator& Self;
        uc_context* Interrupted;
        ~CallScope()
        {
            --Self.lane_.Depth;
            if (Interrupted != nullptr) {
                uc_context_restore(Self.uc_, Interrupted);
                uc_context_free(Interrupted);
            }
        }
    };
    ++lane_.Depth;
    CallScope scope{*this, interrupted};
    uint64_t result = Run(sentinel, what);
    if (!lane_.Halted && Register(UC_X86_REG_RIP) == sentinel &&
        (flags & InterruptFlag) != 0 && (Register(UC_X86_REG_RFLAGS) & InterruptFlag) == 0) {
        // The kernel's clock and every device interrupt stay masked on this
        // processor from here on: nothing the caller expects comes.
        char message[160];
        std::snprintf(message, sizeof(message),
                      "driver code returned from %s to the kernel with interrupts disabled "
                      "(cli without sti)",
                      what);
        model::ReportViolation(message);
    }
    return result;
}

void Emulator::Halt()
{
    model::HaltMachine();
    lane_.Halted = true;
    uc_emu_stop(uc_);
}

uint64_t Emulator::Run(uint64_t sentinel, const char* what)
{
    for (;;) {
        lastBadAccess_.Valid = false;
        pendingPrivilegeFault_ = false;
        pendingStackOverflow_ = false;
        pendingInterrupt_ = -1;
        restartBlock_ = false;
        yield_ = Yield::None;
        uint64_t rip = Register(UC_X86_REG_RIP);
        uc_err error = uc_emu_start(uc_, rip, NoExit, 0, 0);
        rip = Register(UC_X86_REG_RIP);

        if (lane_.Halted && model::Stopped()) {
            return 0;
        }
        if (lane_.Runaway) {
            char message[256];
            std::snprintf(message, sizeof(message),
                          "driver code ran more than %llu instructions in %s without returning "
                          "or a device making progress (runaway code, stopped)",
                          static_cast<unsigned long long>(instructionLimit_), what);
            model::ReportViolation(message);
            model::HaltMachine();
            lane_.Halted = true;
            return 0;
        }
        if (restartBlock_) {
            // Hooks were added to a block before it ran: run it again,
            // translated afresh.
            SetRegister(UC_X86_REG_RIP, restartAt_);
            continue;
        }
        if (yield_ != Yield::None) {
            TakeYield();
            if (model::Stopped()) {
                lane_.Halted = true;
                return 0;
            }
            continue;
        }
        if (rip == sentinel) {
            return Register(UC_X86_REG_RAX);
        }
        if (error == UC_ERR_OK && InTrampolines(rip)) {
            if (!IsTrampoline(rip)) {
                error = UC_ERR_FETCH_PROT;  // no routine starts there
            } else if (!DispatchImport(rip) || lane_.Halted) {
                return 0;
            } else {
                continue;
            }
        }

        model::DriverFault fault = pendingInterrupt_ >= 0
                                       ? FaultFromInterrupt(static_cast<uint32_t>(pendingInterrupt_), rip)
                                       : FaultFromStop(error, rip);
        fault.Rsp = Register(UC_X86_REG_RSP);
        // An exception pushes its frame on the current stack; with the
        // stack overflowed or the stack pointer wild, that push faults too.
        // The double fault's own frame (on its stack of its own) holds the
        // stack pointer the failed push left, as the processor saves it.
        if (fault.Kind != model::DriverFaultKind::FailFast && !ExceptionFrameFits(fault.Rsp)) {
            model::DriverFault doubleFault{model::DriverFaultKind::DoubleFault, fault.Rsp, rip};
            doubleFault.Rsp = fault.Rsp;
            fault = doubleFault;
        }
        // The kernel first offers the exception to the driver's __try scopes.
        Dispatch dispatch = DispatchException(fault);
        if (dispatch == Dispatch::Resumed) {
            continue;
        }
        if (dispatch == Dispatch::Stopped) {
            return 0;
        }
        model::RaiseDriverFault(fault);
        if (model::Stopped()) {
            lane_.Halted = true;
        }
        // A fault in a filter or __finally block ends the whole call that
        // was dispatching, not just the filter.
        lane_.DispatchAbandoned = lane_.DispatchAbandoned || lane_.Dispatching;
        // Either the machine stopped, or the kernel abandoned a bug check
        // callback: this call is over.
        return 0;
    }
}

model::DriverFault Emulator::FaultFromStop(uc_err error, uint64_t rip) const
{
    model::DriverFault fault{model::DriverFaultKind::InvalidInstruction, 0, rip};
    if (pendingStackOverflow_) {
        fault.Kind = model::DriverFaultKind::DoubleFault;
        fault.Address = Register(UC_X86_REG_RSP);
        return fault;
    }
    if (pendingPrivilegeFault_) {
        fault.Kind = model::DriverFaultKind::PrivilegedInstruction;
        return fault;
    }
    switch (error) {
    case UC_ERR_READ_UNMAPPED:
    case UC_ERR_READ_PROT:
        fault.Kind = model::DriverFaultKind::Read;
        break;
    case UC_ERR_WRITE_UNMAPPED:
    case UC_ERR_WRITE_PROT:
        fault.Kind = model::DriverFaultKind::Write;
        break;
    case UC_ERR_FETCH_UNMAPPED:
    case UC_ERR_FETCH_PROT:
        fault.Kind = model::DriverFaultKind::Execute;
        fault.Address = rip;
        if (!Canonical(rip)) {
            return FaultFromInterrupt(GeneralProtection, rip);
        }
        return fault;
    case UC_ERR_EXCEPTION:
        fault.Kind = model::DriverFaultKind::PrivilegedInstruction;
        return fault;
    default:
        return fault;
    }
    if (lastBadAccess_.Valid) {
        fault.Address = lastBadAccess_.Address;
        // The processor checks the form of an address before any page:
        // a non-canonical one is a general protection fault.
        if (!Canonical(fault.Address)) {
            return FaultFromInterrupt(GeneralProtection, rip);
        }
    }
    return fault;
}

model::DriverFault Emulator::FaultFromInterrupt(uint32_t vector, uint64_t rip) const
{
    model::DriverFault fault{model::DriverFaultKind::Exception, 0, rip};
    switch (vector) {
    case DivideError:
        fault.ExceptionCode = StatusIntegerDivideByZero;
        fault.What = "divided by zero";
        break;
    case Debug:
        fault.ExceptionCode = StatusSingleStep;
        fault.What = "raised a debug trap";
        break;
    case Breakpoint:
        // The kernel reports the breakpoint instruction, not the one after.
        fault.Rip = rip - Int3Length;
        fault.ExceptionCode = StatusBreakpoint;
        fault.What = "hit a breakpoint";
        break;
    case Overflow:
        fault.ExceptionCode = StatusIntegerOverflow;
        fault.What = "raised an overflow trap";
        break;
    case BoundRange:
        fault.ExceptionCode = StatusArrayBoundsExceeded;
        fault.What = "exceeded array bounds";
        break;
    case InvalidOpcode:
        fault.ExceptionCode = StatusIllegalInstruction;
        fault.What = "executed an invalid instruction";
        break;
    case SimdException:
        fault.ExceptionCode = StatusFloatMultipleTraps;
        fault.What = "raised a floating point exception";
        break;
    case FailFast:
        fault.Kind = model::DriverFaultKind::FailFast;
        fault.Rip = rip - IntNLength;
        fault.ExceptionCode = Register(UC_X86_REG_RCX);
        fault.What = "failed fast (int 29h)";
        break;
    case Assertion:
        fault.Rip = rip - IntNLength;
        fault.ExceptionCode = StatusAssertionFailure;
        fault.What = "failed an assertion (int 2Ch)";
        break;
    default:
        // A general protection fault, or an int n the kernel has no
        // handler for: an access violation at no known address.
        if (vector != GeneralProtection) {
            fault.Rip = rip - IntNLength;
        }
        fault.ExceptionCode = StatusAccessViolation;
        fault.ExceptionParameters[1] = UnknownAddress;
        fault.What = "raised a general protection fault";
        break;
    }
    return fault;
}

}  // namespace runner
