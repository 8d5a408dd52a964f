// The __try scopes of a function as __C_specific_handler keeps them (the
// handler data of its unwind information), read from an image that may be
// damaged: every read goes through a MemoryReader and the table's length is
// bounded, so a bad table is refused, never followed.
#pragma once

#include "model/unwind.h"

#include <cstdint>
#include <vector>

namespace model::seh {

struct ScopeRecord {
    uint32_t BeginAddress;    // image-relative, the guarded range [Begin, End)
    uint32_t EndAddress;
    uint32_t HandlerAddress;  // a filter, EXCEPTION_EXECUTE_HANDLER, or a __finally block
    uint32_t JumpTarget;      // the __except block; 0 for a __finally scope
};
static_assert(sizeof(ScopeRecord) == 16, "one SCOPE_TABLE record");

// More scopes than any function holds: the count is damaged.
constexpr uint32_t MaxScopeRecords = 1024;
// HandlerAddress of a scope whose filter is the constant EXCEPTION_EXECUTE_HANDLER.
constexpr uint32_t ConstantExecuteHandler = 1;

// Reads the table at address; false when a read is refused or the count is
// implausible.
bool ReadScopeTable(const unwind::MemoryReader& memory, uint64_t address,
                    std::vector<ScopeRecord>* records);

inline bool Covers(const ScopeRecord& record, uint64_t rva)
{
    return rva >= record.BeginAddress && rva < record.EndAddress;
}

inline bool IsTermination(const ScopeRecord& record)
{
    return record.JumpTarget == 0;
}

// The first scope at or after index that can handle an exception at rva:
// an __except scope covering it. records.size() when none is left.
size_t NextExceptScope(const std::vector<ScopeRecord>& records, size_t index, uint64_t rva);

// The __finally scopes an unwind leaves in one frame, innermost first: those
// covering rva, and, in the frame the unwind ends at (targetScope given),
// only those inside the chosen __except scope, i.e. before it in the table.
std::vector<size_t> ScopesToTerminate(const std::vector<ScopeRecord>& records, uint64_t rva,
                                      size_t targetScope);
constexpr size_t NoTargetScope = ~size_t{0};

}  // namespace model::seh
