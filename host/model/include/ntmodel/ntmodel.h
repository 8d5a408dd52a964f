// The model kernel as the driver sees it: the Windows x64 kernel's names,
// types and layouts, with the routines served by the model library.
//
// Every record here has the real x64 layout (fixed-width integers, 16-bit
// WCHAR, 8-byte pointers), checked by static_assert, so that the shipped
// image can later run against the same model with pointers passed as they
// are. Only what the driver uses is declared.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Scalar types
// ---------------------------------------------------------------------------
typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef int16_t CSHORT;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t ULONG64;
typedef ULONG64* PULONG64;
typedef uint64_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef uint64_t SIZE_T;
typedef int32_t NTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef ULONG DEVICE_TYPE;
typedef ULONG LOGICAL;
typedef PVOID HANDLE;

static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits on Windows");
static_assert(sizeof(PVOID) == 8, "64-bit pointers");

#define TRUE 1
#define FALSE 0
#define NTAPI
#define NTKERNELAPI
#define NTSYSAPI
#define ANYSIZE_ARRAY 1

// Annotations of the kit headers; the model checks the contracts they state
// at run time instead.
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _Outptr_result_nullonfailure_
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_same_
#define _Use_decl_annotations_
#define _Function_class_(name)
#define _Must_inspect_result_
#define _Printf_format_string_
#define UNREFERENCED_PARAMETER(P) ((void)(P))

#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))

#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_UNEXPECTED_MM_MAP_ERROR ((NTSTATUS)0xC00000EBL)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_PROCEDURE_NOT_FOUND ((NTSTATUS)0xC000007AL)
#define STATUS_INTEGER_OVERFLOW ((NTSTATUS)0xC0000095L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_INVALID_PARAMETER_1 ((NTSTATUS)0xC00000EFL)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#define STATUS_INVALID_PARAMETER_3 ((NTSTATUS)0xC00000F1L)
#define STATUS_OBJECTID_EXISTS ((NTSTATUS)0xC000022BL)

// ---------------------------------------------------------------------------
// IRQL
// ---------------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------
typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef LARGE_INTEGER PHYSICAL_ADDRESS;
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER layout");

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING layout");
static_assert(offsetof(UNICODE_STRING, Buffer) == 8, "UNICODE_STRING layout");

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;
static_assert(sizeof(ANSI_STRING) == 16, "ANSI_STRING layout");
static_assert(offsetof(ANSI_STRING, Buffer) == 8, "ANSI_STRING layout");

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
static_assert(sizeof(GUID) == 16, "GUID layout");

typedef struct _TIME_FIELDS {
    CSHORT Year;
    CSHORT Month;
    CSHORT Day;
    CSHORT Hour;
    CSHORT Minute;
    CSHORT Second;
    CSHORT Milliseconds;
    CSHORT Weekday;
} TIME_FIELDS, *PTIME_FIELDS;
static_assert(sizeof(TIME_FIELDS) == 16, "TIME_FIELDS layout");

typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;
static_assert(sizeof(RTL_OSVERSIONINFOW) == 276, "RTL_OSVERSIONINFOW layout");

