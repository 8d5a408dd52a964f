// vekcrash-frame-table: writes, at build time, the table the model reads
// when it opens the host build of the driver, so that the host build's
// stack trace names the modules the shipped image's trace names:
//   - where each function of vekcrashdmp_host.so lies in vekcrashdmp.sys
//     (host symbols from the ELF symbol table, the shipped image's from
//     its PDB, paired by qualified name);
//   - the RVA of KxCallDriverReturn in the model's kernel image, where
//     every call from the kernel into the driver returns.
//
// Usage: vekcrash-frame-table HOST_IMAGE SYS_PDB KERNEL_IMAGE OUTPUT
// The output is text, one record a line:
//   kernel-call-return RVA
//   function HOST_START HOST_SIZE SYS_RVA SYS_SIZE NAME
// (numbers in hex).
#include "function_names.h"

#include <llvm/DebugInfo/CodeView/SymbolDeserializer.h>
#include <llvm/DebugInfo/CodeView/SymbolRecord.h>
#include <llvm/DebugInfo/PDB/IPDBSession.h>
#include <llvm/DebugInfo/PDB/Native/DbiModuleList.h>
#include <llvm/DebugInfo/PDB/Native/DbiStream.h>
#include <llvm/DebugInfo/PDB/Native/ModuleDebugStream.h>
#include <llvm/DebugInfo/PDB/Native/NativeSession.h>
#include <llvm/DebugInfo/PDB/Native/PDBFile.h>
#include <llvm/DebugInfo/PDB/PDB.h>
#include <llvm/Demangle/Demangle.h>
#include <llvm/Object/COFF.h>
#include <llvm/Object/ELFObjectFile.h>
#include <llvm/Support/Error.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using hostdriver::NamedFunction;

const char* const KernelCallReturn = "KxCallDriverReturn";

[[noreturn]] void Fail(const std::string& message)
{
    std::fprintf(stderr, "vekcrash-frame-table: %s\n", message.c_str());
    std::exit(1);
}

std::string Text(llvm::Error error)
{
    return llvm::toString(std::move(error));
}

// A mangled name's qualified function name without parameters; a name
// that is not mangled (extern "C") is its own. g++'s clones and cold parts
// (".constprop.0", ".cold") are parts of the function they were cut from.
std::string QualifiedName(const std::string& symbol)
{
    std::string mangled = symbol.substr(0, symbol.find('.'));
    llvm::ItaniumPartialDemangler demangler;
    if (demangler.partialDemangle(mangled.c_str())) {
        return symbol;
    }
    size_t size = 0;
    char* name = demangler.getFunctionName(nullptr, &size);
    if (name == nullptr) {
        return symbol;
    }
    std::string qualified(name);
    std::free(name);
    return qualified;
}

std::vector<NamedFunction> HostFunctions(const llvm::object::ELF64LEObjectFile* elf)
{
    std::vector<NamedFunction> functions;
    for (const llvm::object::ELFSymbolRef& symbol : elf->symbols()) {
        auto type = symbol.getType();
        auto name = symbol.getName();
        auto value = symbol.getValue();
        if (!type || !name || !value) {
            llvm::consumeError(type.takeError());
            llvm::consumeError(name.takeError());
            llvm::consumeError(value.takeError());
            continue;
        }
        if (*type != llvm::object::SymbolRef::ST_Function || symbol.getSize() == 0) {
            continue;
        }
        functions.push_back({QualifiedName(name->str()), *value, symbol.getSize()});
    }
    return functions;
}

// The image's GNU build id in hex: the model takes the table only for the
// image it was made from.
std::string HostBuildId(const std::string& path, const llvm::object::ELF64LEObjectFile* elf)
{
    static const char Digits[] = "0123456789abcdef";
    const auto& file = elf->getELFFile();
    auto headers = file.program_headers();
    if (!headers) {
        Fail(path + ": " + Text(headers.takeError()));
    }
    for (const auto& header : *headers) {
        if (header.p_type != llvm::ELF::PT_NOTE) {
            continue;
        }
        llvm::Error error = llvm::Error::success();
        for (const auto& note : file.notes(header, error)) {
            if (note.getType() == llvm::ELF::NT_GNU_BUILD_ID && note.getName() == "GNU") {
                std::string hex;
                for (uint8_t byte : note.getDesc()) {
                    hex += Digits[byte >> 4];
                    hex += Digits[byte & 0xF];
                }
                llvm::consumeError(std::move(error));
                return hex;
            }
        }
        llvm::consumeError(std::move(error));
    }
    Fail(path + ": no build id note (link with --build-id)");
}

