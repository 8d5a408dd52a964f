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

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string_view>

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
    // No exit addresses: the engine would translate the code at an exit
    // afresh after every run, and the block before it, and never reclaim
    // either. A call into the driver ends at a code hook on
    // KxCallDriverReturn instead.
    error = uc_ctl_exits_enable(uc_);
    if (error != UC_ERR_OK) {
        Fatal("cannot run without exit addresses", error);
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
    MapSharedUserData();
    MapTrampolines();
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

// The shared user data page at its fixed kernel address, as every x64
// kernel maps it: the image reads the clock there (KeQuerySystemTime is a
// read of it on x64, not a routine). Read-only, as the kernel-mode view is
// on current kernels: the model alone updates it, when the clock moves.
void Emulator::MapSharedUserData()
{
    static_assert(model::SharedUserDataSize == PageSize, "the shared user data is one page");
    uc_err error = uc_mem_map_ptr(uc_, model::KernelSharedUserDataAddress,
                                  model::SharedUserDataSize, UC_PROT_READ,
                                  model::SharedUserDataPage());
    if (error != UC_ERR_OK) {
        Fatal("cannot map the shared user data page", error);
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
        if (range.Executable) {
            DropStaleTranslations(address, range.Size);
        }
    }
    EnterImageMemory(image);
    ScanCode(image);
    return true;
}

// The image's ranges in the address space map: resident but for the pages
// taken out, which are entered as paged out (MmIsAddressValid says no, and
// a kernel routine that meets one at raised IRQL bug checks).
void Emulator::EnterImageMemory(const PeImage& image)
{
    std::vector<model::MemoryRangeId>& ids = imageMemory_[image.Address()];
    for (model::MemoryRangeId id : ids) {
        model::RemoveMemory(id);
    }
    ids.clear();
    const std::set<uint64_t>& out = pagedOut_[image.Address()];
    for (const ImageRange& range : image.Ranges()) {
        const uint64_t end = image.Address() + range.Rva + range.Size;
        for (uint64_t at = image.Address() + range.Rva; at < end;) {
            const bool resident = out.count(PageDown(at)) == 0;
            uint64_t next = PageDown(at) + PageSize;
            while (next < end && (out.count(next) == 0) == resident) {
                next += PageSize;
            }
            next = std::min(next, end);
            model::MemoryRange entered;
            entered.Start = at;
            entered.Size = next - at;
            entered.Writable = range.Writable;
            entered.Resident = resident;
            entered.What = resident ? "the driver image" : "the driver image (a page that is out)";
            ids.push_back(model::EnterMemory(entered, model::MemoryOwner::Host));
            at = next;
        }
    }
}

bool Emulator::PageOut(PeImage& image, uint64_t address)
{
    const uint64_t page = PageDown(address);
    for (const ImageRange& range : image.Ranges()) {
        const uint64_t start = image.Address() + range.Rva;
        if (page < start || page - start >= range.Size) {
            continue;
        }
        if (pagedOut_[image.Address()].count(page) != 0) {
            return true;
        }
        // Unmapped, the page stops the processor as a page fault, and the
        // unwinding routines' reads through the engine are refused too.
        if (uc_mem_unmap(uc_, page, PageSize) != UC_ERR_OK) {
            return false;
        }
        pagedOut_[image.Address()].insert(page);
        EnterImageMemory(image);
        return true;
    }
    return false;
}

// The engine keeps its translations of code when the code is unmapped, and
// runs them again for whatever is mapped at the same address later. That is
// what keeps load/unload cycles flat: the same image at the same address
// translates nothing anew. Code that differs from what was last translated
// there has the old translations dropped before it runs.
void Emulator::DropStaleTranslations(uint64_t address, uint64_t size)
{
    const size_t fingerprint = std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(address), size));
    auto known = translatedCode_.find(address);
    if (known != translatedCode_.end() && known->second.Size == size &&
        known->second.Fingerprint == fingerprint) {
        return;
    }
    // Records of code this range overlaps, all stale now.
    auto first = translatedCode_.lower_bound(address);
    if (first != translatedCode_.begin() && std::prev(first)->first + std::prev(first)->second.Size > address) {
        --first;
    }
    auto last = translatedCode_.lower_bound(address + size);
    translatedCode_.erase(first, last);
    uc_err error = uc_ctl_remove_cache(uc_, address, address + size);
    if (error != UC_ERR_OK) {
        Fatal("cannot drop translated code", error);
    }
    translatedCode_[address] = TranslatedCode{size, fingerprint};
}

void Emulator::UnmapImage(PeImage& image)
{
    for (model::MemoryRangeId id : imageMemory_[image.Address()]) {
        model::RemoveMemory(id);
    }
    imageMemory_.erase(image.Address());
    // Each range is unmapped whole: the pages taken out come back first.
    for (uint64_t page : pagedOut_[image.Address()]) {
        uc_mem_map_ptr(uc_, page, PageSize, UC_PROT_NONE, reinterpret_cast<void*>(page));
    }
    pagedOut_.erase(image.Address());
    for (const ImageRange& range : image.Ranges()) {
        uc_mem_unmap(uc_, image.Address() + range.Rva, range.Size);
    }
    ForgetCode(image);
}

void Emulator::OnStopPoint(uc_engine* uc, uint64_t, uint32_t, void*)
{
    uc_emu_stop(uc);
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
