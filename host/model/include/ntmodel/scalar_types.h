// Scalar types.
// A part of the model kernel as the driver sees it; ntmodel/ntmodel.h
// includes every part, in order.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>
#include <string.h>

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef int16_t CSHORT;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t ULONG64;
typedef ULONG64* PULONG64;
typedef uint64_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef uint64_t SIZE_T;
typedef int32_t NTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef ULONG DEVICE_TYPE;
typedef ULONG LOGICAL;
typedef PVOID HANDLE;

static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits on Windows");
static_assert(sizeof(PVOID) == 8, "64-bit pointers");

#define TRUE 1
#define FALSE 0
#define NTAPI
#define NTKERNELAPI
#define NTSYSAPI
#define ANYSIZE_ARRAY 1
#define MAXULONG 0xFFFFFFFFUL

// Annotations of the kit headers; the model checks the contracts they state
// at run time instead.
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _Outptr_result_nullonfailure_
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_same_
#define _Use_decl_annotations_
#define _Function_class_(name)
#define _Must_inspect_result_
#define _Printf_format_string_
#define UNREFERENCED_PARAMETER(P) ((void)(P))

#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))

#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
