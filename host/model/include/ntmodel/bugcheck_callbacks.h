// Bug check reason callbacks.
// A part of the model kernel as the driver sees it; ntmodel/ntmodel.h
// includes every part, in order.
#pragma once

#include "ntmodel/driver_objects.h"

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
