// The emulated x64 processor that runs the shipped image against the model
// kernel.
//
// Guest and host share addresses: the image, the guest stack and every
// block of kernel memory the model hands out are host memory mapped into
// the emulator at the same address, so a pointer means the same on both
// sides and the model's routines run unchanged on the guest's arguments.
// Imports bind to "trampoline" addresses; a call to one stops emulation, the routine runs on the host, and emulation resumes at the
// return address. Since the processor is never running while a model
// routine runs, a routine that calls back into the driver simply starts a
// new emulation from the host: no nesting inside the emulator.
//
// Virtual processors take turns on the one engine: each has a lane (its
// registers, its kernel stacks, the state of its current call from the
// kernel), and the model's scheduler switches lanes only while emulation is
// stopped: at a kernel call, at PAUSE, when a lowered IRQL lets DPCs run, or
// after a quantum of code without either (processor_lanes.cpp).
//
// One class, one file per job: emulator.cpp (engine and image mapping),
// import_binding.cpp, code_scan.cpp, driver_call.cpp, guest_stack.cpp,
// device_hooks.cpp, arena.cpp, kernel_image.cpp, processor_lanes.cpp.
#pragma once

#include "model/address_space.h"
#include "model/driver_call.h"
#include "model/kernel_memory.h"
#include "model/machine.h"

#include <unicorn/unicorn.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace runner {

class PeImage;

struct RunnerStats {
    uint64_t Instructions = 0;  // emulated instructions
    uint64_t ImportCalls = 0;   // calls from the driver into the kernel
    uint64_t DriverCalls = 0;   // calls from the kernel into the driver
    // The last fault that bug checked through the kernel image: its trap
    // entry and the stack pointer the entry started with (the machine frame,
    // from the error code or RIP up).
    const char* LastTrapEntry = nullptr;
    uint64_t LastMachineFrame = 0;
};

class Emulator {
public:
    // The one processor of this process, created on first use.
    static Emulator& Instance();

    // Maps a loaded image, binds its imports and prepares its special
    // instructions. On failure returns false with one line in error (an
    // import the model kernel does not provide, for one).
    bool MapImage(PeImage& image, std::string* error);
    void UnmapImage(PeImage& image);
    // Takes the page holding address out of a mapped image, as the memory
    // manager trims a page it may page: the processor's access faults and
    // MmIsAddressValid says no, until the image is unmapped. False for an
    // address outside the image's mapped ranges.
    bool PageOut(PeImage& image, uint64_t address);
    // Maps the model's kernel image at path (once per process) and lists it
    // as ntoskrnl.exe; false with one line in error when it cannot.
    bool MapKernel(const std::string& path, std::string* error);

    // Calls a driver routine with the Microsoft x64 convention and returns
    // RAX. Returns 0 without running when the machine has stopped.
    uint64_t Call(uint64_t routine, const std::vector<uint64_t>& arguments, const char* what);

    // Routes MmGetSystemRoutineAddress and kernel memory to the emulator
    // while an image of the shipped driver is in use.
    void Attach();
    void Detach();

    const RunnerStats& Stats() const { return stats_; }
    // Kernel memory carved so far, freed or not: what the shared region's
    // pages cost at most. Load/unload cycles leave it where it was.
    size_t ArenaBytesInUse() const;

    // The processor itself, for reading its registers and memory while a
    // kernel routine runs (RtlCaptureContext, the unwinder's reads).
    uc_engine* Engine() const { return uc_; }

    // Instructions driver code may run, within one call from the kernel,
    // without a device making progress (a byte a UART accepted) before it
    // counts as runaway code.
    void SetInstructionLimit(uint64_t limit) { instructionLimit_ = limit; }
    // Basic blocks a processor runs without a kernel call or PAUSE before
    // another may take its turn (0: the default). Tests shorten it so that
    // quanta end at every kind of block.
    void SetQuantum(uint64_t blocks);

    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

private:
    Emulator();

