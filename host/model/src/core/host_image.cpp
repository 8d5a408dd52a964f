// The host build of the driver as a loadable image. Each open copies the
// shared object to a private file first: the dynamic loader would otherwise
// hand back the already-loaded copy, and a second load would see the first
// one's globals instead of a freshly mapped image's zeroes.
#include "core/machine_state.h"

#include "model/address_space.h"
#include "model/image_registry.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>

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

}  // namespace

std::unique_ptr<DriverImage> OpenHostImage(const std::string& path, std::string* error)
{
    std::ifstream source(path, std::ios::binary);
    if (!source) {
        *error = "cannot read driver image " + path;
        return nullptr;
    }
    char copyPath[128];
    std::snprintf(copyPath, sizeof(copyPath), "/tmp/vekcrashdmp-%d-%u.so",
                  static_cast<int>(getpid()), ImageCopies++);
    {
        std::ofstream copy(copyPath, std::ios::binary | std::ios::trunc);
        copy << source.rdbuf();
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
