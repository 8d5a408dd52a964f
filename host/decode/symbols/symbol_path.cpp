// Symbol path parsing: entries split at ';', their parts at '*'.
#include "decode/symbols/symbol_path.h"

#include <algorithm>
#include <cstdlib>

namespace decode {

namespace {

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool IsUrl(const std::string& part)
{
    std::string lower = Lower(part);
    return lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
}

}  // namespace

std::string DefaultSymbolCache()
{
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache != nullptr && *cache != '\0') {
        return std::string(cache) + "/vekcrash/symbols";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/.cache/vekcrash/symbols";
}

bool ParseSymbolPath(const std::string& text, const std::string& defaultCache,
                     std::vector<SymbolPathEntry>* entries, std::string* error)
{
    std::string cache = defaultCache;
    for (const std::string& entry : Split(text, ';')) {
        if (entry.empty()) {
            continue;
        }
        std::vector<std::string> parts = Split(entry, '*');
        std::string kind = Lower(parts[0]);
        if (parts.size() == 1) {
            entries->push_back({entry, {}});
            continue;
        }
        if (kind == "symsrv" && parts.size() > 2) {
            parts.erase(parts.begin() + 1);  // the server library's name
            kind = "srv";
        }
        if (kind == "cache") {
            if (parts.size() != 2 || parts[1].empty()) {
                *error = "symbol path entry " + entry + ": cache*DIR names one folder";
                return false;
            }
            cache = parts[1];
            entries->push_back({cache, {}, true});
            continue;
        }
        if (kind != "srv") {
            *error = "symbol path entry " + entry + ": not a folder, srv* or cache* entry";
            return false;
        }
        SymbolPathEntry server;
        size_t first = 1;
        if (!IsUrl(parts[1])) {
            server.Folder = parts[1].empty() ? cache : parts[1];
            first = 2;
        } else {
            server.Folder = cache;
        }
        for (size_t i = first; i < parts.size(); ++i) {
            if (!IsUrl(parts[i])) {
                *error = "symbol path entry " + entry + ": " + parts[i] +
                         " is not an http:// or https:// address";
                return false;
            }
            std::string url = parts[i];
            while (!url.empty() && url.back() == '/') {
                url.pop_back();
            }
            server.Urls.push_back(url);
        }
        entries->push_back(std::move(server));
    }
    return true;
}

}  // namespace decode