    // An instruction the emulator cannot answer by itself: the model does.
    struct SpecialInstruction {
        enum class Kind {
            ReadMsr,
            WriteMsr,
            ReadCr8,
            WriteCr8,
            WriteControl,
            Pause,
            LoadDescriptorTable,  // lgdt, lidt
            SwapGs,
            SystemCall,
            AllocateStack,  // sub rsp, imm
        } What;
        uint32_t Length;
        int Register;        // the general register of a control register move
        unsigned Control;    // the control register written (WriteControl)
        // lgdt/lidt: the operand's address (base register, displacement;
        // RIP-relative when the base is RIP). sub rsp: the bytes allocated.
        int Base = UC_X86_REG_INVALID;
        int Index = UC_X86_REG_INVALID;
        int Scale = 1;
        int64_t Displacement = 0;
        bool InterruptTable = false;
        uint64_t Bytes = 0;
    };

    struct GuestStack {
        uint64_t Low = 0;   // lowest usable address; the guard lies below
        uint64_t High = 0;  // one past the top
    };

    // A virtual processor's share of the engine, and of its current call
    // from the kernel.
    struct Lane {
        GuestStack Stack;  // its kernel stack
        GuestStack Spare;  // ... and the one for calls made with it spent
        int Depth = 0;     // calls from the kernel in progress
        bool Halted = false;
        bool Runaway = false;
        uint64_t InstructionsSinceProgress = 0;
        size_t ProgressThisCall = 0;
        bool Dispatching = false;        // filters or __finally blocks are running
        bool DispatchAbandoned = false;  // ... and one of them faulted
        uint64_t ImportRsp = 0;          // the stack of the kernel routine call in progress
        bool RoutineFaultTaken = false;  // a guard took a fault of that routine
        uint64_t ContinuedRip = 0;       // where a filter last continued execution
        unsigned Continuations = 0;      // ... and how many times in a row
        unsigned Dispatches = 0;         // exceptions dispatched in this call from the kernel
    };

    // What stopped emulation for the scheduler to act on.
    enum class Yield { None, Pause, Quantum, LowerIrql };

    // Engine (emulator.cpp).
    uint64_t Register(int id) const;
    void SetRegister(int id, uint64_t value);
    void MapHostPages(uint64_t address, size_t size, uint32_t protection);
    void MapDataExports();
    void MapSharedUserData();
    // Drops the engine's translations of the code range unless it holds
    // the very code they were made from.
    void DropStaleTranslations(uint64_t address, uint64_t size);

    // Imports (import_binding.cpp).
    bool BindImports(PeImage& image, std::string* error);
    void MapTrampolines();
    // Whether the address lies in the trampolines' pages, a slot or not.
    bool InTrampolines(uint64_t address) const;
    // Runs the kernel routine a trampoline stands for; false when the call
    // into the driver that made it is over (the machine stopped).
    bool DispatchImport(uint64_t slot);
    bool IsTrampoline(uint64_t address) const;

    // Special instructions and block counts (code_scan.cpp).
    void ScanCode(PeImage& image);
    // Hooks the special instruction at the decoded instruction, if it is
    // one and not hooked yet; true when it added a hook.
    bool HookSpecial(const void* instruction);
    void ForgetCode(PeImage& image);
    // The start of the mapped image that holds the address, or 0.
    uint64_t ImageOf(uint64_t address) const;
    void CountBlock(uint64_t address, uint32_t size);
    // A byte a device accepted: the runaway bound starts again.
    void NoteDeviceProgress();

    // The kernel image's routines (kernel_image.cpp).
    struct KernelEntries {
        uint64_t CallDriver = 0, CallDriverReturn = 0, HostServices = 0;
        uint64_t DivideError = 0, Debug = 0, Breakpoint = 0, Overflow = 0, BoundRange = 0;
        uint64_t InvalidOpcode = 0, DoubleFault = 0, GeneralProtection = 0, PageFault = 0;
        uint64_t SimdException = 0, Assertion = 0, SecurityCheckFailure = 0;
    };
    struct TrapEntry {
        uint64_t Address;
        const char* Name;
        bool HasErrorCode;
        uint64_t ErrorCode;
    };
    TrapEntry TrapFor(const model::DriverFault& fault) const;
    // Pushes the machine frame of the fault and runs its trap entry up to
    // the bug check host service, which runs the model's bug check; false
    // when the kernel's frames could not be laid out.
    bool RunTrapEntry(const model::DriverFault& fault, ULONG code, const ULONG_PTR (&parameters)[4]);
    void ServeBugCheck();
    static void RouteFaultBugCheck(const model::DriverFault& fault, ULONG code,
                                   const ULONG_PTR (&parameters)[4], void* self);

