// The module information query: every loaded kernel image in one fixed
// record format, through the kernel's RtlQueryModuleInformation where it
// exists and built from system information class 11 where it does not.
// Callers size their buffer with a call without one, then call again.
// PASSIVE_LEVEL; the module map's first fill is the one caller.
#pragma once

#include "driver/kernel.h"

// Element sizes a caller may ask for: one 64-bit image base per image, or
// one RTL_MODULE_EXTENDED_INFO.
constexpr ULONG ModuleBaseElementSize = 8;
constexpr ULONG ModuleExtendedElementSize = 272;
constexpr ULONG ModulePathLength = 256;

// The record the kernel's RtlQueryModuleInformation gives for element size
// 272.
typedef RTL_MODULE_EXTENDED_INFO ModuleExtendedInfo;
static_assert(offsetof(ModuleExtendedInfo, ImageSize) == 8, "module record layout");
static_assert(offsetof(ModuleExtendedInfo, FileNameOffset) == 12, "module record layout");
static_assert(offsetof(ModuleExtendedInfo, FullPathName) == 14, "module record layout");
static_assert(sizeof(ModuleExtendedInfo) == ModuleExtendedElementSize, "module record layout");
static_assert(sizeof(ModuleExtendedInfo::FullPathName) == ModulePathLength, "module record layout");

// The reply of ZwQuerySystemInformation for class 11: a count, then one
// 296-byte record per image.
static_assert(offsetof(RTL_PROCESS_MODULES, Modules) == 8, "system module reply layout");
static_assert(sizeof(RTL_PROCESS_MODULE_INFORMATION) == 296, "system module layout");
static_assert(offsetof(RTL_PROCESS_MODULE_INFORMATION, ImageBase) == 16, "system module layout");
static_assert(offsetof(RTL_PROCESS_MODULE_INFORMATION, OffsetToFileName) == 38,
              "system module layout");

struct ModuleQueryStateRecord {
    // The kernel's RtlQueryModuleInformation, or null when it lacks one.
    RtlQueryModuleInformationRoutine KernelRoutine;
    // 1 once InitializeModuleQuery has succeeded.
    volatile LONG Initialised;
};

extern ModuleQueryStateRecord ModuleQueryState;

// Finds the kernel's query routine. STATUS_NOT_SUPPORTED before Windows
// 2000 (major version 5).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS InitializeModuleQuery();

// BufferSize: the size of Buffer on entry; on return the bytes all images
// need (count x ElementSize). A null Buffer asks for the size only.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS QueryModuleInformation(PULONG BufferSize, ULONG ElementSize, PVOID Buffer);

// Turns a class 11 reply of ReplyLength bytes into elements of ElementSize
// (8 or 272) in Buffer, or only sizes them when Buffer is null; BufferSize
// as for QueryModuleInformation.
NTSTATUS CopySystemModuleReply(const RTL_PROCESS_MODULES* Reply, ULONG ReplyLength,
                               ULONG ElementSize, PVOID Buffer, PULONG BufferSize);