typedef struct _OSVERSIONINFOEXW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
    USHORT wServicePackMajor;
    USHORT wServicePackMinor;
    USHORT wSuiteMask;
    UCHAR wProductType;
    UCHAR wReserved;
} RTL_OSVERSIONINFOEXW, *PRTL_OSVERSIONINFOEXW;
static_assert(sizeof(RTL_OSVERSIONINFOEXW) == 284, "RTL_OSVERSIONINFOEXW layout");
static_assert(offsetof(RTL_OSVERSIONINFOEXW, wServicePackMajor) == 276, "layout");
static_assert(offsetof(RTL_OSVERSIONINFOEXW, wProductType) == 282, "layout");

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------
// A fixed underlying type, as MSVC gives every enum: callers OR flags such
// as the zero flag (1024) into a pool type, and without it such a value lies
// outside the enum's range, which is undefined behaviour in C++.
typedef enum _POOL_TYPE : int32_t {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;
static_assert(sizeof(POOL_TYPE) == 4, "POOL_TYPE is 32 bits");

extern "C" {
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes,
                                                   ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
}

// ---------------------------------------------------------------------------
// Driver and device objects
// ---------------------------------------------------------------------------
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;

typedef NTSTATUS NTAPI DRIVER_INITIALIZE(struct _DRIVER_OBJECT* DriverObject,
                                         PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef VOID NTAPI DRIVER_UNLOAD(struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS NTAPI DRIVER_DISPATCH(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;

#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

typedef struct alignas(16) _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CHAR StackSize;
    alignas(8) UCHAR Queue[0x48];
    ULONG AlignmentRequirement;
    alignas(8) UCHAR DeviceQueue[0x28];
    alignas(8) UCHAR Dpc[0x40];
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    alignas(8) UCHAR DeviceLock[0x18];
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension;
    PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;
static_assert(offsetof(DEVICE_OBJECT, DriverObject) == 0x08, "DEVICE_OBJECT layout");
static_assert(offsetof(DEVICE_OBJECT, Flags) == 0x30, "DEVICE_OBJECT layout");
static_assert(offsetof(DEVICE_OBJECT, DeviceExtension) == 0x40, "DEVICE_OBJECT layout");
static_assert(offsetof(DEVICE_OBJECT, DeviceType) == 0x48, "DEVICE_OBJECT layout");
static_assert(offsetof(DEVICE_OBJECT, AlignmentRequirement) == 0x98, "DEVICE_OBJECT layout");
static_assert(offsetof(DEVICE_OBJECT, SecurityDescriptor) == 0x110, "DEVICE_OBJECT layout");
static_assert(offsetof(DEVICE_OBJECT, DeviceObjectExtension) == 0x138, "DEVICE_OBJECT layout");
static_assert(sizeof(DEVICE_OBJECT) == 0x150, "DEVICE_OBJECT layout");

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;
static_assert(offsetof(DRIVER_OBJECT, DeviceObject) == 0x08, "DRIVER_OBJECT layout");
static_assert(offsetof(DRIVER_OBJECT, DriverName) == 0x38, "DRIVER_OBJECT layout");
static_assert(offsetof(DRIVER_OBJECT, DriverUnload) == 0x68, "DRIVER_OBJECT layout");
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 0x70, "DRIVER_OBJECT layout");
static_assert(sizeof(DRIVER_OBJECT) == 0x150, "DRIVER_OBJECT layout");

#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080
#define DO_DEVICE_INITIALIZING 0x00000080

extern "C" {
NTKERNELAPI NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                          PDEVICE_OBJECT* DeviceObject);
NTKERNELAPI VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                                PUNICODE_STRING DeviceName);
NTKERNELAPI NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
}

// ---------------------------------------------------------------------------
// Bug check reason callbacks
// ---------------------------------------------------------------------------
typedef enum _KBUGCHECK_CALLBACK_REASON {
    KbCallbackInvalid = 0,
    KbCallbackReserved1 = 1,
    KbCallbackSecondaryDumpData = 2,
    KbCallbackDumpIo = 3,
    KbCallbackAddPages = 4,
} KBUGCHECK_CALLBACK_REASON;

typedef enum _KBUGCHECK_BUFFER_DUMP_STATE {
    BufferEmpty = 0,
    BufferInserted = 1,
    BufferStarted = 2,
    BufferFinished = 3,
    BufferIncomplete = 4,
} KBUGCHECK_BUFFER_DUMP_STATE;

struct _KBUGCHECK_REASON_CALLBACK_RECORD;
typedef VOID NTAPI KBUGCHECK_REASON_CALLBACK_ROUTINE(
    KBUGCHECK_CALLBACK_REASON Reason, struct _KBUGCHECK_REASON_CALLBACK_RECORD* Record,
    PVOID ReasonSpecificData, ULONG ReasonSpecificDataLength);
typedef KBUGCHECK_REASON_CALLBACK_ROUTINE* PKBUGCHECK_REASON_CALLBACK_ROUTINE;

typedef struct _KBUGCHECK_REASON_CALLBACK_RECORD {
    LIST_ENTRY Entry;
    PKBUGCHECK_REASON_CALLBACK_ROUTINE CallbackRoutine;
    PUCHAR Component;
    ULONG_PTR Checksum;
    KBUGCHECK_CALLBACK_REASON Reason;
    UCHAR State;
} KBUGCHECK_REASON_CALLBACK_RECORD, *PKBUGCHECK_REASON_CALLBACK_RECORD;
static_assert(sizeof(KBUGCHECK_REASON_CALLBACK_RECORD) == 48, "callback record layout");
static_assert(offsetof(KBUGCHECK_REASON_CALLBACK_RECORD, State) == 44, "callback record layout");

typedef struct _KBUGCHECK_SECONDARY_DUMP_DATA {
    PVOID InBuffer;
    ULONG InBufferLength;
    ULONG MaximumAllowed;
    GUID Guid;
    PVOID OutBuffer;
    ULONG OutBufferLength;
} KBUGCHECK_SECONDARY_DUMP_DATA, *PKBUGCHECK_SECONDARY_DUMP_DATA;
static_assert(sizeof(KBUGCHECK_SECONDARY_DUMP_DATA) == 48, "secondary dump data layout");

extern "C" {
NTKERNELAPI BOOLEAN NTAPI KeRegisterBugCheckReasonCallback(
    PKBUGCHECK_REASON_CALLBACK_RECORD CallbackRecord,
    PKBUGCHECK_REASON_CALLBACK_ROUTINE CallbackRoutine, KBUGCHECK_CALLBACK_REASON Reason,
    PUCHAR Component);
NTKERNELAPI BOOLEAN NTAPI
KeDeregisterBugCheckReasonCallback(PKBUGCHECK_REASON_CALLBACK_RECORD CallbackRecord);

// The bug check in progress: code, then the four parameters.
extern ULONG_PTR KiBugCheckData[5];
}

// ---------------------------------------------------------------------------
// IRQL, device memory, lookup, strings, time, version, system information
// ---------------------------------------------------------------------------
typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
} MEMORY_CACHING_TYPE;

