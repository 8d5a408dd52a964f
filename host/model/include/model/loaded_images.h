// Images a machine description adds to the kernel's list of loaded images,
// and the image-load events that tell registered notify routines about
// them.
//
// An image is either synthetic (headers the model writes: a PE32+ header
// with one debug directory entry and its CodeView record, or a damaged
// form of these) or a real PE file mapped as the loader maps it. Either
// way its bytes lie at its base in host memory, the same address in both
// builds, and pages marked non-resident are inaccessible there and invalid
// to MmIsAddressValid.
#pragma once

#include "model/image_registry.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace model {

// How a synthetic image's headers are damaged.
enum class ImageDamage {
    None,
    NoMz,               // the DOS signature is missing
    NoPeSignature,      // e_lfanew leads to no "PE\0\0"
    NoDebugDirectory,   // the debug directory entry is empty
    NoCodeView,         // the debug directory holds only a non-CodeView entry
    TruncatedCodeView,  // the CodeView entry's size ends inside the PDB path
};

// What a synthetic image's headers say.
struct SyntheticIdentity {
    std::string PdbPath = "image.pdb";
    uint8_t Guid[16] = {};  // in the byte order the CodeView record holds
    uint32_t Age = 1;
    uint32_t TimeStamp = 0;
    uint32_t CheckSum = 0;
    // e_lfanew, read by the kernel as signed: any value, also one pointing
    // outside the image.
    int32_t NewHeaderOffset = SyntheticNewHeaderOffset;
    ImageDamage Damage = ImageDamage::None;
    // Where the CodeView record lies; 0 for the layout's own place. Lets a
    // record straddle a page boundary exactly where a test wants it.
    uint32_t CodeViewRva = 0;

    static constexpr int32_t SyntheticNewHeaderOffset = 0x80;
};

// Layout of a synthetic image: the headers on page 0, the debug directory
// at SyntheticDebugDirectoryRva; the CodeView record on page 1 when the
// image has two pages or more (so that its residency is its own), else
// right after the directory.
constexpr uint32_t SyntheticDebugDirectoryRva = 0x200;
constexpr uint32_t SyntheticCodeViewRvaSmall = 0x240;
constexpr uint32_t SyntheticCodeViewRvaLarge = 0x1000;
// The longest PDB path a synthetic image carries (its record stays on one
// page).
constexpr size_t MaxSyntheticPdbPath = 3000;
// A record placed by hand starts past the debug directory's one entry.
constexpr uint32_t MinSyntheticCodeViewRva = SyntheticDebugDirectoryRva + 28;
// Signature, GUID and age, then the path and its terminator.
constexpr uint32_t SyntheticCodeViewHeaderSize = 24;

// One image a machine lists.
struct ImageSpec {
    std::string Path;     // full path as the kernel names it; the name is after the last '\'
    uint64_t Offset = 0;  // base = ScenarioImageRegion + Offset, page-aligned
    uint64_t Size = 0;    // synthetic: bytes, rounded up to pages; a file: its mapped size
    std::string File;     // a PE32+ file on disk, mapped as the loader maps it
    // The file's bytes as mapped at Base() (up to the last page the file
    // fills; Size is the whole image), when the scenario's reader mapped
    // them already: the file is read once.
    std::shared_ptr<const std::vector<uint8_t>> Mapped;
    SyntheticIdentity Identity;  // synthetic images only
    std::vector<uint64_t> NonResidentPages;

    uint64_t Base() const { return ScenarioImageRegion + Offset; }
};

// The headers of a synthetic image of size bytes (whole pages) at base.
std::vector<uint8_t> BuildSyntheticImage(const SyntheticIdentity& identity, uint64_t base,
                                         uint64_t size);

// Lists an image: builds or maps its bytes, places them at its base and
// marks its non-resident pages. Fails with one line in error (a range
// outside the region, overlapping another image, a file that is no PE32+
// image).
ImageRegistration ListImage(const ImageSpec& wanted, std::string* error);

// One image load the kernel reports to the notify routines.
struct ImageLoad {
    ImageSpec Image;
    bool UserMode = false;  // a user-mode image: not listed, SystemModeImage clear
    bool Unnamed = false;   // FullImageName is null
    uint64_t ProcessId = 0;  // 0 for kernel-mode images
    // Property bits beyond SystemModeImage (ImageMappedToAllPids 0x200,
    // ExtendedInfoPresent 0x400, signature level and type, ...).
    uint32_t Properties = 0;
    unsigned Processor = 0;
};

// Runs the loads of one event: each kernel-mode image of nonzero size is
// listed first, then every registered notify routine is called at
// PASSIVE_LEVEL on the load's processor. Loads on different processors of
// one event are issued together; the machine's seed picks their order.
// A load whose image cannot be listed is reported (error) and skipped.
void RunImageLoads(const std::vector<ImageLoad>& loads, std::vector<std::string>* errors);

// Notify routines registered now, for tests.
size_t RegisteredImageNotifyRoutines();

}  // namespace model
