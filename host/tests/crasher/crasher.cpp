// crasher.sys: a test driver that crashes on request, so that a test sees
// vekcrashdmp.sys report a bug check raised in another driver's code, as a
// user would meet it. The runner maps it beside vekcrashdmp.sys from the
// machine's start (machine.test_drivers); a scenario's "crasher" event
// calls CrasherFault, which raises the IRQL to DISPATCH_LEVEL and goes down
// a chain of its own functions to an access of the address it was given.
// The page fault at DISPATCH_LEVEL is bug check 0xD1.
//
// Each function of the chain keeps a frame, unwind data and a distinct
// body (the linker folds identical functions), so that a stack walk and a
// symbolizer name every one of them. On request the access is made from a
// frame that a stack walk cannot unwind whole (a frame pointer lost, a
// stack pointer in a hole, a frame whose saved register or return address
// lies on a page that is out): the assembly functions below, each with
// unwind data of its own. Built by the cross rules; never shipped.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

namespace {

// How CrasherFault touches the address: the values the runner passes for
// the scenario's "access", and a flag for its "wild_frame" or for the
// frame its "damaged_frame" names.
enum CrasherAccess : ULONG {
    CrasherRead = 0,
    CrasherWrite = 1,
    CrasherExecute = 2,
    CrasherAccessMask = 0xFF,
    // The frame pointer is lost just before the access: unwinding the
    // faulting frame then reads where nothing is mapped.
    CrasherWildFrame = 0x100,
    // The access is made by CrasherSlotOnPageOut, on CrasherStack, whose
    // unwind data saves RBX in the slot just above the page's top; the
    // scenario pages out the page above.
    CrasherSlotOut = 0x200,
    // ... by CrasherReturnOnPageOut, whose return address is the first
    // word of the page above.
    CrasherReturnOut = 0x400,
    // ... by CrasherStackInHole, with the stack pointer where nothing is
    // mapped.
    CrasherStackInHole = 0x800,
    CrasherOtherFrameMask = CrasherSlotOut | CrasherReturnOut | CrasherStackInHole,
};
// Nothing is mapped at the bottom of the address space.
constexpr ULONG64 WildFramePointer = 0x40;

volatile ULONG64 Sink;

}  // namespace

extern "C" {

// A stack of the crasher's own for the frames whose data lies on a page
// that is out: the damaged frame on the first page, up to its top, the
// data it leaves above on the second. It lies in a pageable section (a
// name starting with PAGE), whose pages the memory manager may page out
// whenever the driver has not locked them; the scenario takes the second
// page out. Exported so that the scenario finds it.
#pragma section("PAGEDATA", read, write)
__declspec(dllexport) __declspec(allocate("PAGEDATA")) __declspec(align(PAGE_SIZE))
UCHAR CrasherStack[2 * PAGE_SIZE];

// The assembly below: CrasherOnOtherFrame(address, access, top of the
// first page of CrasherStack) makes the access from the frame the access
// flags name, and returns what it read when the access did not fault.
ULONG64 CrasherOnOtherFrame(ULONG64 address, ULONG access, ULONG64 stackTop);

DECLSPEC_NOINLINE ULONG64 CrasherConsume(ULONG64 value)
{
    Sink = value;
    return value + 1;
}

// The innermost function: its access faults. It calls on afterwards, so
// it is no leaf and the walk unwinds it with its own unwind data; its
// block's size is known only at run time, so that data finds the frame
// through the frame pointer.
// Exported so that the scenario finds its unwind data (unwind_data_out).
__declspec(dllexport) DECLSPEC_NOINLINE ULONG64 CrasherTouch(ULONG64 address, ULONG access)
{
    auto* local = static_cast<volatile ULONG64*>(
        __builtin_alloca(sizeof(ULONG64) * (1 + (access & CrasherWildFrame ? 1 : 0))));
    *local = address ^ access;
    ULONG64 value = 0;
    if ((access & CrasherOtherFrameMask) != 0) {
        value = CrasherOnOtherFrame(address, access, reinterpret_cast<ULONG_PTR>(CrasherStack) + PAGE_SIZE);
        return CrasherConsume(value + *local);
    }
    if ((access & CrasherWildFrame) != 0) {
        // RBP is the frame pointer: the compiler gives it to no operand, and
        // nothing after the wild value may use it, so the access itself is
        // made here, of the kind asked for.
        switch (access & CrasherAccessMask) {
        case CrasherWrite:
            __asm__ volatile("movq %[wild], %%rbp\n\tmovq %[at], (%[at])"
                             :
                             : [at] "r"(address), [wild] "i"(WildFramePointer)
                             : "memory");
            break;
        case CrasherExecute:
            __asm__ volatile("movq %[wild], %%rbp\n\tcallq *%[at]"
                             :
                             : [at] "r"(address), [wild] "i"(WildFramePointer)
                             : "memory");
            break;
        default:
            __asm__ volatile("movq %[wild], %%rbp\n\tmovq (%[at]), %[out]"
                             : [out] "=r"(value)
                             : [at] "r"(address), [wild] "i"(WildFramePointer)
                             : "memory");
            break;
        }
    }
    switch (access & CrasherAccessMask) {
    case CrasherWrite:
        *reinterpret_cast<volatile ULONG64*>(address) = *local;
        break;
    case CrasherExecute:
        value = reinterpret_cast<ULONG64 (*)(ULONG64)>(address)(*local);
        break;
    default:
        value += *reinterpret_cast<volatile ULONG64*>(address);
        break;
    }
    return CrasherConsume(value + *local);
}

DECLSPEC_NOINLINE ULONG64 CrasherMiddle(ULONG64 address, ULONG access)
{
    ULONG64 value = CrasherTouch(address, access);
    return CrasherConsume(value * 3);
}

DECLSPEC_NOINLINE ULONG64 CrasherOuter(ULONG64 address, ULONG access)
{
    ULONG64 value = CrasherMiddle(address, access);
    return CrasherConsume(value ^ 0x5A5A);
}

// What the kernel calls for the scenario's event, at PASSIVE_LEVEL.
__declspec(dllexport) NTSTATUS CrasherFault(ULONG64 address, ULONG access)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ULONG64 value = CrasherOuter(address, access);
    KeLowerIrql(old);
    // Reached only when the access did not fault.
    return value == 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

// Loading it does nothing: the runner maps it and never calls its entry.
NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}

}  // extern "C"

