// The driver's one view of the kernel.
//
// Every driver source includes this header and nothing else from outside
// the driver tree. Two kernels stand behind it:
//   - the real Windows kernel (cross build of vekcrashdmp.sys): the kit
//     headers plus the few declarations they lack (kernel_cross.h);
//   - the model kernel (host build): the same names and layouts, served by
//     a Linux library for tests, sanitizers and the simulator.
// The small shims below (port and register access, wide literals) are the
// only places where the two builds differ in the driver's own code.
#pragma once

#if defined(VEK_MODEL_KERNEL)
#include "ntmodel/ntmodel.h"
#else
#include "driver/kernel_cross.h"
#endif

// Keeps a routine in a frame of its own: stack traces count the frames, and
// clang's __try sees only faults raised in a routine the guarded body calls.
#ifndef DECLSPEC_NOINLINE
#if defined(VEK_MODEL_KERNEL)
#define DECLSPEC_NOINLINE __attribute__((noinline))
#else
#define DECLSPEC_NOINLINE __declspec(noinline)
#endif
#endif

// A read of memory the driver does not own (another routine's stack), which
// the caller has vouched for with MmIsAddressValid. In the host build the
// sanitizer's poisoning of foreign stack slots is no fault of the driver.
#if defined(VEK_MODEL_KERNEL)
#define UNOWNED_MEMORY_READ __attribute__((no_sanitize_address))
#else
#define UNOWNED_MEMORY_READ
#endif

// Wide string literal in the kernel's 16-bit WCHAR.
#if defined(VEK_MODEL_KERNEL)
#define WIDE(text) u##text
#else
#define WIDE(text) L##text
#endif

// Byte port and device register access. Real hardware takes the
// processor's IN/OUT and plain volatile accesses; the model kernel routes
// each access to its device models so that tests can see every one.
#if defined(VEK_MODEL_KERNEL)

inline UCHAR PortReadByte(USHORT Port) { return ModelPortReadByte(Port); }
inline void PortWriteByte(USHORT Port, UCHAR Value) { ModelPortWriteByte(Port, Value); }
inline UCHAR RegisterReadByte(const volatile UCHAR* Address) { return ModelRegisterReadByte(Address); }
inline void RegisterWriteByte(volatile UCHAR* Address, UCHAR Value)
{
    ModelRegisterWriteByte(Address, Value);
}

#else

inline UCHAR PortReadByte(USHORT Port) { return __inbyte(Port); }
inline void PortWriteByte(USHORT Port, UCHAR Value) { __outbyte(Port, Value); }
inline UCHAR RegisterReadByte(const volatile UCHAR* Address) { return *Address; }
// The full barrier keeps the device from seeing a later access (the next
// status poll) before this write has reached it.
inline void RegisterWriteByte(volatile UCHAR* Address, UCHAR Value)
{
    *Address = Value;
    _mm_mfence();
}

#endif

// Atomic operations, the full barrier and PAUSE: the processor's own
// instructions in the shipped image; the model counts a PAUSE as a spinning
// processor.
#if defined(VEK_MODEL_KERNEL)

