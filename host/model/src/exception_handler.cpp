// __C_specific_handler and the scope tables it reads. The runner's exception
// dispatcher applies a frame's scope table itself (filters and __finally
// blocks run as calls into the driver), so the exported routine is never
// called by the kernel: a driver that calls it directly gets a violation.
#include "machine_state.h"

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
    EnterRoutine("__C_specific_handler", HIGH_LEVEL, AtBugCheck::Allowed);
    Violation("__C_specific_handler called directly: it is the language handler of __try "
              "scopes, which only the kernel's exception dispatcher calls");
    return ExceptionContinueSearch;
}

extern "C" NTSTATUS ModelRunGuarded(ModelGuardedRoutine Routine, PVOID Context)
{
    // Host code cannot take a processor fault and go on. Until the model's
    // checked memory can end the guarded work from inside (a checked access
    // or a kernel routine that bug checks), the routine runs unguarded here;
    // the shipped image's guard is the real one, tested by the runner.
    return Routine(Context);
}
