// Calls into driver code built for the host: a routine of the host image
// (or a test's stand-in) called with its arguments as 64-bit slots.
//
// Every routine the kernel calls in a driver takes pointers and integers
// only, so on x86-64 each argument travels in one register or one 8-byte
// stack slot whatever its declared type; passing all eight slots puts each
// where the routine looks for it, and the ones it does not declare are
// never read. A narrower result is read from the low bits of RAX.
//
// The call goes through KxCallDriver, as every call from the kernel into
// the driver does in the model's kernel image: a walk of the stack from
// driver code returns into KxCallDriver and, through the frame-pointer
// frame it keeps, on to whatever the kernel was doing (see host_frames.cpp).
#include "core/machine_state.h"

extern "C" __attribute__((visibility("hidden"))) uint64_t
KxCallDriver(const void* routine, const uint64_t* slots);

namespace model {

uint64_t CallNativeRoutine(const DriverCall& call)
{
    static_assert(MaxDriverCallArguments == 8, "KxCallDriver passes eight slots");
    return KxCallDriver(call.Routine, call.Arguments);
}

}  // namespace model

#if defined(__x86_64__)
// KxCallDriver(routine in RDI, eight slots at RSI): slots 0 to 5 in RDI,
// RSI, RDX, RCX, R8, R9, slots 6 and 7 on the stack, as the System V
// convention passes them. The unwind information lets the model's
// exceptions (a call ended by a fault, a processor abandoned) pass through.
__asm__(R"(
    .text
    .globl KxCallDriver
    .hidden KxCallDriver
    .type KxCallDriver, @function
KxCallDriver:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    subq $16, %rsp
    movq %rdi, %r11
    movq %rsi, %r10
    movq 48(%r10), %rax
    movq %rax, (%rsp)
    movq 56(%r10), %rax
    movq %rax, 8(%rsp)
    movq (%r10), %rdi
    movq 8(%r10), %rsi
    movq 16(%r10), %rdx
    movq 24(%r10), %rcx
    movq 32(%r10), %r8
    movq 40(%r10), %r9
    xorl %eax, %eax
    call *%r11
    .globl KxCallDriverReturn
    .hidden KxCallDriverReturn
KxCallDriverReturn:
    leave
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size KxCallDriver, .-KxCallDriver
)");
#else
#error "the model's KxCallDriver is written for x86-64 hosts"
#endif
