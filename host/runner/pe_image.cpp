// Loading the PE32+ image with LIEF's parser. The image is placed at the
// address the caller fixes, which is never its preferred base, so the base
// relocations are always exercised.
#include "runner/pe_image.h"

#include "runner/layout.h"

#include "model/input_file.h"

#include <LIEF/PE.hpp>

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <exception>

namespace runner {

namespace {

constexpr uint16_t MachineAmd64 = 0x8664;
// Far beyond any driver; a larger size is a damaged header.
constexpr uint64_t MaxImageSize = 64ull << 20;
static_assert(MaxImageSize <= ImageSlotSize, "every image fits its slot");
// The file holds the image's sections and what the loader skips (debug
// data, a signature): bounded by the same measure.
constexpr uint64_t MaxImageFileBytes = 2 * MaxImageSize;

uint64_t PageRound(uint64_t value)
{
    return (value + PageSize - 1) / PageSize * PageSize;
}

}  // namespace

PeImage::~PeImage()
{
    if (base_ != nullptr) {
        // Pages and addresses both go: the emulator dropped every
        // translation of the image's code when it unmapped it, so any later
        // image may take the range.
        munmap(base_, size_);
    }
}

void PeImage::WriteIat(const ImageImport& import, uint64_t value)
{
    std::memcpy(base_ + import.IatRva, &value, sizeof(value));
}

uint64_t PeImage::ExportAddress(const std::string& name) const
{
    auto found = exports_.find(name);
    return found == exports_.end() ? 0 : Address() + found->second;
}

std::unique_ptr<PeImage> PeImage::Load(const std::string& path, uint64_t address,
                                       uint64_t slotSize, std::string* error)
{
    // The file is read once, and only when it is a regular file of a
    // driver's size: the parser and the sections below work from the copy.
    model::InputFile input;
    if (!input.Open(path, MaxImageFileBytes, error, "driver image ")) {
        return nullptr;
    }
    const std::vector<uint8_t> file(input.Data(), input.Data() + input.Size());
    std::unique_ptr<LIEF::PE::Binary> binary;
    try {
        if (!LIEF::PE::is_pe(file)) {
            *error = path + " is not a PE image";
            return nullptr;
        }
        binary = LIEF::PE::Parser::parse(file, path);
    } catch (const std::exception&) {
        binary.reset();  // the parser's own words name no field; ours follow
    }
    if (!binary) {
        *error = path + " cannot be read as a PE image";
        return nullptr;
    }
    const auto& optional = binary->optional_header();
    if (binary->type() != LIEF::PE::PE_TYPE::PE32_PLUS ||
        static_cast<uint16_t>(binary->header().machine()) != MachineAmd64) {
        *error = path + " is not a 64-bit x64 image";
        return nullptr;
    }

    if (optional.sizeof_image() == 0 || optional.sizeof_image() > MaxImageSize) {
        *error = path + ": image size " + std::to_string(optional.sizeof_image()) +
                 " is not that of a driver";
        return nullptr;
    }

    std::unique_ptr<PeImage> image(new PeImage());
    image->size_ = PageRound(optional.sizeof_image());
    void* base = ReserveAt(address, slotSize, image->size_, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS);
    if (base == MAP_FAILED) {
        *error = "cannot reserve memory for " + path;
        return nullptr;
    }
    image->base_ = static_cast<uint8_t*>(base);
    image->preferredBase_ = optional.imagebase();
    image->entryRva_ = optional.addressof_entrypoint();

    // Headers, then every section at its address; the rest stays zero.
    uint64_t headerSize = std::min<uint64_t>(optional.sizeof_headers(), image->size_);
    if (headerSize > file.size()) {
        *error = path + ": the headers run past the end of the file";
        return nullptr;
    }
    std::memcpy(image->base_, file.data(), headerSize);
    if (headerSize == 0) {
        *error = path + ": SizeOfHeaders is 0";
        return nullptr;
    }
    image->ranges_.push_back(ImageRange{0, PageRound(headerSize), true, false, false});
    for (const LIEF::PE::Section& section : binary->sections()) {
        uint64_t rva = section.virtual_address();
        uint64_t virtualSize = std::max<uint64_t>(section.virtual_size(), section.sizeof_raw_data());
        if (rva + virtualSize > image->size_ || rva % PageSize != 0) {
            *error = path + ": section " + section.name() + " lies outside the image";
            return nullptr;
        }
        if (section.sizeof_raw_data() > file.size() ||
            section.pointerto_raw_data() > file.size() - section.sizeof_raw_data()) {
            *error = path + ": section " + section.name() + " runs past the end of the file";
            return nullptr;
        }
        if (virtualSize == 0) {
            continue;  // nothing of it is mapped
        }
        // Each page belongs to one section (or the headers): the processor
        // maps each range once, with that section's access.
        for (const ImageRange& other : image->ranges_) {
            if (rva < other.Rva + other.Size && other.Rva < rva + PageRound(virtualSize)) {
                *error = path + ": section " + section.name() + " overlaps " +
                         (other.Rva == 0 ? std::string("the headers") : "another section");
                return nullptr;
            }
        }
        const auto content = section.content();
        if (!content.empty()) {
            std::memcpy(image->base_ + rva, content.data(),
                        std::min<uint64_t>(content.size(), virtualSize));
        }
        uint32_t characteristics = section.characteristics();
        constexpr uint32_t Execute = 0x20000000, Read = 0x40000000, Write = 0x80000000;
        image->ranges_.push_back(ImageRange{rva, PageRound(virtualSize),
                                            (characteristics & Read) != 0,
                                            (characteristics & Write) != 0,
                                            (characteristics & Execute) != 0});
    }

    // Base relocations: only 64-bit fixups (and padding) belong in an x64
    // image.
    constexpr int RelocationAbsolute = 0;
    constexpr int RelocationDir64 = 10;
    const uint64_t delta = image->Address() - image->preferredBase_;
    for (const LIEF::PE::Relocation& block : binary->relocations()) {
        for (const LIEF::PE::RelocationEntry& entry : block.entries()) {
            int type = static_cast<int>(entry.type());
            if (type == RelocationAbsolute) {
                continue;
            }
            uint64_t rva = entry.address();
            if (type != RelocationDir64 || rva + 8 > image->size_) {
                *error = path + ": unsupported base relocation";
                return nullptr;
            }
            uint64_t value = 0;
            std::memcpy(&value, image->base_ + rva, 8);
            value += delta;
            std::memcpy(image->base_ + rva, &value, 8);
        }
    }

    for (const LIEF::PE::Import& module : binary->imports()) {
        for (const LIEF::PE::ImportEntry& entry : module.entries()) {
            if (entry.is_ordinal()) {
                *error = path + " imports by ordinal from " + module.name() +
                         "; the kernel binds drivers by name";
                return nullptr;
            }
            if (entry.iat_address() + sizeof(uint64_t) > image->size_) {
                *error = path + ": the import slot of " + entry.name() + " lies outside the image";
                return nullptr;
            }
            image->imports_.push_back(ImageImport{module.name(), entry.name(), entry.iat_address()});
        }
    }
    if (binary->has_exports()) {
        for (const LIEF::PE::ExportEntry& entry : binary->get_export().entries()) {
            if (entry.address() < image->size_) {
                image->exports_[entry.name()] = entry.address();
            }
        }
    }
    return image;
}

}  // namespace runner
