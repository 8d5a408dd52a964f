// The list of loaded kernel-mode images (see image_registry.h), and the
// small PE loader that lays out images which are listed but never run.
#include "model/image_registry.h"

#include "model/address_space.h"
#include "model/input_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace model {

namespace {

// The host memory holding an image's bytes at its base, and what the
// address space map and an emulated processor were told of it.
struct Placement {
    uint8_t* Memory = nullptr;
    size_t Size = 0;
    std::vector<MemoryRangeId> Ranges;
    std::vector<std::pair<uintptr_t, size_t>> Runs;  // resident page runs
};

struct Entry {
    LoadedImage Image;
    Placement Placed;

    ~Entry();
};

struct Registry {
    std::vector<std::unique_ptr<Entry>> Entries;  // load order
    uint64_t NextId = 1;
};

const ImageMemoryObserver* Observer = nullptr;

// Resident pages readable, the others inaccessible, each resident run
// entered as read-only memory and shown to the observer.
void Publish(Entry& entry)
{
    Placement& placed = entry.Placed;
    LoadedImage& image = entry.Image;
    const uint64_t pages = image.Resident.size();
    uint64_t page = 0;
    while (page < pages) {
        uint64_t end = page;
        while (end < pages && image.Resident[end] == image.Resident[page]) {
            ++end;
        }
        uintptr_t start = image.Base + page * ImagePageSize;
        size_t size = (end - page) * ImagePageSize;
        if (image.Resident[page]) {
            mprotect(reinterpret_cast<void*>(start), size, PROT_READ);
            MemoryRange range;
            range.Start = start;
            range.Size = size;
            range.Writable = false;
            range.What = "a loaded image";
            placed.Ranges.push_back(EnterMemory(range, MemoryOwner::Host));
            placed.Runs.emplace_back(start, size);
            if (Observer != nullptr) {
                Observer->Mapped(start, size, Observer->Context);
            }
        } else {
            mprotect(reinterpret_cast<void*>(start), size, PROT_NONE);
        }
        page = end;
    }
}

void Withdraw(Placement& placed)
{
    for (MemoryRangeId id : placed.Ranges) {
        RemoveMemory(id);
    }
    placed.Ranges.clear();
    for (const auto& [start, size] : placed.Runs) {
        if (Observer != nullptr) {
            Observer->Unmapped(start, size, Observer->Context);
        }
    }
    placed.Runs.clear();
}

void Release(Placement& placed)
{
    Withdraw(placed);
    if (placed.Memory != nullptr) {
        munmap(placed.Memory, placed.Size);
        placed.Memory = nullptr;
    }
}

Entry::~Entry()
{
    Release(Placed);
}

const char* const DriversFolder = "\\SystemRoot\\System32\\drivers\\";
const char* const KernelImagePath = "\\SystemRoot\\system32\\ntoskrnl.exe";

// The folder of the running program, with its trailing slash.
std::string ProgramFolder()
{
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) {
        return {};
    }
    std::string directory(self, static_cast<size_t>(length));
    directory.erase(directory.find_last_of('/') + 1);
    return directory;
}

// Places the bytes at the image's base; false when that range of host
// memory is taken.
bool Place(Entry& entry, const std::vector<uint8_t>& bytes)
{
    LoadedImage& image = entry.Image;
    void* memory = ReserveHostMemory(image.Base, 0, image.Size, PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, false);
    if (memory == MAP_FAILED) {
        return false;
    }
    entry.Placed.Memory = static_cast<uint8_t*>(memory);
    entry.Placed.Size = image.Size;
    std::memcpy(memory, bytes.data(), std::min<size_t>(bytes.size(), image.Size));
    image.Bytes = entry.Placed.Memory;
    return true;
}

uint64_t AddEntry(Registry& registry, ImageDescription description)
{
    auto entry = std::make_unique<Entry>();
    LoadedImage& image = entry->Image;
    image.Id = registry.NextId++;
    image.Name = std::move(description.Name);
    image.FullPath = description.FullPath.empty() ? DriversFolder + image.Name
                                                  : std::move(description.FullPath);
    image.Base = description.Base;
    image.Size = description.Size;
    if (description.MappedBytes != nullptr) {
        image.Bytes = description.MappedBytes;
    } else if (!description.OwnedBytes.empty() && !Place(*entry, description.OwnedBytes)) {
        return 0;
    }
    image.Resident.assign(image.Size / ImagePageSize, image.Bytes != nullptr);
    for (uint64_t page : description.PagedOutPages) {
        if (page < image.Resident.size()) {
            image.Resident[page] = false;
        }
    }
    if (entry->Placed.Memory != nullptr) {
        Publish(*entry);
    }
    uint64_t id = image.Id;
    registry.Entries.push_back(std::move(entry));
    return id;
}

