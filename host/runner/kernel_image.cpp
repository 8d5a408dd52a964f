// The model's kernel image (host/kernel/ntoskrnl.cpp) in the emulated
// machine: mapped once per process and listed as ntoskrnl.exe, so that
// calls into the driver return into KxCallDriver and a bug check a driver
// fault raises runs on the frames the real kernel lays out: the machine
// frame the processor pushes, a trap entry, KeBugCheckEx, then the model's
// bug check through a host service.
#include "runner/emulator.h"

#include "runner/layout.h"
#include "runner/pe_image.h"

#include "model/image_registry.h"

#include <cstring>

namespace runner {

namespace {

// The bug check codes a fault raises whose trap entry is fixed by the code
// rather than by the exception (the kernel's own names).
constexpr uint64_t StatusIntegerDivideByZero = 0xC0000094;
constexpr uint64_t StatusBreakpoint = 0x80000003;
constexpr uint64_t StatusSingleStep = 0x80000004;
constexpr uint64_t StatusIntegerOverflow = 0xC0000095;
constexpr uint64_t StatusArrayBoundsExceeded = 0xC000008C;
constexpr uint64_t StatusFloatMultipleTraps = 0xC00002B5;
constexpr uint64_t StatusAssertionFailure = 0xC0000420;
constexpr uint64_t StatusAccessViolation = 0xC0000005;
constexpr uint64_t StatusIllegalInstruction = 0xC000001D;

// Selectors of the kernel's code and stack segments, as pushed in a
// machine frame.
constexpr uint64_t KernelCodeSelector = 0x10;
constexpr uint64_t KernelStackSelector = 0x18;
// Page fault error code bits.
constexpr uint64_t PageFaultWrite = 0x2;
constexpr uint64_t PageFaultFetch = 0x10;
// Room the trap entry and KeBugCheckEx need below the machine frame; with
// less on the current stack the frame goes to the spare stack, as the
// processor's interrupt stack table would put it.
constexpr uint64_t TrapStackRoom = 1024;
// Where KeBugCheckEx's caller passed the fourth parameter, as the host
// service sees it: past the return address and the shadow space.
constexpr uint64_t FifthArgumentOffset = 8 + ShadowSpace;
// Bounds the runs of the kernel's few instructions: each ends at the host
// service unless a block is started again hooked.
constexpr int MaxKernelRuns = 8;

}  // namespace

bool Emulator::MapKernel(const std::string& path, std::string* error)
{
    if (kernel_ != nullptr) {
        return true;
    }
    // The registry's described kernel holds the address until now.
    model::ReleaseKernelImageMemory();
    std::unique_ptr<PeImage> image = PeImage::Load(path, KernelImageAddress, 0, error);
    if (!image) {
        *error = "cannot load the model's kernel image: " + *error;
        return false;
    }
    KernelEntries entries;
    const std::pair<uint64_t*, const char*> names[] = {
        {&entries.CallDriver, "KxCallDriver"},
        {&entries.CallDriverReturn, "KxCallDriverReturn"},
        {&entries.HostServices, "KiHostServices"},
        {&entries.DivideError, "KiDivideErrorFault"},
        {&entries.Debug, "KiDebugTrapOrFault"},
        {&entries.Breakpoint, "KiBreakpointTrap"},
        {&entries.Overflow, "KiOverflowTrap"},
        {&entries.BoundRange, "KiBoundFault"},
        {&entries.InvalidOpcode, "KiInvalidOpcodeFault"},
        {&entries.DoubleFault, "KiDoubleFaultAbort"},
        {&entries.GeneralProtection, "KiGeneralProtectionFault"},
        {&entries.PageFault, "KiPageFault"},
        {&entries.SimdException, "KiXmmException"},
        {&entries.Assertion, "KiRaiseAssertion"},
        {&entries.SecurityCheckFailure, "KiRaiseSecurityCheckFailure"},
    };
    for (const auto& [address, name] : names) {
        *address = image->ExportAddress(name);
        if (*address == 0) {
            *error = path + " exports no " + name + "; it is not the model's kernel image";
            return false;
        }
    }
    // Host service 0: the model's bug check.
    uint64_t service = HostServiceBugCheck;
    std::memcpy(reinterpret_cast<void*>(entries.HostServices), &service, sizeof(service));
    if (!MapImage(*image, error)) {
        return false;
    }
    model::ListKernelImage(image->Address(), image->Size(), image->Base());
    kernelEntries_ = entries;
    // Where every call into the driver ends (see Emulator::Emulator).
    uc_hook hook;
    uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(OnStopPoint), this,
                entries.CallDriverReturn, entries.CallDriverReturn);
    // Mapped for the rest of the process: the registry lists it as the
    // kernel, and the engine keeps translations of its code.
    kernel_ = image.release();
    return true;
}