#define PAGE_READWRITE 0x04
#define PAGE_NOCACHE 0x200

#define SystemFirmwareTableInformation 76
#define SystemPoolZeroingInformation 227

extern "C" {
NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(void);
NTKERNELAPI KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql);
NTKERNELAPI VOID NTAPI KeLowerIrql(KIRQL NewIrql);

NTKERNELAPI PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                                     MEMORY_CACHING_TYPE CacheType);
NTKERNELAPI VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);
NTKERNELAPI PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);
NTKERNELAPI BOOLEAN NTAPI MmIsAddressValid(PVOID VirtualAddress);

NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

NTKERNELAPI VOID NTAPI KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime);
NTSYSAPI VOID NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields);

NTSYSAPI NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation);

NTSYSAPI NTSTATUS NTAPI ZwQuerySystemInformation(ULONG SystemInformationClass,
                                                 PVOID SystemInformation,
                                                 ULONG SystemInformationLength,
                                                 PULONG ReturnLength);

// The kernel's memset, memcpy and memmove.
void* ModelMemset(void* Destination, int Value, size_t Size);
void* ModelMemcpy(void* Destination, const void* Source, size_t Size);
void* ModelMemmove(void* Destination, const void* Source, size_t Size);
// The same checks for the host image's own memset, memcpy and memmove
// (hostdriver/block_routines.cpp), without the kernel call: g++ makes such
// calls out of the driver's own loops, which the shipped image keeps as
// loops, so they are no calls into the kernel.
void* ModelImageFill(void* Destination, int Value, size_t Size);
void* ModelImageCopy(void* Destination, const void* Source, size_t Size);
void* ModelImageMove(void* Destination, const void* Source, size_t Size);
}  // extern "C"

// ---------------------------------------------------------------------------
// Loaded images: load notification, the module queries, version, strings
// ---------------------------------------------------------------------------
#define IMAGE_ADDRESSING_MODE_32BIT 3

typedef struct _IMAGE_INFO {
    union {
        ULONG Properties;
        struct {
            ULONG ImageAddressingMode : 8;
            ULONG SystemModeImage : 1;
            ULONG ImageMappedToAllPids : 1;
            ULONG ExtendedInfoPresent : 1;
            ULONG MachineTypeMismatch : 1;
            ULONG ImageSignatureLevel : 4;
            ULONG ImageSignatureType : 3;
            ULONG ImagePartialMap : 1;
            ULONG Reserved : 12;
        };
    };
    PVOID ImageBase;
    ULONG ImageSelector;
    SIZE_T ImageSize;
    ULONG ImageSectionNumber;
} IMAGE_INFO, *PIMAGE_INFO;
static_assert(sizeof(IMAGE_INFO) == 40, "IMAGE_INFO layout");
static_assert(offsetof(IMAGE_INFO, ImageBase) == 8, "IMAGE_INFO layout");
static_assert(offsetof(IMAGE_INFO, ImageSelector) == 16, "IMAGE_INFO layout");
static_assert(offsetof(IMAGE_INFO, ImageSize) == 24, "IMAGE_INFO layout");
static_assert(offsetof(IMAGE_INFO, ImageSectionNumber) == 32, "IMAGE_INFO layout");

