// 16550 register offsets and bits the console uses. One byte per register,
// consecutive addresses.
#pragma once

#include "driver/kernel.h"

constexpr ULONG UartTransmitHolding = 0;
constexpr ULONG UartInterruptEnable = 1;
constexpr ULONG UartLineControl = 3;
constexpr ULONG UartLineStatus = 5;

// Registers 0 through 6; the scratch register is never used.
constexpr SIZE_T UartRegisterSpan = 7;

constexpr UCHAR LineControlDivisorLatch = 0x80;
constexpr UCHAR LineStatusTransmitEmpty = 0x20;
