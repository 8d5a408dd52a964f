// __C_specific_handler and the scope tables it reads. The runner's exception
// dispatcher applies a frame's scope table itself (filters and __finally
// blocks run as calls into the driver), so the exported routine is never
// called by the kernel: a driver that calls it directly gets a violation.
#include "core/machine_state.h"
#include "core/model_lock.h"

#include "model/address_space.h"
#include "model/driver_call.h"
#include "model/scope_table.h"

namespace model::seh {

bool ReadScopeTable(const unwind::MemoryReader& memory, uint64_t address,
                    std::vector<ScopeRecord>* records)
{
    uint32_t count = 0;
    if (!memory.Read(address, &count, sizeof(count)) || count > MaxScopeRecords) {
        return false;
    }
    records->assign(count, ScopeRecord{});
    return count == 0 ||
           memory.Read(address + sizeof(count), records->data(), count * sizeof(ScopeRecord));
}

size_t NextExceptScope(const std::vector<ScopeRecord>& records, size_t index, uint64_t rva)
{
    for (; index < records.size(); ++index) {
        if (Covers(records[index], rva) && !IsTermination(records[index])) {
            return index;
        }
    }
    return records.size();
}

std::vector<size_t> ScopesToTerminate(const std::vector<ScopeRecord>& records, uint64_t rva,
                                      size_t targetScope)
{
    std::vector<size_t> scopes;
    size_t end = targetScope == NoTargetScope ? records.size() : targetScope;
    for (size_t index = 0; index < end && index < records.size(); ++index) {
        if (Covers(records[index], rva) && IsTermination(records[index])) {
            scopes.push_back(index);
        }
    }
    return scopes;
}

}  // namespace model::seh

extern "C" EXCEPTION_DISPOSITION __C_specific_handler(PEXCEPTION_RECORD, PVOID, PCONTEXT, PVOID)
{
    using namespace model;
    KernelScope kernel;
    EnterRoutine("__C_specific_handler", HIGH_LEVEL, AtBugCheck::Allowed);
    Violation("__C_specific_handler called directly: it is the language handler of __try "
              "scopes, which only the kernel's exception dispatcher calls");
    return ExceptionContinueSearch;
}

namespace model {

namespace {

RoutineFaultGuard Guard = nullptr;
void* GuardData = nullptr;
// RunGuarded sections of the host build in progress.
unsigned HostGuards = 0;

}  // namespace

void SetRoutineFaultGuard(RoutineFaultGuard guard, void* data)
{
    Guard = guard;
    GuardData = data;
}

bool RoutineFaultGuardInstalled()
{
    return Guard != nullptr;
}

bool OfferToGuard(const RoutineFault& fault)
{
    // A page fault reaches the exception dispatcher only below
    // DISPATCH_LEVEL, outside the bug check, and on a user-space address:
    // on a system-space one the kernel raises bug check 0x50 at once
    // (PAGE_FAULT_IN_NONPAGED_AREA's reference page), whatever __try
    // stands around the access.
    if (State().InBugCheck || State().Stopped || CurrentIrql() >= DISPATCH_LEVEL ||
        SystemSpaceAddress(fault.Address)) {
        return false;
    }
    return Guard != nullptr ? Guard(fault, GuardData) : HostGuards > 0;
}

}  // namespace model

extern "C" NTSTATUS ModelRunGuarded(ModelGuardedRoutine Routine, PVOID Context)
{
    // Host code cannot take a processor fault and go on; what the model can
    // see, a bad pointer handed to a kernel routine, ends the guarded work
    // through DriverCallEnd, as the exception would on a real kernel. A
    // fault the guard did not take (a bug check) ends the driver's call.
    using namespace model;
    struct Section {
        Section() { ++HostGuards; }
        ~Section() { --HostGuards; }
    } section;
    try {
        return Routine(Context);
    } catch (const DriverCallEnd&) {
        if (DriverCallEnding()) {
            throw;
        }
        return STATUS_ACCESS_VIOLATION;
    }
}