// Bits of IMAGE_INFO.Properties, for code that tests the word as a whole.
#define IMAGE_INFO_SYSTEM_MODE_IMAGE 0x00000100u
#define IMAGE_INFO_MAPPED_TO_ALL_PIDS 0x00000200u
#define IMAGE_INFO_EXTENDED_INFO_PRESENT 0x00000400u

typedef VOID(NTAPI* PLOAD_IMAGE_NOTIFY_ROUTINE)(PUNICODE_STRING FullImageName, HANDLE ProcessId,
                                                PIMAGE_INFO ImageInfo);

// One module of system information class SystemModuleInformation.
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
static_assert(offsetof(RTL_PROCESS_MODULE_INFORMATION, ImageBase) == 16, "layout");
static_assert(offsetof(RTL_PROCESS_MODULE_INFORMATION, ImageSize) == 24, "layout");
static_assert(offsetof(RTL_PROCESS_MODULE_INFORMATION, OffsetToFileName) == 38, "layout");
static_assert(offsetof(RTL_PROCESS_MODULE_INFORMATION, FullPathName) == 40, "layout");

typedef struct _RTL_PROCESS_MODULES {
    ULONG NumberOfModules;
    RTL_PROCESS_MODULE_INFORMATION Modules[1];
} RTL_PROCESS_MODULES, *PRTL_PROCESS_MODULES;
static_assert(offsetof(RTL_PROCESS_MODULES, Modules) == 8, "RTL_PROCESS_MODULES layout");
static_assert(sizeof(RTL_PROCESS_MODULES) == 304, "RTL_PROCESS_MODULES layout");

// The records of RtlQueryModuleInformation: 8 bytes (base only) or 272.
typedef struct _RTL_MODULE_BASIC_INFO {
    PVOID ImageBase;
} RTL_MODULE_BASIC_INFO, *PRTL_MODULE_BASIC_INFO;
static_assert(sizeof(RTL_MODULE_BASIC_INFO) == 8, "RTL_MODULE_BASIC_INFO layout");

typedef struct _RTL_MODULE_EXTENDED_INFO {
    RTL_MODULE_BASIC_INFO BasicInfo;
    ULONG ImageSize;
    USHORT FileNameOffset;
    UCHAR FullPathName[256];
} RTL_MODULE_EXTENDED_INFO, *PRTL_MODULE_EXTENDED_INFO;
static_assert(sizeof(RTL_MODULE_EXTENDED_INFO) == 272, "RTL_MODULE_EXTENDED_INFO layout");
static_assert(offsetof(RTL_MODULE_EXTENDED_INFO, ImageSize) == 8, "layout");
static_assert(offsetof(RTL_MODULE_EXTENDED_INFO, FileNameOffset) == 12, "layout");
static_assert(offsetof(RTL_MODULE_EXTENDED_INFO, FullPathName) == 14, "layout");

#define SystemModuleInformation 11

extern "C" {
NTKERNELAPI NTSTATUS NTAPI PsSetLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine);
NTKERNELAPI NTSTATUS NTAPI
PsRemoveLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine);
NTKERNELAPI BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion,
                                       PULONG BuildNumber, PUNICODE_STRING CSDVersion);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                     PCUNICODE_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
NTSYSAPI VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);
// Not declared by the kit headers and missing from older kernels: drivers
// find it with MmGetSystemRoutineAddress (RtlQueryModuleInformationRoutine
// in kernel.h).
NTSTATUS NTAPI RtlQueryModuleInformation(PULONG InformationLength, ULONG SizePerModule,
                                         PVOID InformationBuffer);
}

// ---------------------------------------------------------------------------
// Processors and DPCs
// ---------------------------------------------------------------------------
typedef struct _PROCESSOR_NUMBER {
    USHORT Group;
    UCHAR Number;
    UCHAR Reserved;
} PROCESSOR_NUMBER, *PPROCESSOR_NUMBER;
static_assert(sizeof(PROCESSOR_NUMBER) == 4, "PROCESSOR_NUMBER layout");

#define ALL_PROCESSOR_GROUPS 0xFFFF

struct _KDPC;
typedef VOID NTAPI KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext,
                                     PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile PVOID DpcData;
} KDPC, *PKDPC, *PRKDPC;
static_assert(sizeof(KDPC) == 64, "KDPC layout");
static_assert(offsetof(KDPC, DeferredRoutine) == 24, "KDPC layout");
static_assert(offsetof(KDPC, DpcData) == 56, "KDPC layout");