Emulator::TrapEntry Emulator::TrapFor(const model::DriverFault& fault) const
{
    const KernelEntries& k = kernelEntries_;
    switch (fault.Kind) {
    case model::DriverFaultKind::Read:
        return {k.PageFault, "KiPageFault", true, 0};
    case model::DriverFaultKind::Write:
        return {k.PageFault, "KiPageFault", true, PageFaultWrite};
    case model::DriverFaultKind::Execute:
        return {k.PageFault, "KiPageFault", true, PageFaultFetch};
    case model::DriverFaultKind::InvalidInstruction:
        return {k.InvalidOpcode, "KiInvalidOpcodeFault", false, 0};
    case model::DriverFaultKind::PrivilegedInstruction:
        return {k.GeneralProtection, "KiGeneralProtectionFault", true, 0};
    case model::DriverFaultKind::DoubleFault:
        return {k.DoubleFault, "KiDoubleFaultAbort", true, 0};
    case model::DriverFaultKind::FailFast:
        return {k.SecurityCheckFailure, "KiRaiseSecurityCheckFailure", false, 0};
    case model::DriverFaultKind::Exception:
        break;
    }
    switch (fault.ExceptionCode) {
    case StatusIntegerDivideByZero:
        return {k.DivideError, "KiDivideErrorFault", false, 0};
    case StatusSingleStep:
        return {k.Debug, "KiDebugTrapOrFault", false, 0};
    case StatusBreakpoint:
        return {k.Breakpoint, "KiBreakpointTrap", false, 0};
    case StatusIntegerOverflow:
        return {k.Overflow, "KiOverflowTrap", false, 0};
    case StatusArrayBoundsExceeded:
        return {k.BoundRange, "KiBoundFault", false, 0};
    case StatusFloatMultipleTraps:
        return {k.SimdException, "KiXmmException", false, 0};
    case StatusIllegalInstruction:
        return {k.InvalidOpcode, "KiInvalidOpcodeFault", false, 0};
    case StatusAssertionFailure:
        return {k.Assertion, "KiRaiseAssertion", false, 0};
    case StatusAccessViolation:
    default:
        return {k.GeneralProtection, "KiGeneralProtectionFault", true, 0};
    }
}

void Emulator::RouteFaultBugCheck(const model::DriverFault& fault, ULONG code,
                                  const ULONG_PTR (&parameters)[4], void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    if (model::Stopped() || emulator->kernel_ == nullptr || !emulator->RunTrapEntry(fault, code, parameters)) {
        // Nothing runs on a stopped machine; and should the kernel's frames
        // not be laid out, the bug check still happens.
        if (!model::Stopped()) {
            model::BugCheck(code, parameters, model::CurrentProcessor());
        }
    }
}

bool Emulator::RunTrapEntry(const model::DriverFault& fault, ULONG code,
                            const ULONG_PTR (&parameters)[4])
{
    TrapEntry trap = TrapFor(fault);
    // The table lies in the image's writable data, where a wild driver
    // write may have been: the bug check always goes to the host service.
    uint64_t service = HostServiceBugCheck;
    std::memcpy(reinterpret_cast<void*>(kernelEntries_.HostServices), &service, sizeof(service));
    // The processor aligns the frame's base to 16 bytes and pushes it on the
    // current stack, or on its own stack (the spare one) when the current
    // one is spent: the double fault, or a stack pointer that is no stack.
    uint64_t base = 0;
    if (fault.Kind != model::DriverFaultKind::DoubleFault && fault.Rsp > TrapStackRoom &&
        OnStack(fault.Rsp - TrapStackRoom, TrapStackRoom)) {
        base = fault.Rsp & ~uint64_t{15};
    } else {
        base = lane_.Spare.High & ~uint64_t{15};
    }
    uint64_t flags = Register(UC_X86_REG_RFLAGS);
    // SS, RSP, RFLAGS, CS, RIP, then the error code, downwards.
    uint64_t frame[6] = {trap.ErrorCode, fault.Rip, KernelCodeSelector, flags, fault.Rsp,
                         KernelStackSelector};
    uint64_t rsp = base - sizeof(frame);
    const uint64_t* from = frame;
    if (!trap.HasErrorCode) {
        rsp += 8;
        from += 1;
    }
    if (uc_mem_write(uc_, rsp, from, base - rsp) != UC_ERR_OK) {
        return false;
    }
    SetRegister(UC_X86_REG_RSP, rsp);
    SetRegister(UC_X86_REG_RFLAGS, 0x2);
    SetRegister(UC_X86_REG_RCX, code);
    SetRegister(UC_X86_REG_RDX, parameters[0]);
    SetRegister(UC_X86_REG_R8, parameters[1]);
    SetRegister(UC_X86_REG_R9, parameters[2]);
    SetRegister(UC_X86_REG_R10, parameters[3]);
    SetRegister(UC_X86_REG_RIP, trap.Address);

    for (int run = 0; run < MaxKernelRuns; ++run) {
        lastBadAccess_.Valid = false;
        pendingPrivilegeFault_ = false;
        pendingInterrupt_ = -1;
        restartBlock_ = false;
        uc_err error = uc_emu_start(uc_, Register(UC_X86_REG_RIP), NoExit, 0, 0);
        if (restartBlock_) {
            SetRegister(UC_X86_REG_RIP, restartAt_);
            continue;
        }
        if (error != UC_ERR_FETCH_UNMAPPED || Register(UC_X86_REG_RIP) != HostServiceBugCheck) {
            return false;
        }
        stats_.LastTrapEntry = trap.Name;
        stats_.LastMachineFrame = rsp;
        ServeBugCheck();
        return true;
    }
    return false;
}

void Emulator::ServeBugCheck()
{
    // KeBugCheckEx's arguments, as its caller passed them.
    uint64_t fourth = 0;
    uc_mem_read(uc_, Register(UC_X86_REG_RSP) + FifthArgumentOffset, &fourth, sizeof(fourth));
    const ULONG_PTR parameters[4] = {Register(UC_X86_REG_RDX), Register(UC_X86_REG_R8),
                                     Register(UC_X86_REG_R9), fourth};
    model::BugCheck(Register(UC_X86_REG_RCX), parameters, model::CurrentProcessor());
}

}  // namespace runner
