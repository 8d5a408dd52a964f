// Images a machine lists beyond the kernel's own (model/loaded_images.h):
// synthetic PE headers, real files mapped as the loader maps them, and the
// image-load events that call the registered notify routines.
#include "memory/guest_memory.h"
#include "core/model_lock.h"
#include "processors/scheduler.h"

#include "model/kernel_memory.h"
#include "model/loaded_images.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <random>

namespace model {

namespace {

constexpr uint16_t DosSignature = 0x5A4D;     // "MZ"
constexpr uint32_t PeSignature = 0x00004550;  // "PE\0\0"
constexpr uint32_t CodeViewSignature = 0x53445352;  // "RSDS"
constexpr uint16_t MachineAmd64 = 0x8664;
constexpr uint16_t Pe32PlusMagic = 0x20B;
constexpr uint16_t OptionalHeaderSize = 240;
constexpr uint16_t ExecutableImage = 0x0022;  // executable, large address aware
constexpr uint16_t NativeSubsystem = 1;
constexpr uint32_t DirectoryCount = 16;
constexpr uint32_t DebugDirectoryIndex = 6;
constexpr uint32_t DebugEntrySize = 28;
constexpr uint32_t DebugTypeCodeView = 2;
constexpr uint32_t DebugTypePogo = 13;
constexpr uint32_t CodeViewHeaderSize = SyntheticCodeViewHeaderSize;
constexpr uint32_t HeadersSize = 0x400;
// Offsets within the NT headers.
constexpr uint64_t FileHeader = 4;
constexpr uint64_t Optional = 24;
constexpr uint64_t OptionalDirectories = Optional + 112;

template <typename T>
void Put(std::vector<uint8_t>& bytes, uint64_t offset, T value)
{
    if (offset <= bytes.size() && sizeof(T) <= bytes.size() - offset) {
        std::memcpy(bytes.data() + offset, &value, sizeof(T));
    }
}

uint64_t PageRound(uint64_t value)
{
    return (value + ImagePageSize - 1) / ImagePageSize * ImagePageSize;
}

std::string FileName(const std::string& path)
{
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<uint8_t> BuildSyntheticImage(const SyntheticIdentity& identity, uint64_t base,
                                         uint64_t size)
{
    size = std::max(PageRound(size), ImagePageSize);
    std::vector<uint8_t> bytes(size, 0);
    const uint32_t nt = SyntheticIdentity::SyntheticNewHeaderOffset;
    if (identity.Damage != ImageDamage::NoMz) {
        Put(bytes, 0, DosSignature);
    }
    Put(bytes, 0x3C, identity.NewHeaderOffset);
    if (identity.Damage != ImageDamage::NoPeSignature) {
        Put(bytes, nt, PeSignature);
    }
    Put(bytes, nt + FileHeader, MachineAmd64);
    Put(bytes, nt + FileHeader + 2, uint16_t{0});  // no sections: headers only
    Put(bytes, nt + FileHeader + 4, identity.TimeStamp);
    Put(bytes, nt + FileHeader + 16, OptionalHeaderSize);
    Put(bytes, nt + FileHeader + 18, ExecutableImage);
    Put(bytes, nt + Optional, Pe32PlusMagic);
    Put(bytes, nt + Optional + 24, base);                         // ImageBase
    Put(bytes, nt + Optional + 32, static_cast<uint32_t>(ImagePageSize));  // SectionAlignment
    Put(bytes, nt + Optional + 36, uint32_t{0x200});              // FileAlignment
    Put(bytes, nt + Optional + 56, static_cast<uint32_t>(size));  // SizeOfImage
    Put(bytes, nt + Optional + 60, HeadersSize);                  // SizeOfHeaders
    Put(bytes, nt + Optional + 64, identity.CheckSum);
    Put(bytes, nt + Optional + 68, NativeSubsystem);
    Put(bytes, nt + Optional + 108, DirectoryCount);

    const uint32_t record = identity.CodeViewRva != 0 ? identity.CodeViewRva
                            : size >= 2 * ImagePageSize ? SyntheticCodeViewRvaLarge
                                                        : SyntheticCodeViewRvaSmall;
    const uint32_t recordSize = CodeViewHeaderSize + static_cast<uint32_t>(identity.PdbPath.size()) + 1;
    if (identity.Damage != ImageDamage::NoDebugDirectory) {
        Put(bytes, nt + OptionalDirectories + 8 * DebugDirectoryIndex, SyntheticDebugDirectoryRva);
        Put(bytes, nt + OptionalDirectories + 8 * DebugDirectoryIndex + 4, DebugEntrySize);
    }
    const uint64_t entry = SyntheticDebugDirectoryRva;
    Put(bytes, entry + 4, identity.TimeStamp);
    Put(bytes, entry + 12,
        identity.Damage == ImageDamage::NoCodeView ? DebugTypePogo : DebugTypeCodeView);
    uint32_t dataSize = recordSize;
    if (identity.Damage == ImageDamage::TruncatedCodeView) {
        // Cut inside the path (or, for an empty one, inside the header).
        dataSize = identity.PdbPath.empty() ? CodeViewHeaderSize / 2
                                            : CodeViewHeaderSize + static_cast<uint32_t>(identity.PdbPath.size()) / 2;
    }
    Put(bytes, entry + 16, dataSize);
    Put(bytes, entry + 20, record);  // AddressOfRawData
    Put(bytes, entry + 24, record);  // PointerToRawData: file and image agree
    if (identity.Damage != ImageDamage::NoCodeView && record + recordSize <= size) {
        Put(bytes, record, CodeViewSignature);
        std::memcpy(bytes.data() + record + 4, identity.Guid, sizeof(identity.Guid));
        Put(bytes, record + 20, identity.Age);
        std::memcpy(bytes.data() + record + CodeViewHeaderSize, identity.PdbPath.data(),
                    identity.PdbPath.size());
        if (identity.Damage == ImageDamage::TruncatedCodeView) {
            // What lies past the entry's end is not the record's.
            std::memset(bytes.data() + record + dataSize, 0, recordSize - dataSize);
        }
    }
    return bytes;
}

ImageRegistration ListImage(const ImageSpec& wanted, std::string* error)
{
    ImageDescription description;
    description.Name = FileName(wanted.Path);
    description.FullPath = wanted.Path;
    description.Base = wanted.Base();
    if (wanted.Mapped) {
        description.OwnedBytes = *wanted.Mapped;
        description.Size = wanted.Size;
    } else if (!wanted.File.empty()) {
        const uint64_t room =
            wanted.Offset < ScenarioImageRegionSize ? ScenarioImageRegionSize - wanted.Offset : 0;
        if (!MapImageFile(wanted.File, description.Base, room, &description.OwnedBytes,
                          &description.Size, error)) {
            return {};
        }
    } else {
        description.Size = std::max(PageRound(wanted.Size), ImagePageSize);
        description.OwnedBytes = BuildSyntheticImage(wanted.Identity, description.Base, wanted.Size);
    }
    if (wanted.Offset % ImagePageSize != 0 || wanted.Offset >= ScenarioImageRegionSize ||
        description.Size > ScenarioImageRegionSize - wanted.Offset) {
        *error = "image " + description.Name + " does not lie page-aligned in the image region";
        return {};
    }
    description.PagedOutPages = wanted.NonResidentPages;
    return RegisterImage(std::move(description), error);
}

void ListMachineImages(MachineState& state)
{
    for (const ImageSpec& wanted : state.Config.Images) {
        std::string error;
        ImageRegistration registration = ListImage(wanted, &error);
        if (!registration.Registered()) {
            Violation("the machine cannot list an image: %s", error.c_str());
            continue;
        }
        state.MachineImages.push_back(std::move(registration));
    }
}

void DropImageNotifyRoutinesLeftBehind(const char* when)
{
    MachineState& s = State();
    for (PLOAD_IMAGE_NOTIFY_ROUTINE routine : s.ImageNotifyRoutines) {
        Violation("load image notify routine %s is still registered after %s",
                  AddressText(reinterpret_cast<uintptr_t>(routine)).c_str(), when);
    }
    s.ImageNotifyRoutines.clear();
}

size_t RegisteredImageNotifyRoutines()
{
    return State().ImageNotifyRoutines.size();
}

// Lists the images due after this many module queries.
void GrowModuleList(MachineState& s)
{
    for (const MachineConfig::ListGrowth& growth : s.Config.GrowingList) {
        if (growth.AfterQueries != s.ModuleQueries) {
            continue;
        }
        std::string error;
        ImageRegistration registration = ListImage(growth.Image, &error);
        if (!registration.Registered()) {
            Violation("the machine cannot list an image: %s", error.c_str());
            continue;
        }
        s.MachineImages.push_back(std::move(registration));
    }
}

namespace {

// What one notification hands the driver, in kernel memory it can reach.
struct NotifyBlock {
    IMAGE_INFO Info;
    UNICODE_STRING Name;
    WCHAR Text[1];  // the name's units follow
};

void NotifyOne(const ImageLoad& load, uint64_t size)
{
    MachineState& s = State();
    const uint64_t base = load.Image.Base();
    // The path's bytes are Latin-1: each widens to the unit of its value.
    std::u16string name;
    for (unsigned char byte : load.Image.Path) {
        name.push_back(static_cast<char16_t>(byte));
    }
    const size_t units = std::min<size_t>(name.size(), UINT16_MAX / sizeof(WCHAR));
    auto* block = static_cast<NotifyBlock*>(
        AllocateKernelMemory(sizeof(NotifyBlock) + units * sizeof(WCHAR)));
    if (block == nullptr) {
        return;
    }
    // Freed also when a deadlock abandons the routines' lane, then once
    // every lane has stopped.
    struct Release {
        NotifyBlock* Block;
        ~Release()
        {
            if (std::uncaught_exceptions() > 0) {
                FreeWhenLanesStop(Block);
            } else {
                FreeKernelMemory(Block);
            }
        }
    } release{block};
    std::memset(block, 0, sizeof(NotifyBlock));
    block->Info.Properties = load.Properties;
    block->Info.SystemModeImage = load.UserMode ? 0 : 1;
    block->Info.ImageBase = reinterpret_cast<PVOID>(base);
    block->Info.ImageSize = size;
    std::memcpy(block->Text, name.data(), units * sizeof(WCHAR));
    block->Name.Length = static_cast<USHORT>(units * sizeof(WCHAR));
    block->Name.MaximumLength = block->Name.Length;
    block->Name.Buffer = block->Text;
    // The routines registered when the load happens, each called once.
    for (PLOAD_IMAGE_NOTIFY_ROUTINE routine :
         std::vector<PLOAD_IMAGE_NOTIFY_ROUTINE>(s.ImageNotifyRoutines)) {
        if (s.Stopped) {
            break;
        }
        CallDriver(reinterpret_cast<const void*>(routine),
                   {load.Unnamed ? 0 : reinterpret_cast<uintptr_t>(&block->Name),
                    load.ProcessId, reinterpret_cast<uintptr_t>(&block->Info)},
                   load.Processor, PASSIVE_LEVEL, "a load image notify routine");
    }
}

// Lists a load's image as the loader maps it; returns the size its
// notification reports, or false when the image cannot be listed.
bool ListLoadedImage(const ImageLoad& load, uint64_t* reportedSize, std::vector<std::string>* errors)
{
    MachineState& s = State();
    // A file's size is its mapped size; a synthetic one whole pages.
    uint64_t size = load.Image.Size;
    if (!load.UserMode && (size != 0 || !load.Image.File.empty())) {
        // An image whose range a new one takes was unloaded unseen: the
        // kernel tells drivers of loads only.
        const uint64_t base = load.Image.Base();
        const uint64_t end = base + std::max(PageRound(size), ImagePageSize);
        auto& listed = s.MachineImages;
        listed.erase(std::remove_if(listed.begin(), listed.end(),
                                    [&](const ImageRegistration& registration) {
                                        const LoadedImage* image = FindImage(registration.Id());
                                        return image != nullptr && image->Base < end &&
                                               base < image->Base + image->Size;
                                    }),
                     listed.end());
        std::string error;
        ImageRegistration registration = ListImage(load.Image, &error);
        if (!registration.Registered()) {
            errors->push_back(error);
            return false;
        }
        size = FindImage(registration.Id())->Size;
        s.MachineImages.push_back(std::move(registration));
    }
    *reportedSize = size;
    return true;
}

}  // namespace

void RunImageLoads(const std::vector<ImageLoad>& loads, std::vector<std::string>* errors)
{
    MachineState& s = State();
    std::vector<const ImageLoad*> order;
    for (const ImageLoad& load : loads) {
        order.push_back(&load);
    }
    // Loads of one event are concurrent: the seed decides which notification
    // the driver sees first.
    std::mt19937_64 random(s.Config.Seed);
    std::shuffle(order.begin(), order.end(), random);
    // The loader maps every image of the event first, in the seed's order;
    // the notifications then run together, each on its processor. An image
    // a later one of the event took the place of was unloaded unseen before
    // its notification: the routine finds its range no longer mapped. No
    // image is unmapped while a notification runs, as none is in a kernel.
    std::vector<ProcessorWork> notifications;
    for (const ImageLoad* load : order) {
        uint64_t size = 0;
        if (!ListLoadedImage(*load, &size, errors)) {
            continue;
        }
        notifications.push_back(ProcessorWork{load->Processor, "a load image notify routine",
                                              [load, size] { NotifyOne(*load, size); }});
    }
    RunOnProcessors(std::move(notifications));
}

}  // namespace model