extern "C" {
NTKERNELAPI ULONG NTAPI KeQueryActiveProcessorCountEx(USHORT GroupNumber);
NTKERNELAPI ULONG NTAPI KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER ProcNumber);
NTKERNELAPI NTSTATUS NTAPI KeGetProcessorNumberFromIndex(ULONG ProcIndex,
                                                         PPROCESSOR_NUMBER ProcNumber);
NTKERNELAPI VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                       PVOID DeferredContext);
NTKERNELAPI NTSTATUS NTAPI KeSetTargetProcessorDpcEx(PKDPC Dpc, PPROCESSOR_NUMBER ProcNumber);
NTKERNELAPI BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1,
                                           PVOID SystemArgument2);
NTKERNELAPI BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
}

// ---------------------------------------------------------------------------
// Callback objects, work items and memory comparison (the power-state
// notification and what it starts)
// ---------------------------------------------------------------------------
typedef PVOID HANDLE;
typedef int64_t LONG_PTR;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES layout");
static_assert(offsetof(OBJECT_ATTRIBUTES, ObjectName) == 16, "OBJECT_ATTRIBUTES layout");
static_assert(offsetof(OBJECT_ATTRIBUTES, Attributes) == 24, "OBJECT_ATTRIBUTES layout");

#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_PERMANENT 0x00000010L
#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                             \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);     \
        (p)->RootDirectory = (r);                    \
        (p)->Attributes = (a);                       \
        (p)->ObjectName = (n);                       \
        (p)->SecurityDescriptor = (s);               \
        (p)->SecurityQualityOfService = nullptr;     \
    } while (0)

// Argument1 of a "\Callback\PowerState" notification.
#define PO_CB_SYSTEM_POWER_POLICY 0
#define PO_CB_AC_STATUS 1
#define PO_CB_BUTTON_COLLISION 2
#define PO_CB_SYSTEM_STATE_LOCK 3
#define PO_CB_LID_SWITCH_STATE 4
#define PO_CB_PROCESSOR_POWER_POLICY 5

typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;
typedef VOID NTAPI CALLBACK_FUNCTION(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;

typedef struct _IO_WORKITEM* PIO_WORKITEM;
typedef VOID NTAPI IO_WORKITEM_ROUTINE(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;

typedef enum _WORK_QUEUE_TYPE : int32_t {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2,
} WORK_QUEUE_TYPE;
static_assert(sizeof(WORK_QUEUE_TYPE) == 4, "WORK_QUEUE_TYPE is 32 bits");

extern "C" {
NTKERNELAPI NTSTATUS NTAPI ExCreateCallback(PCALLBACK_OBJECT* CallbackObject,
                                            POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                                            BOOLEAN AllowMultipleCallbacks);
NTKERNELAPI PVOID NTAPI ExRegisterCallback(PCALLBACK_OBJECT CallbackObject,
                                           PCALLBACK_FUNCTION CallbackFunction,
                                           PVOID CallbackContext);
NTKERNELAPI VOID NTAPI ExUnregisterCallback(PVOID CallbackRegistration);
NTKERNELAPI LONG_PTR NTAPI ObfDereferenceObject(PVOID Object);

NTKERNELAPI PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem,
                                       PIO_WORKITEM_ROUTINE WorkerRoutine,
                                       WORK_QUEUE_TYPE QueueType, PVOID Context);
NTKERNELAPI VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem);

NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);
}

// ---------------------------------------------------------------------------
// Context capture and unwinding
// ---------------------------------------------------------------------------
typedef struct alignas(16) _M128A {
    ULONGLONG Low;
    LONGLONG High;
} M128A, *PM128A;
static_assert(sizeof(M128A) == 16, "M128A layout");

typedef struct alignas(16) _XMM_SAVE_AREA32 {
    USHORT ControlWord;
    USHORT StatusWord;
    UCHAR TagWord;
    UCHAR Reserved1;
    USHORT ErrorOpcode;
    ULONG ErrorOffset;
    USHORT ErrorSelector;
    USHORT Reserved2;
    ULONG DataOffset;
    USHORT DataSelector;
    USHORT Reserved3;
    ULONG MxCsr;
    ULONG MxCsr_Mask;
    M128A FloatRegisters[8];
    M128A XmmRegisters[16];
    UCHAR Reserved4[96];
} XMM_SAVE_AREA32;
static_assert(sizeof(XMM_SAVE_AREA32) == 512, "XMM_SAVE_AREA32 layout");

