// The real kernel, for the cross build of vekcrashdmp.sys: the mingw-w64
// kit headers, mended where they are faulty, plus the declarations they
// lack. Included only through kernel.h.
#pragma once

// The kit headers define these two intrinsics twice; claim them first.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

// The kit's version does not parenthesise its argument, so
// KeInitializeCallbackRecord(&Record) does not compile.
#undef KeInitializeCallbackRecord
#define KeInitializeCallbackRecord(CallbackRecord) ((CallbackRecord)->State = BufferEmpty)

extern "C" {

// Exported by ntoskrnl.exe but not declared by the kit headers.
__declspec(dllimport) extern ULONG_PTR KiBugCheckData[5];

NTSYSAPI NTSTATUS NTAPI ZwQuerySystemInformation(ULONG SystemInformationClass,
                                                 PVOID SystemInformation,
                                                 ULONG SystemInformationLength,
                                                 PULONG ReturnLength);

NTKERNELAPI VOID NTAPI KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime);

} // extern "C"

// System information classes the driver queries.
#define SystemFirmwareTableInformation 76
#define SystemPoolZeroingInformation 227
