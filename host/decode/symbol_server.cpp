// Symbol server client: libcurl for HTTP(S), libmspack for the cabinet of
// a compressed PDB. Files are written under a temporary name beside their
// place in the cache and renamed into it only when whole.
#include "decode/symbol_server.h"

#include <curl/curl.h>
#include <mspack.h>

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

// GETs `url` through `write`; Missing for 404/410 and other refusals, Down
// when the server cannot be reached or stops sending.
Got Get(const std::string& url, curl_write_callback write, void* sink, std::string* why)
{
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        *why = "cannot start libcurl";
        return Got::Down;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, ServerConnectSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, ServerTotalSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, ServerStallSeconds);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "vekcrash-decode");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, sink);
    CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (result == CURLE_OK && status == HttpOk) {
        return Got::File;
    }
    if (result == CURLE_HTTP_RETURNED_ERROR && status >= 400 && status < 500) {
        return Got::Missing;
    }
    *why = result == CURLE_HTTP_RETURNED_ERROR ? "answers HTTP " + std::to_string(status)
                                              : curl_easy_strerror(result);
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
    mscab_decompressor* cab = mspack_create_cab_decompressor(nullptr);
    if (cab == nullptr) {
        return false;
    }
    bool ok = false;
    mscabd_cabinet* opened = cab->open(cab, cabinet.c_str());
    if (opened != nullptr) {
        ok = opened->files != nullptr && cab->extract(cab, opened->files, to.c_str()) == MSPACK_ERR_OK;
        cab->close(cab, opened);
    }
    mspack_destroy_cab_decompressor(cab);
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
