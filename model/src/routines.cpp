// The model kernel's export table: every routine by name, whether a kernel
// may lack it, and how an injected failure shows.
#include "machine_state.h"

extern "C" {
PVOID MmMapIoSpaceEx(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, ULONG Protect);
NTSTATUS NtQuerySystemInformation(ULONG SystemInformationClass, PVOID SystemInformation,
                                  ULONG SystemInformationLength, PULONG ReturnLength);
}

namespace model {

namespace {

using Failure = RoutineInfo::Failure;

template <typename Routine>
void* Address(Routine* routine)
{
    return reinterpret_cast<void*>(routine);
}

}  // namespace

const std::vector<RoutineInfo>& ExportedRoutines()
{
    // Optional routines are those older kernels lack; the driver looks them
    // up by name and takes its own path when they are missing.
    static const std::vector<RoutineInfo> routines = {
        {"ExAllocatePoolWithTag", Address(ExAllocatePoolWithTag), false, true, Failure::Null},
        {"ExAllocatePoolWithQuotaTag", Address(ExAllocatePoolWithQuotaTag), false, true,
         Failure::Null},
        {"ExFreePoolWithTag", Address(ExFreePoolWithTag), false, true, Failure::None},
        {"IoCreateDevice", Address(IoCreateDevice), false, true, Failure::Status},
        {"IoDeleteDevice", Address(IoDeleteDevice), false, true, Failure::None},
        {"IoCreateSymbolicLink", Address(IoCreateSymbolicLink), false, true, Failure::Status},
        {"IoDeleteSymbolicLink", Address(IoDeleteSymbolicLink), false, true, Failure::Status},
        {"KeRegisterBugCheckReasonCallback", Address(KeRegisterBugCheckReasonCallback), false,
         true, Failure::False},
        {"KeDeregisterBugCheckReasonCallback", Address(KeDeregisterBugCheckReasonCallback), false,
         true, Failure::False},
        {"KeGetCurrentIrql", Address(KeGetCurrentIrql), false, true, Failure::None},
        {"KfRaiseIrql", Address(KfRaiseIrql), false, true, Failure::None},
        {"KeLowerIrql", Address(KeLowerIrql), false, true, Failure::None},
        {"KeQuerySystemTimePrecise", Address(KeQuerySystemTimePrecise), false, true,
         Failure::None},
        {"RtlTimeToTimeFields", Address(RtlTimeToTimeFields), false, true, Failure::None},
        {"RtlInitUnicodeString", Address(RtlInitUnicodeString), false, true, Failure::None},
        {"RtlGetVersion", Address(RtlGetVersion), false, true, Failure::Status},
        {"MmGetSystemRoutineAddress", Address(MmGetSystemRoutineAddress), false, true,
         Failure::Null},
        {"MmMapIoSpace", Address(MmMapIoSpace), false, true, Failure::Null},
        {"MmMapIoSpaceEx", Address(MmMapIoSpaceEx), true, true, Failure::Null},
        {"MmUnmapIoSpace", Address(MmUnmapIoSpace), false, true, Failure::None},
        {"ZwQuerySystemInformation", Address(ZwQuerySystemInformation), false, true,
         Failure::Status},
        {"NtQuerySystemInformation", Address(NtQuerySystemInformation), true, true,
         Failure::Status},
    };
    return routines;
}

const RoutineInfo* FindRoutine(const std::string& name)
{
    for (const RoutineInfo& routine : ExportedRoutines()) {
        if (name == routine.Name) {
            return &routine;
        }
    }
    return nullptr;
}

}  // namespace model
