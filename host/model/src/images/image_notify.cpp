// Image-load notify routines, the module queries (RtlQueryModuleInformation
// and system information class 11, both answered from the image registry),
// PsGetVersion and the ANSI string routines.
#include "memory/guest_memory.h"
#include "core/model_lock.h"

#include "model/kernel_memory.h"

#include <algorithm>
#include <cstring>

namespace model {

// Lists the images due after this many module queries (loaded_images.cpp).
void GrowModuleList(MachineState& s);

namespace {

// Since Windows 8.1's update (and Windows 7 SP1 with a hotfix); eight before.
constexpr size_t MaxImageNotifyRoutines = 64;
// The tag of the buffers the string routines allocate ('Strg').
constexpr ULONG AnsiStringTag = 0x67727453;
constexpr size_t FullPathLength = 256;

std::string Pointer(const void* pointer)
{
    return AddressText(reinterpret_cast<uintptr_t>(pointer));
}

// One listed kernel-mode image as both module queries describe it.
struct ModuleRecord {
    uint64_t Base;
    uint64_t Size;
    std::string Path;
    USHORT FileNameOffset;
};

std::vector<ModuleRecord> ModuleList()
{
    std::vector<ModuleRecord> list;
    ForEachImage([&](const LoadedImage& image) {
        ModuleRecord record{image.Base, image.Size, image.FullPath.substr(0, FullPathLength - 1),
                            0};
        size_t slash = record.Path.find_last_of('\\');
        record.FileNameOffset =
            static_cast<USHORT>(slash == std::string::npos ? 0 : slash + 1);
        list.push_back(std::move(record));
    });
    return list;
}

// A query answered: images due to load after it are listed.
void ModuleQueryAnswered()
{
    MachineState& s = State();
    ++s.ModuleQueries;
    GrowModuleList(s);
}

}  // namespace

// Class 11 of ZwQuerySystemInformation (system_information.cpp): as the
// kernel does, the count and the records that fit are written, and a buffer
// too small for all of them gets STATUS_INFO_LENGTH_MISMATCH with the length
// needed.
NTSTATUS QueryModuleList(const char* routine, PVOID buffer, ULONG length, PULONG returnLength)
{
    std::vector<ModuleRecord> list = ModuleList();
    const uint64_t needed =
        offsetof(RTL_PROCESS_MODULES, Modules) + list.size() * sizeof(RTL_PROCESS_MODULE_INFORMATION);
    if (length != 0) {
        Require(routine, buffer, length, MemoryAccess::Write);
    }
    if (length >= sizeof(ULONG)) {
        WriteToDriver(routine, static_cast<ULONG*>(buffer), static_cast<ULONG>(list.size()));
    }
    auto* modules = reinterpret_cast<RTL_PROCESS_MODULE_INFORMATION*>(
        static_cast<uint8_t*>(buffer) + offsetof(RTL_PROCESS_MODULES, Modules));
    for (size_t i = 0; i < list.size(); ++i) {
        uint64_t end = offsetof(RTL_PROCESS_MODULES, Modules) +
                       (i + 1) * sizeof(RTL_PROCESS_MODULE_INFORMATION);
        if (end > length) {
            break;
        }
        RTL_PROCESS_MODULE_INFORMATION info = {};
        info.ImageBase = reinterpret_cast<PVOID>(list[i].Base);
        info.ImageSize = static_cast<ULONG>(list[i].Size);
        info.LoadOrderIndex = static_cast<USHORT>(i);
        info.InitOrderIndex = static_cast<USHORT>(i);
        info.LoadCount = 1;
        info.OffsetToFileName = list[i].FileNameOffset;
        std::memcpy(info.FullPathName, list[i].Path.data(), list[i].Path.size());
        WriteToDriver(routine, &modules[i], info);
    }
    if (returnLength != nullptr) {
        WriteToDriver(routine, returnLength, static_cast<ULONG>(needed));
    }
    ModuleQueryAnswered();
    return needed > length ? STATUS_INFO_LENGTH_MISMATCH : STATUS_SUCCESS;
}

}  // namespace model

