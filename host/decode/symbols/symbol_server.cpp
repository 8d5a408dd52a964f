// Symbol server client: libcurl for HTTP(S), libmspack for the cabinet of
// a compressed PDB. Files are written under a temporary name beside their
// place in the cache and renamed into it only when whole.
#include "decode/symbols/symbol_server.h"

#include <curl/curl.h>
#include <mspack.h>

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace decode {

namespace fs = std::filesystem;

namespace {

constexpr long HttpOk = 200;
constexpr size_t MaxPointerBytes = 4096;

enum class Got { File, Missing, Down };

// The download in progress, for a signal handler to remove: fixed buffers,
// since the handler may not allocate.
constexpr size_t MaxPartialPath = 4096;
char PartialFile[MaxPartialPath];
char PartialCabinet[MaxPartialPath];

void Remember(char (&slot)[MaxPartialPath], const fs::path& path)
{
    std::snprintf(slot, sizeof(slot), "%s", path.native().size() < MaxPartialPath ? path.c_str() : "");
}

size_t WriteToFile(char* data, size_t size, size_t count, void* file)
{
    return std::fwrite(data, size, count, static_cast<FILE*>(file)) * size;
}

size_t WriteToString(char* data, size_t size, size_t count, void* text)
{
    auto* out = static_cast<std::string*>(text);
    if (out->size() + size * count > MaxPointerBytes) {
        return 0;  // a pointer file is one short line
    }
    out->append(data, size * count);
    return size * count;
}

// libcurl and libmspack are opened on first use, not linked: most runs
// never ask a server, and loading libcurl with its TLS stack costs more than
// decoding a log in page cache.
struct ServerLibraries {
    CURL* (*EasyInit)() = nullptr;
    CURLcode (*EasySetopt)(CURL*, CURLoption, ...) = nullptr;
    CURLcode (*EasyPerform)(CURL*) = nullptr;
    CURLcode (*EasyGetinfo)(CURL*, CURLINFO, ...) = nullptr;
    void (*EasyCleanup)(CURL*) = nullptr;
    const char* (*EasyStrerror)(CURLcode) = nullptr;
    mscab_decompressor* (*CreateCab)(mspack_system*) = nullptr;
    void (*DestroyCab)(mscab_decompressor*) = nullptr;
    std::string Error;  // why they could not be opened
};

constexpr char CurlLibrary[] = "libcurl.so.4";
constexpr char MspackLibrary[] = "libmspack.so.0";

template <typename Function>
bool Resolve(void* library, const char* name, Function* function, std::string* error)
{
    *function = reinterpret_cast<Function>(dlsym(library, name));
    if (*function == nullptr && error->empty()) {
        *error = std::string("no ") + name + " in its library";
    }
    return *function != nullptr;
}

const ServerLibraries& Libraries()
{
    static const ServerLibraries libraries = [] {
        ServerLibraries found;
        void* curl = dlopen(CurlLibrary, RTLD_NOW | RTLD_LOCAL);
        void* mspack = dlopen(MspackLibrary, RTLD_NOW | RTLD_LOCAL);
        if (curl == nullptr || mspack == nullptr) {
            found.Error = std::string("cannot load ") + (curl == nullptr ? CurlLibrary : MspackLibrary);
            return found;
        }
        std::string& error = found.Error;
        Resolve(curl, "curl_easy_init", &found.EasyInit, &error);
        Resolve(curl, "curl_easy_setopt", &found.EasySetopt, &error);
        Resolve(curl, "curl_easy_perform", &found.EasyPerform, &error);
        Resolve(curl, "curl_easy_getinfo", &found.EasyGetinfo, &error);
        Resolve(curl, "curl_easy_cleanup", &found.EasyCleanup, &error);
        Resolve(curl, "curl_easy_strerror", &found.EasyStrerror, &error);
        Resolve(mspack, "mspack_create_cab_decompressor", &found.CreateCab, &error);
        Resolve(mspack, "mspack_destroy_cab_decompressor", &found.DestroyCab, &error);
        return found;
    }();
    return libraries;
}

// GETs `url` through `write`; Missing for 404/410 and other refusals, Down
// when the server cannot be reached or stops sending.
Got Get(const std::string& url, curl_write_callback write, void* sink, std::string* why)
{
    const ServerLibraries& lib = Libraries();
    if (!lib.Error.empty()) {
        *why = lib.Error;
        return Got::Down;
    }
    CURL* curl = lib.EasyInit();
    if (curl == nullptr) {
        *why = "cannot start libcurl";
        return Got::Down;
    }
    lib.EasySetopt(curl, CURLOPT_URL, url.c_str());
    lib.EasySetopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    lib.EasySetopt(curl, CURLOPT_FAILONERROR, 1L);
    lib.EasySetopt(curl, CURLOPT_NOSIGNAL, 1L);
    lib.EasySetopt(curl, CURLOPT_CONNECTTIMEOUT, ServerConnectSeconds);
    lib.EasySetopt(curl, CURLOPT_TIMEOUT, ServerTotalSeconds);
    lib.EasySetopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    lib.EasySetopt(curl, CURLOPT_LOW_SPEED_TIME, ServerStallSeconds);
    lib.EasySetopt(curl, CURLOPT_USERAGENT, "vekcrash-decode");
    lib.EasySetopt(curl, CURLOPT_WRITEFUNCTION, write);
    lib.EasySetopt(curl, CURLOPT_WRITEDATA, sink);
    CURLcode result = lib.EasyPerform(curl);
    long status = 0;
    lib.EasyGetinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    lib.EasyCleanup(curl);
    if (result == CURLE_OK && status == HttpOk) {
        return Got::File;
    }
    if (result == CURLE_HTTP_RETURNED_ERROR && status >= 400 && status < 500) {
        return Got::Missing;
    }
    *why = result == CURLE_HTTP_RETURNED_ERROR ? "answers HTTP " + std::to_string(status)
                                              : lib.EasyStrerror(result);
    return Got::Down;
}

Got GetFile(const std::string& url, const fs::path& to, std::string* why)
{
    FILE* file = std::fopen(to.c_str(), "wb");
    if (file == nullptr) {
        *why = "cannot write " + to.string();
        return Got::Down;
    }
    Got got = Get(url, WriteToFile, file, why);
    if (std::fclose(file) != 0 && got == Got::File) {
        *why = "cannot write " + to.string();
        got = Got::Down;
    }
    return got;
}

// The first file of a cabinet, written to `to`.
bool Expand(const fs::path& cabinet, const fs::path& to)
{
    const ServerLibraries& lib = Libraries();
    if (!lib.Error.empty()) {
        return false;
    }
    mscab_decompressor* cab = lib.CreateCab(nullptr);
    if (cab == nullptr) {
        return false;
    }
    bool ok = false;
    mscabd_cabinet* opened = cab->open(cab, cabinet.c_str());
    if (opened != nullptr) {
        ok = opened->files != nullptr && cab->extract(cab, opened->files, to.c_str()) == MSPACK_ERR_OK;
        cab->close(cab, opened);
    }
    lib.DestroyCab(cab);
    return ok;
}

}  // namespace

void RemovePartialDownload()
{
    if (PartialFile[0] != '\0') {
        ::unlink(PartialFile);
    }
    if (PartialCabinet[0] != '\0') {
        ::unlink(PartialCabinet);
    }
}

ServerAnswer FetchFromServer(const std::string& url, const std::string& key,
                             const std::string& cache)
{
    ServerAnswer answer;
    fs::path target = fs::path(cache) / key;
    std::error_code error;
    fs::create_directories(target.parent_path(), error);
    if (error) {
        answer.Note = "cannot make the cache folder " + target.parent_path().string();
        return answer;
    }
    std::string part = "." + target.filename().string() + "." + std::to_string(::getpid());
    fs::path partial = target.parent_path() / (part + ".part");
    fs::path compressed = target.parent_path() / (part + ".cab");
    Remember(PartialFile, partial);
    Remember(PartialCabinet, compressed);
    std::string why;
    auto done = [&](Got got) {
        if (got == Got::File) {
            fs::rename(partial, target, error);
            answer.Path = error ? std::string() : target.string();
        }
        if (got == Got::Down) {
            answer.Down = true;
            answer.Note = url + ": " + why;
        }
        fs::remove(partial, error);
        fs::remove(compressed, error);
        PartialFile[0] = '\0';
        PartialCabinet[0] = '\0';
        return answer;
    };

    Got got = GetFile(url + "/" + key, partial, &why);
    if (got != Got::Missing) {
        return done(got);
    }
    std::string compressedKey = key.substr(0, key.size() - 1) + "_";
    got = GetFile(url + "/" + compressedKey, compressed, &why);
    if (got == Got::File) {
        if (!Expand(compressed, partial)) {
            answer.Note = url + "/" + compressedKey + " is not a cabinet it can expand";
            return done(Got::Missing);
        }
        return done(Got::File);
    }
    if (got == Got::Down) {
        return done(got);
    }
    std::string pointer;
    std::string pointerUrl = url + "/" + fs::path(key).parent_path().string() + "/file.ptr";
    got = Get(pointerUrl, WriteToString, &pointer, &why);
    if (got != Got::File) {
        return done(got);
    }
    while (!pointer.empty() && (pointer.back() == '\n' || pointer.back() == '\r')) {
        pointer.pop_back();
    }
    if (pointer.rfind("PATH:", 0) == 0) {
        fs::copy_file(pointer.substr(5), partial, fs::copy_options::overwrite_existing, error);
        if (!error) {
            return done(Got::File);
        }
        answer.Note = url + " points to " + pointer.substr(5) + ", which cannot be read";
    } else if (pointer.rfind("MSG:", 0) == 0) {
        answer.Note = url + " says: " + pointer.substr(4);
    }
    return done(Got::Missing);
}

}  // namespace decode
