// The model kernel's export table: every routine by name, whether a kernel
// may lack it, how an injected failure shows, and the thunk an emulated
// processor calls it through. The exported variables are in
// data_exports.cpp.
#include "memory/guest_memory.h"
#include "core/model_lock.h"

#include "model/guest_thunk.h"

#include <cstring>

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

#define MODEL_ROUTINE(name, routine, optional, present, failure)                            \
    RoutineInfo                                                                             \
    {                                                                                       \
        name, reinterpret_cast<void*>(routine), optional, present, failure,                 \
            &thunk::Thunk<decltype(&routine), &routine>::Call,                              \
            thunk::Thunk<decltype(&routine), &routine>::Arity                               \
    }
#define KERNEL_ROUTINE(routine, failure) MODEL_ROUTINE(#routine, routine, false, true, failure)

const std::vector<RoutineInfo>& ExportedRoutines()
{
    // Optional routines are those older kernels lack; the driver looks them
    // up by name and takes its own path when they are missing.
    static const std::vector<RoutineInfo> routines = {
        KERNEL_ROUTINE(ExAllocatePoolWithTag, Failure::Null),
        KERNEL_ROUTINE(ExAllocatePoolWithQuotaTag, Failure::Null),
        KERNEL_ROUTINE(ExFreePoolWithTag, Failure::None),
        KERNEL_ROUTINE(IoCreateDevice, Failure::Status),
        KERNEL_ROUTINE(IoDeleteDevice, Failure::None),
        KERNEL_ROUTINE(IoCreateSymbolicLink, Failure::Status),
        KERNEL_ROUTINE(IoDeleteSymbolicLink, Failure::Status),
        KERNEL_ROUTINE(KeRegisterBugCheckReasonCallback, Failure::False),
        KERNEL_ROUTINE(KeDeregisterBugCheckReasonCallback, Failure::False),
        KERNEL_ROUTINE(KeGetCurrentIrql, Failure::None),
        KERNEL_ROUTINE(KfRaiseIrql, Failure::None),
        KERNEL_ROUTINE(KeLowerIrql, Failure::None),
        KERNEL_ROUTINE(KeQuerySystemTimePrecise, Failure::None),
        KERNEL_ROUTINE(KeQueryActiveProcessorCountEx, Failure::None),
        KERNEL_ROUTINE(KeGetCurrentProcessorNumberEx, Failure::None),
        KERNEL_ROUTINE(KeGetProcessorNumberFromIndex, Failure::Status),
        KERNEL_ROUTINE(KeInitializeDpc, Failure::None),
        KERNEL_ROUTINE(KeSetTargetProcessorDpcEx, Failure::Status),
        KERNEL_ROUTINE(KeInsertQueueDpc, Failure::False),
        KERNEL_ROUTINE(KeRemoveQueueDpc, Failure::None),
        KERNEL_ROUTINE(RtlTimeToTimeFields, Failure::None),
        KERNEL_ROUTINE(RtlInitUnicodeString, Failure::None),
        KERNEL_ROUTINE(RtlGetVersion, Failure::Status),
        KERNEL_ROUTINE(PsGetVersion, Failure::None),
        KERNEL_ROUTINE(PsSetLoadImageNotifyRoutine, Failure::Status),
        KERNEL_ROUTINE(PsRemoveLoadImageNotifyRoutine, Failure::Status),
        KERNEL_ROUTINE(RtlUnicodeStringToAnsiString, Failure::Status),
        KERNEL_ROUTINE(RtlFreeAnsiString, Failure::None),
        MODEL_ROUTINE("RtlQueryModuleInformation", RtlQueryModuleInformation, true, true,
                      Failure::Status),
        KERNEL_ROUTINE(MmGetSystemRoutineAddress, Failure::Null),
        KERNEL_ROUTINE(MmMapIoSpace, Failure::Null),
        MODEL_ROUTINE("MmMapIoSpaceEx", MmMapIoSpaceEx, true, true, Failure::Null),
        KERNEL_ROUTINE(MmUnmapIoSpace, Failure::None),
        KERNEL_ROUTINE(MmIsAddressValid, Failure::None),
        KERNEL_ROUTINE(ZwQuerySystemInformation, Failure::Status),
        MODEL_ROUTINE("NtQuerySystemInformation", NtQuerySystemInformation, true, true,
                      Failure::Status),
        KERNEL_ROUTINE(RtlCaptureContext, Failure::None),
        KERNEL_ROUTINE(RtlLookupFunctionEntry, Failure::None),
        KERNEL_ROUTINE(RtlVirtualUnwind, Failure::None),
        KERNEL_ROUTINE(__C_specific_handler, Failure::None),
        // The power-state notification and the work it starts (power.cpp).
        KERNEL_ROUTINE(ExCreateCallback, Failure::Status),
        KERNEL_ROUTINE(ExRegisterCallback, Failure::Null),
        KERNEL_ROUTINE(ExUnregisterCallback, Failure::None),
        KERNEL_ROUTINE(ObfDereferenceObject, Failure::None),
        KERNEL_ROUTINE(IoAllocateWorkItem, Failure::Null),
        KERNEL_ROUTINE(IoQueueWorkItem, Failure::None),
        KERNEL_ROUTINE(IoFreeWorkItem, Failure::None),
        KERNEL_ROUTINE(RtlCompareMemory, Failure::None),
        // Security descriptors, handles and secure device creation
        // (security.cpp). Windows kernels do not export IoCreateDeviceSecure
        // (the kit links its own); the converter is absent unless a machine
        // says otherwise, so the driver's own parser is the default path.
        KERNEL_ROUTINE(RtlCreateSecurityDescriptor, Failure::Status),
        KERNEL_ROUTINE(RtlSetDaclSecurityDescriptor, Failure::Status),
        KERNEL_ROUTINE(RtlAbsoluteToSelfRelativeSD, Failure::Status),
        KERNEL_ROUTINE(RtlAddAccessAllowedAce, Failure::Status),
        // A length cannot fail; the SID it measures can be wild.
        KERNEL_ROUTINE(RtlLengthSid, Failure::None),
        KERNEL_ROUTINE(RtlGetOwnerSecurityDescriptor, Failure::Status),
        KERNEL_ROUTINE(RtlGetGroupSecurityDescriptor, Failure::Status),
        KERNEL_ROUTINE(RtlGetSaclSecurityDescriptor, Failure::Status),
        KERNEL_ROUTINE(RtlGetDaclSecurityDescriptor, Failure::Status),
        KERNEL_ROUTINE(IoIsWdmVersionAvailable, Failure::False),
        KERNEL_ROUTINE(ObOpenObjectByPointer, Failure::Status),
        KERNEL_ROUTINE(ZwSetSecurityObject, Failure::Status),
        KERNEL_ROUTINE(ZwClose, Failure::Status),
        MODEL_ROUTINE("IoCreateDeviceSecure", IoCreateDeviceSecure, true, false, Failure::Status),
        MODEL_ROUTINE("SeConvertStringSecurityDescriptorToSecurityDescriptor",
                      SeConvertStringSecurityDescriptorToSecurityDescriptor, true, false,
                      Failure::Status),
        MODEL_ROUTINE("memset", ModelMemset, false, true, Failure::None),
        MODEL_ROUTINE("memcpy", ModelMemcpy, false, true, Failure::None),
        MODEL_ROUTINE("memmove", ModelMemmove, false, true, Failure::None),
    };
    return routines;
}

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
