// The model's kernel image, ntoskrnl.exe: the few kernel routines whose
// frames a driver's stack walk must meet, written as a real image with real
// unwind data so that the emulated processor runs them and the unwinder
// walks through them exactly as through the real kernel.
//
// The kernel's own work is done by the model on the host. This code only
// lays out the frames:
//   - KxCallDriver: every call from the kernel into the driver goes through
//     it, so a driver routine returns into the kernel and a walk from it
//     goes on to whatever the kernel was doing (a bug check, a dispatch);
//   - the trap entries: a processor exception in driver code enters one of
//     them with a machine frame (the faulting RIP and RSP), which calls
//     KeBugCheckEx; a walk from inside the bug check reaches the faulting
//     instruction through that frame;
//   - KeBugCheckEx: hands the bug check to the model, which runs the
//     registered callbacks (each through KxCallDriver, on this stack).
//
// The host is reached through KiHostServices, a table of addresses the
// runner fills when it maps the image: a call through an entry stops the
// emulated processor and runs the model's routine. Nothing here returns
// into the host by a plain RET: KxCallDriverReturn is where the runner
// takes back control after a call into the driver.
//
// Built by the cross rules; never shipped.

// Register and stack conventions shared with the runner (host/runner):
//   KxCallDriver: R11 = the driver routine; RCX, RDX, R8, R9 = its first
//     four arguments; the runner writes the rest into the outgoing argument
//     area of KxCallDriver's frame (KxCallDriverFrame - 0x88 + 0x20 + 8*k
//     for argument 4 + k, where KxCallDriverFrame is RSP at entry).
//   Trap entries: entered with RSP at a machine frame the runner built
//     (with an error code for the faults that push one); RCX, RDX, R8, R9,
//     R10 = the bug check code and its four parameters.
asm(R"(
    .text

    .globl KxCallDriver
    .def KxCallDriver; .scl 2; .type 32; .endef
    .seh_proc KxCallDriver
KxCallDriver:
    sub $0x88, %rsp
    .seh_stackalloc 0x88
    .seh_endprologue
    call *%r11
    .globl KxCallDriverReturn
KxCallDriverReturn:
    # The runner stops here and reads RAX. Should it ever resume, the
    # kernel has nothing to return to.
    ud2
    .seh_endproc

    .globl KeBugCheckEx
    .def KeBugCheckEx; .scl 2; .type 32; .endef
    .seh_proc KeBugCheckEx
KeBugCheckEx:
    sub $0x38, %rsp
    .seh_stackalloc 0x38
    .seh_endprologue
    mov 0x60(%rsp), %rax
    mov %rax, 0x20(%rsp)
    call *KiHostServices(%rip)
    # The machine stopped in the bug check; nothing runs after it.
    ud2
    .seh_endproc

    # A trap entry: the processor left a machine frame (with or without an
    # error code); the entry calls KeBugCheckEx with the bug check the
    # runner chose, so the walk meets KeBugCheckEx, then this entry, then,
    # through the machine frame, the faulting instruction.
    .macro TRAP_ENTRY name, errorcode
    .globl \name
    .def \name; .scl 2; .type 32; .endef
    .seh_proc \name
\name:
    .if \errorcode
    .seh_pushframe @code
    .else
    .seh_pushframe
    .endif
    push %rbp
    .seh_pushreg %rbp
    # Keep RSP 16-byte aligned at the call: the processor aligned the
    # frame's base, and the error code shifts it by 8.
    .if \errorcode
    sub $0x28, %rsp
    .seh_stackalloc 0x28
    .else
    sub $0x30, %rsp
    .seh_stackalloc 0x30
    .endif
    .seh_endprologue
    mov %r10, 0x20(%rsp)
    call KeBugCheckEx
    ud2
    .seh_endproc
    .endm

    TRAP_ENTRY KiDivideErrorFault, 0
    TRAP_ENTRY KiDebugTrapOrFault, 0
    TRAP_ENTRY KiBreakpointTrap, 0
    TRAP_ENTRY KiOverflowTrap, 0
    TRAP_ENTRY KiBoundFault, 0
    TRAP_ENTRY KiInvalidOpcodeFault, 0
    TRAP_ENTRY KiDoubleFaultAbort, 1
    TRAP_ENTRY KiGeneralProtectionFault, 1
    TRAP_ENTRY KiPageFault, 1
    TRAP_ENTRY KiXmmException, 0
    TRAP_ENTRY KiRaiseAssertion, 0
    TRAP_ENTRY KiRaiseSecurityCheckFailure, 0

    .data
    .p2align 3
    .globl KiHostServices
KiHostServices:
    # 0: the model's bug check
    .quad 0
    .quad 0
    .quad 0
    .quad 0

    .section .drectve,"yn"
    .ascii " -export:KxCallDriver"
    .ascii " -export:KxCallDriverReturn"
    .ascii " -export:KeBugCheckEx"
    .ascii " -export:KiDivideErrorFault"
    .ascii " -export:KiDebugTrapOrFault"
    .ascii " -export:KiBreakpointTrap"
    .ascii " -export:KiOverflowTrap"
    .ascii " -export:KiBoundFault"
    .ascii " -export:KiInvalidOpcodeFault"
    .ascii " -export:KiDoubleFaultAbort"
    .ascii " -export:KiGeneralProtectionFault"
    .ascii " -export:KiPageFault"
    .ascii " -export:KiXmmException"
    .ascii " -export:KiRaiseAssertion"
    .ascii " -export:KiRaiseSecurityCheckFailure"
    .ascii " -export:KiHostServices,DATA"
)");

// The image's entry point: the runner never calls it.
extern "C" long KiSystemStartup(void*)
{
    return 0;
}