#define CONTEXT_AMD64 0x00100000L
#define CONTEXT_CONTROL (CONTEXT_AMD64 | 0x1L)
#define CONTEXT_INTEGER (CONTEXT_AMD64 | 0x2L)
#define CONTEXT_SEGMENTS (CONTEXT_AMD64 | 0x4L)
#define CONTEXT_FLOATING_POINT (CONTEXT_AMD64 | 0x8L)
#define CONTEXT_FULL (CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_FLOATING_POINT)

typedef struct alignas(16) _CONTEXT {
    ULONG64 P1Home;
    ULONG64 P2Home;
    ULONG64 P3Home;
    ULONG64 P4Home;
    ULONG64 P5Home;
    ULONG64 P6Home;
    ULONG ContextFlags;
    ULONG MxCsr;
    USHORT SegCs;
    USHORT SegDs;
    USHORT SegEs;
    USHORT SegFs;
    USHORT SegGs;
    USHORT SegSs;
    ULONG EFlags;
    ULONG64 Dr0;
    ULONG64 Dr1;
    ULONG64 Dr2;
    ULONG64 Dr3;
    ULONG64 Dr6;
    ULONG64 Dr7;
    ULONG64 Rax;
    ULONG64 Rcx;
    ULONG64 Rdx;
    ULONG64 Rbx;
    ULONG64 Rsp;
    ULONG64 Rbp;
    ULONG64 Rsi;
    ULONG64 Rdi;
    ULONG64 R8;
    ULONG64 R9;
    ULONG64 R10;
    ULONG64 R11;
    ULONG64 R12;
    ULONG64 R13;
    ULONG64 R14;
    ULONG64 R15;
    ULONG64 Rip;
    union {
        XMM_SAVE_AREA32 FltSave;
        struct {
            M128A Header[2];
            M128A Legacy[8];
            M128A Xmm0;
            M128A Xmm1;
            M128A Xmm2;
            M128A Xmm3;
            M128A Xmm4;
            M128A Xmm5;
            M128A Xmm6;
            M128A Xmm7;
            M128A Xmm8;
            M128A Xmm9;
            M128A Xmm10;
            M128A Xmm11;
            M128A Xmm12;
            M128A Xmm13;
            M128A Xmm14;
            M128A Xmm15;
        };
    };
    M128A VectorRegister[26];
    ULONG64 VectorControl;
    ULONG64 DebugControl;
    ULONG64 LastBranchToRip;
    ULONG64 LastBranchFromRip;
    ULONG64 LastExceptionToRip;
    ULONG64 LastExceptionFromRip;
} CONTEXT, *PCONTEXT;
static_assert(sizeof(CONTEXT) == 1232, "CONTEXT layout");
static_assert(offsetof(CONTEXT, ContextFlags) == 0x30, "CONTEXT layout");
static_assert(offsetof(CONTEXT, SegCs) == 0x38, "CONTEXT layout");
static_assert(offsetof(CONTEXT, EFlags) == 0x44, "CONTEXT layout");
static_assert(offsetof(CONTEXT, Rax) == 0x78, "CONTEXT layout");
static_assert(offsetof(CONTEXT, Rsp) == 0x98, "CONTEXT layout");
static_assert(offsetof(CONTEXT, Rip) == 0xF8, "CONTEXT layout");
static_assert(offsetof(CONTEXT, FltSave) == 0x100, "CONTEXT layout");
static_assert(offsetof(CONTEXT, Xmm0) == 0x1A0, "CONTEXT layout");
static_assert(offsetof(CONTEXT, VectorRegister) == 0x300, "CONTEXT layout");

// Where the unwinder found each nonvolatile register; entries follow the
// register numbering of the unwind codes (RAX, RCX, RDX, RBX, RSP, RBP, RSI,
// RDI, R8-R15; XMM0-XMM15).
typedef struct _KNONVOLATILE_CONTEXT_POINTERS {
    PM128A FloatingContext[16];
    PULONG64 IntegerContext[16];
} KNONVOLATILE_CONTEXT_POINTERS, *PKNONVOLATILE_CONTEXT_POINTERS;
static_assert(sizeof(KNONVOLATILE_CONTEXT_POINTERS) == 256, "context pointers layout");

