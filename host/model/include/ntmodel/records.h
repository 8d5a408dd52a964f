// Records.
// A part of the model kernel as the driver sees it; ntmodel/ntmodel.h
// includes every part, in order.
#pragma once

#include "ntmodel/irql.h"

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef LARGE_INTEGER PHYSICAL_ADDRESS;
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER layout");

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING layout");
static_assert(offsetof(UNICODE_STRING, Buffer) == 8, "UNICODE_STRING layout");

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;
static_assert(sizeof(ANSI_STRING) == 16, "ANSI_STRING layout");
static_assert(offsetof(ANSI_STRING, Buffer) == 8, "ANSI_STRING layout");

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
static_assert(sizeof(GUID) == 16, "GUID layout");

typedef struct _TIME_FIELDS {
    CSHORT Year;
    CSHORT Month;
    CSHORT Day;
    CSHORT Hour;
    CSHORT Minute;
    CSHORT Second;
    CSHORT Milliseconds;
    CSHORT Weekday;
} TIME_FIELDS, *PTIME_FIELDS;
static_assert(sizeof(TIME_FIELDS) == 16, "TIME_FIELDS layout");

// A time the kernel updates while others read it, in the shared user data
// page: the writer stores High2Time, LowPart, then High1Time; a reader that
// sees the two high parts equal has a consistent value.
typedef struct _KSYSTEM_TIME {
    ULONG LowPart;
    LONG High1Time;
    LONG High2Time;
} KSYSTEM_TIME, *PKSYSTEM_TIME;
static_assert(sizeof(KSYSTEM_TIME) == 12, "KSYSTEM_TIME layout");

typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;
static_assert(sizeof(RTL_OSVERSIONINFOW) == 276, "RTL_OSVERSIONINFOW layout");

typedef struct _OSVERSIONINFOEXW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
    USHORT wServicePackMajor;
    USHORT wServicePackMinor;
    USHORT wSuiteMask;
    UCHAR wProductType;
    UCHAR wReserved;
} RTL_OSVERSIONINFOEXW, *PRTL_OSVERSIONINFOEXW;
static_assert(sizeof(RTL_OSVERSIONINFOEXW) == 284, "RTL_OSVERSIONINFOEXW layout");
static_assert(offsetof(RTL_OSVERSIONINFOEXW, wServicePackMajor) == 276, "layout");
static_assert(offsetof(RTL_OSVERSIONINFOEXW, wProductType) == 282, "layout");
