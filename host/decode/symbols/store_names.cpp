// Store key checks and the containment test every cache path goes through.
#include "decode/symbols/store_names.h"

#include <filesystem>

namespace decode {

namespace fs = std::filesystem;

namespace {

constexpr unsigned char FirstPrintable = 0x20;
constexpr unsigned char Delete = 0x7F;

}  // namespace

std::string RefusedKeyPart(const std::string& part)
{
    if (part.empty()) {
        return "is empty";
    }
    if (part == "." || part == "..") {
        return "is a relative folder name";
    }
    if (part.size() > MaxKeyPartBytes) {
        return "is longer than a Windows file name (" + std::to_string(part.size()) + " bytes)";
    }
    for (char c : part) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\') {
            return "holds a path separator";
        }
        if (byte == 0) {
            return "holds a NUL byte";
        }
        if (byte < FirstPrintable || byte == Delete) {
            return "holds a control byte";
        }
    }
    return std::string();
}

std::string RefusedModule(const ModuleRow& row)
{
    if (!row.HasIdentity()) {
        return std::string();  // nothing is looked up
    }
    std::string why = RefusedKeyPart(row.Name);
    if (!why.empty()) {
        return "the image name " + why;
    }
    // PdbName() already keeps only the column's last component; the column
    // must not be a path that ends in "..", nor its name hold bytes a file
    // name cannot.
    why = RefusedKeyPart(row.PdbName());
    if (!why.empty()) {
        return "the PDB name " + why;
    }
    std::string key = row.SymbolKey();
    if (key.size() <= row.PdbName().size() + 1) {
        return std::string();  // no identity: nothing is looked up
    }
    std::string identity = key.substr(row.PdbName().size() + 1);
    identity = identity.substr(0, identity.find('/'));
    why = RefusedKeyPart(identity);
    if (!why.empty()) {
        return "the identity " + why;
    }
    return std::string();
}

bool LiesUnder(const std::string& folder, const std::string& path)
{
    std::error_code error;
    fs::path root = fs::weakly_canonical(fs::absolute(folder, error), error);
    if (error) {
        return false;
    }
    fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
    if (error) {
        return false;
    }
    // Component by component: /cache2 is not under /cache.
    auto inRoot = root.begin();
    auto inPath = resolved.begin();
    for (; inRoot != root.end(); ++inRoot, ++inPath) {
        if (inRoot->empty() && std::next(inRoot) == root.end()) {
            break;  // a trailing separator
        }
        if (inPath == resolved.end() || *inRoot != *inPath) {
            return false;
        }
    }
    return true;
}

bool LiesUnderAny(const std::vector<std::string>& folders, const std::string& path)
{
    for (const std::string& folder : folders) {
        if (LiesUnder(folder, path)) {
            return true;
        }
    }
    return false;
}

}  // namespace decode
