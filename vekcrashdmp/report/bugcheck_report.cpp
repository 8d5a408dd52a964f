// The crash report. The kernel calls BugCheckReportCallback once, on the
// processor that runs the bug check, at HIGH_LEVEL with the other
// processors stopped. It allocates nothing, takes no lock of its own (the
// module table takes the module map's, with a bounded wait) and calls only
// the kernel routines that are safe there (the precise system time and the
// calendar split). The report has the same shape for every bug check code.
#include "report/bugcheck_report.h"
#include "report/version_block.h"
#include "report/context_stack.h"
#include "console/report_print.h"
#include "console/serial_console.h"
#include "modules/module_map.h"

BugCheckRegistrationRecord BugCheckRegistration;

namespace {

// Name under which the kernel lists the callback. Read-only data: the
// kernel keeps the pointer for as long as the callback is registered, and
// nothing may rewrite the name under it.
constexpr UCHAR ReportComponent[] = "Kelvaro";

constexpr ULONG VersionBlockExpectedSize = sizeof(RTL_OSVERSIONINFOEXW);
static_assert(VersionBlockExpectedSize == 284, "version record size");
static_assert(sizeof(KBUGCHECK_REASON_CALLBACK_RECORD) == 48, "callback record size");

// Index of the code in KiBugCheckData; the four parameters follow it.
constexpr ULONG BugCheckCodeIndex = 0;

// KeQuerySystemTimePrecise where the kernel has it (Windows 8 on), found
// at registration; Windows 7 has only the clock-tick time of the shared
// user data page.
KeQuerySystemTimePreciseRoutine QuerySystemTimePrecise;

VOID PrintCrashTime()
{
    LARGE_INTEGER now;
    if (QuerySystemTimePrecise != nullptr) {
        QuerySystemTimePrecise(&now);
    } else {
        ReadSharedSystemTime(&now);
    }
    TIME_FIELDS fields;
    RtlTimeToTimeFields(&now, &fields);
    // UTC, as the kernel keeps it; every field widened with its sign.
    ReportPrint(ReportLevelCrash, "CRASHED ON: %04d-%02d-%02d %02d:%02d:%02d:%d\n",
                LONG{fields.Year}, LONG{fields.Month}, LONG{fields.Day}, LONG{fields.Hour},
                LONG{fields.Minute}, LONG{fields.Second}, LONG{fields.Milliseconds});
}

VOID PrintBugCheckCode()
{
    ReportPrint(ReportLevelCrash, "BUGCHECK CODE %08X: %p %p %p %p\n",
                static_cast<ULONG>(KiBugCheckData[BugCheckCodeIndex]),
                KiBugCheckData[BugCheckCodeIndex + 1], KiBugCheckData[BugCheckCodeIndex + 2],
                KiBugCheckData[BugCheckCodeIndex + 3], KiBugCheckData[BugCheckCodeIndex + 4]);
}

NTSTATUS NTAPI PrintCapturedContext(PVOID Context)
{
    PrintContextAndStack(static_cast<PCONTEXT>(Context));
    return STATUS_SUCCESS;
}

} // namespace

// A frame of its own, so that the trace starts at the callback: the capture
// is taken here and unwinding it first reaches BugCheckReportCallback.
DECLSPEC_NOINLINE VOID ReportCurrentContext()
{
    CONTEXT context;
    // At HIGH_LEVEL by decision: RtlCaptureContext's page says DISPATCH_LEVEL or below, the
    // KBUGCHECK_REASON_CALLBACK_ROUTINE page forbids locks and pool, and it only copies registers.
    RtlCaptureContext(&context);
    // A fault ends this section silently; the report goes on.
    RunGuarded(PrintCapturedContext, &context);
}

_Use_decl_annotations_
NTSTATUS RegisterBugCheckReport(const RTL_OSVERSIONINFOEXW* VersionBlock, ULONG VersionBlockSize)
{
    // Written before the kernel can call the callback; read only afterwards.
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, WIDE("KeQuerySystemTimePrecise"));
    QuerySystemTimePrecise =
        reinterpret_cast<KeQuerySystemTimePreciseRoutine>(MmGetSystemRoutineAddress(&routineName));
    BugCheckRegistration.VersionBlock = VersionBlock;
    BugCheckRegistration.VersionBlockSize = VersionBlockSize;
    BugCheckRegistration.CallbackRecord.State = BufferEmpty;

    // The kernel's prototype takes the name as PUCHAR; it only reads it.
    BOOLEAN registered = KeRegisterBugCheckReasonCallback(
        &BugCheckRegistration.CallbackRecord, BugCheckReportCallback, KbCallbackSecondaryDumpData,
        const_cast<PUCHAR>(ReportComponent));
    return registered ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

_Use_decl_annotations_
VOID DeregisterBugCheckReport()
{
    KeDeregisterBugCheckReasonCallback(&BugCheckRegistration.CallbackRecord);
}

// The secondary dump data the kernel offers is left untouched: the report
// goes to the console only.
VOID BugCheckReportCallback(KBUGCHECK_CALLBACK_REASON Reason,
                            PKBUGCHECK_REASON_CALLBACK_RECORD Record, PVOID ReasonSpecificData,
                            ULONG ReasonSpecificDataLength)
{
    UNREFERENCED_PARAMETER(Reason);
    UNREFERENCED_PARAMETER(Record);
    UNREFERENCED_PARAMETER(ReasonSpecificData);
    UNREFERENCED_PARAMETER(ReasonSpecificDataLength);

    const RTL_OSVERSIONINFOEXW* versionBlock = BugCheckRegistration.VersionBlock;
    ULONG versionBlockSize = BugCheckRegistration.VersionBlockSize;

    PrepareConsoleUart();
    // The leading line feed puts the report on a fresh line after whatever
    // the console showed last.
    ReportPrint(ReportLevelCrash, "\nBUGCHECK DUMP STARTS\n");
    ReportPrint(ReportLevelCrash, "OUTPUT FORMAT: 2\n");
    PrintCrashTime();

    if (versionBlockSize == VersionBlockExpectedSize && versionBlock != nullptr) {
        PrintVersionBlock(versionBlock);
    } else {
        ReportPrint(ReportLevelCrash, "NO OS VERSION AVAILABLE: %d %d %p\n", versionBlockSize,
                    VersionBlockExpectedSize, versionBlock);
    }

    PrintModuleTable();
    PrintBugCheckCode();
    ReportCurrentContext();
    ReportPrint(ReportLevelCrash, "BUGCHECK DUMP ENDS\n");
}
