// The symbol path: what --symbols and _NT_SYMBOL_PATH say, in the usual
// syntax. Entries are separated by ';': a plain folder (PDBs in it, or a
// symbol store: name.pdb/<key>/name.pdb), "srv*CACHE*URL[*URL...]",
// "srv*URL" (cached under the default cache), "cache*DIR" (the cache of the
// server entries after it that name none). Parsing touches no file.
#pragma once

#include <string>
#include <vector>

namespace decode {

struct SymbolPathEntry {
    std::string Folder;             // a plain folder, or a server entry's cache
    std::vector<std::string> Urls;  // empty for a plain folder
    bool Cache = false;             // a cache*DIR entry: made when missing
};

// Appends the entries of `text` to `entries`; false with `error` set for an
// entry that cannot be understood.
bool ParseSymbolPath(const std::string& text, const std::string& defaultCache,
                     std::vector<SymbolPathEntry>* entries, std::string* error);

// ~/.cache/vekcrash/symbols (XDG_CACHE_HOME when set).
std::string DefaultSymbolCache();

}  // namespace decode
