// The model kernel's export table: every routine by name, whether a kernel
// may lack it, how an injected failure shows, and the thunk an emulated
// processor calls it through. The exported variables are in
// data_exports.cpp.
#include "memory/guest_memory.h"
#include "core/model_lock.h"

#include "model/guest_thunk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

extern "C" {
PVOID MmMapIoSpaceEx(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, ULONG Protect);
NTSTATUS NtQuerySystemInformation(ULONG SystemInformationClass, PVOID SystemInformation,
                                  ULONG SystemInformationLength, PULONG ReturnLength);
BOOLEAN MmIsAddressValid(PVOID VirtualAddress);
NTSTATUS SeConvertStringSecurityDescriptorToSecurityDescriptor(
    PCWSTR StringSecurityDescriptor, ULONG StringSDRevision,
    PSECURITY_DESCRIPTOR* SecurityDescriptor, PULONG SecurityDescriptorSize);
NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PCUNICODE_STRING DefaultSDDLString, LPCGUID DeviceClassGuid,
                              PDEVICE_OBJECT* DeviceObject);
}

namespace model {

namespace {

RoutineAddressTranslator Translator = nullptr;
void* TranslatorContext = nullptr;

}  // namespace

}  // namespace model

// The kernel exports the C library's block routines; the compiler calls
// them for structure copies and fills. They are kernel calls like any
// other: logged, not to be made from the bug check report (which must not
// leave the driver's own code), and trusting their pointers no more than
// any other routine: a wild one is a page fault in the kernel.
extern "C" void* ModelMemset(void* destination, int value, size_t size)
{
    model::KernelScope kernel;
    using namespace model;
    EnterRoutine("memset", HIGH_LEVEL, AtBugCheck::Forbidden, "size=" + std::to_string(size));
    FillForDriver("memset", destination, value, size);
    return destination;
}

extern "C" void* ModelMemcpy(void* destination, const void* source, size_t size)
{
    model::KernelScope kernel;
    using namespace model;
    EnterRoutine("memcpy", HIGH_LEVEL, AtBugCheck::Forbidden, "size=" + std::to_string(size));
    MoveForDriver("memcpy", destination, source, size);
    return destination;
}

extern "C" void* ModelMemmove(void* destination, const void* source, size_t size)
{
    model::KernelScope kernel;
    using namespace model;
    EnterRoutine("memmove", HIGH_LEVEL, AtBugCheck::Forbidden, "size=" + std::to_string(size));
    MoveForDriver("memmove", destination, source, size);
    return destination;
}

extern "C" void* ModelImageFill(void* destination, int value, size_t size)
{
    model::KernelScope kernel;
    model::FillForDriver("memset", destination, value, size);
    return destination;
}

extern "C" void* ModelImageCopy(void* destination, const void* source, size_t size)
{
    model::KernelScope kernel;
    model::MoveForDriver("memcpy", destination, source, size);
    return destination;
}

extern "C" void* ModelImageMove(void* destination, const void* source, size_t size)
{
    model::KernelScope kernel;
    model::MoveForDriver("memmove", destination, source, size);
    return destination;
}

