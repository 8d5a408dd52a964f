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

// The unwinding routines and their records; the kit declares them only for
// user mode (winnt.h), which a kernel build cannot include.
typedef struct _KNONVOLATILE_CONTEXT_POINTERS {
    PM128A FloatingContext[16];
    PULONG64 IntegerContext[16];
} KNONVOLATILE_CONTEXT_POINTERS, *PKNONVOLATILE_CONTEXT_POINTERS;

typedef struct _RUNTIME_FUNCTION {
    ULONG BeginAddress;
    ULONG EndAddress;
    ULONG UnwindData;
} RUNTIME_FUNCTION, *PRUNTIME_FUNCTION;

#ifndef UNW_FLAG_UHANDLER
#define UNW_FLAG_UHANDLER 0x2
#endif

NTSYSAPI VOID NTAPI RtlCaptureContext(PCONTEXT ContextRecord);
NTSYSAPI PRUNTIME_FUNCTION NTAPI RtlLookupFunctionEntry(ULONG64 ControlPc, PULONG64 ImageBase,
                                                        PVOID HistoryTable);
NTSYSAPI PVOID NTAPI RtlVirtualUnwind(ULONG HandlerType, ULONG64 ImageBase, ULONG64 ControlPc,
                                      PRUNTIME_FUNCTION FunctionEntry, PCONTEXT ContextRecord,
                                      PVOID* HandlerData, PULONG64 EstablisherFrame,
                                      PKNONVOLATILE_CONTEXT_POINTERS ContextPointers);

} // extern "C"

static_assert(sizeof(CONTEXT) == 1232, "CONTEXT layout");
static_assert(sizeof(KNONVOLATILE_CONTEXT_POINTERS) == 256, "context pointers layout");
static_assert(sizeof(RUNTIME_FUNCTION) == 12, "RUNTIME_FUNCTION layout");

// System information classes the driver queries.
#define SystemFirmwareTableInformation 76
#define SystemPoolZeroingInformation 227
#define SystemModuleInformation 11

// Bits of IMAGE_INFO.Properties, for code that tests the word as a whole
// (the kit's record names only the first three bit fields).
#define IMAGE_INFO_SYSTEM_MODE_IMAGE 0x00000100u
#define IMAGE_INFO_MAPPED_TO_ALL_PIDS 0x00000200u
#define IMAGE_INFO_EXTENDED_INFO_PRESENT 0x00000400u
static_assert(sizeof(IMAGE_INFO) == 40, "IMAGE_INFO layout");
static_assert(FIELD_OFFSET(IMAGE_INFO, ImageBase) == 8, "IMAGE_INFO layout");
static_assert(FIELD_OFFSET(IMAGE_INFO, ImageSize) == 24, "IMAGE_INFO layout");

// The records of system information class SystemModuleInformation and of
// RtlQueryModuleInformation, which the kit headers do not declare.
typedef struct _RTL_PROCESS_MODULE_INFORMATION {
    HANDLE Section;
    PVOID MappedBase;
    PVOID ImageBase;
    ULONG ImageSize;
    ULONG Flags;
    USHORT LoadOrderIndex;
    USHORT InitOrderIndex;
    USHORT LoadCount;
    USHORT OffsetToFileName;
    UCHAR FullPathName[256];
} RTL_PROCESS_MODULE_INFORMATION, *PRTL_PROCESS_MODULE_INFORMATION;
static_assert(sizeof(RTL_PROCESS_MODULE_INFORMATION) == 296, "module information layout");
static_assert(FIELD_OFFSET(RTL_PROCESS_MODULE_INFORMATION, FullPathName) == 40, "layout");

typedef struct _RTL_PROCESS_MODULES {
    ULONG NumberOfModules;
    RTL_PROCESS_MODULE_INFORMATION Modules[1];
} RTL_PROCESS_MODULES, *PRTL_PROCESS_MODULES;
static_assert(sizeof(RTL_PROCESS_MODULES) == 304, "RTL_PROCESS_MODULES layout");

typedef struct _RTL_MODULE_BASIC_INFO {
    PVOID ImageBase;
} RTL_MODULE_BASIC_INFO, *PRTL_MODULE_BASIC_INFO;

typedef struct _RTL_MODULE_EXTENDED_INFO {
    RTL_MODULE_BASIC_INFO BasicInfo;
    ULONG ImageSize;
    USHORT FileNameOffset;
    UCHAR FullPathName[256];
} RTL_MODULE_EXTENDED_INFO, *PRTL_MODULE_EXTENDED_INFO;
static_assert(sizeof(RTL_MODULE_EXTENDED_INFO) == 272, "RTL_MODULE_EXTENDED_INFO layout");
static_assert(FIELD_OFFSET(RTL_MODULE_EXTENDED_INFO, FullPathName) == 14, "layout");
