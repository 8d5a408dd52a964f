// Imports of the shipped image bound to the model kernel. Each routine has
// a trampoline slot: a kernel address whose code hook stops the processor,
// the routine runs on the host with the guest's arguments, and the
// processor resumes at the return address. Exported variables bind to
// their own storage.
#include "runner/emulator.h"

#include "runner/layout.h"
#include "runner/pe_image.h"

#include <sys/mman.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace runner {

bool Emulator::BindImports(PeImage& image, std::string* error)
{
    const auto& routines = model::ExportedRoutines();
    for (const ImageImport& import : image.Imports()) {
        std::string module = import.Module;
        for (char& c : module) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (module != "ntoskrnl.exe" && module != "hal.dll") {
            *error = "the image imports " + import.Name + " from " + import.Module +
                     ", which is no kernel module";
            return false;
        }
        // The machine's kernel version decides what binds, as the loader's
        // own lookup in the kernel's export table does.
        std::string unresolved = model::UnresolvedImport(import.Name);
        if (!unresolved.empty()) {
            *error = unresolved;
            return false;
        }
        if (const model::RoutineInfo* routine = model::FindRoutine(import.Name)) {
            image.WriteIat(import, TrampolineBase + TrampolineSlot * static_cast<uint64_t>(
                                                                         routine - routines.data()));
        } else if (const model::DataExport* data = model::FindData(import.Name)) {
            image.WriteIat(import, reinterpret_cast<uintptr_t>(data->Address));
        } else {
            *error = "the image imports " + import.Name + " from " + import.Module +
                     ", which the model kernel does not provide";
            return false;
        }
    }
    return true;
}

namespace {

// What a trampoline slot holds, should the processor ever run it: a
// breakpoint. The hook stops the processor before it does.
constexpr uint8_t Int3 = 0xCC;

uint64_t TrampolineBytes()
{
    return PageUp(TrampolineSlot * model::ExportedRoutines().size());
}

}  // namespace

// The slots are real, execute-only memory with one code hook over them. An
// unmapped slot would stop the processor as well, but the engine then
// translates the failed fetch afresh at every call and never reclaims that
// code: memory that grew with every kernel call the driver made.
void Emulator::MapTrampolines()
{
    const uint64_t size = TrampolineBytes();
    void* slots = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (slots == MAP_FAILED) {
        std::fprintf(stderr, "vekcrash: emulator: cannot make the import trampolines\n");
        std::abort();
    }
    std::memset(slots, Int3, size);
    uc_err error = uc_mem_map_ptr(uc_, TrampolineBase, size, UC_PROT_EXEC, slots);
    if (error != UC_ERR_OK) {
        Fatal("cannot map the import trampolines", error);
    }
    uc_hook hook;
    uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(OnStopPoint), this,
                TrampolineBase, TrampolineBase + size - 1);
}

bool Emulator::InTrampolines(uint64_t address) const
{
    return address >= TrampolineBase && address - TrampolineBase < TrampolineBytes();
}

bool Emulator::IsTrampoline(uint64_t address) const
{
    uint64_t end = TrampolineBase + TrampolineSlot * model::ExportedRoutines().size();
    return address >= TrampolineBase && address < end && (address - TrampolineBase) % TrampolineSlot == 0;
}

bool Emulator::DispatchImport(uint64_t slot)
{
    const model::RoutineInfo& routine =
        model::ExportedRoutines()[(slot - TrampolineBase) / TrampolineSlot];
    uint64_t rsp = Register(UC_X86_REG_RSP);
    // The return address and the stack arguments are read on the host: a
    // driver that wrecked its stack pointer faults here, as it would in the
    // kernel, instead of taking the host down.
    uint64_t stackBytes = 8 + ShadowSpace +
                          8 * (routine.Arity > RegisterArguments ? routine.Arity - RegisterArguments : 0);
    if (!OnStack(rsp, stackBytes)) {
        model::RaiseDriverFault({model::DriverFaultKind::Read, rsp, slot});
        lane_.Halted = model::Stopped();
        return false;
    }
    uint64_t slots[MaxArguments] = {};
    for (unsigned i = 0; i < routine.Arity && i < MaxArguments; ++i) {
        if (i < RegisterArguments) {
            slots[i] = Register(ArgumentRegisters[i]);
        } else {
            // Past the return address and the shadow space.
            std::memcpy(&slots[i],
                        reinterpret_cast<const void*>(rsp + 8 + ShadowSpace + 8 * (i - RegisterArguments)),
                        8);
        }
    }
    ++stats_.ImportCalls;
    // A kernel call is a switch point of its own: the quantum, which only
    // bounds code that never reaches one, starts again.
    blocksSinceYield_ = 0;
    uint64_t outerImportRsp = lane_.ImportRsp;
    lane_.ImportRsp = rsp;
    uint64_t result = routine.Thunk(slots);
    lane_.ImportRsp = outerImportRsp;
    if (lane_.RoutineFaultTaken) {
        // A __try around the call took the routine's fault: the driver goes
        // on at its handler, already in the registers.
        lane_.RoutineFaultTaken = false;
        return true;
    }
    // A bug check raised inside the routine ends the driver's call: the
    // driver code that called it never resumes.
    if (lane_.Halted || model::DriverCallEnding()) {
        lane_.Halted = lane_.Halted || model::Stopped();
        return false;
    }
    uint64_t returnAddress = 0;
    std::memcpy(&returnAddress, reinterpret_cast<const void*>(rsp), 8);
    SetRegister(UC_X86_REG_RAX, result);
    SetRegister(UC_X86_REG_RSP, rsp + 8);
    SetRegister(UC_X86_REG_RIP, returnAddress);
    return true;
}

void* Emulator::TranslateRoutine(const model::RoutineInfo& routine, void*)
{
    const auto& routines = model::ExportedRoutines();
    return reinterpret_cast<void*>(TrampolineBase +
                                   TrampolineSlot * static_cast<uint64_t>(&routine - routines.data()));
}

}  // namespace runner
