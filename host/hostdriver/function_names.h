// Pairs the host build's functions with the shipped image's by name, so
// that a return address in vekcrashdmp_host.so can be shown at the same
// function of vekcrashdmp.sys. The two compilers spell a function's
// qualified name differently (g++'s symbols demangle to "(anonymous
// namespace)::F", the PDB says "`anonymous namespace'::F"); both are
// brought to one spelling before they are compared.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hostdriver {

struct NamedFunction {
    std::string Name;  // qualified, without parameters
    uint64_t Start = 0;  // offset in its image
    uint64_t Size = 0;
};

struct FunctionPair {
    std::string Name;
    uint64_t HostStart = 0;  // offset in vekcrashdmp_host.so
    uint64_t HostSize = 0;
    uint64_t SysStart = 0;   // RVA in vekcrashdmp.sys
    uint64_t SysSize = 0;
};

// The one spelling both sides are compared in.
std::string ComparableFunctionName(const std::string& name);

// Every host function whose name the shipped image has exactly once; a
// name the shipped image has twice (overloads, file-local functions of the
// same name) could be either, and pairs with nothing. Several host
// functions may pair with one (g++'s clones and cold parts).
std::vector<FunctionPair> JoinFunctions(const std::vector<NamedFunction>& host,
                                        const std::vector<NamedFunction>& sys);

}  // namespace hostdriver
