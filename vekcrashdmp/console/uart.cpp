// Polled output to the console UART. Runs at any IRQL, also inside the bug
// check with interrupts masked and the other processors stopped: no lock,
// no allocation, no kernel routine, only register accesses.
#include "console/serial_console.h"
#include "console/uart_registers.h"

namespace {

// Upper bound on line status reads while waiting for the transmitter. A
// live 16550 empties its holding register within one character time (about
// 1 ms even at 9600 baud), and one status read costs at least about half a
// microsecond on hardware and tens of microseconds as a VM exit, so a live
// UART never comes near this bound, while a dead one delays a bug check by
// seconds at most instead of hanging it.
constexpr ULONG MaxTransmitPolls = 100000;

UCHAR ReadUartRegister(ULONG Offset)
{
    if (ConsolePort.Mode == ConsolePortIo) {
        return PortReadByte(static_cast<USHORT>(ConsolePort.Base + Offset));
    }
    return RegisterReadByte(reinterpret_cast<volatile UCHAR*>(ConsolePort.Base + Offset));
}

VOID WriteUartRegister(ULONG Offset, UCHAR Value)
{
    if (ConsolePort.Mode == ConsolePortIo) {
        PortWriteByte(static_cast<USHORT>(ConsolePort.Base + Offset), Value);
        return;
    }
    RegisterWriteByte(reinterpret_cast<volatile UCHAR*>(ConsolePort.Base + Offset), Value);
}

BOOLEAN WaitForTransmitter()
{
    for (ULONG poll = 0; poll < MaxTransmitPolls; ++poll) {
        if ((ReadUartRegister(UartLineStatus) & LineStatusTransmitEmpty) != 0) {
            return TRUE;
        }
    }
    return FALSE;
}

} // namespace

VOID PrepareConsoleUart()
{
    if (ConsolePort.Base == 0) {
        return;
    }
    // Offset 0 must address the transmit holding register, not the divisor
    // latch, and the UART must raise no interrupts while the report is
    // written.
    UCHAR lineControl = ReadUartRegister(UartLineControl);
    WriteUartRegister(UartLineControl, static_cast<UCHAR>(lineControl & ~LineControlDivisorLatch));
    WriteUartRegister(UartInterruptEnable, 0);
    // Each report gets a fresh chance at a transmitter that was stuck before,
    // and then one bounded wait in all: the bug check is not held up again
    // for every line.
    ConsolePort.TransmitterStalled = FALSE;
    ConsolePort.InBugCheck = TRUE;
}

VOID BeginConsoleLine()
{
    // Outside a bug check lines come far apart (the restore outcome line, a
    // work item): a transmitter stuck then may well be moving again now.
    if (!ConsolePort.InBugCheck) {
        ConsolePort.TransmitterStalled = FALSE;
    }
}

VOID ConsoleWriteByte(UCHAR Byte)
{
    if (ConsolePort.Base == 0 || ConsolePort.TransmitterStalled) {
        return;
    }
    if (!WaitForTransmitter()) {
        ConsolePort.TransmitterStalled = TRUE;
        return;
    }
    WriteUartRegister(UartTransmitHolding, Byte);
}
