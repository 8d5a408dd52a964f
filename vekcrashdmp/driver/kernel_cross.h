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

// Windows 8 on: the driver finds it by name (test images may import it).
// Its older sibling KeQuerySystemTime is no x64 export at all; the driver
// reads the shared user data page instead (ReadSharedSystemTime, kernel.h).
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

// Security descriptors and object handles: the kit declares these only in
// ntifs.h, which cannot join ntddk.h here, or not at all.
#ifndef STATUS_ALLOTTED_SPACE_EXCEEDED
#define STATUS_ALLOTTED_SPACE_EXCEEDED ((NTSTATUS)0xC0000099L)
#endif
typedef USHORT SECURITY_DESCRIPTOR_CONTROL;
#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_SACL_PRESENT 0x0010
#define SE_SACL_DEFAULTED 0x0020
#define SE_DACL_PROTECTED 0x1000
#define SE_SACL_PROTECTED 0x2000
#define SE_SELF_RELATIVE 0x8000

typedef struct _SECURITY_DESCRIPTOR {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;
static_assert(sizeof(SECURITY_DESCRIPTOR) == 40, "SECURITY_DESCRIPTOR layout");

// The kernel's record of well-known SIDs and privileges, as far as Windows 8
// laid it out (the kit's copy stops before the last two); older kernels end
// it earlier.
typedef struct _SE_EXPORTS {
    LUID SeCreateTokenPrivilege;
    LUID SeAssignPrimaryTokenPrivilege;
    LUID SeLockMemoryPrivilege;
    LUID SeIncreaseQuotaPrivilege;
    LUID SeUnsolicitedInputPrivilege;
    LUID SeTcbPrivilege;
    LUID SeSecurityPrivilege;
    LUID SeTakeOwnershipPrivilege;
    LUID SeLoadDriverPrivilege;
    LUID SeCreatePagefilePrivilege;
    LUID SeIncreaseBasePriorityPrivilege;
    LUID SeSystemProfilePrivilege;
    LUID SeSystemtimePrivilege;
    LUID SeProfileSingleProcessPrivilege;
    LUID SeCreatePermanentPrivilege;
    LUID SeBackupPrivilege;
    LUID SeRestorePrivilege;
    LUID SeShutdownPrivilege;
    LUID SeDebugPrivilege;
    LUID SeAuditPrivilege;
    LUID SeSystemEnvironmentPrivilege;
    LUID SeChangeNotifyPrivilege;
    LUID SeRemoteShutdownPrivilege;
    PSID SeNullSid;
    PSID SeWorldSid;
    PSID SeLocalSid;
    PSID SeCreatorOwnerSid;
    PSID SeCreatorGroupSid;
    PSID SeNtAuthoritySid;
    PSID SeDialupSid;
    PSID SeNetworkSid;
    PSID SeBatchSid;
    PSID SeInteractiveSid;
    PSID SeLocalSystemSid;
    PSID SeAliasAdminsSid;
    PSID SeAliasUsersSid;
    PSID SeAliasGuestsSid;
    PSID SeAliasPowerUsersSid;
    PSID SeAliasAccountOpsSid;
    PSID SeAliasSystemOpsSid;
    PSID SeAliasPrintOpsSid;
    PSID SeAliasBackupOpsSid;
    PSID SeAuthenticatedUsersSid;
    PSID SeRestrictedSid;
    PSID SeAnonymousLogonSid;
    LUID SeUndockPrivilege;
    LUID SeSyncAgentPrivilege;
    LUID SeEnableDelegationPrivilege;
    PSID SeLocalServiceSid;
    PSID SeNetworkServiceSid;
    LUID SeManageVolumePrivilege;
    LUID SeImpersonatePrivilege;
    LUID SeCreateGlobalPrivilege;
    LUID SeTrustedCredManAccessPrivilege;
    LUID SeRelabelPrivilege;
    LUID SeIncreaseWorkingSetPrivilege;
    LUID SeTimeZonePrivilege;
    LUID SeCreateSymbolicLinkPrivilege;
    PSID SeIUserSid;
    PSID SeUntrustedMandatorySid;
    PSID SeLowMandatorySid;
    PSID SeMediumMandatorySid;
    PSID SeHighMandatorySid;
    PSID SeSystemMandatorySid;
    PSID SeOwnerRightsSid;
    PSID SeAllAppPackagesSid;
    PSID SeUserModeDriversSid;
} SE_EXPORTS, *PSE_EXPORTS;

extern "C" {

// Exported variables: the kernel's SE_EXPORTS record, and the object type
// of device objects (the variable holds the type object's address).
__declspec(dllimport) extern PSE_EXPORTS SeExports;
__declspec(dllimport) extern POBJECT_TYPE IoDeviceObjectType;

NTSYSAPI NTSTATUS NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                                    PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                                    PULONG BufferLength);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                               PSID Sid);
NTSYSAPI ULONG NTAPI RtlLengthSid(PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                      PSID* Owner, PBOOLEAN OwnerDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                      PSID* Group, PBOOLEAN GroupDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     PBOOLEAN SaclPresent, PACL* Sacl,
                                                     PBOOLEAN SaclDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     PBOOLEAN DaclPresent, PACL* Dacl,
                                                     PBOOLEAN DaclDefaulted);
NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                                 PACCESS_STATE PassedAccessState,
                                                 ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                 KPROCESSOR_MODE AccessMode, PHANDLE Handle);
NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                            PSECURITY_DESCRIPTOR SecurityDescriptor);

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