Registry& TheRegistry()
{
    static Registry* registry = [] {
        auto* created = new Registry();
        // The kernel and the hardware abstraction layer are always loaded,
        // first. The kernel's contents are the model's kernel image when it
        // was built (its frames are the ones a walk meets in the runner);
        // the layer's are not modelled.
        ImageDescription kernel{"ntoskrnl.exe", KernelImagePath, KernelImageBase,
                                KernelImageSize, nullptr, {}, {}};
        std::vector<uint8_t> bytes;
        uint64_t size = 0;
        std::string error;
        if (MapImageFile(DefaultKernelImagePath(), KernelImageBase, KernelImageSize, &bytes, &size,
                         &error)) {
            kernel.Size = size;
            kernel.OwnedBytes = std::move(bytes);
        }
        if (AddEntry(*created, kernel) == 0) {
            // Its range is taken (a runner mapped the real image there):
            // listed without contents until ListKernelImage.
            kernel.OwnedBytes.clear();
            AddEntry(*created, std::move(kernel));
        }
        AddEntry(*created,
                 {"hal.dll", "\\SystemRoot\\system32\\hal.dll", HalImageBase, HalImageSize,
                  nullptr, {}, {}});
        return created;
    }();
    return *registry;
}

// Little-endian field readers over a bounded buffer.
bool Fits(size_t size, uint64_t offset, uint64_t length)
{
    return offset <= size && length <= size - offset;
}

template <typename T>
T Field(const uint8_t* data, uint64_t offset)
{
    T value;
    std::memcpy(&value, data + offset, sizeof(T));
    return value;
}

constexpr uint16_t DosSignature = 0x5A4D;         // "MZ"
constexpr uint32_t PeSignature = 0x00004550;      // "PE\0\0"
constexpr uint16_t Pe32PlusMagic = 0x20B;
constexpr uint16_t MachineAmd64 = 0x8664;
constexpr uint64_t DosNewHeaderOffset = 0x3C;
constexpr uint64_t FileHeaderSize = 20;
constexpr uint64_t SectionHeaderSize = 40;
constexpr uint64_t OptionalImageBase = 24;
constexpr uint64_t OptionalSizeOfImage = 56;
constexpr uint64_t OptionalSizeOfHeaders = 60;
constexpr uint64_t OptionalRvaCount = 108;
constexpr uint64_t OptionalDirectories = 112;
constexpr uint32_t RelocationDirectory = 5;
constexpr unsigned RelocationAbsolute = 0;
constexpr unsigned RelocationDir64 = 10;

uint64_t PageRound(uint64_t value)
{
    return (value + ImagePageSize - 1) / ImagePageSize * ImagePageSize;
}

std::string Hex(uint64_t value)
{
    char text[17];
    std::snprintf(text, sizeof(text), "%llX", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

ImageRegistration::~ImageRegistration()
{
    Reset();
}

ImageRegistration::ImageRegistration(ImageRegistration&& other) noexcept : id_(other.id_)
{
    other.id_ = 0;
}

ImageRegistration& ImageRegistration::operator=(ImageRegistration&& other) noexcept
{
    if (this != &other) {
        Reset();
        id_ = other.id_;
        other.id_ = 0;
    }
    return *this;
}

void ImageRegistration::Reset()
{
    if (id_ != 0) {
        UnregisterImage(id_);
        id_ = 0;
    }
}

ImageRegistration RegisterImage(ImageDescription description, std::string* error)
{
    const uint64_t base = description.Base;
    const uint64_t size = description.Size;
    if (size == 0 || base % ImagePageSize != 0 || size % ImagePageSize != 0 ||
        base + size < base) {
        *error = "image " + description.Name + " has no page-aligned address range";
        return {};
    }
    if (!description.OwnedBytes.empty() && description.OwnedBytes.size() > size) {
        *error = "image " + description.Name + " has more bytes than its size";
        return {};
    }
    Registry& registry = TheRegistry();
    for (const auto& entry : registry.Entries) {
        const LoadedImage& other = entry->Image;
        if (base < other.Base + other.Size && other.Base < base + size) {
            *error = "image " + description.Name + " overlaps " + other.Name;
            return {};
        }
    }
    std::string name = description.Name;
    uint64_t id = AddEntry(registry, std::move(description));
    if (id == 0) {
        char where[24];
        std::snprintf(where, sizeof(where), "0x%016llX", static_cast<unsigned long long>(base));
        *error = "image " + name + " cannot be placed at " + where +
                 ": the host memory there is taken";
        return {};
    }
    return ImageRegistration(id);
}

void UnregisterImage(uint64_t id)
{
    auto& entries = TheRegistry().Entries;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [id](const auto& entry) { return entry->Image.Id == id; }),
                  entries.end());
}

