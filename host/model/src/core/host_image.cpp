// The host build of the driver as a loadable image. Each open copies the
// shared object into an anonymous memory file first: the dynamic loader
// would otherwise hand back the already-loaded copy, and a second load
// would see the first one's globals instead of a freshly mapped image's
// zeroes. The copy has no name, so nothing is left behind on any exit.
#include "core/machine_state.h"
#include "images/host_frames.h"

#include "model/address_space.h"
#include "model/image_registry.h"
#include "model/input_file.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace model {

namespace {

struct SegmentSearch {
    uintptr_t Base;
    std::vector<MemoryRangeId>* Entered;
    uint64_t End;  // past the last loaded segment
    std::string BuildId;  // the GNU build id note, in hex
};

constexpr uint32_t NoteAlignment = 4;

uint32_t NotePadded(uint32_t size)
{
    return (size + NoteAlignment - 1) & ~(NoteAlignment - 1);
}

// The GNU build id among the notes of one loaded note segment, or "".
std::string BuildIdNote(const uint8_t* notes, uint64_t size)
{
    static const char GnuName[] = "GNU";
    static const char Digits[] = "0123456789abcdef";
    uint64_t at = 0;
    while (size - at >= sizeof(ElfW(Nhdr))) {
        ElfW(Nhdr) header;
        std::memcpy(&header, notes + at, sizeof(header));
        const uint64_t name = at + sizeof(header);
        const uint64_t desc = name + NotePadded(header.n_namesz);
        const uint64_t next = desc + NotePadded(header.n_descsz);
        if (next > size) {
            break;
        }
        if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == sizeof(GnuName) &&
            std::memcmp(notes + name, GnuName, sizeof(GnuName)) == 0) {
            std::string hex;
            for (uint32_t i = 0; i < header.n_descsz; ++i) {
                hex += Digits[notes[desc + i] >> 4];
                hex += Digits[notes[desc + i] & 0xF];
            }
            return hex;
        }
        at = next;
    }
    return "";
}

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
            search->End = std::max<uint64_t>(search->End, info->dlpi_addr + header.p_vaddr +
                                                                header.p_memsz);
        } else if (header.p_type == PT_NOTE && search->BuildId.empty()) {
            search->BuildId = BuildIdNote(
                reinterpret_cast<const uint8_t*>(info->dlpi_addr + header.p_vaddr),
                header.p_memsz);
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
            SegmentSearch search{static_cast<uintptr_t>(map->l_addr), &entered_, 0, {}};
            dl_iterate_phdr(EnterImageSegments, &search);
            NoteHostDriverImage(search.Base, search.End);
            BeginHostFrames(TableForImage(ReadHostFrameTable(HostFrameTablePath(name_)),
                                          search.BuildId),
                            search.Base, listing_.Id());
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
        EndHostFrames();
        NoteHostDriverImage(0, 0);
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

// Far beyond the host build of the driver; a larger file is not it.
constexpr uint64_t MaxHostImageBytes = 256ull << 20;

// Writes the whole of file into fd; false on a short write.
bool CopyInto(int fd, const InputFile& file)
{
    size_t done = 0;
    while (done < file.Size()) {
        ssize_t written = write(fd, file.Data() + done, file.Size() - done);
        if (written <= 0) {
            if (written < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

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
    InputFile source;
    if (!source.Open(path, MaxHostImageBytes, error, "driver image ")) {
        return nullptr;
    }
    std::string refusal =
        UnresolvedHostImport(std::string(reinterpret_cast<const char*>(source.Data()), source.Size()));
    if (!refusal.empty()) {
        *error = refusal;
        return nullptr;
    }
    int copy = memfd_create("vekcrashdmp_host.so", MFD_CLOEXEC);
    if (copy < 0) {
        *error = "cannot copy driver image " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!CopyInto(copy, source)) {
        *error = "cannot copy driver image " + path + ": " + std::strerror(errno);
        close(copy);
        return nullptr;
    }
    std::string copyPath = "/proc/self/fd/" + std::to_string(copy);
    void* handle = dlopen(copyPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    close(copy);
    if (handle == nullptr) {
        *error = "cannot load driver image " + path + ": " + dlerror();
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
