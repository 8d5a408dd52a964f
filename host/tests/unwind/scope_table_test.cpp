// The scope tables of __C_specific_handler as the exception dispatcher reads
// them: which scopes take an exception and which __finally blocks an unwind
// runs, and damaged tables refused instead of followed.
#include "model/scope_table.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vektest {
namespace {

using model::seh::ScopeRecord;

constexpr uint64_t TableAddress = 0x5000;

std::vector<uint8_t> TableBytes(uint32_t count, const std::vector<ScopeRecord>& records)
{
    std::vector<uint8_t> bytes(sizeof(count) + records.size() * sizeof(ScopeRecord));
    std::memcpy(bytes.data(), &count, sizeof(count));
    std::memcpy(bytes.data() + sizeof(count), records.data(), records.size() * sizeof(ScopeRecord));
    return bytes;
}

TEST(ScopeTable, ReadsWholeTablesAndRefusesDamagedOnes)
{
    const std::vector<ScopeRecord> two = {{0x10, 0x20, 1, 0x30}, {0x08, 0x40, 0x50, 0}};
    struct Case {
        const char* Name;
        uint32_t Count;
        std::vector<ScopeRecord> Records;
        size_t CutBytes;  // taken off the end of the readable bytes
        bool Readable;
    } cases[] = {
        {"empty table", 0, {}, 0, true},
        {"two records", 2, two, 0, true},
        {"last record cut short", 2, two, 4, false},
        {"count past the data", 3, two, 0, false},
        {"implausible count", model::seh::MaxScopeRecords + 1, two, 0, false},
        {"count of all ones", 0xFFFFFFFFu, two, 0, false},
        {"count itself cut short", 0, {}, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<uint8_t> bytes = TableBytes(c.Count, c.Records);
        bytes.resize(bytes.size() - c.CutBytes);
        model::unwind::SpanReader memory(TableAddress, bytes.data(), bytes.size());
        std::vector<ScopeRecord> read;
        ASSERT_EQ(model::seh::ReadScopeTable(memory, TableAddress, &read), c.Readable);
        if (c.Readable) {
            ASSERT_EQ(read.size(), c.Records.size());
            for (size_t i = 0; i < read.size(); ++i) {
                EXPECT_EQ(std::memcmp(&read[i], &c.Records[i], sizeof(ScopeRecord)), 0);
            }
        }
    }
}

// One function as clang lays it out, innermost scope first:
//   __try {                        // 3: [0x100, 0x200) __except, filter at 0x900
//       __try {                    // 1: [0x110, 0x180) __finally at 0x700
//           __try { call }         // 0: [0x120, 0x140) __except constant, at 0x600
//           __except (1) {}
//       } __finally {}
//       __try { call }             // 2: [0x190, 0x1A0) __finally at 0x800
//       __finally {}
//   } __except (filter) {}
const std::vector<ScopeRecord> Nested = {
    {0x120, 0x140, model::seh::ConstantExecuteHandler, 0x600},
    {0x110, 0x180, 0x700, 0},
    {0x190, 0x1A0, 0x800, 0},
    {0x100, 0x200, 0x900, 0xA00},
};

TEST(ScopeTable, PicksHandlersInnermostFirst)
{
    struct Case {
        uint64_t Rva;
        std::vector<size_t> ExceptScopes;  // in the order the search offers them
    } cases[] = {
        {0x130, {0, 3}}, {0x150, {3}}, {0x195, {3}}, {0x0FF, {}}, {0x200, {}}, {0x140, {3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Rva);
        std::vector<size_t> offered;
        for (size_t scope = model::seh::NextExceptScope(Nested, 0, c.Rva); scope < Nested.size();
             scope = model::seh::NextExceptScope(Nested, scope + 1, c.Rva)) {
            offered.push_back(scope);
        }
        EXPECT_EQ(offered, c.ExceptScopes);
    }
}

TEST(ScopeTable, UnwindRunsOnlyTheFinallyBlocksItLeaves)
{
    constexpr size_t None = model::seh::NoTargetScope;
    struct Case {
        const char* Name;
        uint64_t Rva;
        size_t TargetScope;
        std::vector<size_t> Finally;
    } cases[] = {
        {"a frame the unwind passes through leaves every scope", 0x130, None, {1}},
        {"the target frame keeps the scopes around its handler", 0x130, 0, {}},
        {"a handler outside the __finally scope leaves it", 0x130, 3, {1}},
        {"the second __finally, left for the outer handler", 0x195, 3, {2}},
        {"outside every scope nothing runs", 0x050, None, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(model::seh::ScopesToTerminate(Nested, c.Rva, c.TargetScope), c.Finally);
    }
}

}  // namespace
}  // namespace vektest
