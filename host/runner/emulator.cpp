// The engine: the one unicorn processor of this process, the memory it
// shares with the host, and the images mapped into it (see emulator.h for
// the design). Imports, the code scan, calls into the driver, device hooks
// and kernel memory live in files of their own.
#include "runner/emulator.h"

#include "runner/layout.h"
#include "runner/pe_image.h"

#include "model/kernel_memory.h"

#include <capstone/capstone.h>

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

namespace runner {

namespace {

// A generous bound: the longest legitimate call, a crash report into a
// dead UART, runs a few million instructions.
constexpr uint64_t DefaultInstructionLimit = 200000000;

}  // namespace

[[noreturn]] void Fatal(const char* what, uc_err error)
{
    std::fprintf(stderr, "vekcrash: emulator: %s: %s\n", what, uc_strerror(error));
    std::abort();
}

void* ReserveAt(uint64_t address, uint64_t slotSize, size_t size, int protection, int flags)
{
    return model::ReserveHostMemory(address, slotSize, size, protection, flags, true);
}

Emulator& Emulator::Instance()
{
    static Emulator* emulator = new Emulator();
    return *emulator;
}

Emulator::Emulator() : instructionLimit_(DefaultInstructionLimit)
{
    uc_err error = uc_open(UC_ARCH_X86, UC_MODE_64, &uc_);
    if (error != UC_ERR_OK) {
        Fatal("cannot start", error);
    }
    csh handle = 0;
    if (cs_open(CS_ARCH_X86, CS_MODE_64, &handle) != CS_ERR_OK) {
        std::fprintf(stderr, "vekcrash: emulator: cannot start the disassembler\n");
        std::abort();
    }
    cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
    capstone_ = handle;

    StartLanes();
    CreateArena();
    MapDataExports();
    InstallDeviceHooks();

    uc_context_alloc(uc_, &pristine_);
    uc_context_save(uc_, pristine_);
}

// The kernel's exported variables live in the model library's data, each on
// pages of its own: only those pages are shared, so a driver writing past a
// variable meets unmapped memory, not the host's data next to it.
void Emulator::MapDataExports()
{
    static_assert(model::DataExportPageSize == PageSize, "exports come in guest pages");
    for (const model::DataExport& data : model::ExportedData()) {
        auto address = reinterpret_cast<uintptr_t>(data.Address);
        if (address % PageSize != 0) {
            std::fprintf(stderr, "vekcrash: emulator: %s does not start a page of its own\n",
                         data.Name);
            std::abort();
        }
        MapHostPages(address, PageUp(data.Size), UC_PROT_READ | UC_PROT_WRITE);
    }
}

void Emulator::MapHostPages(uint64_t address, size_t size, uint32_t protection)
{
    for (uint64_t mapped : hostPagesMapped_) {
        if (mapped == address) {
            return;
        }
    }
    uc_err error = uc_mem_map_ptr(uc_, address, size, protection, reinterpret_cast<void*>(address));
    if (error != UC_ERR_OK) {
        Fatal("cannot share host memory", error);
    }
    hostPagesMapped_.push_back(address);
}

void Emulator::Attach()
{
    if (attached_++ == 0) {
        // Kernel routines may touch only guest memory: the stacks, the
        // images (MapImage) and what the model itself hands out.
        model::RestrictToEnteredMemory();
        model::UseFiberLanes(&laneHooks_);
        model::SetKernelMemoryAllocator(&arenaAllocator_);
        model::SetRoutineAddressTranslator(TranslateRoutine, this);
        model::SetRoutineFaultGuard(OnRoutineFault, this);
        model::SetFaultBugCheckRoute(RouteFaultBugCheck, this);
    }
}

void Emulator::Detach()
{
    if (--attached_ == 0) {
        model::UseFiberLanes(nullptr);
        model::UnrestrictEnteredMemory();
        model::SetKernelMemoryAllocator(nullptr);
        model::SetRoutineAddressTranslator(nullptr, nullptr);
        model::SetRoutineFaultGuard(nullptr, nullptr);
        model::SetFaultBugCheckRoute(nullptr, nullptr);
    }
}

bool Emulator::MapImage(PeImage& image, std::string* error)
{
    // Bind every import before anything is mapped: one the model lacks
    // fails the load, naming it.
    if (!BindImports(image, error)) {
        return false;
    }
    for (const ImageRange& range : image.Ranges()) {
        uint32_t protection = (range.Readable ? UC_PROT_READ : 0) |
                              (range.Writable ? UC_PROT_WRITE : 0) |
                              (range.Executable ? UC_PROT_EXEC : 0);
        uint64_t address = image.Address() + range.Rva;
        uc_err mapError = uc_mem_map_ptr(uc_, address, range.Size, protection,
                                         reinterpret_cast<void*>(address));
        if (mapError != UC_ERR_OK) {
            // The loader checked the ranges; what is left is a range another
            // image or the machine already holds.
            char where[96];
            std::snprintf(where, sizeof(where), "the image's range at RVA 0x%llX is taken",
                          static_cast<unsigned long long>(range.Rva));
            *error = std::string("cannot map the image: ") + where;
            UnmapImage(image);
            return false;
        }
        imageMemory_[image.Address()].push_back(
            model::EnterHostMemory(address, range.Size, range.Writable, "the driver image"));
    }
    ScanCode(image);
    return true;
}

void Emulator::UnmapImage(PeImage& image)
{
    for (model::MemoryRangeId id : imageMemory_[image.Address()]) {
        model::RemoveMemory(id);
    }
    imageMemory_.erase(image.Address());
    for (const ImageRange& range : image.Ranges()) {
        uc_mem_unmap(uc_, image.Address() + range.Rva, range.Size);
    }
    ForgetCode(image);
}

uint64_t Emulator::Register(int id) const
{
    uint64_t value = 0;
    uc_reg_read(uc_, id, &value);
    return value;
}

void Emulator::SetRegister(int id, uint64_t value)
{
    uc_reg_write(uc_, id, &value);
}

}  // namespace runner