// The frames a stack walk cannot unwind whole. Each makes the access of
// the kind in the low byte of EDX (0 read, 1 write, 2 execute) at RCX; an
// access that does not fault returns what it read through
// CrasherOnOtherFrame.
//
// CrasherOnOtherFrame(RCX address, EDX access, R8 top of CrasherStack's
// first page) keeps the caller's stack pointer in RBP (its frame register)
// and goes on to the frame the access flags name.
//
// CrasherSlotOnPageOut is called on CrasherStack with its return address
// in the first page's last word; its unwind data says that it saved RBX in
// the caller's home space, the slot above the return address: on the
// second page, which is out. The store itself is left out: a function
// makes it before the page goes out, which the crasher cannot stage (the
// page is out from the start, and a store to it would fault first).
//
// CrasherReturnOnPageOut is entered by a jump with the stack pointer at
// the second page's start, so that its return address would be the second
// page's first word: it and the frame above it lie on the page that is out.
//
// CrasherStackInHole moves the stack pointer to where nothing is mapped
// and makes the access there: the processor cannot push the page fault's
// frame, and the page fault becomes a double fault.
asm(R"(
    .text
    .macro CRASHER_ACCESS
    cmp $1, %dl
    je 1f
    cmp $2, %dl
    je 2f
    mov (%rcx), %rax
    jmp 3f
1:  mov %rcx, (%rcx)
    mov %rcx, %rax
    jmp 3f
2:  call *%rcx
    # Where a call's return lands, no epilogue begins: the unwinder runs
    # the frame's unwind codes from here, not the rest of an epilogue.
3:  nop
    .endm

    .globl CrasherOnOtherFrame
    .def CrasherOnOtherFrame; .scl 2; .type 32; .endef
    .seh_proc CrasherOnOtherFrame
CrasherOnOtherFrame:
    push %rbp
    .seh_pushreg %rbp
    mov %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    test $0x800, %edx
    jnz 4f
    mov %r8, %rsp
    test $0x400, %edx
    jnz 5f
    call CrasherSlotOnPageOut
    jmp CrasherOnOtherFrameReturn
4:  call CrasherStackInHole
    jmp CrasherOnOtherFrameReturn
5:  jmp CrasherReturnOnPageOut
CrasherOnOtherFrameReturn:
    mov %rbp, %rsp
    pop %rbp
    ret
    .seh_endproc

    .globl CrasherSlotOnPageOut
    .def CrasherSlotOnPageOut; .scl 2; .type 32; .endef
    .seh_proc CrasherSlotOnPageOut
CrasherSlotOnPageOut:
    sub $0x28, %rsp
    .seh_stackalloc 0x28
    nop
    .seh_savereg %rbx, 0x38
    .seh_endprologue
    CRASHER_ACCESS
    add $0x28, %rsp
    ret
    .seh_endproc

    .globl CrasherReturnOnPageOut
    .def CrasherReturnOnPageOut; .scl 2; .type 32; .endef
    .seh_proc CrasherReturnOnPageOut
CrasherReturnOnPageOut:
    sub $0x28, %rsp
    .seh_stackalloc 0x28
    .seh_endprologue
    CRASHER_ACCESS
    # Nothing to return to on the page that is out: back to the caller's
    # frame, whose RBP still holds its stack.
    jmp CrasherOnOtherFrameReturn
    .seh_endproc

    .globl CrasherStackInHole
    .def CrasherStackInHole; .scl 2; .type 32; .endef
    .seh_proc CrasherStackInHole
CrasherStackInHole:
    push %rbx
    .seh_pushreg %rbx
    sub $0x20, %rsp
    .seh_stackalloc 0x20
    .seh_endprologue
    mov %rsp, %rbx
    # The bottom of the address space, where nothing is mapped.
    mov $0x10000, %rsp
    CRASHER_ACCESS
    mov %rbx, %rsp
    add $0x20, %rsp
    pop %rbx
    ret
    .seh_endproc
)");
