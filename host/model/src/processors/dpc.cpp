// Processor numbers and DPCs: processors in groups of up to 64, each known
// by its system-wide index and by its group and number in the group
// (indexes run through group 0, then group 1, ...); DPCs queued to a
// chosen processor and run there at DISPATCH_LEVEL.
//
// A queued DPC keeps its state in the object the driver owns, as the
// kernel does: DpcData is non-null while it waits, and Number holds the
// target processor's index once KeSetTargetProcessorDpcEx has set one.
#include "memory/guest_memory.h"
#include "core/model_lock.h"
#include "processors/scheduler.h"

#include <algorithm>
#include <optional>

namespace model {

namespace {

constexpr UCHAR DpcObjectType = 19;
constexpr UCHAR MediumImportance = 1;
// Number holds the target plus this mark once a target is set; below it
// the DPC runs on the processor that queues it.
constexpr USHORT TargetedMark = 64;

std::string Pointer(const void* pointer)
{
    return AddressText(reinterpret_cast<uintptr_t>(pointer));
}

unsigned ProcessorCount()
{
    // The processors online now; a resume may change how many.
    return State().ActiveProcessors;
}

// The index of a group and number, or nothing when no such processor is
// active.
std::optional<unsigned> IndexOf(const PROCESSOR_NUMBER& number)
{
    const std::vector<unsigned>& groups = State().Groups;
    if (number.Group >= groups.size() || number.Number >= groups[number.Group]) {
        return std::nullopt;
    }
    unsigned index = number.Number;
    for (USHORT group = 0; group < number.Group; ++group) {
        index += groups[group];
    }
    return index;
}

std::string NumberText(const PROCESSOR_NUMBER& number)
{
    return std::to_string(number.Group) + ":" + std::to_string(number.Number);
}

}  // namespace

PROCESSOR_NUMBER ProcessorNumberOf(unsigned index)
{
    USHORT group = 0;
    for (unsigned size : State().Groups) {
        if (index < size) {
            break;
        }
        index -= size;
        ++group;
    }
    return PROCESSOR_NUMBER{group, static_cast<UCHAR>(index), 0};
}

std::vector<unsigned> ProcessorGroups(unsigned processors, const std::vector<unsigned>& configured)
{
    unsigned counted = 0;
    for (unsigned size : configured) {
        counted += size;
    }
    if (!configured.empty() && counted == processors) {
        return configured;
    }
    std::vector<unsigned> groups;
    for (unsigned left = processors; left > 0; left -= std::min(left, MaxGroupProcessors)) {
        groups.push_back(std::min(left, MaxGroupProcessors));
    }
    return groups;
}

}  // namespace model

using namespace model;

extern "C" ULONG KeQueryActiveProcessorCountEx(USHORT GroupNumber)
{
    KernelScope kernel;
    EnterRoutine("KeQueryActiveProcessorCountEx", HIGH_LEVEL, AtBugCheck::Forbidden,
                 std::to_string(GroupNumber));
    if (GroupNumber == ALL_PROCESSOR_GROUPS) {
        return ProcessorCount();
    }
    const std::vector<unsigned>& groups = State().Groups;
    return GroupNumber < groups.size() ? groups[GroupNumber] : 0;
}

extern "C" ULONG KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER ProcNumber)
{
    KernelScope kernel;
    EnterRoutine("KeGetCurrentProcessorNumberEx", HIGH_LEVEL, AtBugCheck::Allowed);
    unsigned current = State().Current;
    if (ProcNumber != nullptr) {
        WriteToDriver("KeGetCurrentProcessorNumberEx", ProcNumber, ProcessorNumberOf(current));
    }
    return current;
}

