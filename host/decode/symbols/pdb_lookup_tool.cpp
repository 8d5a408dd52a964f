// vekcrash-pdb-lookup: resolves addresses of a module to functions and
// source lines from the module's PDB alone, with LLVM's native PDB reader.
// The decoder runs it as a child process it can kill: a damaged PDB may
// make the reader spin or crash, and the decoder must go on without it.
//
// Reads lines "<RVA in hex> <PDB path>" on stdin and answers each with one
// JSON line: an array of locations, innermost inlined function first, each
// {"function", "start" (the function's RVA, outermost only), "file",
// "line"}; [] when nothing is known there, null when the PDB cannot be read.
// The caller checks the PDB's identity before naming it here.
#include <llvm/DebugInfo/PDB/IPDBLineNumber.h>
#include <llvm/DebugInfo/PDB/IPDBSession.h>
#include <llvm/DebugInfo/PDB/IPDBSourceFile.h>
#include <llvm/DebugInfo/PDB/PDB.h>
#include <llvm/DebugInfo/PDB/PDBSymbolFunc.h>
#include <llvm/Support/Error.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>

namespace {

using llvm::pdb::IPDBSession;
using llvm::pdb::PDB_SymType;

// LLVM 14's native reader finds no inline sites while the load address is
// 0, so the session is given a nominal one and asked by address.
constexpr uint64_t NominalImageBase = 0x140000000;

nlohmann::json Location(IPDBSession& session, const std::string& function,
                        const llvm::pdb::IPDBLineNumber* line)
{
    nlohmann::json out = {{"function", function}, {"file", ""}, {"line", 0}};
    if (line != nullptr) {
        out["line"] = line->getLineNumber();
        if (auto file = session.getSourceFileById(line->getSourceFileId())) {
            out["file"] = file->getFileName();
        }
    }
    return out;
}

// The outer function's own line at the address comes from its line table;
// each inlined call site adds the inlinee's line, innermost first.
nlohmann::json Lookup(IPDBSession& session, uint32_t rva)
{
    nlohmann::json out = nlohmann::json::array();
    auto function =
        llvm::unique_dyn_cast_or_null<llvm::pdb::PDBSymbolFunc>(
            session.findSymbolByAddress(NominalImageBase + rva, PDB_SymType::Function));
    if (!function) {
        return out;
    }
    if (auto frames = function->findInlineFramesByVA(NominalImageBase + rva)) {
        while (auto frame = frames->getNext()) {
            auto lines = frame->findInlineeLinesByVA(NominalImageBase + rva, 1);
            if (!lines || lines->getChildCount() == 0) {
                break;
            }
            auto line = lines->getNext();
            out.push_back(Location(session, frame->getName(), line.get()));
        }
    }
    auto lines = session.findLineNumbersByRVA(rva, 1);
    std::unique_ptr<llvm::pdb::IPDBLineNumber> line;
    if (lines && lines->getChildCount() != 0) {
        line = lines->getNext();
    }
    nlohmann::json outer = Location(session, function->getName(), line.get());
    outer["start"] = function->getRelativeVirtualAddress();
    out.push_back(outer);
    return out;
}

}  // namespace

int main()
{
    // One session per PDB for the life of the process: the decoder sends a
    // report's frames at a time, often of the same few modules.
    std::map<std::string, std::unique_ptr<IPDBSession>> sessions;
    std::string request;
    while (std::getline(std::cin, request)) {
        size_t space = request.find(' ');
        nlohmann::json answer = nullptr;
        if (space != std::string::npos) {
            uint32_t rva = static_cast<uint32_t>(std::strtoul(request.c_str(), nullptr, 16));
            std::string path = request.substr(space + 1);
            auto session = sessions.find(path);
            if (session == sessions.end()) {
                std::unique_ptr<IPDBSession> opened;
                if (llvm::Error error = llvm::pdb::loadDataForPDB(llvm::pdb::PDB_ReaderType::Native,
                                                                  path, opened)) {
                    llvm::consumeError(std::move(error));
                }
                if (opened) {
                    opened->setLoadAddress(NominalImageBase);
                }
                session = sessions.emplace(path, std::move(opened)).first;
            }
            if (session->second) {
                answer = Lookup(*session->second, rva);
            }
        }
        std::cout << answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n"
                  << std::flush;
    }
    return 0;
}
