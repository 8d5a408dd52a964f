// The shipped driver image laid out in host memory as the kernel's loader
// would lay it out: sections at their addresses, base relocations applied
// for wherever the image landed, imports listed for binding.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace runner {

struct ImageRange {
    uint64_t Rva;
    uint64_t Size;  // whole pages
    bool Readable;
    bool Writable;
    bool Executable;
};

struct ImageImport {
    std::string Module;
    std::string Name;
    uint64_t IatRva;
};

class PeImage {
public:
    ~PeImage();
    PeImage(const PeImage&) = delete;
    PeImage& operator=(const PeImage&) = delete;

    // Loads the file at address, or the first free slot of slotSize above
    // it (else wherever the host puts it); on failure returns null and one
    // line in error.
    static std::unique_ptr<PeImage> Load(const std::string& path, uint64_t address,
                                         uint64_t slotSize, std::string* error);

    uint8_t* Base() const { return base_; }
    uint64_t Address() const { return reinterpret_cast<uintptr_t>(base_); }
    size_t Size() const { return size_; }
    uint64_t PreferredBase() const { return preferredBase_; }
    uint64_t EntryRva() const { return entryRva_; }
    const std::vector<ImageRange>& Ranges() const { return ranges_; }
    const std::vector<ImageImport>& Imports() const { return imports_; }

    void WriteIat(const ImageImport& import, uint64_t value);
    // The address of an exported name, or 0.
    uint64_t ExportAddress(const std::string& name) const;

private:
    PeImage() = default;

    uint8_t* base_ = nullptr;
    size_t size_ = 0;
    uint64_t preferredBase_ = 0;
    uint64_t entryRva_ = 0;
    std::vector<ImageRange> ranges_;
    std::vector<ImageImport> imports_;
    std::map<std::string, uint64_t> exports_;  // name: RVA
};

}  // namespace runner
