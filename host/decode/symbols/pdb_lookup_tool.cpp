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
//
// A PDB from a symbol server for the kernel holds public symbols only (no
// module symbols, no lines): where no function covers the address, the
// nearest public symbol at or before it in the same section names it, as
// debuggers do, and the answer says so ({"function", "start", "public":
// true}, no line).
#include <llvm/DebugInfo/CodeView/SymbolDeserializer.h>
#include <llvm/DebugInfo/CodeView/SymbolRecord.h>
#include <llvm/DebugInfo/PDB/IPDBLineNumber.h>
#include <llvm/DebugInfo/PDB/IPDBSession.h>
#include <llvm/DebugInfo/PDB/IPDBSourceFile.h>
#include <llvm/DebugInfo/PDB/Native/DbiStream.h>
#include <llvm/DebugInfo/PDB/Native/NativeSession.h>
#include <llvm/DebugInfo/PDB/Native/PDBFile.h>
#include <llvm/DebugInfo/PDB/Native/PublicsStream.h>
#include <llvm/DebugInfo/PDB/Native/SymbolStream.h>
#include <llvm/DebugInfo/PDB/PDB.h>
#include <llvm/Object/COFF.h>
#include <llvm/DebugInfo/PDB/PDBSymbolFunc.h>
#include <llvm/Support/Error.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

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

struct PublicSymbol {
    uint32_t Rva;
    uint32_t SectionEnd;  // the RVA past its section: no name reaches beyond
    std::string Name;
};

// Every public symbol of the PDB, by RVA: the publics stream's address map
// points into the symbol record stream, and the DBI stream's section
// headers turn section:offset into an RVA. Empty when a stream is missing
// or damaged: the frame then stays unnamed.
std::vector<PublicSymbol> ReadPublics(IPDBSession& session)
{
    std::vector<PublicSymbol> out;
    auto& file = static_cast<llvm::pdb::NativeSession&>(session).getPDBFile();
    auto publics = file.getPDBPublicsStream();
    auto records = file.getPDBSymbolStream();
    auto dbi = file.getPDBDbiStream();
    if (!publics || !records || !dbi) {
        llvm::consumeError(publics.takeError());
        llvm::consumeError(records.takeError());
        llvm::consumeError(dbi.takeError());
        return out;
    }
    auto sections = dbi->getSectionHeaders();
    for (uint32_t offset : publics->getAddressMap()) {
        llvm::codeview::CVSymbol record = records->readRecord(offset);
        if (record.kind() != llvm::codeview::S_PUB32) {
            continue;
        }
        auto symbol = llvm::codeview::SymbolDeserializer::deserializeAs<llvm::codeview::PublicSym32>(record);
        if (!symbol) {
            llvm::consumeError(symbol.takeError());
            continue;
        }
        if (symbol->Segment == 0 || symbol->Segment > sections.size()) {
            continue;
        }
        const auto& section = sections[symbol->Segment - 1];
        uint32_t size = std::max<uint32_t>(section.VirtualSize, section.SizeOfRawData);
        out.push_back({section.VirtualAddress + symbol->Offset, section.VirtualAddress + size, symbol->Name.str()});
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const PublicSymbol& a, const PublicSymbol& b) { return a.Rva < b.Rva; });
    return out;
}

nlohmann::json LookupPublic(const std::vector<PublicSymbol>& publics, uint32_t rva)
{
    nlohmann::json out = nlohmann::json::array();
    auto after = std::upper_bound(publics.begin(), publics.end(), rva,
                                  [](uint32_t value, const PublicSymbol& symbol) { return value < symbol.Rva; });
    if (after == publics.begin() || rva >= std::prev(after)->SectionEnd) {
        return out;
    }
    const PublicSymbol& symbol = *std::prev(after);
    out.push_back({{"function", symbol.Name}, {"start", symbol.Rva}, {"file", ""}, {"line", 0}, {"public", true}});
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
    // report's frames at a time, often of the same few modules. Its public
    // symbols are read the first time a frame needs them.
    std::map<std::string, std::unique_ptr<IPDBSession>> sessions;
    std::map<std::string, std::vector<PublicSymbol>> publics;
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
                if (answer.empty()) {
                    auto table = publics.find(path);
                    if (table == publics.end()) {
                        table = publics.emplace(path, ReadPublics(*session->second)).first;
                    }
                    answer = LookupPublic(table->second, rva);
                }
            }
        }
        std::cout << answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n"
                  << std::flush;
    }
    return 0;
}