using namespace model;

extern "C" NTSTATUS PsSetLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine)
{
    KernelScope kernel;
    auto fault = EnterRoutine("PsSetLoadImageNotifyRoutine", PASSIVE_LEVEL, AtBugCheck::Forbidden,
                              Pointer(reinterpret_cast<const void*>(NotifyRoutine)));
    if (fault) {
        return *fault;
    }
    MachineState& s = State();
    if (s.ImageNotifyRoutines.size() >= MaxImageNotifyRoutines) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    s.ImageNotifyRoutines.push_back(NotifyRoutine);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PsRemoveLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine)
{
    KernelScope kernel;
    EnterRoutine("PsRemoveLoadImageNotifyRoutine", APC_LEVEL, AtBugCheck::Forbidden,
                 Pointer(reinterpret_cast<const void*>(NotifyRoutine)));
    auto& routines = State().ImageNotifyRoutines;
    auto found = std::find(routines.begin(), routines.end(), NotifyRoutine);
    if (found == routines.end()) {
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    routines.erase(found);
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                PUNICODE_STRING CSDVersion)
{
    KernelScope kernel;
    constexpr const char* Routine = "PsGetVersion";
    EnterRoutine(Routine, PASSIVE_LEVEL, AtBugCheck::Forbidden);
    const OsVersion& version = State().Config.Version;
    if (MajorVersion != nullptr) {
        WriteToDriver(Routine, MajorVersion, version.Major);
    }
    if (MinorVersion != nullptr) {
        WriteToDriver(Routine, MinorVersion, version.Minor);
    }
    if (BuildNumber != nullptr) {
        WriteToDriver(Routine, BuildNumber, version.Build);
    }
    if (CSDVersion != nullptr) {
        // Copied into the caller's buffer as far as it holds.
        UNICODE_STRING string = ReadFromDriver(Routine, CSDVersion);
        size_t bytes = std::min<size_t>(version.CsdVersion.size() * sizeof(WCHAR),
                                        string.MaximumLength);
        bytes &= ~size_t{1};
        if (bytes != 0) {
            CopyToDriver(Routine, string.Buffer, version.CsdVersion.data(), bytes);
        }
        string.Length = static_cast<USHORT>(bytes);
        WriteToDriver(Routine, CSDVersion, string);
    }
    // TRUE for a checked (debug) build of the kernel.
    return FALSE;
}

extern "C" NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                 PCUNICODE_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString)
{
    KernelScope kernel;
    constexpr const char* Routine = "RtlUnicodeStringToAnsiString";
    auto source = ReadUnicodeString(Routine, SourceString);
    auto fault = EnterRoutine(Routine, PASSIVE_LEVEL, AtBugCheck::Forbidden,
                              std::string("allocate=") + (AllocateDestinationString ? "1" : "0") +
                                  " length=" + std::to_string(source ? source->size() : 0));
    if (fault) {
        return *fault;
    }
    if (!source) {
        return STATUS_INVALID_PARAMETER;
    }
    // The system code page as Latin-1: units above 0xFF have no byte.
    std::string text;
    for (char16_t unit : *source) {
        text.push_back(unit <= 0xFF ? static_cast<char>(unit) : '?');
    }
    const size_t size = text.size() + 1;  // with its terminator
    if (size > UINT16_MAX) {
        return STATUS_INVALID_PARAMETER_2;
    }
    ANSI_STRING destination = ReadFromDriver(Routine, DestinationString);
    if (AllocateDestinationString) {
        MachineState& s = State();
        auto* buffer = static_cast<char*>(AllocateKernelMemory(size, 16));
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        s.Pool[buffer] = PoolBlock{PagedPool, size, AnsiStringTag};
        s.FreedBlocks.erase(buffer);
        s.AnsiStrings.insert(buffer);
        std::memcpy(buffer, text.c_str(), size);
        destination.Buffer = buffer;
        destination.Length = static_cast<USHORT>(text.size());
        destination.MaximumLength = static_cast<USHORT>(size);
        WriteToDriver(Routine, DestinationString, destination);
        return STATUS_SUCCESS;
    }
    // Into the caller's buffer: what fits, and STATUS_BUFFER_OVERFLOW when
    // the whole string (with its terminator) does not.
    NTSTATUS status = STATUS_SUCCESS;
    size_t copy = text.size();
    if (size > destination.MaximumLength) {
        status = STATUS_BUFFER_OVERFLOW;
        copy = destination.MaximumLength;
    }
    if (copy != 0) {
        CopyToDriver(Routine, destination.Buffer, text.data(), copy);
    }
    if (copy < destination.MaximumLength) {
        WriteToDriver(Routine, destination.Buffer + copy, '\0');
    }
    destination.Length = static_cast<USHORT>(copy);
    WriteToDriver(Routine, DestinationString, destination);
    return status;
}