// clang-tidy does not see the __atomic builtins write through Target.
// NOLINTBEGIN(readability-non-const-parameter)
inline LONG AtomicIncrement(volatile LONG* Target)
{
    return __atomic_add_fetch(Target, 1, __ATOMIC_SEQ_CST);
}
inline LONG AtomicDecrement(volatile LONG* Target)
{
    return __atomic_sub_fetch(Target, 1, __ATOMIC_SEQ_CST);
}
// Returns the value the target held before.
inline LONG AtomicCompareExchange(volatile LONG* Target, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Target, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG AtomicExchange(volatile LONG* Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
// NOLINTEND(readability-non-const-parameter)
inline VOID FullBarrier() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
// A spin-wait hint: the model's other processors may run meanwhile.
inline VOID ProcessorPause() { ModelPause(); }

#else

inline LONG AtomicIncrement(volatile LONG* Target) { return InterlockedIncrement(Target); }
inline LONG AtomicDecrement(volatile LONG* Target) { return InterlockedDecrement(Target); }
inline LONG AtomicCompareExchange(volatile LONG* Target, LONG Exchange, LONG Comparand)
{
    return InterlockedCompareExchange(Target, Exchange, Comparand);
}
inline LONG AtomicExchange(volatile LONG* Target, LONG Value)
{
    return InterlockedExchange(Target, Value);
}
inline VOID FullBarrier() { _mm_mfence(); }
inline VOID ProcessorPause() { _mm_pause(); }

#endif

// CPUID and the model-specific registers. The shipped image executes the
// instructions; the model answers from its processor and hypervisor, and an
// MSR it does not offer faults as #GP does on the processor. Every CPUID
// query sets ECX to sub-leaf 0: a leaf that takes a sub-leaf answers by it,
// and ECX otherwise holds whatever the code before left there.
constexpr ULONG CpuidSubleafZero = 0;
#if defined(VEK_MODEL_KERNEL)

inline void ProcessorCpuid(ULONG Leaf, ULONG Registers[4])
{
    ModelCpuid(Leaf, CpuidSubleafZero, Registers);
}
inline ULONG64 ReadMsr(ULONG Msr)
{
    ULONG64 value = 0;
    if (!ModelReadMsr(Msr, &value)) {
        ModelRefusedInstruction();
    }
    return value;
}
inline void WriteMsr(ULONG Msr, ULONG64 Value)
{
    if (!ModelWriteMsr(Msr, Value)) {
        ModelRefusedInstruction();
    }
}

#else

inline void ProcessorCpuid(ULONG Leaf, ULONG Registers[4])
{
    __cpuidex(reinterpret_cast<int*>(Registers), static_cast<int>(Leaf),
              static_cast<int>(CpuidSubleafZero));
}
inline ULONG64 ReadMsr(ULONG Msr) { return __readmsr(Msr); }
inline void WriteMsr(ULONG Msr, ULONG64 Value) { __writemsr(Msr, Value); }

#endif

// Stops the system at once for memory found corrupt (a broken list link):
// bug check 0x139 with the code. Nothing after it runs.
constexpr ULONG FastFailCorruptListEntry = 3;
#if defined(VEK_MODEL_KERNEL)
[[noreturn]] inline void FailFast(ULONG Code) { ModelFailFast(Code); }
#else
[[noreturn]] inline void FailFast(ULONG Code) { __fastfail(Code); }
#endif

// The shared user data page (KUSER_SHARED_DATA), where the kernel keeps the
// clock for every reader. On x64 the kit's KeQuerySystemTime is no routine
// but a read of this page, and no x64 ntoskrnl.exe exports one: an image
// importing it fails to load (0xC0000263). The page is always mapped and
// never paged, so reading it is safe at any IRQL, HIGH_LEVEL included.
// Offsets are the record's in every x64 kernel from Windows 7 on.
constexpr ULONG SharedUserDataSystemTime = 0x14;  // KSYSTEM_TIME, 100 ns since 1601, UTC
#if defined(VEK_MODEL_KERNEL)
inline const volatile UCHAR* SharedUserDataPage() { return ModelSharedUserData(); }
#else
// Where every x64 kernel maps the page for kernel-mode readers.
constexpr ULONG64 SharedUserDataAddress = 0xFFFFF78000000000ull;
static_assert(SharedUserDataAddress == KI_USER_SHARED_DATA, "the kit's address of the page");
static_assert(FIELD_OFFSET(KUSER_SHARED_DATA, SystemTime) == SharedUserDataSystemTime,
              "KUSER_SHARED_DATA layout");
inline const volatile UCHAR* SharedUserDataPage()
{
    return reinterpret_cast<const volatile UCHAR*>(SharedUserDataAddress);
}
#endif
static_assert(sizeof(KSYSTEM_TIME) == 12, "KSYSTEM_TIME layout");

// The system time as the clock interrupt last stored it (15.625 ms steps by
// default), read as a KSYSTEM_TIME must be: the kernel writes High2Time,
// LowPart, then High1Time, so a read that sees High1Time equal to High2Time
// (read in the opposite order) did not meet a write half done. Allocates
// nothing and calls nothing: fit for the bug check report.
inline VOID ReadSharedSystemTime(PLARGE_INTEGER CurrentTime)
{
    const volatile KSYSTEM_TIME* time = reinterpret_cast<const volatile KSYSTEM_TIME*>(
        SharedUserDataPage() + SharedUserDataSystemTime);
    LONG high;
    ULONG low;
    do {
        high = time->High1Time;
        low = time->LowPart;
    } while (high != time->High2Time);
    CurrentTime->u.LowPart = low;
    CurrentTime->u.HighPart = high;
}

// Routines the driver finds at run time with MmGetSystemRoutineAddress,
// since older kernels lack them.
// The system time to the tick counter's precision (Windows 8 on).
typedef VOID(NTAPI* KeQuerySystemTimePreciseRoutine)(PLARGE_INTEGER CurrentTime);
typedef PVOID(NTAPI* MmMapIoSpaceExRoutine)(PHYSICAL_ADDRESS PhysicalAddress,
                                            SIZE_T NumberOfBytes, ULONG Protect);
typedef NTSTATUS(NTAPI* NtQuerySystemInformationRoutine)(ULONG SystemInformationClass,
                                                          PVOID SystemInformation,
                                                          ULONG SystemInformationLength,
                                                          PULONG ReturnLength);
// Lists the loaded kernel-mode images: a first call with a null buffer sets
// InformationLength to the bytes needed; SizePerModule 8 (bases) or 272
// (RTL_MODULE_EXTENDED_INFO).
typedef NTSTATUS(NTAPI* RtlQueryModuleInformationRoutine)(PULONG InformationLength,
                                                          ULONG SizePerModule,
                                                          PVOID InformationBuffer);

// Creates a named device with the security a descriptor string gives it
// (kernels that offer it; the kit's own copy is a static library).
typedef NTSTATUS(NTAPI* IoCreateDeviceSecureRoutine)(PDRIVER_OBJECT DriverObject,
                                                     ULONG DeviceExtensionSize,
                                                     PUNICODE_STRING DeviceName,
                                                     DEVICE_TYPE DeviceType,
                                                     ULONG DeviceCharacteristics,
                                                     BOOLEAN Exclusive,
                                                     PCUNICODE_STRING DefaultSDDLString,
                                                     LPCGUID DeviceClassGuid,
                                                     PDEVICE_OBJECT* DeviceObject);
// Converts a descriptor string into a self-relative descriptor in paged
// pool, which the caller frees.
typedef NTSTATUS(NTAPI* SeConvertStringSecurityDescriptorRoutine)(
    PCWSTR StringSecurityDescriptor, ULONG StringSDRevision,
    PSECURITY_DESCRIPTOR* SecurityDescriptor, PULONG SecurityDescriptorSize);

// Runs Routine(Context) so that a processor fault inside it ends the routine
// instead of the machine: returns the routine's status, or the exception
// code (an NTSTATUS error such as STATUS_ACCESS_VIOLATION) when a fault ended
// it. Only what the kernel dispatches as an exception reaches it: a general
// protection fault, a divide error, a raised exception, and a page fault on
// a user-space address below DISPATCH_LEVEL. A page fault on a system-space
// address (bug check 0x50 at any IRQL), any page fault at DISPATCH_LEVEL and
// above, and so any during the bug check's own report (a second, nested bug
// check) are never the guard's: code that runs there tests each address
// with MmIsAddressValid before it reads (report/context_stack.cpp).
typedef NTSTATUS(NTAPI* GuardedRoutine)(PVOID Context);

#if defined(VEK_MODEL_KERNEL)

// The model ends guarded work that faults (a checked access or a kernel
// routine that bug checks inside it) and returns the failure.
inline NTSTATUS RunGuarded(GuardedRoutine Routine, PVOID Context)
{
    return ModelRunGuarded(Routine, Context);
}

#else

// clang 14 catches only a fault inside a function the guarded body calls,
// never one raised by the body's own instructions: the call stays a call.
__declspec(noinline) inline NTSTATUS CallGuardedRoutine(GuardedRoutine Routine, PVOID Context)
{
    return Routine(Context);
}

// Not inlined, so its scope table is its own and the image gate can name it.
__declspec(noinline) inline NTSTATUS RunGuarded(GuardedRoutine Routine, PVOID Context)
{
    NTSTATUS status;
    __try {
        status = CallGuardedRoutine(Routine, Context);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = static_cast<NTSTATUS>(GetExceptionCode());
    }
    return status;
}

#endif
