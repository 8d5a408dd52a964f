// A strict JSON reader for hand-written input files. Parsing refuses what
// the JSON library would quietly take (a key given twice, a NUL byte that
// ends the text early, a number no double holds); reading walks the parsed
// document by path, so every complaint names where it is ("a.b[2].c: ...")
// and an object key nobody asked for is an error.
//
// It knows nothing of what the document means; callers read their own
// schema with it.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// A complaint about the input: what() is one line, "path: what was wrong".
struct JsonError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Parses text as one JSON document. On failure returns false and sets
// error to one line (a repeated key is named by its path).
bool ParseStrictJson(const std::string& text, nlohmann::json* document, std::string* error);

// Input text quoted for a message: escaped and cut to a readable length.
std::string QuoteInput(const std::string& text);

// One value of a parsed document and where it sits in it.
class JsonValue {
public:
    // path is empty for the document itself; root names it in messages.
    JsonValue(const nlohmann::json& value, std::string path, std::string root = "document");

    const nlohmann::json& Raw() const { return *value_; }
    // The path for messages ("machine.uarts[1]"), the root name at the top.
    std::string Path() const;
    // The path of a key or an element below this value.
    std::string PathOfKey(const std::string& key) const;
    std::string PathOfIndex(size_t index) const;

    [[noreturn]] void Fail(const std::string& what) const;

    // Unsigned integer from min to max: a JSON integer, or a string holding
    // a decimal or 0x-hex number (64-bit values that JSON tools round).
    uint64_t Unsigned(uint64_t max, uint64_t min = 0) const;
    bool Bool() const;
    std::string String() const;
    bool IsString(const char* text) const;
    // One of the given strings.
    std::string Choice(const std::vector<std::string>& choices) const;
    // The elements of a list, each with its path. Fails with expected
    // unless this is a list.
    std::vector<JsonValue> List(const std::string& expected = "expected a list") const;

private:
    const nlohmann::json* value_;
    std::string path_;
    std::string root_;
};

// The keys of one JSON object. Every key the object holds must be asked
// for (Find, Require or Entries) before RejectUnknownKeys.
class JsonObject {
public:
    // Fails with expected unless the value is an object.
    explicit JsonObject(const JsonValue& value,
                        const std::string& expected = "expected an object");

    const JsonValue& Value() const { return value_; }
    // The value of key, or false when it is not there.
    bool Find(const std::string& key, JsonValue* found);
    JsonValue Require(const std::string& key);
    // Every key and value, sorted by key; all count as known.
    std::vector<std::pair<std::string, JsonValue>> Entries();
    void RejectUnknownKeys() const;

private:
    JsonValue value_;
    std::set<std::string> known_;
    bool allKnown_ = false;
};

}  // namespace sim