const LoadedImage* FindImageByAddress(uint64_t address)
{
    for (const auto& entry : TheRegistry().Entries) {
        if (entry->Image.Contains(address)) {
            return &entry->Image;
        }
    }
    return nullptr;
}

const LoadedImage* FindImage(uint64_t id)
{
    for (const auto& entry : TheRegistry().Entries) {
        if (entry->Image.Id == id) {
            return &entry->Image;
        }
    }
    return nullptr;
}

void ForEachImage(const std::function<void(const LoadedImage&)>& visit)
{
    for (const auto& entry : TheRegistry().Entries) {
        visit(entry->Image);
    }
}

size_t ImageCount()
{
    return TheRegistry().Entries.size();
}

void SetImagePagesResident(uint64_t id, uint64_t firstPage, uint64_t count, bool resident)
{
    for (auto& entry : TheRegistry().Entries) {
        LoadedImage& image = entry->Image;
        if (image.Id != id || image.Bytes == nullptr) {
            continue;
        }
        uint64_t pages = image.Resident.size();
        for (uint64_t page = firstPage; page < pages && page - firstPage < count; ++page) {
            image.Resident[page] = resident;
        }
        if (entry->Placed.Memory != nullptr) {
            Withdraw(entry->Placed);
            Publish(*entry);
        }
    }
}

void* ReserveHostMemory(uint64_t address, uint64_t slotSize, size_t size, int protection,
                        int flags, bool anywhere)
{
    // A bounded search: the slots above the first are for later images.
    constexpr int MaxSlots = 64;
    for (int slot = 0; slot < MaxSlots; ++slot) {
        uint64_t at = address + static_cast<uint64_t>(slot) * slotSize;
        void* region = mmap(reinterpret_cast<void*>(at), size, protection,
                            flags | MAP_FIXED_NOREPLACE, -1, 0);
        if (region != MAP_FAILED && reinterpret_cast<uintptr_t>(region) == at) {
            return region;
        }
        if (region != MAP_FAILED) {
            // A host that takes the address only as a hint.
            munmap(region, size);
        }
        if (slotSize == 0) {
            break;
        }
    }
    return anywhere ? mmap(nullptr, size, protection, flags, -1, 0) : MAP_FAILED;
}

void SetImageMemoryObserver(const ImageMemoryObserver* observer)
{
    // Made first, so that its own images are told of once, below.
    Registry& registry = TheRegistry();
    Observer = observer;
    if (observer == nullptr) {
        return;
    }
    for (const auto& entry : registry.Entries) {
        for (const auto& [start, size] : entry->Placed.Runs) {
            observer->Mapped(start, size, observer->Context);
        }
    }
}

void ReleaseKernelImageMemory()
{
    for (auto& entry : TheRegistry().Entries) {
        if (entry->Image.Name == "ntoskrnl.exe") {
            Release(entry->Placed);
            entry->Image.Bytes = nullptr;
            entry->Image.Resident.assign(entry->Image.Resident.size(), false);
        }
    }
}

bool ReadImageBytes(const LoadedImage& image, uint64_t address, void* buffer, size_t size)
{
    if (image.Bytes == nullptr || !image.Contains(address) || size > image.Size - (address - image.Base)) {
        return false;
    }
    uint64_t offset = address - image.Base;
    if (size == 0) {
        return true;
    }
    for (uint64_t page = offset / ImagePageSize; page <= (offset + size - 1) / ImagePageSize; ++page) {
        if (!image.Resident[page]) {
            return false;
        }
    }
    std::memcpy(buffer, image.Bytes + offset, size);
    return true;
}

bool MapImageData(const std::vector<uint8_t>& file, uint64_t base, std::vector<uint8_t>* bytes,
                  std::string* error)
{
    uint64_t size = 0;
    return MapImageData(file.data(), file.size(), base, ScenarioImageRegionSize, bytes, &size, error);
}