    // Processors (processor_lanes.cpp).
    void StartLanes();
    static void OnLaneLeaving(unsigned lane, void* self);
    static void OnLaneEntering(unsigned lane, void* self);
    // A point where the processor may give the turn to another: after
    // PAUSE, a quantum or an IRQL lowered by writing CR8.
    void TakeYield();
    // Stops emulation for the scheduler at the instruction at address,
    // which the processor steps over (it does nothing the model has not
    // done already).
    void YieldAfter(Yield yield, uint64_t address, uint32_t length);
    // Whether the block about to run, at block, ends the lane's quantum;
    // emulation then stops, to resume at that block.
    bool QuantumEnds(uint64_t block);

    // Stacks (guest_stack.cpp).
    GuestStack CreateStack(uint64_t address);
    // The lane's stacks, made the first time it runs.
    void CreateLaneStacks(unsigned lane);
    bool OnStack(uint64_t address, uint64_t size) const;
    // RSP at KxCallDriver's entry for a call from inside another call: the
    // interrupted call's return-address slot, so that a walk out of
    // KxCallDriver goes on into the code that called the kernel; or, with
    // that stack spent or wild, a fresh slot on the spare stack holding a
    // copy of the return address. A stack pointer that is no return slot
    // (the runner's own, for an exception filter) gets a fresh slot below
    // it holding the sentinel.
    uint64_t NestedCallEntry(uint64_t rsp, uint64_t frameSize);
    // Whether the processor could push an exception frame below rsp.
    bool ExceptionFrameFits(uint64_t rsp) const;

    // Calls into the driver (driver_call.cpp).
    uint64_t Run(uint64_t sentinel, const char* what);
    model::DriverFault FaultFromStop(uc_err error, uint64_t rip) const;
    model::DriverFault FaultFromInterrupt(uint32_t vector, uint64_t rip) const;

    // Exceptions (exception_dispatch.cpp): a fault in driver code offered to
    // the __try scopes of the frames it happened in before it bug checks.
    enum class Dispatch {
        Resumed,     // a handler took it, or a filter continued execution
        NotHandled,  // no scope took it: the bug check path
        Stopped,     // the machine stopped, or the call was abandoned (a fault in a
                     // filter or __finally block during the bug check)
    };
    Dispatch DispatchException(const model::DriverFault& fault);
    // continuable: whether a filter may resume the faulting instruction
    // (not one inside a kernel routine).
    Dispatch DispatchException(const model::DriverFault& fault, const CONTEXT& faultContext,
                               bool continuable);
    // A kernel routine's bad access, offered to the driver's __try scopes
    // around the call; true when one took it (the registers then resume the
    // driver at its handler).
    static bool OnRoutineFault(const model::RoutineFault& fault, void* self);
    Dispatch ContinueExecution(const CONTEXT& context);
    // After a filter or __finally block: whether its fault (or the machine
    // stopping) ended the dispatching call; resets the dispatch if so.
    bool CallAbandoned();
    bool IsCSpecificHandler(uint64_t handler) const;
    void ReadContext(CONTEXT* context) const;
    void WriteContext(const CONTEXT& context);

    // Devices (device_hooks.cpp) and kernel memory (arena.cpp).
    void InstallDeviceHooks();
    void CreateArena();

