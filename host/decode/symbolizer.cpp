// Symbol lookup: the index of symbol files, and llvm-symbolizer as a child
// process. The tool reads a module's PDB from beside its image, so each
// matched pair is linked into a scratch folder under the names the image
// expects; the tool never sees a PDB whose identity was not checked here.
#include "decode/symbolizer.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace decode {

namespace fs = std::filesystem;

namespace {

// A store keeps name/key/name; one level more allows a folder of stores.
constexpr int MaxFolderDepth = 4;

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool IsImageName(const std::string& extension)
{
    return extension == ".sys" || extension == ".dll" || extension == ".exe" ||
           extension == ".efi";
}

}  // namespace

void SymbolIndex::AddFolder(const std::string& folder)
{
    std::error_code error;
    fs::recursive_directory_iterator walk(folder, fs::directory_options::skip_permission_denied,
                                          error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        if (walk.depth() >= MaxFolderDepth) {
            walk.disable_recursion_pending();
        }
        std::error_code kindError;
        if (!walk->is_regular_file(kindError)) {
            continue;
        }
        std::string path = walk->path().string();
        std::string extension = Lower(walk->path().extension().string());
        if (extension == ".pdb") {
            if (auto identity = ReadPdbIdentity(path)) {
                Pdbs_.push_back({path, *identity});
            }
        } else if (IsImageName(extension)) {
            if (auto identity = ReadImageIdentity(path)) {
                Images_.push_back({path, *identity});
            }
        }
    }
}

const SymbolFile* SymbolIndex::ImageFor(const ModuleRow& row) const
{
    for (const SymbolFile& image : Images_) {
        if (image.Identity.Guid == row.Guid && image.Identity.Age == row.Age) {
            return &image;
        }
    }
    return nullptr;
}

const SymbolFile* SymbolIndex::PdbFor(const ModuleRow& row) const
{
    for (const SymbolFile& pdb : Pdbs_) {
        if (pdb.Identity.Guid == row.Guid && pdb.Identity.Age == row.Age) {
            return &pdb;
        }
    }
    return nullptr;
}

std::string SymbolIndex::WhyNot(const ModuleRow& row) const
{
    if (!row.HasIdentity()) {
        return "the report gives it no debug identity";
    }
    const SymbolFile* image = ImageFor(row);
    const SymbolFile* pdb = PdbFor(row);
    if (image != nullptr && pdb != nullptr) {
        return std::string();
    }
    // Name the near misses: files of the same name with another identity.
    std::string pdbName = Lower(row.PdbName());
    std::string moduleName = Lower(row.Name);
    for (const SymbolFile& other : Pdbs_) {
        if (pdb == nullptr && Lower(fs::path(other.Path).filename().string()) == pdbName) {
            return other.Path + " has GUID " + other.Identity.Guid + " age " +
                   std::to_string(other.Identity.Age) + ", not " + row.Guid + " age " +
                   std::to_string(row.Age);
        }
    }
    for (const SymbolFile& other : Images_) {
        if (image == nullptr && Lower(fs::path(other.Path).filename().string()) == moduleName) {
            return other.Path + " was linked with GUID " + other.Identity.Guid + " age " +
                   std::to_string(other.Identity.Age) + ", not " + row.Guid + " age " +
                   std::to_string(row.Age);
        }
    }
    if (pdb != nullptr) {
        return "its PDB is there but no image with its identity, to read it through";
    }
    if (image != nullptr) {
        return "its image is there but no PDB with its identity";
    }
    return "no symbol file with GUID " + row.Guid + " age " + std::to_string(row.Age);
}

Symbolizer::Symbolizer(const SymbolIndex& index, std::string tool)
    : Index_(index), Tool_(std::move(tool))
{
}

