// Byte fills and copies for code that runs inside the bug check, where the
// driver calls no kernel routine. RtlZeroMemory and RtlCopyMemory are the
// kernel's memset and memcpy, and a compiler turns a plain fill or copy
// loop into the same calls; these two are built so that it cannot.
#pragma once

#include "driver/kernel.h"

VOID ZeroBytes(PVOID Destination, SIZE_T Length);

VOID CopyBytes(PVOID Destination, const VOID* Source, SIZE_T Length);