bool MapImageData(const uint8_t* data, size_t length, uint64_t base, uint64_t room,
                  std::vector<uint8_t>* bytes, uint64_t* size, std::string* error)
{
    if (!Fits(length, 0, DosNewHeaderOffset + 4) || Field<uint16_t>(data, 0) != DosSignature) {
        *error = "no DOS header";
        return false;
    }
    const uint64_t nt = Field<uint32_t>(data, DosNewHeaderOffset);
    if (!Fits(length, nt, 4 + FileHeaderSize) || Field<uint32_t>(data, nt) != PeSignature) {
        *error = "no PE header";
        return false;
    }
    const uint64_t fileHeader = nt + 4;
    const uint16_t machine = Field<uint16_t>(data, fileHeader);
    const uint16_t sectionCount = Field<uint16_t>(data, fileHeader + 2);
    const uint16_t optionalSize = Field<uint16_t>(data, fileHeader + 16);
    const uint64_t optional = fileHeader + FileHeaderSize;
    if (machine != MachineAmd64 || optionalSize < OptionalDirectories ||
        !Fits(length, optional, optionalSize) || Field<uint16_t>(data, optional) != Pe32PlusMagic) {
        *error = "not a PE32+ x64 image";
        return false;
    }
    const uint64_t imageSize = PageRound(Field<uint32_t>(data, optional + OptionalSizeOfImage));
    const uint64_t headerSize = Field<uint32_t>(data, optional + OptionalSizeOfHeaders);
    const uint64_t preferredBase = Field<uint64_t>(data, optional + OptionalImageBase);
    const uint64_t sections = optional + optionalSize;
    if (imageSize == 0) {
        *error = "SizeOfImage is 0";
        return false;
    }
    if (imageSize > room) {
        *error = "SizeOfImage 0x" + Hex(imageSize) + " does not fit the 0x" + Hex(room) +
                 " bytes the image may take here";
        return false;
    }
    if (headerSize > imageSize) {
        *error = "SizeOfHeaders 0x" + Hex(headerSize) + " exceeds SizeOfImage 0x" + Hex(imageSize);
        return false;
    }
    if (!Fits(length, sections, uint64_t{sectionCount} * SectionHeaderSize)) {
        *error = "the section table runs past the end of the file";
        return false;
    }

    // Only the bytes up to the last the file fills are held: the rest of
    // the image is zero, and an image claiming gigabytes costs what its
    // file holds.
    const uint32_t directories = Field<uint32_t>(data, optional + OptionalRvaCount);
    const uint64_t relocationEntry = optional + OptionalDirectories + 8 * RelocationDirectory;
    const bool relocated = directories > RelocationDirectory && relocationEntry + 8 <= optional + optionalSize;
    uint64_t filled = std::min<uint64_t>(headerSize, length);
    if (relocated) {
        const uint64_t rva = Field<uint32_t>(data, relocationEntry);
        const uint64_t size = Field<uint32_t>(data, relocationEntry + 4);
        if (!Fits(imageSize, rva, size)) {
            *error = "the base relocations lie outside the image";
            return false;
        }
        filled = std::max(filled, rva + size);
    }
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint64_t header = sections + uint64_t{i} * SectionHeaderSize;
        const uint64_t virtualSize = Field<uint32_t>(data, header + 8);
        const uint64_t rva = Field<uint32_t>(data, header + 12);
        const uint64_t rawSize = Field<uint32_t>(data, header + 16);
        const uint64_t rawOffset = Field<uint32_t>(data, header + 20);
        const uint64_t span = virtualSize != 0 ? virtualSize : rawSize;
        const uint64_t copy = std::min(rawSize, span);
        if (rva > imageSize || span > imageSize - rva || !Fits(length, rawOffset, copy)) {
            *error = "a section lies outside the image or the file";
            return false;
        }
        filled = std::max(filled, rva + copy);
    }
    std::vector<uint8_t> image(std::min(PageRound(filled), imageSize), 0);
    // An image of no bytes at all has no storage to copy into, even nothing.
    auto copyIn = [&image](uint64_t at, const uint8_t* from, uint64_t size) {
        if (size != 0) {
            std::memcpy(image.data() + at, from, size);
        }
    };
    copyIn(0, data, std::min<uint64_t>(headerSize, length));
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint64_t header = sections + uint64_t{i} * SectionHeaderSize;
        const uint64_t virtualSize = Field<uint32_t>(data, header + 8);
        const uint64_t rawSize = Field<uint32_t>(data, header + 16);
        const uint64_t copy = std::min(rawSize, virtualSize != 0 ? virtualSize : rawSize);
        copyIn(Field<uint32_t>(data, header + 12), data + Field<uint32_t>(data, header + 20), copy);
    }

    // Base relocations, as the loader applies them for the base it chose,
    // and the header's base updated to match.
    const uint64_t delta = base - preferredBase;
    if (Fits(std::min<uint64_t>(headerSize, imageSize), optional + OptionalImageBase, 8)) {
        std::memcpy(image.data() + optional + OptionalImageBase, &base, sizeof(base));
    }
    if (relocated) {
        const uint64_t rva = Field<uint32_t>(data, relocationEntry);
        const uint64_t size = Field<uint32_t>(data, relocationEntry + 4);
        uint64_t block = rva;
        while (block + 8 <= rva + size) {
            const uint64_t page = Field<uint32_t>(image.data(), block);
            const uint64_t blockSize = Field<uint32_t>(image.data(), block + 4);
            if (blockSize < 8 || blockSize > rva + size - block) {
                *error = "damaged base relocations";
                return false;
            }
            for (uint64_t at = block + 8; at + 2 <= block + blockSize; at += 2) {
                const uint16_t item = Field<uint16_t>(image.data(), at);
                const unsigned type = item >> 12;
                const uint64_t target = page + (item & 0xFFF);
                if (type == RelocationAbsolute) {
                    continue;
                }
                if (type != RelocationDir64 || !Fits(imageSize, target, 8)) {
                    *error = "unsupported base relocation";
                    return false;
                }
                if (target + 8 > image.size()) {
                    image.resize(PageRound(target + 8));  // a fixup in the zero tail
                }
                uint64_t value = Field<uint64_t>(image.data(), target) + delta;
                std::memcpy(image.data() + target, &value, sizeof(value));
            }
            block += blockSize;
        }
    }
    *bytes = std::move(image);
    *size = imageSize;
    return true;
}

