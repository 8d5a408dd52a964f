// Calls from the kernel into the driver: the Microsoft x64 frame the call
// starts on, the run until the routine returns to its sentinel (with the
// driver's own kernel calls dispatched on the way), and what a stop that
// is no return means: runaway code or a processor exception.
#include "runner/emulator.h"

#include "runner/layout.h"

#include <cstdio>
#include <cstring>

namespace runner {

namespace {

// Below the frame of an interrupted call, for a call made from inside it.
constexpr uint64_t NestedFrameGap = 256;

}  // namespace

uint64_t Emulator::Call(uint64_t routine, const std::vector<uint64_t>& arguments, const char* what)
{
    if (depth_ == 0) {
        halted_ = false;
        runaway_ = false;
        instructionsThisCall_ = 0;
    }
    if (halted_ || arguments.size() > MaxArguments) {
        return 0;
    }
    ++stats_.DriverCalls;

    // A call made while another is interrupted (from inside a kernel
    // routine the driver called) keeps that one's registers and stack.
    uc_context* interrupted = nullptr;
    uint64_t top = stackTop_;
    if (depth_ > 0) {
        uc_context_alloc(uc_, &interrupted);
        uc_context_save(uc_, interrupted);
        top = Register(UC_X86_REG_RSP) - NestedFrameGap;
    }

    // At the call the stack is 16-byte aligned and holds the shadow space
    // for the four register arguments, then the fifth and later arguments.
    size_t stackArguments = arguments.size() > RegisterArguments ? arguments.size() - RegisterArguments : 0;
    uint64_t frame = ShadowSpace + 8 * stackArguments;
    uint64_t atCall = (top - frame) & ~uint64_t{15};
    for (size_t i = 0; i < stackArguments; ++i) {
        uint64_t value = arguments[RegisterArguments + i];
        std::memcpy(reinterpret_cast<void*>(atCall + ShadowSpace + 8 * i), &value, 8);
    }
    uint64_t sentinel = SentinelBase + SentinelSlot * static_cast<uint64_t>(depth_);
    uint64_t rsp = atCall - 8;
    std::memcpy(reinterpret_cast<void*>(rsp), &sentinel, 8);
    for (size_t i = 0; i < RegisterArguments; ++i) {
        SetRegister(ArgumentRegisters[i], i < arguments.size() ? arguments[i] : 0);
    }
    SetRegister(UC_X86_REG_RSP, rsp);
    SetRegister(UC_X86_REG_RFLAGS, 0x2);
    SetRegister(UC_X86_REG_RIP, routine);

    ++depth_;
    uint64_t result = Run(sentinel, what);
    --depth_;

    if (interrupted != nullptr) {
        uc_context_restore(uc_, interrupted);
        uc_context_free(interrupted);
    }
    return result;
}

uint64_t Emulator::Run(uint64_t sentinel, const char* what)
{
    for (;;) {
        lastBadAccess_.Valid = false;
        pendingPrivilegeFault_ = false;
        uint64_t rip = Register(UC_X86_REG_RIP);
        uc_err error = uc_emu_start(uc_, rip, sentinel, 0, 0);
        rip = Register(UC_X86_REG_RIP);

        if (runaway_) {
            char message[256];
            std::snprintf(message, sizeof(message),
                          "driver code ran more than %llu instructions in %s without returning "
                          "(runaway code, stopped)",
                          static_cast<unsigned long long>(instructionLimit_), what);
            model::ReportViolation(message);
            model::HaltMachine();
            halted_ = true;
            return 0;
        }
        if (rip == sentinel) {
            return Register(UC_X86_REG_RAX);
        }
        if (error == UC_ERR_FETCH_UNMAPPED && IsTrampoline(rip)) {
            if (!DispatchImport(rip) || halted_) {
                return 0;
            }
            continue;
        }

        model::RaiseDriverFault(FaultFromStop(error, rip));
        if (model::Stopped()) {
            halted_ = true;
        }
        // Either the machine stopped, or the kernel abandoned a bug check
        // callback: this call is over.
        return 0;
    }
}

model::DriverFault Emulator::FaultFromStop(uc_err error, uint64_t rip) const
{
    model::DriverFault fault{model::DriverFaultKind::InvalidInstruction, 0, rip};
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
        return fault;
    case UC_ERR_EXCEPTION:
        fault.Kind = model::DriverFaultKind::PrivilegedInstruction;
        return fault;
    default:
        return fault;
    }
    if (lastBadAccess_.Valid) {
        fault.Address = lastBadAccess_.Address;
    }
    return fault;
}

}  // namespace runner
