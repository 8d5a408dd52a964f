// The x64 unwinder behind RtlLookupFunctionEntry and RtlVirtualUnwind: the
// unwind data of real images (RUNTIME_FUNCTION, UNWIND_INFO, UNWIND_CODE)
// applied to a CONTEXT record as the published x64 exception-handling rules
// describe: the prolog's codes undone in reverse (only those whose
// instruction has run), chained entries followed, an epilogue recognised
// from the code stream and its rest emulated instead.
//
// Every read of code, unwind data and stack goes through a MemoryReader,
// which may refuse; the unwinder then stops with BadMemory and leaves the
// record untouched. Chains and code lists are bounded, so no input loops.
#pragma once

#include "ntmodel/ntmodel.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace model::unwind {

class MemoryReader {
public:
    // Copies size bytes at address, all or nothing.
    virtual bool Read(uint64_t address, void* buffer, size_t size) const = 0;

protected:
    ~MemoryReader() = default;
};

// Bytes lying at an address: a test's synthetic image or stack, the
// fuzzer's input.
class SpanReader final : public MemoryReader {
public:
    SpanReader(uint64_t address, const uint8_t* bytes, size_t size)
        : address_(address), bytes_(bytes), size_(size)
    {
    }
    bool Read(uint64_t address, void* buffer, size_t size) const override;

private:
    uint64_t address_;
    const uint8_t* bytes_;
    size_t size_;
};

// Several readers, tried in order.
class ChainReader final : public MemoryReader {
public:
    explicit ChainReader(std::vector<const MemoryReader*> readers) : readers_(std::move(readers)) {}
    bool Read(uint64_t address, void* buffer, size_t size) const override;

private:
    std::vector<const MemoryReader*> readers_;
};

enum class Op : uint8_t {
    PushNonvol = 0,
    AllocLarge = 1,
    AllocSmall = 2,
    SetFpreg = 3,
    SaveNonvol = 4,
    SaveNonvolFar = 5,
    Epilog = 6,     // version 2 epilogue descriptor; older data: a retired code
    SpareCode = 7,
    SaveXmm128 = 8,
    SaveXmm128Far = 9,
    PushMachframe = 10,
};

// One decoded unwind operation, with the slots that follow it folded in.
struct Code {
    uint8_t CodeOffset = 0;  // prolog offset just past the instruction it describes
    Op Operation = Op::PushNonvol;
    uint8_t OpInfo = 0;
    uint8_t Slots = 1;
    // Bytes allocated (ALLOC_*), or the offset from the frame base of a save
    // (SAVE_*), already scaled.
    uint32_t Value = 0;
};

constexpr unsigned MaxUnwindVersion = 2;
constexpr size_t UnwindInfoHeaderSize = 4;

struct UnwindInfo {
    uint8_t Version = 0;
    uint8_t Flags = 0;
    uint8_t SizeOfProlog = 0;
    uint8_t CountOfCodes = 0;  // slots, not operations
    uint8_t FrameRegister = 0;
    uint8_t FrameOffset = 0;   // scaled by 16 when applied
    std::vector<Code> Codes;
    // Past the slot array (rounded to an even count): the handler's RVA and
    // its data when a handler flag is set, the parent entry when chained.
    uint64_t TrailerAddress = 0;
    uint32_t HandlerRva = 0;
    RUNTIME_FUNCTION Chained = {};
};

enum class Status {
    Ok,
    BadMemory,      // a read was refused (FaultAddress says where)
    BadUnwindData,  // an unknown version or operation, or codes cut short
    ChainTooLong,   // more chained entries than any compiler emits: a cycle
};

// Entries a chain may link before it counts as a cycle.
constexpr unsigned MaxChainedEntries = 32;

// Reads and decodes the UNWIND_INFO at address.
Status ReadUnwindInfo(const MemoryReader& memory, uint64_t address, UnwindInfo* info,
                      uint64_t* faultAddress = nullptr);

struct Result {
    Status Outcome = Status::Ok;
    uint64_t FaultAddress = 0;
    bool InEpilogue = false;
    uint64_t EstablisherFrame = 0;
    // The language handler of the primary entry and its data, when control
    // left the function past its prolog and outside an epilogue and the
    // handler flags matched HandlerType; otherwise 0.
    uint64_t LanguageHandler = 0;
    uint64_t HandlerData = 0;
};

// Unwinds one frame: on Ok, context holds the caller's registers and
// pointers (if given) where each restored register was found. On any other
// outcome neither is changed.
Result VirtualUnwind(const MemoryReader& memory, uint32_t handlerType, uint64_t imageBase,
                     uint64_t controlPc, const RUNTIME_FUNCTION& function, CONTEXT* context,
                     KNONVOLATILE_CONTEXT_POINTERS* pointers);

// The exception directory of the image mapped at imageBase (RVA and size),
// read from its headers. False when the headers cannot be read or name
// none.
bool ReadExceptionDirectory(const MemoryReader& memory, uint64_t imageBase, uint32_t* rva,
                            uint32_t* size);

struct FoundEntry {
    uint64_t Address = 0;  // of the RUNTIME_FUNCTION
    RUNTIME_FUNCTION Entry = {};
};

// Binary search of the image's exception directory for the entry covering
// controlPc. False for a leaf function (no entry) or unreadable data; an
// entry of the directory that could not be read sets *faultAddress (when
// given) to its address.
bool LookupFunctionEntry(const MemoryReader& memory, uint64_t imageBase, uint64_t imageSize,
                         uint64_t controlPc, FoundEntry* found, uint64_t* faultAddress = nullptr);

// Integer register n in unwind-code numbering (0 RAX ... 4 RSP ... 15 R15).
ULONG64& IntegerRegister(CONTEXT& context, unsigned number);

}  // namespace model::unwind

namespace model {

// How RtlCaptureContext learns the registers of code that does not run on
// the host processor: the runner fills the record from the emulated
// processor at the import call. Returns false to keep the host's capture.
using ContextCapture = bool (*)(CONTEXT* context, void* data);
void SetContextCapture(ContextCapture capture, void* data);

// Memory the kernel's unwinding routines read outside the listed images
// (the stack, above all). Null restores the default: the process's own
// memory, read so that an unmapped address is refused instead of faulting.
void SetGuestMemoryReader(const unwind::MemoryReader* reader);

// What the unwinding routines read through: device memory refused, listed
// images through their mapped bytes and residency, the rest through the
// guest memory reader.
const unwind::MemoryReader& UnwindMemory();

// The last refused read or damaged unwind data the routines met (0 when
// the last RtlVirtualUnwind succeeded).
struct UnwindFailure {
    unwind::Status Outcome = unwind::Status::Ok;
    uint64_t Address = 0;
};
UnwindFailure LastUnwindFailure();

}  // namespace model