// One entry of an image's exception directory (.pdata); image-relative.
typedef struct _RUNTIME_FUNCTION {
    ULONG BeginAddress;
    ULONG EndAddress;
    ULONG UnwindData;
} RUNTIME_FUNCTION, *PRUNTIME_FUNCTION;
static_assert(sizeof(RUNTIME_FUNCTION) == 12, "RUNTIME_FUNCTION layout");

#define UNWIND_HISTORY_TABLE_SIZE 12
typedef struct _UNWIND_HISTORY_TABLE_ENTRY {
    ULONG64 ImageBase;
    PRUNTIME_FUNCTION FunctionEntry;
} UNWIND_HISTORY_TABLE_ENTRY;
typedef struct _UNWIND_HISTORY_TABLE {
    ULONG Count;
    UCHAR LocalHint;
    UCHAR GlobalHint;
    UCHAR Search;
    UCHAR Once;
    ULONG64 LowAddress;
    ULONG64 HighAddress;
    UNWIND_HISTORY_TABLE_ENTRY Entry[UNWIND_HISTORY_TABLE_SIZE];
} UNWIND_HISTORY_TABLE, *PUNWIND_HISTORY_TABLE;
static_assert(sizeof(UNWIND_HISTORY_TABLE) == 216, "UNWIND_HISTORY_TABLE layout");

#define UNW_FLAG_NHANDLER 0x0
#define UNW_FLAG_EHANDLER 0x1
#define UNW_FLAG_UHANDLER 0x2
#define UNW_FLAG_CHAININFO 0x4

typedef enum _EXCEPTION_DISPOSITION : int32_t {
    ExceptionContinueExecution = 0,
    ExceptionContinueSearch = 1,
    ExceptionNestedException = 2,
    ExceptionCollidedUnwind = 3,
} EXCEPTION_DISPOSITION;

#define EXCEPTION_MAXIMUM_PARAMETERS 15
// ExceptionFlags: set while handlers run for an unwind, and in the frame the
// unwind ends at.
#define EXCEPTION_NONCONTINUABLE 0x01
#define EXCEPTION_UNWINDING 0x02
#define EXCEPTION_EXIT_UNWIND 0x04
#define EXCEPTION_TARGET_UNWIND 0x20