// Every procedure record of every module of the PDB, at its RVA.
std::vector<NamedFunction> SysFunctions(const std::string& path)
{
    std::unique_ptr<llvm::pdb::IPDBSession> session;
    if (llvm::Error error =
            llvm::pdb::loadDataForPDB(llvm::pdb::PDB_ReaderType::Native, path, session)) {
        Fail(path + ": " + Text(std::move(error)));
    }
    llvm::pdb::PDBFile& file = static_cast<llvm::pdb::NativeSession&>(*session).getPDBFile();
    auto dbi = file.getPDBDbiStream();
    if (!dbi) {
        Fail(path + ": " + Text(dbi.takeError()));
    }
    auto sections = dbi->getSectionHeaders();
    const llvm::pdb::DbiModuleList& modules = dbi->modules();
    std::vector<NamedFunction> functions;
    for (uint32_t i = 0; i < modules.getModuleCount(); ++i) {
        llvm::pdb::DbiModuleDescriptor module = modules.getModuleDescriptor(i);
        uint16_t index = module.getModuleStreamIndex();
        if (index == llvm::pdb::kInvalidStreamIndex) {
            continue;
        }
        auto stream = file.safelyCreateIndexedStream(index);
        if (!stream) {
            Fail(path + ": " + Text(stream.takeError()));
        }
        llvm::pdb::ModuleDebugStreamRef symbols(module, std::move(*stream));
        if (llvm::Error error = symbols.reload()) {
            Fail(path + ": " + Text(std::move(error)));
        }
        for (const llvm::codeview::CVSymbol& record : symbols.symbols(nullptr)) {
            if (record.kind() != llvm::codeview::S_GPROC32 &&
                record.kind() != llvm::codeview::S_LPROC32) {
                continue;
            }
            auto procedure =
                llvm::codeview::SymbolDeserializer::deserializeAs<llvm::codeview::ProcSym>(record);
            if (!procedure) {
                llvm::consumeError(procedure.takeError());
                continue;
            }
            if (procedure->Segment == 0 || procedure->Segment > sections.size()) {
                continue;
            }
            uint64_t rva = sections[procedure->Segment - 1].VirtualAddress + procedure->CodeOffset;
            functions.push_back({procedure->Name.str(), rva, procedure->CodeSize});
        }
    }
    return functions;
}

uint32_t ExportRva(const std::string& path, const std::string& wanted)
{
    auto binary = llvm::object::ObjectFile::createObjectFile(path);
    if (!binary) {
        Fail(path + ": " + Text(binary.takeError()));
    }
    auto* coff = llvm::dyn_cast<llvm::object::COFFObjectFile>(binary->getBinary());
    if (coff == nullptr) {
        Fail(path + ": not a PE image");
    }
    for (const llvm::object::ExportDirectoryEntryRef& entry : coff->export_directories()) {
        llvm::StringRef name;
        uint32_t rva = 0;
        if (entry.getSymbolName(name) || entry.getExportRVA(rva)) {
            continue;
        }
        if (name == wanted) {
            return rva;
        }
    }
    Fail(path + " exports no " + wanted);
}

}  // namespace

int main(int argc, char** argv)
{
    constexpr int Arguments = 5;
    if (argc != Arguments) {
        Fail("usage: vekcrash-frame-table HOST_IMAGE SYS_PDB KERNEL_IMAGE OUTPUT");
    }
    const std::string hostPath = argv[1];
    auto host = llvm::object::ObjectFile::createObjectFile(hostPath);
    if (!host) {
        Fail(hostPath + ": " + Text(host.takeError()));
    }
    const auto* elf = llvm::dyn_cast<llvm::object::ELF64LEObjectFile>(host->getBinary());
    if (elf == nullptr) {
        Fail(hostPath + ": not a 64-bit ELF image");
    }
    std::vector<hostdriver::FunctionPair> pairs =
        hostdriver::JoinFunctions(HostFunctions(elf), SysFunctions(argv[2]));
    uint32_t kernelReturn = ExportRva(argv[3], KernelCallReturn);
    // Written aside and renamed: a reader never sees half a table.
    std::string output = argv[4];
    std::string partial = output + ".partial";
    {
        std::ofstream table(partial, std::ios::trunc);
        table << std::hex << std::uppercase;
        table << "host-build-id " << HostBuildId(hostPath, elf) << "\n";
        table << "kernel-call-return " << kernelReturn << "\n";
        for (const hostdriver::FunctionPair& pair : pairs) {
            table << "function " << pair.HostStart << " " << pair.HostSize << " " << pair.SysStart
                  << " " << pair.SysSize << " " << pair.Name << "\n";
        }
        if (!table.flush()) {
            Fail("cannot write " + partial);
        }
    }
    if (std::rename(partial.c_str(), output.c_str()) != 0) {
        Fail("cannot write " + output);
    }
    return 0;
}
