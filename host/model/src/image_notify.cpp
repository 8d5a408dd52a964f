// Image-load notification, the module queries (RtlQueryModuleInformation,
// system information class 11), PsGetVersion and the ANSI string routines.
#include "guest_memory.h"
#include "model_lock.h"

using namespace model;

extern "C" NTSTATUS PsSetLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine)
{
    KernelScope kernel;
    (void)NotifyRoutine;
    auto fault = EnterRoutine("PsSetLoadImageNotifyRoutine", PASSIVE_LEVEL, AtBugCheck::Forbidden);
    return fault ? *fault : STATUS_NOT_IMPLEMENTED;
}

extern "C" NTSTATUS PsRemoveLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine)
{
    KernelScope kernel;
    (void)NotifyRoutine;
    auto fault =
        EnterRoutine("PsRemoveLoadImageNotifyRoutine", PASSIVE_LEVEL, AtBugCheck::Forbidden);
    return fault ? *fault : STATUS_NOT_IMPLEMENTED;
}

extern "C" BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                PUNICODE_STRING CSDVersion)
{
    KernelScope kernel;
    (void)MajorVersion, (void)MinorVersion, (void)BuildNumber, (void)CSDVersion;
    EnterRoutine("PsGetVersion", PASSIVE_LEVEL, AtBugCheck::Forbidden);
    return FALSE;
}

extern "C" NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                 PCUNICODE_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString)
{
    KernelScope kernel;
    (void)DestinationString, (void)SourceString, (void)AllocateDestinationString;
    auto fault =
        EnterRoutine("RtlUnicodeStringToAnsiString", PASSIVE_LEVEL, AtBugCheck::Forbidden);
    return fault ? *fault : STATUS_NOT_IMPLEMENTED;
}

extern "C" VOID RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    KernelScope kernel;
    (void)AnsiString;
    EnterRoutine("RtlFreeAnsiString", PASSIVE_LEVEL, AtBugCheck::Forbidden);
}

extern "C" NTSTATUS RtlQueryModuleInformation(PULONG InformationLength, ULONG SizePerModule,
                                              PVOID InformationBuffer)
{
    KernelScope kernel;
    (void)InformationLength, (void)SizePerModule, (void)InformationBuffer;
    auto fault = EnterRoutine("RtlQueryModuleInformation", PASSIVE_LEVEL, AtBugCheck::Forbidden);
    return fault ? *fault : STATUS_NOT_IMPLEMENTED;
}
