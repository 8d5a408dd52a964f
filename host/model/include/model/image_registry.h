// The kernel's list of loaded kernel-mode images: name, address range,
// which pages are resident, and the headers and sections as the loader
// laid them out. Module queries, image-load events, header reads and the
// unwinder all read this one list.
//
// An image is either really mapped (the runner's .sys: its bytes lie at its
// base, host and guest alike) or only described (the kernel's own images,
// and the shipped driver listed beside the host build): then its bytes, if
// any, live in a buffer the registry owns, and reads translate addresses.
// Bases of described images are fixed constants, so outputs never move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace model {

constexpr uint64_t ImagePageSize = 4096;

// Where listed images lie. Kernel-half addresses cannot be host mappings,
// and driver code reads images at their bases (natively in the host build,
// through the emulated processor in the runner), so every image with
// contents lies at a fixed address in the high user half, the same in both
// builds: the kernel-half addresses a real machine uses with their top bits
// replaced. The region is free in a plain process and in AddressSanitizer's
// layout, whose shadow memory covers everything from about 0x7FFF8000 to
// 0x10007FFF8000.
#if defined(__SANITIZE_THREAD__)
#define VEK_IMAGES_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEK_IMAGES_UNDER_TSAN 1
#endif
#endif
#if defined(VEK_IMAGES_UNDER_TSAN)
// ThreadSanitizer kills a process that maps outside its application ranges;
// of those, images fit only in the one where position-independent programs
// load (0x550000000000 to 0x568000000000). With 28 bits of address
// randomisation the program and its break heap land anywhere from
// 0x555555554000 to about 0x565600000000, so images take the part below
// that, with the low 38 bits of their kernel-half addresses. Only the
// model's tests run so.
constexpr uint64_t HighUserRegion = 0x0000550000000000ull;
constexpr uint64_t UserHalfMask = 0x0000003FFFFFFFFFull;
constexpr uint64_t ScenarioRegionBits = 0x0000001000000000ull;
#else
constexpr uint64_t HighUserRegion = 0x0000500000000000ull;
constexpr uint64_t UserHalfMask = 0x00000FFFFFFFFFFFull;
constexpr uint64_t ScenarioRegionBits = 0x0000090000000000ull;
#endif
constexpr uint64_t KernelImageBase = HighUserRegion | (0xFFFFF80540200000ull & UserHalfMask);
constexpr uint64_t KernelImageSize = 0x01046000ull;
constexpr uint64_t HalImageBase = HighUserRegion | (0xFFFFF80541400000ull & UserHalfMask);
constexpr uint64_t HalImageSize = 0x00006000ull;
constexpr uint64_t DriverImageBase = HighUserRegion | (0xFFFFF8054A2A0000ull & UserHalfMask);
// The shipped driver's size when its file is not at hand (no cross build).
constexpr uint64_t DriverImageDefaultSize = 0x00010000ull;
// Where the images a machine description adds lie: each at an offset from
// here, within the region's size.
constexpr uint64_t ScenarioImageRegion = HighUserRegion | ScenarioRegionBits;
constexpr uint64_t ScenarioImageRegionSize = 1ull << 32;
// The scenario region lies within the high user region and clear of the
// fixed images.
static_assert(ScenarioRegionBits + ScenarioImageRegionSize - 1 <= UserHalfMask);
static_assert(ScenarioImageRegion >= DriverImageBase + (1ull << 28) ||
              ScenarioImageRegion + ScenarioImageRegionSize <= KernelImageBase);
#if defined(VEK_IMAGES_UNDER_TSAN)
// Below the lowest address a randomised position-independent program takes.
static_assert(HighUserRegion + UserHalfMask < 0x0000555555554000ull);
#endif

// Reserves size bytes of host memory at address, or, when that range is
// taken, at the next free slot of slotSize above it (slotSize 0: no other),
// or else (anywhere) only when anywhere is true. Returns MAP_FAILED when
// nothing was reserved.
void* ReserveHostMemory(uint64_t address, uint64_t slotSize, size_t size, int protection,
                        int flags, bool anywhere);

// Told of the host memory of every image the registry places (bytes it
// owns), page runs that are resident, so that an emulated processor maps
// the same. Setting an observer replays the runs already placed.
struct ImageMemoryObserver {
    void (*Mapped)(uintptr_t address, size_t size, void* context);
    void (*Unmapped)(uintptr_t address, size_t size, void* context);
    void* Context;
};
void SetImageMemoryObserver(const ImageMemoryObserver* observer);

// Frees the host memory of the kernel's described image, so that a runner
// can map the real one at KernelImageBase; ListKernelImage follows.
void ReleaseKernelImageMemory();

