// The bug check reason callback that writes the crash report to the serial
// console, and its registration.
#pragma once

#include "driver/kernel.h"

struct BugCheckRegistrationRecord {
    // Held by the kernel while registered: must neither move nor be freed.
    KBUGCHECK_REASON_CALLBACK_RECORD CallbackRecord;
    // The version record to print (the device extension's); read only.
    const RTL_OSVERSIONINFOEXW* VersionBlock;
    ULONG VersionBlockSize;
};

extern BugCheckRegistrationRecord BugCheckRegistration;

// Registers the report callback; STATUS_UNSUCCESSFUL when the kernel
// refuses it. VersionBlock must stay valid until deregistration.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RegisterBugCheckReport(const RTL_OSVERSIONINFOEXW* VersionBlock, ULONG VersionBlockSize);

_IRQL_requires_(PASSIVE_LEVEL)
VOID DeregisterBugCheckReport();

KBUGCHECK_REASON_CALLBACK_ROUTINE BugCheckReportCallback;

// Bug check only: captures this routine's own register context and prints
// it with the stack trace that unwinds from it, under a fault guard.
VOID ReportCurrentContext();