typedef struct _EXCEPTION_RECORD {
    NTSTATUS ExceptionCode;
    ULONG ExceptionFlags;
    struct _EXCEPTION_RECORD* ExceptionRecord;
    PVOID ExceptionAddress;
    ULONG NumberParameters;
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD, *PEXCEPTION_RECORD;
static_assert(sizeof(EXCEPTION_RECORD) == 152, "EXCEPTION_RECORD layout");
static_assert(offsetof(EXCEPTION_RECORD, ExceptionAddress) == 0x10, "EXCEPTION_RECORD layout");
static_assert(offsetof(EXCEPTION_RECORD, NumberParameters) == 0x18, "EXCEPTION_RECORD layout");
static_assert(offsetof(EXCEPTION_RECORD, ExceptionInformation) == 0x20, "EXCEPTION_RECORD layout");

// What a filter receives from GetExceptionInformation().
typedef struct _EXCEPTION_POINTERS {
    PEXCEPTION_RECORD ExceptionRecord;
    struct _CONTEXT* ContextRecord;
} EXCEPTION_POINTERS, *PEXCEPTION_POINTERS;
static_assert(sizeof(EXCEPTION_POINTERS) == 16, "EXCEPTION_POINTERS layout");

// A filter's verdict.
#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

// The handler data of __C_specific_handler: the __try scopes of a function,
// innermost first, image-relative. HandlerAddress is a filter, the constant
// EXCEPTION_EXECUTE_HANDLER (1), or, with JumpTarget 0, a __finally block.
typedef struct _SCOPE_TABLE_AMD64 {
    ULONG Count;
    struct {
        ULONG BeginAddress;
        ULONG EndAddress;
        ULONG HandlerAddress;
        ULONG JumpTarget;
    } ScopeRecord[1];
} SCOPE_TABLE_AMD64, *PSCOPE_TABLE_AMD64, SCOPE_TABLE, *PSCOPE_TABLE;
static_assert(sizeof(SCOPE_TABLE) == 20, "SCOPE_TABLE layout");
static_assert(offsetof(SCOPE_TABLE, ScopeRecord) == 4, "SCOPE_TABLE layout");

// What the dispatcher hands a language handler about the frame it serves.
typedef struct _DISPATCHER_CONTEXT {
    ULONG64 ControlPc;
    ULONG64 ImageBase;
    PRUNTIME_FUNCTION FunctionEntry;
    ULONG64 EstablisherFrame;
    ULONG64 TargetIp;
    struct _CONTEXT* ContextRecord;
    PVOID LanguageHandler;
    PVOID HandlerData;
    PUNWIND_HISTORY_TABLE HistoryTable;
    ULONG ScopeIndex;
    ULONG Fill0;
} DISPATCHER_CONTEXT, *PDISPATCHER_CONTEXT;
static_assert(sizeof(DISPATCHER_CONTEXT) == 80, "DISPATCHER_CONTEXT layout");
static_assert(offsetof(DISPATCHER_CONTEXT, TargetIp) == 0x20, "DISPATCHER_CONTEXT layout");
static_assert(offsetof(DISPATCHER_CONTEXT, HandlerData) == 0x38, "DISPATCHER_CONTEXT layout");
static_assert(offsetof(DISPATCHER_CONTEXT, ScopeIndex) == 0x48, "DISPATCHER_CONTEXT layout");

typedef EXCEPTION_DISPOSITION NTAPI EXCEPTION_ROUTINE(struct _EXCEPTION_RECORD* ExceptionRecord,
                                                      PVOID EstablisherFrame,
                                                      struct _CONTEXT* ContextRecord,
                                                      PVOID DispatcherContext);
typedef EXCEPTION_ROUTINE* PEXCEPTION_ROUTINE;

extern "C" {
NTSYSAPI VOID NTAPI RtlCaptureContext(PCONTEXT ContextRecord);
NTSYSAPI PRUNTIME_FUNCTION NTAPI RtlLookupFunctionEntry(ULONG64 ControlPc, PULONG64 ImageBase,
                                                        PUNWIND_HISTORY_TABLE HistoryTable);
NTSYSAPI PEXCEPTION_ROUTINE NTAPI RtlVirtualUnwind(ULONG HandlerType, ULONG64 ImageBase,
                                                   ULONG64 ControlPc,
                                                   PRUNTIME_FUNCTION FunctionEntry,
                                                   PCONTEXT ContextRecord, PVOID* HandlerData,
                                                   PULONG64 EstablisherFrame,
                                                   PKNONVOLATILE_CONTEXT_POINTERS ContextPointers);
// Guarded work for the driver's RunGuarded: Routine(Context)'s status, or the
// exception code of a fault that ended it.
typedef NTSTATUS(NTAPI* ModelGuardedRoutine)(PVOID Context);
NTSTATUS ModelRunGuarded(ModelGuardedRoutine Routine, PVOID Context);

// The language handler of every function with __try scopes. The dispatcher
// applies the scope table itself; a direct call is a driver bug.
NTSYSAPI EXCEPTION_DISPOSITION NTAPI __C_specific_handler(PEXCEPTION_RECORD ExceptionRecord,
                                                          PVOID EstablisherFrame,
                                                          struct _CONTEXT* ContextRecord,
                                                          PVOID DispatcherContext);

// Processor instructions the kernel cannot intercept on real hardware,
// answered by the processor and hypervisor models.
void ModelCpuid(ULONG Leaf, ULONG Subleaf, ULONG Registers[4]);
BOOLEAN ModelReadMsr(ULONG Msr, ULONG64* Value);   // FALSE: the processor raises #GP
BOOLEAN ModelWriteMsr(ULONG Msr, ULONG64 Value);   // FALSE: the processor raises #GP
// The host build's #GP for an instruction the models refused (RDMSR or
// WRMSR of an MSR not offered): the bug check the kernel raises for it
// (0x1E, STATUS_PRIVILEGED_INSTRUCTION), as the emulated processor does;
// the driver's call ends inside it.
void ModelRefusedInstruction(void);
KIRQL ModelReadCr8(void);
void ModelWriteCr8(KIRQL Irql);
void ModelPause(void);
// The processor's fail-fast (int 29h, __fastfail): bug check 0x139 with the
// code, raised where the driver stands.
[[noreturn]] void ModelFailFast(ULONG Code);

// Processor port and device register access, answered by the device models.
UCHAR ModelPortReadByte(USHORT Port);
void ModelPortWriteByte(USHORT Port, UCHAR Value);
UCHAR ModelRegisterReadByte(const volatile UCHAR* Address);
void ModelRegisterWriteByte(volatile UCHAR* Address, UCHAR Value);
}
