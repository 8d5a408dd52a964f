// Version and system information: RtlGetVersion, the firmware table query
// (the SPCR table), the pool zeroing query, and routine lookup by name.
#include "memory/guest_memory.h"
#include "core/model_lock.h"

#include <cstring>

extern "C" NTSTATUS NtQuerySystemInformation(ULONG SystemInformationClass,
                                             PVOID SystemInformation,
                                             ULONG SystemInformationLength, PULONG ReturnLength);

namespace model {

// Class 11, the loaded modules (image_notify.cpp).
NTSTATUS QueryModuleList(const char* routine, PVOID buffer, ULONG length, PULONG returnLength);

namespace {

constexpr ULONG FirmwareProviderAcpi = 0x41435049;  // 'ACPI'
constexpr ULONG FirmwareActionGetTable = 1;
constexpr ULONG SpcrTableId = 0x52435053;  // "SPCR"
constexpr ULONG FirmwareRequestHeader = 16;

constexpr size_t SpcrRevision2Length = 80;
constexpr size_t SpcrRevision4Length = 88;  // carries a namespace string
constexpr uint8_t AddressSpaceMemory = 0;
constexpr uint8_t AddressSpaceIo = 1;

std::vector<uint8_t> BuildSpcrTable(const SpcrTable& spcr)
{
    size_t length = spcr.Kind == SpcrKind::TooLarge ? SpcrRevision4Length : SpcrRevision2Length;
    std::vector<uint8_t> table(length, 0);
    std::memcpy(&table[0], "SPCR", 4);
    for (int i = 0; i < 4; ++i) {
        table[4 + i] = static_cast<uint8_t>(length >> (8 * i));
    }
    table[8] = spcr.Kind == SpcrKind::TooLarge ? 4 : 2;  // revision
    std::memcpy(&table[10], "VEKSIM", 6);                 // OEM identity
    table[36] = 0;                                        // interface: 16550
    // Generic address structure of the UART registers.
    table[40] = spcr.Kind == SpcrKind::Io ? AddressSpaceIo : AddressSpaceMemory;
    table[41] = 8;  // register bit width
    table[42] = 0;  // register bit offset
    table[43] = 1;  // byte access
    for (int i = 0; i < 8; ++i) {
        table[44 + i] = static_cast<uint8_t>(spcr.Address >> (8 * i));
    }
    table[58] = 7;  // 115200 baud
    table[60] = 1;  // one stop bit
    uint8_t sum = 0;
    for (uint8_t byte : table) {
        sum = static_cast<uint8_t>(sum + byte);
    }
    table[9] = static_cast<uint8_t>(0 - sum);
    return table;
}

// The request header the caller fills: provider, action, table id, and
// the length of the table buffer that follows.
struct FirmwareRequest {
    ULONG Provider;
    ULONG Action;
    ULONG TableId;
    ULONG TableBufferLength;
};
static_assert(sizeof(FirmwareRequest) == FirmwareRequestHeader, "firmware request layout");

NTSTATUS QueryFirmwareTable(const char* routine, PVOID buffer, ULONG length,
                            PULONG returnLength)
{
    if (length < FirmwareRequestHeader || buffer == nullptr) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    // The whole buffer the caller claims must be there, as the kernel probes
    // it before use.
    Require(routine, buffer, length, MemoryAccess::Write);
    auto* header = static_cast<FirmwareRequest*>(buffer);
    FirmwareRequest request = ReadFromDriver(routine, header);
    if (request.Provider != FirmwareProviderAcpi || request.Action != FirmwareActionGetTable) {
        return STATUS_INVALID_PARAMETER;
    }
    const SpcrTable& spcr = State().Config.Spcr;
    if (request.TableId != SpcrTableId || spcr.Kind == SpcrKind::Absent) {
        return STATUS_NOT_FOUND;
    }
    std::vector<uint8_t> table = BuildSpcrTable(spcr);
    auto needed = static_cast<ULONG>(table.size());
    if (returnLength != nullptr) {
        WriteToDriver(routine, returnLength, FirmwareRequestHeader + needed);
    }
    bool fits = request.TableBufferLength >= needed && length >= FirmwareRequestHeader + needed;
    request.TableBufferLength = needed;
    WriteToDriver(routine, header, request);
    if (!fits) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    CopyToDriver(routine, static_cast<uint8_t*>(buffer) + FirmwareRequestHeader, table.data(),
                 needed);
    return STATUS_SUCCESS;
}

NTSTATUS QueryPoolZeroing(const char* routine, PVOID buffer, ULONG length, PULONG returnLength)
{
    PoolZeroing zeroing = State().Config.Zeroing;
    if (zeroing == PoolZeroing::QueryUnsupported) {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (length < 1 || buffer == nullptr) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    WriteToDriver(routine, static_cast<UCHAR*>(buffer),
                  static_cast<UCHAR>(zeroing == PoolZeroing::Supported ? 1 : 0));
    if (returnLength != nullptr) {
        WriteToDriver(routine, returnLength, ULONG{1});
    }
    return STATUS_SUCCESS;
}

NTSTATUS QuerySystemInformation(const char* routine, ULONG informationClass, PVOID buffer,
                                ULONG length, PULONG returnLength)
{
    auto fault = EnterRoutine(routine, PASSIVE_LEVEL, AtBugCheck::Forbidden,
                              "class=" + std::to_string(informationClass) +
                                  " length=" + std::to_string(length));
    if (fault) {
        return *fault;
    }
    switch (informationClass) {
    case SystemFirmwareTableInformation:
        return QueryFirmwareTable(routine, buffer, length, returnLength);
    case SystemPoolZeroingInformation:
        return QueryPoolZeroing(routine, buffer, length, returnLength);
    case SystemModuleInformation:
        return QueryModuleList(routine, buffer, length, returnLength);
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

void CopyVersion(RTL_OSVERSIONINFOEXW* to, bool extended)
{
    constexpr const char* Routine = "RtlGetVersion";
    const OsVersion& version = State().Config.Version;
    RTL_OSVERSIONINFOEXW copy = {};
    size_t size = extended ? sizeof(RTL_OSVERSIONINFOEXW) : sizeof(RTL_OSVERSIONINFOW);
    CopyFromDriver(Routine, &copy, to, size);
    RTL_OSVERSIONINFOEXW* info = &copy;
    info->dwMajorVersion = version.Major;
    info->dwMinorVersion = version.Minor;
    info->dwBuildNumber = version.Build;
    info->dwPlatformId = version.PlatformId;
    std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
    size_t units = std::min(version.CsdVersion.size(), std::size(info->szCSDVersion) - 1);
    std::memcpy(info->szCSDVersion, version.CsdVersion.data(), units * sizeof(WCHAR));
    if (extended) {
        info->wServicePackMajor = version.ServicePackMajor;
        info->wServicePackMinor = version.ServicePackMinor;
        info->wSuiteMask = version.SuiteMask;
        info->wProductType = version.ProductType;
        info->wReserved = 0;
    }
    CopyToDriver(Routine, to, &copy, size);
}

}  // namespace

}  // namespace model

using namespace model;

extern "C" NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation)
{
    KernelScope kernel;
    ULONG size = VersionInformation != nullptr
                     ? ReadFromDriver("RtlGetVersion", &VersionInformation->dwOSVersionInfoSize)
                     : 0;
    auto fault = EnterRoutine("RtlGetVersion", PASSIVE_LEVEL, AtBugCheck::Forbidden,
                              "size=" + std::to_string(size));
    if (fault) {
        return *fault;
    }
    if (VersionInformation == nullptr || size < sizeof(RTL_OSVERSIONINFOW)) {
        return STATUS_INVALID_PARAMETER;
    }
    CopyVersion(reinterpret_cast<RTL_OSVERSIONINFOEXW*>(VersionInformation),
                size >= sizeof(RTL_OSVERSIONINFOEXW));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwQuerySystemInformation(ULONG SystemInformationClass,
                                             PVOID SystemInformation,
                                             ULONG SystemInformationLength, PULONG ReturnLength)
{
    KernelScope kernel;
    return QuerySystemInformation("ZwQuerySystemInformation", SystemInformationClass,
                                  SystemInformation, SystemInformationLength, ReturnLength);
}

extern "C" NTSTATUS NtQuerySystemInformation(ULONG SystemInformationClass,
                                             PVOID SystemInformation,
                                             ULONG SystemInformationLength, PULONG ReturnLength)
{
    KernelScope kernel;
    return QuerySystemInformation("NtQuerySystemInformation", SystemInformationClass,
                                  SystemInformation, SystemInformationLength, ReturnLength);
}

extern "C" PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    KernelScope kernel;
    auto name = ReadUnicodeString("MmGetSystemRoutineAddress", SystemRoutineName);
    auto fault = EnterRoutine("MmGetSystemRoutineAddress", PASSIVE_LEVEL, AtBugCheck::Forbidden,
                              name ? Narrow(*name) : std::string("?"));
    if (fault || !name) {
        return nullptr;
    }
    const RoutineInfo* routine = FindRoutine(Narrow(*name));
    if (routine == nullptr) {
        return nullptr;
    }
    return RoutineExported(*routine) ? RoutineAddressFor(*routine) : nullptr;
}
