// The host build of the driver as a loadable image. Each open copies the
// shared object to a private file first: the dynamic loader would otherwise
// hand back the already-loaded copy, and a second load would see the first
// one's globals instead of a freshly mapped image's zeroes.
#include "core/machine_state.h"

#include "model/address_space.h"
#include "model/image_registry.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace model {

namespace {

struct SegmentSearch {
    uintptr_t Base;
    std::vector<MemoryRangeId>* Entered;
};

int EnterImageSegments(dl_phdr_info* info, size_t, void* context)
{
    auto* search = static_cast<SegmentSearch*>(context);
    if (info->dlpi_addr != search->Base) {
        return 0;
    }
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD) {
            search->Entered->push_back(EnterHostMemory(info->dlpi_addr + header.p_vaddr,
                                                       header.p_memsz,
                                                       (header.p_flags & PF_W) != 0,
                                                       "the driver image"));
        }
    }
    return 1;
}

// Native driver code may touch its own image, the stack of the thread that
// calls it, the kernel's exported data and the memory the kernel gave it;
// while the image exists, nothing else counts as valid.
class HostImage : public DriverImage {
public:
    HostImage(void* handle, PDRIVER_INITIALIZE entry, std::string name)
        : handle_(handle), entry_(entry), name_(std::move(name)),
          listing_(ListShippedDriverImage(DefaultShippedImagePath()))
    {
        RestrictToEnteredMemory();
        link_map* map = nullptr;
        if (dlinfo(handle_, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
            SegmentSearch search{static_cast<uintptr_t>(map->l_addr), &entered_};
            dl_iterate_phdr(EnterImageSegments, &search);
        }
        BeginNativeDriverCode();
    }
    ~HostImage() override
    {
        for (MemoryRangeId id : entered_) {
            RemoveMemory(id);
        }
        EndNativeDriverCode();
        UnrestrictEnteredMemory();
        dlclose(handle_);
    }

    std::string Name() const override { return name_; }

    const void* EntryRoutine() const override { return reinterpret_cast<const void*>(entry_); }

    uint64_t Call(const DriverCall& call) override { return CallNativeRoutine(call); }

private:
    std::vector<MemoryRangeId> entered_;
    void* handle_;
    PDRIVER_INITIALIZE entry_;
    std::string name_;
    // The module list shows the shipped image in the host code's place.
    ImageRegistration listing_;
};

std::atomic<unsigned> ImageCopies{0};

// The host build's static imports are the kernel routines among its
// undefined dynamic symbols: what the dynamic linker must bind when the
// image loads, as the kernel's loader binds a .sys's import table. The
// first one this machine's kernel lacks refuses the image.
std::string UnresolvedHostImport(const std::string& image)
{
    const char* bytes = image.data();
    Elf64_Ehdr header;
    if (image.size() < sizeof(header)) {
        return {};
    }
    std::memcpy(&header, bytes, sizeof(header));
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_shentsize != sizeof(Elf64_Shdr) ||
        header.e_shoff > image.size() ||
        uint64_t{header.e_shnum} * sizeof(Elf64_Shdr) > image.size() - header.e_shoff) {
        return {};
    }
    auto section = [&](unsigned index) {
        Elf64_Shdr entry;
        std::memcpy(&entry, bytes + header.e_shoff + index * sizeof(Elf64_Shdr), sizeof(entry));
        return entry;
    };
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr symbols = section(i);
        if (symbols.sh_type != SHT_DYNSYM || symbols.sh_link >= header.e_shnum) {
            continue;
        }
        Elf64_Shdr names = section(symbols.sh_link);
        if (symbols.sh_offset > image.size() || symbols.sh_size > image.size() - symbols.sh_offset ||
            names.sh_offset > image.size() || names.sh_size > image.size() - names.sh_offset) {
            return {};
        }
        for (uint64_t at = 0; at + sizeof(Elf64_Sym) <= symbols.sh_size; at += sizeof(Elf64_Sym)) {
            Elf64_Sym symbol;
            std::memcpy(&symbol, bytes + symbols.sh_offset + at, sizeof(symbol));
            if (symbol.st_shndx != SHN_UNDEF || symbol.st_name >= names.sh_size) {
                continue;
            }
            const char* name = bytes + names.sh_offset + symbol.st_name;
            std::string refusal =
                UnresolvedImport(std::string(name, strnlen(name, names.sh_size - symbol.st_name)));
            if (!refusal.empty()) {
                return refusal;
            }
        }
    }
    return {};
}

}  // namespace

std::unique_ptr<DriverImage> OpenHostImage(const std::string& path, std::string* error)
{
    std::ifstream source(path, std::ios::binary);
    if (!source) {
        *error = "cannot read driver image " + path;
        return nullptr;
    }
    std::ostringstream contents;
    contents << source.rdbuf();
    const std::string image = contents.str();
    std::string refusal = UnresolvedHostImport(image);
    if (!refusal.empty()) {
        *error = refusal;
        return nullptr;
    }
    char copyPath[128];
    std::snprintf(copyPath, sizeof(copyPath), "/tmp/vekcrashdmp-%d-%u.so",
                  static_cast<int>(getpid()), ImageCopies++);
    {
        std::ofstream copy(copyPath, std::ios::binary | std::ios::trunc);
        copy << image;
        if (!copy) {
            *error = std::string("cannot write ") + copyPath;
            return nullptr;
        }
    }
    void* handle = dlopen(copyPath, RTLD_NOW | RTLD_LOCAL);
    unlink(copyPath);
    if (handle == nullptr) {
        *error = std::string("cannot load driver image: ") + dlerror();
        return nullptr;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle, "DriverEntry"));
    if (entry == nullptr) {
        dlclose(handle);
        *error = "driver image " + path + " has no DriverEntry";
        return nullptr;
    }
    return std::make_unique<HostImage>(handle, entry, path);
}

std::string DefaultHostImagePath()
{
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) {
        return "vekcrashdmp_host.so";
    }
    std::string directory(self, static_cast<size_t>(length));
    directory.erase(directory.find_last_of('/') + 1);
    return directory + "vekcrashdmp_host.so";
}

}  // namespace model