Symbolizer::~Symbolizer()
{
    if (ToTool_ != nullptr) {
        std::fclose(ToTool_);
    }
    if (FromTool_ != nullptr) {
        std::fclose(FromTool_);
    }
    if (Pid_ > 0) {
        int status = 0;
        while (::waitpid(Pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (!Scratch_.empty()) {
        std::error_code error;
        fs::remove_all(Scratch_, error);
    }
}

bool Symbolizer::Start()
{
    if (Pid_ > 0) {
        return true;
    }
    if (!Error_.empty()) {
        return false;
    }
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        Error_ = "cannot make a pipe";
        return false;
    }
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        Error_ = "cannot make a pipe";
        return false;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(toChild[0], STDIN_FILENO);
        ::dup2(fromChild[1], STDOUT_FILENO);
        int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            ::dup2(devNull, STDERR_FILENO);  // "cannot read file" noise
        }
        // A relative PDB path in an image is looked up from here first.
        if (::chdir(Scratch_.c_str()) != 0) {
            ::_exit(127);
        }
        ::execl(Tool_.c_str(), Tool_.c_str(), "--relative-address", "--output-style=JSON",
                "--inlines", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    if (pid < 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        Error_ = "cannot start " + Tool_;
        return false;
    }
    Pid_ = pid;
    ToTool_ = ::fdopen(toChild[1], "w");
    FromTool_ = ::fdopen(fromChild[0], "r");
    if (ToTool_ == nullptr || FromTool_ == nullptr) {
        Error_ = "cannot talk to " + Tool_;
        return false;
    }
    return true;
}

bool Symbolizer::Ask(const std::vector<std::string>& queries, std::vector<std::string>* answers)
{
    if (!Start()) {
        return false;
    }
    // A report's frames at a time: a few kilobytes, well within what the
    // pipes hold, so writing all before reading cannot block both sides.
    for (const std::string& query : queries) {
        std::fputs(query.c_str(), ToTool_);
        std::fputc('\n', ToTool_);
    }
    if (std::fflush(ToTool_) != 0) {
        Error_ = Tool_ + " stopped";
        return false;
    }
    answers->clear();
    std::string line;
    int c = 0;
    while (answers->size() < queries.size() && (c = std::fgetc(FromTool_)) != EOF) {
        if (c == '\n') {
            answers->push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(c);
        }
    }
    if (answers->size() < queries.size()) {
        Error_ = Tool_ + " could not be run or stopped answering";
        return false;
    }
    return true;
}

std::string Symbolizer::Stage(const ModuleRow& row)
{
    std::string key = row.SymbolKey();
    auto staged = Staged_.find(key);
    if (staged != Staged_.end()) {
        return staged->second;
    }
    const SymbolFile* image = Index_.ImageFor(row);
    const SymbolFile* pdb = Index_.PdbFor(row);
    std::string path;
    std::error_code error;
    if (Scratch_.empty()) {
        std::string pattern = (fs::temp_directory_path(error) / "vekcrash-decode-XXXXXX").string();
        if (error || ::mkdtemp(pattern.data()) == nullptr) {
            Error_ = "cannot make a scratch folder";
            Staged_[key] = path;
            return path;
        }
        Scratch_ = pattern;
    }
    fs::path folder = fs::path(Scratch_) / std::to_string(Staged_.size());
    fs::create_directory(folder, error);
    std::string pdbName = image->Identity.PdbName.empty() ? row.PdbName() : image->Identity.PdbName;
    fs::path imageLink = folder / fs::path(image->Path).filename();
    fs::create_symlink(fs::absolute(image->Path, error), imageLink, error);
    if (!error) {
        fs::create_symlink(fs::absolute(pdb->Path, error), folder / pdbName, error);
    }
    if (!error) {
        path = imageLink.string();
    }
    Staged_[key] = path;
    return path;
}

void Symbolizer::Resolve(CrashReport* report)
{
    std::vector<std::string> queries;
    std::vector<Frame*> asked;
    std::vector<std::string> askedKeys;
    std::vector<std::string> missing;
    for (Frame& frame : report->Frames) {
        if (!frame.HasModule) {
            continue;
        }
        const ModuleRow* row = nullptr;
        for (const ModuleRow& candidate : report->Modules) {
            if (candidate.Name == frame.Module) {
                row = &candidate;
            }
        }
        std::string why = row == nullptr ? "not in the report's module table" : Index_.WhyNot(*row);
        if (!why.empty()) {
            std::string note = frame.Module + ": " + why;
            if (std::find(missing.begin(), missing.end(), note) == missing.end()) {
                missing.push_back(note);
            }
            continue;
        }
        char offset[24];
        std::snprintf(offset, sizeof(offset), "0x%llX", static_cast<unsigned long long>(frame.Offset));
        std::string cacheKey = row->SymbolKey() + "@" + offset;
        auto cached = Cache_.find(cacheKey);
        if (cached != Cache_.end()) {
            frame.Symbols = cached->second;
            continue;
        }
        std::string image = Stage(*row);
        if (image.empty()) {
            missing.push_back(frame.Module + ": its symbol files could not be staged");
            continue;
        }
        queries.push_back("\"" + image + "\" " + offset);
        asked.push_back(&frame);
        askedKeys.push_back(cacheKey);
    }
    std::vector<std::string> answers;
    if (!queries.empty() && Ask(queries, &answers)) {
        for (size_t i = 0; i < asked.size(); ++i) {
            std::vector<SourceLocation> symbols;
            nlohmann::json answer = nlohmann::json::parse(answers[i], nullptr, false);
            if (answer.is_object() && answer.contains("Symbol") && answer["Symbol"].is_array()) {
                for (const nlohmann::json& symbol : answer["Symbol"]) {
                    SourceLocation location;
                    location.Function = symbol.value("FunctionName", std::string());
                    location.File = symbol.value("FileName", std::string());
                    location.Line = symbol.value("Line", 0u);
                    if (!location.Function.empty() && location.Function != "??") {
                        symbols.push_back(std::move(location));
                    }
                }
            }
            asked[i]->Symbols = symbols;
            Cache_[askedKeys[i]] = std::move(symbols);
        }
    } else if (!queries.empty()) {
        missing.push_back("symbolizer: " + Error_);
    }
    report->Unsymbolized = std::move(missing);
}

}  // namespace decode