extern "C" VOID RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    KernelScope kernel;
    constexpr const char* Routine = "RtlFreeAnsiString";
    EnterRoutine(Routine, PASSIVE_LEVEL, AtBugCheck::Forbidden, Pointer(AnsiString));
    ANSI_STRING string = ReadFromDriver(Routine, AnsiString);
    if (string.Buffer == nullptr) {
        return;
    }
    MachineState& s = State();
    if (s.AnsiStrings.erase(string.Buffer) == 0) {
        if (s.FreedBlocks.count(string.Buffer) != 0) {
            Violation("RtlFreeAnsiString on %s, which is already freed", Pointer(string.Buffer).c_str());
        } else {
            Violation("RtlFreeAnsiString on %s, which RtlUnicodeStringToAnsiString did not allocate",
                      Pointer(string.Buffer).c_str());
        }
        return;
    }
    s.Pool.erase(string.Buffer);
    s.FreedBlocks.insert(string.Buffer);
    FreeKernelMemory(string.Buffer);
    string.Buffer = nullptr;
    string.Length = 0;
    string.MaximumLength = 0;
    WriteToDriver(Routine, AnsiString, string);
}

extern "C" NTSTATUS RtlQueryModuleInformation(PULONG InformationLength, ULONG SizePerModule,
                                              PVOID InformationBuffer)
{
    KernelScope kernel;
    constexpr const char* Routine = "RtlQueryModuleInformation";
    auto fault = EnterRoutine(Routine, PASSIVE_LEVEL, AtBugCheck::Forbidden,
                              "size=" + std::to_string(SizePerModule) +
                                  (InformationBuffer == nullptr ? " buffer=null" : ""));
    if (fault) {
        return *fault;
    }
    if (InformationLength == nullptr) {
        return STATUS_INVALID_PARAMETER_1;
    }
    if (SizePerModule != sizeof(RTL_MODULE_BASIC_INFO) &&
        SizePerModule != sizeof(RTL_MODULE_EXTENDED_INFO)) {
        return STATUS_INVALID_PARAMETER_2;
    }
    ULONG length = ReadFromDriver(Routine, InformationLength);
    std::vector<ModuleRecord> list = ModuleList();
    const uint64_t needed = list.size() * uint64_t{SizePerModule};
    if (needed > UINT32_MAX) {
        return STATUS_INTEGER_OVERFLOW;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (InformationBuffer != nullptr) {
        if (length < needed) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            auto* out = static_cast<uint8_t*>(InformationBuffer);
            Require(Routine, out, needed, MemoryAccess::Write);
            for (size_t i = 0; i < list.size(); ++i) {
                RTL_MODULE_EXTENDED_INFO info = {};
                info.BasicInfo.ImageBase = reinterpret_cast<PVOID>(list[i].Base);
                info.ImageSize = static_cast<ULONG>(list[i].Size);
                info.FileNameOffset = list[i].FileNameOffset;
                std::memcpy(info.FullPathName, list[i].Path.data(), list[i].Path.size());
                CopyToDriver(Routine, out + i * SizePerModule, &info, SizePerModule);
            }
        }
    }
    WriteToDriver(Routine, InformationLength, static_cast<ULONG>(needed));
    ModuleQueryAnswered();
    return status;
}