struct LoadedImage {
    uint64_t Id = 0;
    std::string Name;      // file name, as the module list has it: "vekcrashdmp.sys"
    std::string FullPath;  // "\SystemRoot\System32\drivers\vekcrashdmp.sys"
    uint64_t Base = 0;
    uint64_t Size = 0;     // whole pages
    // The headers and sections at their offsets from Base, Size bytes; null
    // when the image's contents are unknown.
    const uint8_t* Bytes = nullptr;
    std::vector<bool> Resident;  // per page; a page without bytes is never resident

    bool Contains(uint64_t address) const { return address >= Base && address - Base < Size; }
};

// What the registry is told about an image.
struct ImageDescription {
    std::string Name;
    std::string FullPath;  // empty: under \SystemRoot\System32\drivers\ by name
    uint64_t Base = 0;
    uint64_t Size = 0;
    // Either bytes mapped elsewhere (kept by the caller for the image's life)...
    const uint8_t* MappedBytes = nullptr;
    // ...or bytes the registry keeps (Size bytes, or none).
    std::vector<uint8_t> OwnedBytes;
    // Pages already paged out when the image is listed (those past its end
    // are ignored): one placement in memory rather than one per page.
    std::vector<uint64_t> PagedOutPages;
};

// Keeps an image listed for as long as it lives.
class ImageRegistration {
public:
    ImageRegistration() = default;
    ~ImageRegistration();
    ImageRegistration(ImageRegistration&& other) noexcept;
    ImageRegistration& operator=(ImageRegistration&& other) noexcept;
    ImageRegistration(const ImageRegistration&) = delete;
    ImageRegistration& operator=(const ImageRegistration&) = delete;

    uint64_t Id() const { return id_; }
    bool Registered() const { return id_ != 0; }
    void Reset();

private:
    friend ImageRegistration RegisterImage(ImageDescription description, std::string* error);
    explicit ImageRegistration(uint64_t id) : id_(id) {}
    uint64_t id_ = 0;
};

// Lists an image. Fails (an empty registration, one line in error) for an
// empty or unaligned range, one that wraps, or one overlapping a listed image.
ImageRegistration RegisterImage(ImageDescription description, std::string* error);
void UnregisterImage(uint64_t id);

// The image holding the address, or null. Pointers stay valid until the
// image is unregistered.
const LoadedImage* FindImageByAddress(uint64_t address);
const LoadedImage* FindImage(uint64_t id);
// Every listed image in load order: the kernel's own first.
void ForEachImage(const std::function<void(const LoadedImage&)>& visit);
size_t ImageCount();

// Marks pages [first, first + count) of an image paged in or out. Pages
// of an image whose bytes the registry placed become inaccessible in host
// memory while out.
void SetImagePagesResident(uint64_t id, uint64_t firstPage, uint64_t count, bool resident);

// Copies bytes of a listed image; false unless every byte lies in the image
// on a resident page with known contents.
bool ReadImageBytes(const LoadedImage& image, uint64_t address, void* buffer, size_t size);

// Lays a PE32+ file out as the loader maps it (headers, then each section
// at its address, base relocations applied for base). Returns false with one
// line in error for a file that is no such image. *bytes holds the image up
// to the last page the file fills, *size the image's whole size: the rest
// is zero, so that a small file claiming a large image costs what it holds.
// room bounds SizeOfImage: what the caller's region holds from base. The
// file is read once, through a mapping; only a regular file of at most
// MaxImageFileBytes is taken.
constexpr uint64_t MaxImageFileBytes = 1ull << 32;
bool MapImageFile(const std::string& path, uint64_t base, uint64_t room,
                  std::vector<uint8_t>* bytes, uint64_t* size, std::string* error);
bool MapImageData(const uint8_t* data, size_t length, uint64_t base, uint64_t room,
                  std::vector<uint8_t>* bytes, uint64_t* size, std::string* error);
// The same for an image anywhere in the scenario image region.
bool MapImageData(const std::vector<uint8_t>& file, uint64_t base, std::vector<uint8_t>* bytes,
                  std::string* error);

// Lists the shipped driver for the host build: its file's headers and
// sections at DriverImageBase, never executed, so that both builds show the
// same module; without the file (no cross build) listed with no contents.
ImageRegistration ListShippedDriverImage(const std::string& sysPath);
// Where the host build's programs find the shipped driver: ../cross/ from
// their own folder.
std::string DefaultShippedImagePath();
// Where the test driver of that name (crasher) is built: ../testdrivers/
// from the program's folder, NAME.sys with its PDB beside it.
std::string DefaultTestDriverPath(const std::string& name);
// Where the model's kernel image (built beside the driver) lies: ../kernel/
// from the program's folder. Listed as ntoskrnl.exe at KernelImageBase when
// present; without it the kernel is listed with no contents.
std::string DefaultKernelImagePath();
// Lists the kernel where a runner really mapped its image (bytes at base,
// host and guest alike, for the rest of the process), in place of the
// kernel's entry and keeping its place first in the list.
void ListKernelImage(uint64_t base, uint64_t size, const uint8_t* mappedBytes);

}  // namespace model
