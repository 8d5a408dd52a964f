// Loaded images: load notification, the module queries, version, strings.
// A part of the model kernel as the driver sees it; ntmodel/ntmodel.h
// includes every part, in order.
#pragma once

#include "ntmodel/kernel_services.h"

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