namespace model {

namespace {

using Failure = RoutineInfo::Failure;

}  // namespace

// First Windows versions, as each routine's reference page gives its
// minimum supported client, written 0xMMmm.
constexpr uint16_t Windows2000 = 0x0500;
constexpr uint16_t WindowsXp = 0x0501;          // also XP SP1, as the bug check callbacks say
constexpr uint16_t WindowsXp64 = 0x0502;        // the first x64 kernel (Server 2003)
constexpr uint16_t WindowsVista = 0x0600;
constexpr uint16_t Windows7 = 0x0601;
constexpr uint16_t Windows8 = 0x0602;
constexpr uint16_t Windows10 = 0x0A00;

// Statuses only the fault table names.
#define STATUS_QUOTA_EXCEEDED ((NTSTATUS)0xC0000044L)
#define STATUS_PRIVILEGE_NOT_HELD ((NTSTATUS)0xC0000061L)

#define MODEL_ROUTINE(name, routine, optional, present, since, failure, ...)                \
    RoutineInfo                                                                             \
    {                                                                                       \
        name, reinterpret_cast<void*>(routine), optional, present, since, failure,          \
            &thunk::Thunk<decltype(&routine), &routine>::Call,                              \
            thunk::Thunk<decltype(&routine), &routine>::Arity, {__VA_ARGS__}                \
    }
#define KERNEL_ROUTINE(routine, since, failure) \
    MODEL_ROUTINE(#routine, routine, false, true, since, failure, )
#define OPTIONAL_ROUTINE(routine, present, since, failure) \
    MODEL_ROUTINE(#routine, routine, true, present, since, failure, )
// A routine that fails with a status: the statuses its reference page
// gives, the default first.
#define STATUS_ROUTINE(routine, since, ...) \
    MODEL_ROUTINE(#routine, routine, false, true, since, Failure::Status, __VA_ARGS__)
#define OPTIONAL_STATUS_ROUTINE(routine, present, since, ...) \
    MODEL_ROUTINE(#routine, routine, true, present, since, Failure::Status, __VA_ARGS__)
#define CODE(status) FailureStatus{status, #status}

// Each row names the reference page its contract comes from: the first
// version, the IRQL and the failures it may meet. A row that mingw-w64's x64
// libntoskrnl.a lacks and the later exports
// (vekcrashdmp/cross/later_exports.txt) do not name has the page that tells
// why the model has it.
#define LEARN_PAGE(path) "https://learn.microsoft.com/" path
#define DDI_PAGE(path) LEARN_PAGE("windows-hardware/drivers/ddi/" path)
namespace {
RoutineInfo WithReference(RoutineInfo routine, const char* page)
{
    routine.Reference = page;
    return routine;
}
}  // namespace

const std::vector<RoutineInfo>& ExportedRoutines()
{
    // Optional routines are those a kernel may lack; the driver looks them
    // up by name and takes its own path when they are missing. A routine
    // whose documented contract has no failure that a correct call can
    // meet is Failure::None: no fault may name it (ZwClose of an open
    // handle, deleting the link the driver made, removing a registration
    // it holds), since an injected one would blame the driver for what no
    // kernel does. A routine that fails with a status lists those its
    // reference page gives, a fault's default first; where the page says
    // only "or another NTSTATUS", a few such a call meets, said beside it.
    // A status only a caller's error causes (an index beyond the active
    // processors, a class the kernel does not know, a descriptor that is
    // not well formed) is not listed: the driver's calls are correct ones,
    // and the routine's own answer to a wrong call is not a fault's.
    static const std::vector<RoutineInfo> routines = {
        WithReference(KERNEL_ROUTINE(ExAllocatePoolWithTag, Windows2000, Failure::Null),
                      DDI_PAGE("wdm/nf-wdm-exallocatepoolwithtag")),
        WithReference(KERNEL_ROUTINE(ExAllocatePoolWithQuotaTag, Windows2000, Failure::Null),
                      DDI_PAGE("wdm/nf-wdm-exallocatepoolwithquotatag")),
        WithReference(KERNEL_ROUTINE(ExFreePoolWithTag, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-exfreepoolwithtag")),
        // STATUS_OBJECT_NAME_EXISTS, also on its page, is a success.
        WithReference(STATUS_ROUTINE(IoCreateDevice, Windows2000, CODE(STATUS_INSUFFICIENT_RESOURCES),
                                     CODE(STATUS_OBJECT_NAME_COLLISION)),
                      DDI_PAGE("wdm/nf-wdm-iocreatedevice")),
        WithReference(KERNEL_ROUTINE(IoDeleteDevice, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-iodeletedevice")),
        // Its page names no failure status: what creating a named object
        // fails with.
        WithReference(STATUS_ROUTINE(IoCreateSymbolicLink, Windows2000, CODE(STATUS_INSUFFICIENT_RESOURCES),
                                     CODE(STATUS_OBJECT_NAME_COLLISION)),
                      DDI_PAGE("wdm/nf-wdm-iocreatesymboliclink")),
        WithReference(KERNEL_ROUTINE(IoDeleteSymbolicLink, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-iodeletesymboliclink")),
        WithReference(KERNEL_ROUTINE(KeRegisterBugCheckReasonCallback, WindowsXp, Failure::False),
                      DDI_PAGE("wdm/nf-wdm-keregisterbugcheckreasoncallback")),
        WithReference(KERNEL_ROUTINE(KeDeregisterBugCheckReasonCallback, WindowsXp, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-kederegisterbugcheckreasoncallback")),
        WithReference(KERNEL_ROUTINE(KeGetCurrentIrql, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-kegetcurrentirql")),
        WithReference(KERNEL_ROUTINE(KfRaiseIrql, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-keraiseirql")),
        WithReference(KERNEL_ROUTINE(KeLowerIrql, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-kelowerirql")),
        WithReference(KERNEL_ROUTINE(KeQuerySystemTimePrecise, Windows8, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-kequerysystemtimeprecise")),
        WithReference(KERNEL_ROUTINE(KeQueryActiveProcessorCountEx, Windows7, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-kequeryactiveprocessorcountex")),
        WithReference(KERNEL_ROUTINE(KeGetCurrentProcessorNumberEx, Windows7, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-kegetcurrentprocessornumberex")),
        // nf-wdm-kegetprocessornumberfromindex: STATUS_INVALID_PARAMETER
        // only for an index beyond the active processors.
        WithReference(KERNEL_ROUTINE(KeGetProcessorNumberFromIndex, Windows7, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-kegetprocessornumberfromindex")),
        WithReference(KERNEL_ROUTINE(KeInitializeDpc, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-keinitializedpc")),
        // nf-wdm-kesettargetprocessordpcex: STATUS_INVALID_PARAMETER only
        // for a processor that does not exist.
        WithReference(KERNEL_ROUTINE(KeSetTargetProcessorDpcEx, Windows7, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-kesettargetprocessordpcex")),
        // FALSE: the DPC was already queued, and it still runs once.
        WithReference(KERNEL_ROUTINE(KeInsertQueueDpc, Windows2000, Failure::False),
                      DDI_PAGE("wdm/nf-wdm-keinsertqueuedpc")),
        WithReference(KERNEL_ROUTINE(KeRemoveQueueDpc, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-keremovequeuedpc")),
        WithReference(KERNEL_ROUTINE(RtlTimeToTimeFields, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-rtltimetotimefields")),
        WithReference(KERNEL_ROUTINE(RtlInitUnicodeString, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-rtlinitunicodestring")),
        // Its contract: it always returns STATUS_SUCCESS.
        WithReference(KERNEL_ROUTINE(RtlGetVersion, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-rtlgetversion")),
        WithReference(KERNEL_ROUTINE(PsGetVersion, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-psgetversion")),
        WithReference(STATUS_ROUTINE(PsSetLoadImageNotifyRoutine, Windows2000,
                                     CODE(STATUS_INSUFFICIENT_RESOURCES)),
                      DDI_PAGE("ntddk/nf-ntddk-pssetloadimagenotifyroutine")),
        WithReference(KERNEL_ROUTINE(PsRemoveLoadImageNotifyRoutine, Windows2000, Failure::None),
                      DDI_PAGE("ntddk/nf-ntddk-psremoveloadimagenotifyroutine")),
        // "Otherwise no storage was allocated": the allocation's failure, and
        // a string too long for an ANSI one.
        WithReference(STATUS_ROUTINE(RtlUnicodeStringToAnsiString, Windows2000, CODE(STATUS_NO_MEMORY),
                                     CODE(STATUS_INVALID_PARAMETER_2)),
                      DDI_PAGE("wdm/nf-wdm-rtlunicodestringtoansistring")),
        WithReference(KERNEL_ROUTINE(RtlFreeAnsiString, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-rtlfreeansistring")),
        // Its page gives STATUS_BUFFER_TOO_SMALL "or other NTSTATUS values";
        // that one is a size answer, with the size, which the routine gives
        // itself when the list outgrows the buffer.
        WithReference(OPTIONAL_STATUS_ROUTINE(RtlQueryModuleInformation, true, WindowsVista,
                                              CODE(STATUS_INSUFFICIENT_RESOURCES)),
                      DDI_PAGE("aux_klib/nf-aux_klib-auxklibquerymoduleinformation")),
        WithReference(KERNEL_ROUTINE(MmGetSystemRoutineAddress, Windows2000, Failure::Null),
                      DDI_PAGE("wdm/nf-wdm-mmgetsystemroutineaddress")),
        WithReference(KERNEL_ROUTINE(MmMapIoSpace, Windows2000, Failure::Null),
                      DDI_PAGE("wdm/nf-wdm-mmmapiospace")),
        WithReference(OPTIONAL_ROUTINE(MmMapIoSpaceEx, true, Windows10, Failure::Null),
                      DDI_PAGE("wdm/nf-wdm-mmmapiospaceex")),
        WithReference(KERNEL_ROUTINE(MmUnmapIoSpace, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-mmunmapiospace")),
        WithReference(KERNEL_ROUTINE(MmIsAddressValid, Windows2000, Failure::None),
                      DDI_PAGE("ntddk/nf-ntddk-mmisaddressvalid")),
        // nf-wdm-zwquerysysteminformation, "an NTSTATUS success or error
        // code": no memory. A class the kernel does not know is the
        // routine's own answer (pool_zeroing "query-unsupported"), as is the
        // length mismatch, with the length.
        WithReference(STATUS_ROUTINE(ZwQuerySystemInformation, Windows2000, CODE(STATUS_INSUFFICIENT_RESOURCES)),
                      LEARN_PAGE("windows/win32/sysinfo/zwquerysysteminformation")),
        WithReference(OPTIONAL_STATUS_ROUTINE(NtQuerySystemInformation, true, Windows2000,
                                              CODE(STATUS_INSUFFICIENT_RESOURCES)),
                      LEARN_PAGE("windows/win32/api/winternl/nf-winternl-ntquerysysteminformation")),
        WithReference(KERNEL_ROUTINE(RtlCaptureContext, WindowsXp, Failure::None),
                      DDI_PAGE("ntifs/nf-ntifs-rtlcapturecontext")),
        WithReference(KERNEL_ROUTINE(RtlLookupFunctionEntry, WindowsXp64, Failure::None),
                      LEARN_PAGE("windows/win32/api/winnt/nf-winnt-rtllookupfunctionentry")),
        WithReference(KERNEL_ROUTINE(RtlVirtualUnwind, WindowsXp64, Failure::None),
                      LEARN_PAGE("windows/win32/api/winnt/nf-winnt-rtlvirtualunwind")),
        WithReference(KERNEL_ROUTINE(__C_specific_handler, WindowsXp64, Failure::None),
                      LEARN_PAGE("windows/win32/devnotes/--c-specific-handler2")),
        // The power-state notification and the work it starts (power.cpp).
        // "Otherwise, an NTSTATUS error code": no memory, or (opening with
        // Create FALSE) no such object.
        WithReference(STATUS_ROUTINE(ExCreateCallback, Windows2000, CODE(STATUS_INSUFFICIENT_RESOURCES),
                                     CODE(STATUS_OBJECT_NAME_NOT_FOUND)),
                      DDI_PAGE("wdm/nf-wdm-excreatecallback")),
        WithReference(KERNEL_ROUTINE(ExRegisterCallback, Windows2000, Failure::Null),
                      DDI_PAGE("wdm/nf-wdm-exregistercallback")),
        WithReference(KERNEL_ROUTINE(ExUnregisterCallback, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-exunregistercallback")),
        WithReference(KERNEL_ROUTINE(ObfDereferenceObject, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-obdereferenceobject")),
        WithReference(KERNEL_ROUTINE(IoAllocateWorkItem, Windows2000, Failure::Null),
                      DDI_PAGE("wdm/nf-wdm-ioallocateworkitem")),
        WithReference(KERNEL_ROUTINE(IoQueueWorkItem, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-ioqueueworkitem")),
        WithReference(KERNEL_ROUTINE(IoFreeWorkItem, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-iofreeworkitem")),
        WithReference(KERNEL_ROUTINE(RtlCompareMemory, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-rtlcomparememory")),
        // Security descriptors, handles and secure device creation
        // (security.cpp). Windows kernels do not export IoCreateDeviceSecure
        // (the kit links its own).
        // nf-wdm-rtlcreatesecuritydescriptor and
        // nf-wdm-rtlsetdaclsecuritydescriptor: an unknown revision or a
        // descriptor not in absolute form, a caller's error each.
        WithReference(KERNEL_ROUTINE(RtlCreateSecurityDescriptor, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-rtlcreatesecuritydescriptor")),
        WithReference(KERNEL_ROUTINE(RtlSetDaclSecurityDescriptor, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-rtlsetdaclsecuritydescriptor")),
        // nf-ntifs-rtlabsolutetoselfrelativesd: STATUS_BAD_DESCRIPTOR_FORMAT
        // for a descriptor not in absolute form; STATUS_BUFFER_TOO_SMALL is
        // the sizing answer, with the size: the routine's own.
        WithReference(KERNEL_ROUTINE(RtlAbsoluteToSelfRelativeSD, Windows2000, Failure::None),
                      DDI_PAGE("ntifs/nf-ntifs-rtlabsolutetoselfrelativesd")),
        // nf-ntifs-rtladdaccessallowedace: these four, no other.
        WithReference(STATUS_ROUTINE(RtlAddAccessAllowedAce, Windows2000, CODE(STATUS_ALLOTTED_SPACE_EXCEEDED),
                                     CODE(STATUS_INVALID_ACL), CODE(STATUS_INVALID_SID),
                                     CODE(STATUS_REVISION_MISMATCH)),
                      DDI_PAGE("ntifs/nf-ntifs-rtladdaccessallowedace")),
        // A length cannot fail; the SID it measures can be wild.
        WithReference(KERNEL_ROUTINE(RtlLengthSid, Windows2000, Failure::None),
                      DDI_PAGE("ntifs/nf-ntifs-rtllengthsid")),
        // nf-ntifs-rtlget{owner,group,sacl,dacl}securitydescriptor: only
        // STATUS_UNKNOWN_REVISION, which a well-formed descriptor never meets.
        WithReference(KERNEL_ROUTINE(RtlGetOwnerSecurityDescriptor, Windows2000, Failure::None),
                      DDI_PAGE("ntifs/nf-ntifs-rtlgetownersecuritydescriptor")),
        WithReference(KERNEL_ROUTINE(RtlGetGroupSecurityDescriptor, Windows2000, Failure::None),
                      DDI_PAGE("ntifs/nf-ntifs-rtlgetgroupsecuritydescriptor")),
        WithReference(KERNEL_ROUTINE(RtlGetSaclSecurityDescriptor, Windows2000, Failure::None),
                      DDI_PAGE("ntifs/nf-ntifs-rtlgetsaclsecuritydescriptor")),
        WithReference(KERNEL_ROUTINE(RtlGetDaclSecurityDescriptor, Windows2000, Failure::None),
                      DDI_PAGE("ntifs/nf-ntifs-rtlgetdaclsecuritydescriptor")),
        WithReference(KERNEL_ROUTINE(IoIsWdmVersionAvailable, Windows2000, Failure::False),
                      DDI_PAGE("wdm/nf-wdm-ioiswdmversionavailable")),
        // nf-ntifs-obopenobjectbypointer lists these; its
        // STATUS_INVALID_PARAMETER (a bad attribute flag) only a caller's
        // error meets.
        WithReference(STATUS_ROUTINE(ObOpenObjectByPointer, Windows2000, CODE(STATUS_INSUFFICIENT_RESOURCES),
                                     CODE(STATUS_ACCESS_DENIED), CODE(STATUS_OBJECT_TYPE_MISMATCH),
                                     CODE(STATUS_PRIVILEGE_NOT_HELD), CODE(STATUS_QUOTA_EXCEEDED),
                                     CODE(STATUS_UNSUCCESSFUL)),
                      DDI_PAGE("ntifs/nf-ntifs-obopenobjectbypointer")),
        WithReference(STATUS_ROUTINE(ZwSetSecurityObject, Windows2000, CODE(STATUS_ACCESS_DENIED),
                                     CODE(STATUS_ACCESS_VIOLATION), CODE(STATUS_INSUFFICIENT_RESOURCES),
                                     CODE(STATUS_INVALID_ACL), CODE(STATUS_INVALID_HANDLE),
                                     CODE(STATUS_INVALID_SECURITY_DESCR), CODE(STATUS_INVALID_SID),
                                     CODE(STATUS_OBJECT_TYPE_MISMATCH)),
                      DDI_PAGE("ntifs/nf-ntifs-zwsetsecurityobject")),
        WithReference(KERNEL_ROUTINE(ZwClose, Windows2000, Failure::None),
                      DDI_PAGE("wdm/nf-wdm-zwclose")),
        // Its page names the library Wdmsec.lib: no kernel exports it, and a
        // machine offers it only to try the driver's path when one does.
        WithReference(OPTIONAL_STATUS_ROUTINE(IoCreateDeviceSecure, false, Windows2000,
                                              CODE(STATUS_INSUFFICIENT_RESOURCES),
                                              CODE(STATUS_OBJECT_NAME_COLLISION)),
                      "https://learn.microsoft.com/windows-hardware/drivers/ddi/wdmsec/"
                      "nf-wdmsec-wdmlibiocreatedevicesecure"),
        // No reference page of its own: what its user-mode twin fails with (a
        // string it cannot parse, a name it cannot map) and no memory. Inbox
        // Windows 10 drivers import it from the kernel, so a 10.0 machine has
        // it by default and the driver takes the path real Windows takes;
        // older kernels lack it by default, which keeps the driver's own
        // reader covered.
        WithReference(OPTIONAL_STATUS_ROUTINE(SeConvertStringSecurityDescriptorToSecurityDescriptor,
                                              true, Windows10, CODE(STATUS_INVALID_PARAMETER),
                                              CODE(STATUS_NONE_MAPPED), CODE(STATUS_NO_MEMORY)),
                      "https://learn.microsoft.com/windows/win32/api/sddl/"
                      "nf-sddl-convertstringsecuritydescriptortosecuritydescriptorw"),
        WithReference(MODEL_ROUTINE("memset", ModelMemset, false, true, Windows2000, Failure::None),
                      LEARN_PAGE("cpp/c-runtime-library/reference/memset-wmemset")),
        WithReference(MODEL_ROUTINE("memcpy", ModelMemcpy, false, true, Windows2000, Failure::None),
                      LEARN_PAGE("cpp/c-runtime-library/reference/memcpy-wmemcpy")),
        WithReference(MODEL_ROUTINE("memmove", ModelMemmove, false, true, Windows2000, Failure::None),
                      LEARN_PAGE("cpp/c-runtime-library/reference/memmove-wmemmove")),
    };
    return routines;
}

#undef CODE
#undef DDI_PAGE
#undef LEARN_PAGE
#undef OPTIONAL_STATUS_ROUTINE
#undef STATUS_ROUTINE
#undef OPTIONAL_ROUTINE
#undef KERNEL_ROUTINE
#undef MODEL_ROUTINE

const RoutineInfo* FindRoutine(const std::string& name)
{
    for (const RoutineInfo& routine : ExportedRoutines()) {
        if (name == routine.Name) {
            return &routine;
        }
    }
    return nullptr;
}

std::string RefusedFaultStatus(const RoutineInfo& routine, NTSTATUS status)
{
    std::string allowed;
    for (const FailureStatus& code : routine.Statuses) {
        if (code.Code == status) {
            return {};
        }
        char text[64];
        std::snprintf(text, sizeof(text), "%s0x%08X (%s)", allowed.empty() ? "" : ", ",
                      static_cast<unsigned>(code.Code), code.Name);
        allowed += text;
    }
    if (routine.Statuses.empty()) {
        return std::string("'") + routine.Name + "' fails without a status; give none";
    }
    return std::string("'") + routine.Name + "' fails only with " + allowed;
}

NTSTATUS DefaultFaultStatus(const RoutineInfo& routine)
{
    // A routine that fails without a status returns nothing of it.
    return routine.Statuses.empty() ? STATUS_UNSUCCESSFUL : routine.Statuses.front().Code;
}

namespace {

uint16_t MachineVersion()
{
    const OsVersion& version = Config().Version;
    return static_cast<uint16_t>(std::min<ULONG>(version.Major, 0xFF) << 8 |
                                 std::min<ULONG>(version.Minor, 0xFF));
}

std::string VersionText(uint16_t version)
{
    return std::to_string(version >> 8) + "." + std::to_string(version & 0xFF);
}

}  // namespace

bool RoutineExported(const RoutineInfo& routine)
{
    const auto& overrides = Config().Routines;
    auto configured = overrides.find(routine.Name);
    if (configured != overrides.end()) {
        return configured->second;
    }
    return routine.DefaultPresent && MachineVersion() >= routine.Since;
}

// Routines the kit defines for x64 as reads of the shared user data page
// (wdm.h): 32-bit kernels export them, no x64 kernel does, and mingw-w64's
// x64 libntoskrnl.a has none of them. An x64 image importing one never
// loads, on any version.
constexpr const char* SharedUserDataRoutines[] = {"KeQuerySystemTime", "KeQueryTickCount",
                                                  "KeQueryInterruptTime"};

bool ExportedOnlyBy32BitKernels(const std::string& name)
{
    return std::find(std::begin(SharedUserDataRoutines), std::end(SharedUserDataRoutines), name) !=
           std::end(SharedUserDataRoutines);
}

std::string UnresolvedImport(const std::string& name)
{
    uint16_t since = 0;
    if (ExportedOnlyBy32BitKernels(name)) {
        char status[16];
        std::snprintf(status, sizeof(status), "0x%08X",
                      static_cast<unsigned>(StatusDriverEntrypointNotFound));
        return std::string("the loader fails the image with status ") + status + ": it imports " +
               name + ", which no x64 kernel exports (the kit reads it from the shared user "
               "data page)";
    }
    if (const RoutineInfo* routine = FindRoutine(name)) {
        if (RoutineExported(*routine)) {
            return {};
        }
        since = routine->Since;
    } else if (const DataExport* data = FindData(name)) {
        if (MachineVersion() >= data->Since) {
            return {};
        }
        since = data->Since;
    } else {
        return {};
    }
    char status[16];
    std::snprintf(status, sizeof(status), "0x%08X",
                  static_cast<unsigned>(StatusDriverEntrypointNotFound));
    std::string why = MachineVersion() >= since
                          ? "this machine's kernel does not export it"
                          : "Windows " + VersionText(MachineVersion()) +
                                " does not export it (first in " + VersionText(since) + ")";
    return std::string("the loader fails the image with status ") + status +
           ": it imports " + name + ", and " + why;
}

void SetRoutineAddressTranslator(RoutineAddressTranslator translator, void* context)
{
    Translator = translator;
    TranslatorContext = context;
}

void* RoutineAddressFor(const RoutineInfo& routine)
{
    return Translator != nullptr ? Translator(routine, TranslatorContext) : routine.Address;
}

}  // namespace model
