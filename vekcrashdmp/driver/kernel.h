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

// Routines the driver finds at run time with MmGetSystemRoutineAddress,
// since older kernels lack them.
typedef PVOID(NTAPI* MmMapIoSpaceExRoutine)(PHYSICAL_ADDRESS PhysicalAddress,
                                            SIZE_T NumberOfBytes, ULONG Protect);
typedef NTSTATUS(NTAPI* NtQuerySystemInformationRoutine)(ULONG SystemInformationClass,
                                                          PVOID SystemInformation,
                                                          ULONG SystemInformationLength,
                                                          PULONG ReturnLength);
