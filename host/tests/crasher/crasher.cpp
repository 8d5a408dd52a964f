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
// symbolizer name every one of them. Built by the cross rules; never
// shipped.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

namespace {

// How CrasherFault touches the address: the values the runner passes for
// the scenario's "access", and a flag for its "wild_frame".
enum CrasherAccess : ULONG {
    CrasherRead = 0,
    CrasherWrite = 1,
    CrasherExecute = 2,
    CrasherAccessMask = 0xFF,
    // The frame pointer is lost just before the access: unwinding the
    // faulting frame then reads where nothing is mapped.
    CrasherWildFrame = 0x100,
};
// Nothing is mapped at the bottom of the address space.
constexpr ULONG64 WildFramePointer = 0x40;

volatile ULONG64 Sink;

}  // namespace

extern "C" {

DECLSPEC_NOINLINE ULONG64 CrasherConsume(ULONG64 value)
{
    Sink = value;
    return value + 1;
}

// The innermost function: its access faults. It calls on afterwards, so
// it is no leaf and the walk unwinds it with its own unwind data; its
// block's size is known only at run time, so that data finds the frame
// through the frame pointer.
DECLSPEC_NOINLINE ULONG64 CrasherTouch(ULONG64 address, ULONG access)
{
    auto* local = static_cast<volatile ULONG64*>(
        __builtin_alloca(sizeof(ULONG64) * (1 + (access & CrasherWildFrame ? 1 : 0))));
    *local = address ^ access;
    ULONG64 value = 0;
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