extern "C" NTSTATUS KeGetProcessorNumberFromIndex(ULONG ProcIndex, PPROCESSOR_NUMBER ProcNumber)
{
    KernelScope kernel;
    if (auto failure = EnterRoutine("KeGetProcessorNumberFromIndex", HIGH_LEVEL,
                                    AtBugCheck::Forbidden, std::to_string(ProcIndex))) {
        return *failure;
    }
    if (ProcIndex >= ProcessorCount()) {
        return STATUS_INVALID_PARAMETER;
    }
    WriteToDriver("KeGetProcessorNumberFromIndex", ProcNumber, ProcessorNumberOf(ProcIndex));
    return STATUS_SUCCESS;
}

extern "C" VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                PVOID DeferredContext)
{
    KernelScope kernel;
    EnterRoutine("KeInitializeDpc", HIGH_LEVEL, AtBugCheck::Forbidden, Pointer(Dpc));
    // The object is the driver's; it is filled in place once checked.
    RequireMemory("KeInitializeDpc", Dpc, sizeof(*Dpc), MemoryAccess::Write);
    *Dpc = KDPC{};
    Dpc->Type = DpcObjectType;
    Dpc->Importance = MediumImportance;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

extern "C" NTSTATUS KeSetTargetProcessorDpcEx(PKDPC Dpc, PPROCESSOR_NUMBER ProcNumber)
{
    KernelScope kernel;
    constexpr const char* Routine = "KeSetTargetProcessorDpcEx";
    PROCESSOR_NUMBER number = ReadFromDriver(Routine, ProcNumber);
    if (auto failure = EnterRoutine(Routine, HIGH_LEVEL, AtBugCheck::Forbidden,
                                    Pointer(Dpc) + " " + NumberText(number))) {
        return *failure;
    }
    std::optional<unsigned> index = IndexOf(number);
    if (!index) {
        return STATUS_INVALID_PARAMETER;
    }
    RequireMemory(Routine, Dpc, sizeof(*Dpc), MemoryAccess::Write);
    Dpc->Number = static_cast<USHORT>(TargetedMark + *index);
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    KernelScope kernel;
    // FALSE means only that the DPC was queued already, and a queued DPC
    // runs: an injected FALSE queues it all the same.
    bool alreadyQueued =
        EnterRoutine("KeInsertQueueDpc", HIGH_LEVEL, AtBugCheck::Forbidden, Pointer(Dpc))
            .has_value();
    MachineState& s = State();
    RequireMemory("KeInsertQueueDpc", Dpc, sizeof(*Dpc), MemoryAccess::Write);
    if (Dpc->Type != DpcObjectType) {
        Violation("KeInsertQueueDpc with a DPC object that was never initialized");
        return FALSE;
    }
    if (Dpc->DpcData != nullptr) {
        return FALSE;  // already queued: the kernel leaves it as it is
    }
    unsigned target = Dpc->Number >= TargetedMark ? Dpc->Number - TargetedMark : s.Current;
    if (target >= ProcessorCount()) {
        Violation("KeInsertQueueDpc with a DPC aimed at processor %u of %u", target,
                  ProcessorCount());
        return FALSE;
    }
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    Dpc->DpcData = &s.Processors[target];
    s.Processors[target].Dpcs.push_back(Dpc);
    DpcQueued(target);
    // Queued to this processor below DISPATCH_LEVEL, it runs at once.
    if (target == s.Current) {
        DeliverDpcs();
    }
    return alreadyQueued ? FALSE : TRUE;
}

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
{
    KernelScope kernel;
    EnterRoutine("KeRemoveQueueDpc", HIGH_LEVEL, AtBugCheck::Forbidden, Pointer(Dpc));
    RequireMemory("KeRemoveQueueDpc", Dpc, sizeof(*Dpc), MemoryAccess::Write);
    if (Dpc->DpcData == nullptr) {
        return FALSE;
    }
    for (ProcessorState& processor : State().Processors) {
        auto found = std::find(processor.Dpcs.begin(), processor.Dpcs.end(), Dpc);
        if (found != processor.Dpcs.end()) {
            processor.Dpcs.erase(found);
        }
    }
    Dpc->DpcData = nullptr;
    return TRUE;
}
