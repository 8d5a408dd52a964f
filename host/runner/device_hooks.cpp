// The processor's view of the model's devices: port I/O, CPUID, device
// memory mapped by the driver, and the note of a bad memory access that a
// stop turns into a page fault.
#include "runner/emulator.h"

#include "runner/layout.h"

#include "ntmodel/ntmodel.h"

namespace runner {

void Emulator::InstallDeviceHooks()
{
    uc_hook hook;
    uc_hook_add(uc_, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(OnBlock), this, 1, 0);
    uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(OnInterrupt), this, 1, 0);
    uc_hook_add(uc_, &hook, UC_HOOK_MEM_UNMAPPED | UC_HOOK_MEM_PROT,
                reinterpret_cast<void*>(OnBadAccess), this, 1, 0);
    // With no hook on valid accesses, a bad access stops the processor with
    // RIP at the start of its block, not on the faulting instruction: any
    // such hook makes the processor keep RIP exact at every access. This
    // one covers one address nothing accesses (a host service's), so it
    // never runs.
    uc_hook_add(uc_, &hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                reinterpret_cast<void*>(OnNeverAccessed), this, HostServiceBase, HostServiceBase);
    uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(OnIn), this, 1, 0,
                UC_X86_INS_IN);
    uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(OnOut), this, 1, 0,
                UC_X86_INS_OUT);
    uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(OnCpuid), this, 1, 0,
                UC_X86_INS_CPUID);

    mappingObserver_ = {OnMapped, OnUnmapped, this};
    model::SetIoMappingObserver(&mappingObserver_);
    imageObserver_ = {OnImageMapped, OnImageUnmapped, this};
    model::SetImageMemoryObserver(&imageObserver_);
}

// Resident pages of the images the registry placed: read-only, at the same
// address as in host memory. Pages out are left unmapped, so a read of one
// stops the processor as a page fault.
void Emulator::OnImageMapped(uintptr_t address, size_t size, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    uc_err error =
        uc_mem_map_ptr(emulator->uc_, address, size, UC_PROT_READ, reinterpret_cast<void*>(address));
    if (error != UC_ERR_OK) {
        Fatal("cannot map a loaded image", error);
    }
}

void Emulator::OnImageUnmapped(uintptr_t address, size_t size, void* self)
{
    uc_mem_unmap(static_cast<Emulator*>(self)->uc_, address, size);
}

bool Emulator::OnBadAccess(uc_engine*, uc_mem_type type, uint64_t address, int, int64_t, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    emulator->lastBadAccess_ = {type, address, true};
    return false;
}

void Emulator::OnNeverAccessed(uc_engine*, uc_mem_type, uint64_t, int, int64_t, void*)
{
}

// An exception or software interrupt: the run stops, and the vector decides
// what the kernel raises.
void Emulator::OnInterrupt(uc_engine*, uint32_t vector, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    emulator->pendingInterrupt_ = static_cast<int>(vector);
    uc_emu_stop(emulator->uc_);
}

uint32_t Emulator::OnIn(uc_engine*, uint32_t port, int size, void*)
{
    uint32_t value = 0;
    for (int i = 0; i < size; ++i) {
        value |= static_cast<uint32_t>(ModelPortReadByte(static_cast<USHORT>(port + i))) << (8 * i);
    }
    return value;
}

void Emulator::OnOut(uc_engine*, uint32_t port, int size, uint32_t value, void* self)
{
    for (int i = 0; i < size; ++i) {
        ModelPortWriteByte(static_cast<USHORT>(port + i), static_cast<UCHAR>(value >> (8 * i)));
    }
    auto* emulator = static_cast<Emulator*>(self);
    if (model::Stopped()) {
        // A write that reset the machine: nothing runs after it.
        emulator->lane_.Halted = true;
        uc_emu_stop(emulator->uc_);
        return;
    }
    emulator->NoteDeviceProgress();
}

int Emulator::OnCpuid(uc_engine*, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    ULONG registers[4] = {};
    ModelCpuid(static_cast<ULONG>(emulator->Register(UC_X86_REG_RAX)),
               static_cast<ULONG>(emulator->Register(UC_X86_REG_RCX)), registers);
    emulator->SetRegister(UC_X86_REG_RAX, registers[0]);
    emulator->SetRegister(UC_X86_REG_RBX, registers[1]);
    emulator->SetRegister(UC_X86_REG_RCX, registers[2]);
    emulator->SetRegister(UC_X86_REG_RDX, registers[3]);
    return 1;  // the model's answer replaces the instruction
}

uint64_t Emulator::OnMmioRead(uc_engine*, uint64_t offset, unsigned size, void* base)
{
    uint64_t value = 0;
    auto address = reinterpret_cast<uintptr_t>(base) + offset;
    for (unsigned i = 0; i < size; ++i) {
        value |= static_cast<uint64_t>(
                     ModelRegisterReadByte(reinterpret_cast<volatile UCHAR*>(address + i)))
                 << (8 * i);
    }
    return value;
}

void Emulator::OnMmioWrite(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* base)
{
    auto address = reinterpret_cast<uintptr_t>(base) + offset;
    for (unsigned i = 0; i < size; ++i) {
        ModelRegisterWriteByte(reinterpret_cast<volatile UCHAR*>(address + i),
                               static_cast<UCHAR>(value >> (8 * i)));
    }
    Instance().NoteDeviceProgress();
}

void Emulator::OnMapped(uintptr_t address, size_t size, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    uint64_t first = PageDown(address);
    uint64_t length = PageUp(address + size) - first;
    uc_err error = uc_mmio_map(emulator->uc_, first, length, OnMmioRead,
                               reinterpret_cast<void*>(first), OnMmioWrite,
                               reinterpret_cast<void*>(first));
    if (error != UC_ERR_OK) {
        Fatal("cannot map device memory", error);
    }
}

void Emulator::OnUnmapped(uintptr_t address, size_t size, void* self)
{
    auto* emulator = static_cast<Emulator*>(self);
    uint64_t first = PageDown(address);
    uc_mem_unmap(emulator->uc_, first, PageUp(address + size) - first);
}

}  // namespace runner
