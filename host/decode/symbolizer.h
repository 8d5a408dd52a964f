// Resolves stack frames to functions and source lines. The folders given
// with --symbols are searched for PE images and PDBs (side by side, or in a
// symbol-store layout); a module's frames are resolved only when an image
// and a PDB both carry the GUID and age of the module's row in the report.
// llvm-symbolizer does the resolving, as one long-lived child process fed a
// report's frames at a time.
#pragma once

#include "decode/report.h"
#include "decode/symbol_files.h"

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace decode {

struct SymbolFile {
    std::string Path;
    FileIdentity Identity;
};

class SymbolIndex {
public:
    // Searches each folder, following the tree a few levels down (a store
    // keeps files at name/key/name).
    void AddFolder(const std::string& folder);
    const std::vector<SymbolFile>& Images() const { return Images_; }
    const std::vector<SymbolFile>& Pdbs() const { return Pdbs_; }
    const SymbolFile* ImageFor(const ModuleRow& row) const;
    const SymbolFile* PdbFor(const ModuleRow& row) const;
    // Why a module has no usable symbols, or empty when it has them.
    std::string WhyNot(const ModuleRow& row) const;

private:
    std::vector<SymbolFile> Images_;
    std::vector<SymbolFile> Pdbs_;
};

class Symbolizer {
public:
    static constexpr const char* DefaultTool = "/usr/bin/llvm-symbolizer";

    Symbolizer(const SymbolIndex& index, std::string tool = DefaultTool);
    ~Symbolizer();
    Symbolizer(const Symbolizer&) = delete;
    Symbolizer& operator=(const Symbolizer&) = delete;

    // Fills the frames' Symbols and the report's Unsymbolized list.
    void Resolve(CrashReport* report);
    // A problem with the tool itself (it could not be started), or empty.
    const std::string& Error() const { return Error_; }

private:
    // The folder the tool reads a module from: the image and its PDB, under
    // the names the image expects, linked side by side.
    std::string Stage(const ModuleRow& row);
    bool Start();
    bool Ask(const std::vector<std::string>& queries, std::vector<std::string>* answers);

    const SymbolIndex& Index_;
    std::string Tool_;
    std::string Error_;
    std::string Scratch_;
    std::map<std::string, std::string> Staged_;  // symbol key -> staged image path
    std::map<std::string, std::vector<SourceLocation>> Cache_;
    int Pid_ = -1;
    FILE* ToTool_ = nullptr;
    FILE* FromTool_ = nullptr;
};

}  // namespace decode
