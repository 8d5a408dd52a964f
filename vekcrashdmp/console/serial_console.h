// The serial console: which UART the crash report goes to, and polled byte
// output to it. Discovery runs once at load; output runs at any IRQL,
// including inside the bug check with the other processors stopped, so it
// touches nothing but the UART's registers and ConsolePort.
#pragma once

#include "driver/kernel.h"

enum ConsoleMode : ULONG {
    ConsoleNone = 0,
    ConsolePortIo = 1,
    ConsoleMemoryMapped = 2,
};

struct ConsolePortRecord {
    // I/O port number (ConsolePortIo) or non-cached virtual address
    // (ConsoleMemoryMapped) of the register block; 0 means no console.
    ULONG64 Base;
    ULONG Mode;
    // Set when the transmitter stayed busy past the polling bound: the rest
    // of the line (in a bug check, of the report) is dropped at once rather
    // than waiting again per byte.
    BOOLEAN TransmitterStalled;
    // Set when the bug check report prepares the UART. A bug check never
    // ends, so it is never cleared.
    BOOLEAN InBugCheck;
};

extern ConsolePortRecord ConsolePort;

// Legacy COM port the load routine falls back to when the firmware names no
// memory-mapped UART.
constexpr ULONG ConsoleComIndex = 1;
constexpr ULONG ComPortCount = 5;

// Physical address of the firmware's memory-mapped console UART, or 0.
_IRQL_requires_(PASSIVE_LEVEL)
ULONG64 FindSpcrUartAddress();

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS OpenSerialConsole(ULONG ComIndex);

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CloseSerialConsole();

// Makes the UART fit for polled output; called at bug check before the
// first byte of the report.
VOID PrepareConsoleUart();

// Called before the first byte of every line. Outside a bug check a line
// gets a fresh try at a transmitter that stalled on an earlier one.
VOID BeginConsoleLine();

VOID ConsoleWriteByte(UCHAR Byte);
