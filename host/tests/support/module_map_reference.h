// A small reference model of the module map's placement rules, for tests
// and the fuzzer to compare the driver's list against: an image evicts
// every entry whose range it overlaps, the rest stay sorted by start, and
// images of size 0 or reaching past the top of the address space are
// skipped.
#pragma once

#include <cstdint>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vektest {

struct ReferenceModule {
    uint64_t Start;
    uint64_t End;  // inclusive
    std::string Name;

    bool operator==(const ReferenceModule& other) const
    {
        return Start == other.Start && End == other.End && Name == other.Name;
    }
};

class ReferenceModuleMap {
public:
    void Insert(uint64_t start, uint64_t size, const std::string& name)
    {
        if (size == 0 || start + (size - 1) < start) {
            return;
        }
        uint64_t end = start + (size - 1);
        // Entries are disjoint and sorted: the overlapped ones are a run.
        auto first = modules_.upper_bound(start);
        if (first != modules_.begin() && std::prev(first)->second.End >= start) {
            --first;
        }
        auto last = first;
        while (last != modules_.end() && last->second.Start <= end) {
            ++last;
        }
        modules_.erase(first, last);
        modules_[start] = ReferenceModule{start, end, Lower(name)};
    }

    // The module holding the address: its name and the offset, or null.
    const ReferenceModule* Lookup(uint64_t address) const
    {
        auto found = modules_.upper_bound(address);
        if (found == modules_.begin()) {
            return nullptr;
        }
        --found;
        return address <= found->second.End ? &found->second : nullptr;
    }

    std::vector<ReferenceModule> Modules() const
    {
        std::vector<ReferenceModule> list;
        for (const auto& [start, module] : modules_) {
            (void)start;
            list.push_back(module);
        }
        return list;
    }

    // The driver keeps the first 256 characters, 'A'-'Z' lowered, every
    // other byte as it is.
    static std::string Lower(const std::string& name)
    {
        std::string lowered = name.substr(0, std::min<size_t>(name.find('\0'), 256));
        for (char& c : lowered) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c + ('a' - 'A'));
            }
        }
        return lowered;
    }

private:
    std::map<uint64_t, ReferenceModule> modules_;
};

}  // namespace vektest