bool MapImageFile(const std::string& path, uint64_t base, uint64_t room,
                  std::vector<uint8_t>* bytes, uint64_t* size, std::string* error)
{
    // The file holds at most the image and what the loader skips (debug
    // data, a signature); it is mapped, never copied whole.
    InputFile file;
    if (!file.Open(path, MaxImageFileBytes, error)) {
        return false;
    }
    if (!MapImageData(file.Data(), file.Size(), base, room, bytes, size, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

// As far as the emulator's image slots are apart: the room the driver's
// image may take.
constexpr uint64_t ShippedImageSlotSize = 64ull << 20;

ImageRegistration ListShippedDriverImage(const std::string& sysPath)
{
    ImageDescription description;
    description.Name = "vekcrashdmp.sys";
    description.Base = DriverImageBase;
    description.Size = DriverImageDefaultSize;
    std::string error;
    if (sysPath.empty()) {
        return RegisterImage(std::move(description), &error);
    }
    // At the driver's own base, as on the emulator: an emulated image
    // leaves its addresses free when it goes.
    InputFile file;
    std::vector<uint8_t> bytes;
    uint64_t size = 0;
    if (file.Open(sysPath, MaxImageFileBytes, &error) &&
        MapImageData(file.Data(), file.Size(), description.Base, ShippedImageSlotSize, &bytes, &size,
                     &error)) {
        description.Size = size;
        description.OwnedBytes = std::move(bytes);
    }
    return RegisterImage(std::move(description), &error);
}

std::string DefaultShippedImagePath()
{
    std::string folder = ProgramFolder();
    return folder.empty() ? folder : folder + "../cross/vekcrashdmp.sys";
}

std::string DefaultTestDriverPath(const std::string& name)
{
    std::string folder = ProgramFolder();
    return folder.empty() ? folder : folder + "../testdrivers/" + name + ".sys";
}

std::string DefaultKernelImagePath()
{
    std::string folder = ProgramFolder();
    return folder.empty() ? folder : folder + "../kernel/ntoskrnl.exe";
}

void ListKernelImage(uint64_t base, uint64_t size, const uint8_t* mappedBytes)
{
    Registry& registry = TheRegistry();
    for (auto& entry : registry.Entries) {
        LoadedImage& image = entry->Image;
        if (image.Name != "ntoskrnl.exe") {
            continue;
        }
        Release(entry->Placed);
        image.Base = base;
        image.Size = size;
        image.Bytes = mappedBytes;
        image.Resident.assign(size / ImagePageSize, mappedBytes != nullptr);
        return;
    }
}

}  // namespace model
