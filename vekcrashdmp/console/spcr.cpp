// Reads the firmware's Serial Port Console Redirection table to find a
// memory-mapped console UART. Runs once, at load.
#include "console/serial_console.h"

namespace {

constexpr ULONG FirmwareProviderAcpi = 0x41435049;  // 'ACPI'
constexpr ULONG FirmwareActionGetTable = 1;
constexpr ULONG SpcrTableId = 0x52435053;  // "SPCR" as the bytes stand in the table

// Enough for the table up to and including its base address; a longer table
// does not fit and the query fails, which sends the console to the COM port.
constexpr ULONG SpcrBufferLength = 80;

// Offsets into the table (ACPI SPCR layout).
constexpr ULONG SpcrSignatureOffset = 0;
constexpr ULONG SpcrAddressSpaceOffset = 40;
constexpr ULONG SpcrBaseAddressOffset = 44;
constexpr UCHAR AddressSpaceSystemMemory = 0;

// SYSTEM_FIRMWARE_TABLE_INFORMATION with room for the table.
struct SpcrRequestRecord {
    ULONG ProviderSignature;
    ULONG Action;
    ULONG TableId;
    ULONG TableBufferLength;
    UCHAR TableBuffer[SpcrBufferLength];
};
static_assert(sizeof(SpcrRequestRecord) == 96, "firmware table request layout");

SpcrRequestRecord SpcrRequest;

ULONG64 ReadLittleEndian64(const UCHAR* Bytes)
{
    ULONG64 value = 0;
    for (ULONG i = 8; i != 0; --i) {
        value = (value << 8) | Bytes[i - 1];
    }
    return value;
}

} // namespace

_Use_decl_annotations_
ULONG64 FindSpcrUartAddress()
{
    // Cleared first so that a table shorter than the fields read below
    // shows zeros there, never a previous answer.
    RtlZeroMemory(&SpcrRequest, sizeof(SpcrRequest));
    SpcrRequest.ProviderSignature = FirmwareProviderAcpi;
    SpcrRequest.Action = FirmwareActionGetTable;
    SpcrRequest.TableId = SpcrTableId;
    SpcrRequest.TableBufferLength = SpcrBufferLength;

    ULONG returnLength = 0;
    NTSTATUS status = ZwQuerySystemInformation(SystemFirmwareTableInformation, &SpcrRequest,
                                               sizeof(SpcrRequest), &returnLength);
    if (!NT_SUCCESS(status)) {
        return 0;
    }

    const UCHAR* table = SpcrRequest.TableBuffer;
    if (table[SpcrSignatureOffset] != 'S' || table[SpcrSignatureOffset + 1] != 'P' ||
        table[SpcrSignatureOffset + 2] != 'C' || table[SpcrSignatureOffset + 3] != 'R') {
        return 0;
    }
    // A UART in I/O space is reached through the COM port table instead.
    if (table[SpcrAddressSpaceOffset] != AddressSpaceSystemMemory) {
        return 0;
    }
    return ReadLittleEndian64(table + SpcrBaseAddressOffset);
}
