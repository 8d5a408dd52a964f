// Pairing the host build's functions with the shipped image's by name: the
// two compilers' spellings of one function compare equal, different
// functions do not, and a name the shipped image holds twice pairs with
// nothing rather than with the wrong one.
#include "function_names.h"

#include <gtest/gtest.h>

namespace {

using hostdriver::ComparableFunctionName;
using hostdriver::FunctionPair;
using hostdriver::JoinFunctions;
using hostdriver::NamedFunction;

TEST(FunctionNamesTest, BothCompilersSpellingsOfOneFunctionCompareEqual)
{
    struct Case {
        const char* Host;  // g++'s symbol, demangled without parameters
        const char* Sys;   // the PDB's procedure name
        bool Same;
    };
    const Case cases[] = {
        {"BugCheckReportCallback", "BugCheckReportCallback", true},
        {"(anonymous namespace)::ReadStackWord", "`anonymous namespace'::ReadStackWord", true},
        {"Outer::(anonymous namespace)::Walk", "Outer::`anonymous namespace'::Walk", true},
        {"Table<int, 4>::Find", "Table<int,4>::Find", true},
        {"(anonymous namespace)::ReadStackWord", "ReadStackWord", false},
        {"Module::Find", "Module::FindNext", false},
    };
    for (const Case& item : cases) {
        EXPECT_EQ(ComparableFunctionName(item.Host) == ComparableFunctionName(item.Sys), item.Same)
            << item.Host << " / " << item.Sys;
    }
}

TEST(FunctionNamesTest, JoinPairsNamesTheShippedImageHoldsOnce)
{
    const std::vector<NamedFunction> host = {
        {"DriverEntry", 0x25E0, 0x199},
        {"(anonymous namespace)::AppendText", 0x2FB0, 0x21A},
        {"(anonymous namespace)::AppendText", 0x2E00, 0x1AA},  // a clone of it
        {"(anonymous namespace)::Parse", 0x3000, 0x40},  // two in the .sys
        {"InlinedEverywhere", 0x3100, 0x20},
    };
    const std::vector<NamedFunction> sys = {
        {"DriverEntry", 0x1000, 0x180},
        {"`anonymous namespace'::AppendText", 0x22B0, 0x1C5},
        {"`anonymous namespace'::Parse", 0x2400, 0x30},
        {"`anonymous namespace'::Parse", 0x2500, 0x30},
    };
    std::vector<FunctionPair> pairs = JoinFunctions(host, sys);
    ASSERT_EQ(pairs.size(), 3u);
    EXPECT_EQ(pairs[0].HostStart, 0x25E0u);
    EXPECT_EQ(pairs[0].SysStart, 0x1000u);
    EXPECT_EQ(pairs[0].SysSize, 0x180u);
    EXPECT_EQ(pairs[1].SysStart, 0x22B0u);
    EXPECT_EQ(pairs[2].HostStart, 0x2E00u);
    EXPECT_EQ(pairs[2].SysStart, 0x22B0u);
}

}  // namespace