    static void OnBlock(uc_engine* uc, uint64_t address, uint32_t size, void* self);
    static void OnInterrupt(uc_engine* uc, uint32_t vector, void* self);
    static void OnNeverAccessed(uc_engine* uc, uc_mem_type type, uint64_t address, int size,
                                int64_t value, void* self);
    static bool OnBadAccess(uc_engine* uc, uc_mem_type type, uint64_t address, int size,
                            int64_t value, void* self);
    static uint32_t OnIn(uc_engine* uc, uint32_t port, int size, void* self);
    static void OnOut(uc_engine* uc, uint32_t port, int size, uint32_t value, void* self);
    // Stops the machine from inside a hook: nothing runs after it.
    void Halt();
    static int OnCpuid(uc_engine* uc, void* self);
    // A code hook that stops the processor before the instruction it is
    // on: at a trampoline, and where a call into the driver ends.
    static void OnStopPoint(uc_engine* uc, uint64_t address, uint32_t size, void* self);
    static void OnSpecial(uc_engine* uc, uint64_t address, uint32_t size, void* self);
    static uint64_t OnMmioRead(uc_engine* uc, uint64_t offset, unsigned size, void* base);
    static void OnMmioWrite(uc_engine* uc, uint64_t offset, unsigned size, uint64_t value,
                            void* base);
    static void OnMapped(uintptr_t address, size_t size, void* self);
    static void OnUnmapped(uintptr_t address, size_t size, void* self);
    static void OnImageMapped(uintptr_t address, size_t size, void* self);
    static void OnImageUnmapped(uintptr_t address, size_t size, void* self);
    static void* TranslateRoutine(const model::RoutineInfo& routine, void* self);
    static void* ArenaAllocate(size_t size, size_t alignment, void* self);
    static void ArenaFree(void* block, void* self);
    static bool ArenaOwns(const void* block, void* self);

    uc_engine* uc_ = nullptr;
    size_t capstone_ = 0;  // the disassembler handle

    PeImage* kernel_ = nullptr;  // mapped for the rest of the process
    KernelEntries kernelEntries_;

    Lane lane_;  // the lane running now
    unsigned laneIndex_ = 0;
    std::vector<Lane> parkedLanes_;
    std::vector<uc_context*> laneRegisters_;
    model::ProcessorLaneHooks laneHooks_;
    Yield yield_ = Yield::None;
    uint64_t yieldAt_ = 0;      // the instruction that stopped emulation
    uint32_t yieldLength_ = 0;  // ... and its length
    uint64_t blocksSinceYield_ = 0;
    uint64_t quantumBlocks_ = 0;  // set as the lanes start
    // The processor as it was made: every call into the driver starts from
    // its control state, whatever an earlier call did to it.
    uc_context* pristine_ = nullptr;
    uint8_t* arena_ = nullptr;
    struct Arena {
        size_t Used = 0;                      // bytes ever carved: the high-water mark
        std::map<size_t, size_t> Live;        // offset: size, of blocks given out
        std::map<size_t, size_t> Free;        // offset: size, of runs to carve again
        std::deque<std::pair<size_t, size_t>> Quarantine;  // freed, oldest first
        size_t QuarantinedBytes = 0;
    } arenaBlocks_;
    std::vector<uint64_t> hostPagesMapped_;

    int attached_ = 0;  // images of the shipped driver in use
    uint64_t instructionLimit_;
    size_t bytesAccepted_ = 0;  // by every UART, when last seen
    // A block met for the first time held a special instruction the scan at
    // load missed: its translation is dropped and it starts again hooked.
    bool restartBlock_ = false;
    uint64_t restartAt_ = 0;
    std::map<uint64_t, uint32_t> blockInstructions_;

    struct Access {
        uc_mem_type Type = UC_MEM_READ;
        uint64_t Address = 0;
        bool Valid = false;
    } lastBadAccess_;
    bool pendingPrivilegeFault_ = false;
    // A frame allocated past the end of the stack: the double fault.
    bool pendingStackOverflow_ = false;
    int pendingInterrupt_ = -1;  // the vector of an exception or int n

    std::map<uint64_t, std::unique_ptr<SpecialInstruction>> specials_;
    std::map<uintptr_t, std::vector<uc_hook>> imageHooks_;
    std::map<uintptr_t, size_t> images_;  // mapped images: start, size
    // Code ranges the engine may hold translations of, mapped or not.
    struct TranslatedCode {
        uint64_t Size;
        size_t Fingerprint;  // of the bytes translated
    };
    std::map<uint64_t, TranslatedCode> translatedCode_;
    // The address-space ranges each mapped image was entered as.
    std::map<uintptr_t, std::vector<model::MemoryRangeId>> imageMemory_;
    // The pages PageOut took out of each image.
    std::map<uintptr_t, std::set<uint64_t>> pagedOut_;
    void EnterImageMemory(const PeImage& image);

    model::KernelMemoryAllocator arenaAllocator_;
    model::IoMappingObserver mappingObserver_;
    model::ImageMemoryObserver imageObserver_;
    RunnerStats stats_;
};

}  // namespace runner
