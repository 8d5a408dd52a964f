// Name matching between the host build and the shipped image (see the
// header).
#include "function_names.h"

#include <map>

namespace hostdriver {

namespace {

// The anonymous namespace as each side writes it, and the spelling kept.
const char* const AnonymousSpellings[] = {"(anonymous namespace)", "`anonymous namespace'"};
const char* const AnonymousKept = "{anonymous}";

void ReplaceAll(std::string* text, const std::string& from, const std::string& to)
{
    for (size_t at = text->find(from); at != std::string::npos;
         at = text->find(from, at + to.size())) {
        text->replace(at, from.size(), to);
    }
}

}  // namespace

std::string ComparableFunctionName(const std::string& name)
{
    std::string comparable = name;
    for (const char* spelling : AnonymousSpellings) {
        ReplaceAll(&comparable, spelling, AnonymousKept);
    }
    // Template arguments: MSVC separates them with "," alone, g++ with ", ".
    ReplaceAll(&comparable, ", ", ",");
    return comparable;
}

std::vector<FunctionPair> JoinFunctions(const std::vector<NamedFunction>& host,
                                        const std::vector<NamedFunction>& sys)
{
    std::map<std::string, const NamedFunction*> byName;
    std::map<std::string, size_t> count;
    for (const NamedFunction& function : sys) {
        std::string name = ComparableFunctionName(function.Name);
        byName[name] = &function;
        ++count[name];
    }
    std::vector<FunctionPair> pairs;
    for (const NamedFunction& function : host) {
        std::string name = ComparableFunctionName(function.Name);
        auto found = byName.find(name);
        if (found == byName.end() || count[name] != 1) {
            continue;
        }
        pairs.push_back({name, function.Start, function.Size, found->second->Start,
                         found->second->Size});
    }
    return pairs;
}

}  // namespace hostdriver
