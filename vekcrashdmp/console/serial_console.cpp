// Chooses the console UART at load and releases its mapping at unload.
// The choice is made once; the firmware table is read only here.
#include "console/serial_console.h"
#include "console/uart_registers.h"
#include "driver/io_space.h"

ConsolePortRecord ConsolePort;

namespace {

// I/O port bases of the legacy COM ports; index 0 means no console.
constexpr ULONG ComPortTable[ComPortCount] = {0, 0x3F8, 0x2F8, 0x3E8, 0x2E8};

// Device registers must not be cached: every status read has to reach the
// UART.
constexpr ULONG UartMappingProtection = PAGE_READWRITE | PAGE_NOCACHE;

} // namespace

_Use_decl_annotations_
NTSTATUS OpenSerialConsole(ULONG ComIndex)
{
    ULONG64 physicalAddress = FindSpcrUartAddress();
    if (physicalAddress == 0) {
        // No probe is made: a port with nothing behind it simply swallows
        // the report.
        ConsolePort.Mode = ConsolePortIo;
        ConsolePort.Base = ComIndex < ComPortCount ? ComPortTable[ComIndex] : 0;
        return STATUS_SUCCESS;
    }

    PVOID registers =
        MapIoSpace(physicalAddress, UartRegisterSpan, UartMappingProtection, MmNonCached);
    ConsolePort.Base = reinterpret_cast<ULONG_PTR>(registers);
    if (registers == nullptr) {
        return STATUS_UNEXPECTED_MM_MAP_ERROR;
    }
    ConsolePort.Mode = ConsoleMemoryMapped;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
VOID CloseSerialConsole()
{
    if (ConsolePort.Mode == ConsoleMemoryMapped) {
        MmUnmapIoSpace(reinterpret_cast<PVOID>(ConsolePort.Base), UartRegisterSpan);
    }
    // Forget the registers: a late writer (an outcome line still queued)
    // then finds no console instead of a released mapping.
    ConsolePort.Base = 0;
    ConsolePort.Mode = ConsoleNone;
}
