// The operating system version block of the crash report: KERNEL, SP,
// SUITES and TYPE lines from the version record captured at load.
#pragma once

#include "driver/kernel.h"

// Version must point at a full 284-byte record; the caller checks.
VOID PrintVersionBlock(const RTL_OSVERSIONINFOEXW* Version);
