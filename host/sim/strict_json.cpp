// Strict JSON: the parse is driven through the library's event interface
// so that a repeated key, a NUL byte and an out-of-range number are caught
// where they occur, and the document is built in one linear pass (the
// library's filtering parser rescans a list at the end of each object in
// it, which is quadratic in the list's length).
#include "sim/strict_json.h"

#include "sim/printable.h"

#include <cstring>

namespace sim {

namespace {

using nlohmann::json;

// Longest key a path repeats; paths are for reading, not for round trips.
constexpr size_t PathKeyMax = 64;

std::string JoinKey(const std::string& path, const std::string& key)
{
    std::string shown = EscapeText(key, PathKeyMax);
    return path.empty() ? shown : path + "." + shown;
}

std::string JoinIndex(const std::string& path, size_t index)
{
    return path + "[" + std::to_string(index) + "]";
}

// Builds the document from the parser's events, refusing a key repeated
// in one object (the library would keep only the last value).
class StrictBuilder {
public:
    using number_integer_t = json::number_integer_t;
    using number_unsigned_t = json::number_unsigned_t;
    using number_float_t = json::number_float_t;
    using string_t = json::string_t;
    using binary_t = json::binary_t;

    explicit StrictBuilder(json* root) : root_(root) {}

    const std::string& Error() const { return error_; }

    bool null() { return Add(json(nullptr)); }
    bool boolean(bool value) { return Add(json(value)); }
    bool number_integer(number_integer_t value) { return Add(json(value)); }
    bool number_unsigned(number_unsigned_t value) { return Add(json(value)); }
    bool number_float(number_float_t value, const string_t&) { return Add(json(value)); }
    bool string(string_t& value) { return Add(json(std::move(value))); }
    bool binary(binary_t& value) { return Add(json(std::move(value))); }

    bool start_object(std::size_t) { return Open(json::value_t::object); }
    bool start_array(std::size_t) { return Open(json::value_t::array); }
    bool end_object() { return Close(); }
    bool end_array() { return Close(); }

    bool key(string_t& key)
    {
        Frame& object = frames_.back();
        if (object.Value->contains(key)) {
            object.Key = std::move(key);
            error_ = PendingPath() + ": given more than once";
            return false;
        }
        object.Key = std::move(key);
        return true;
    }

    template <class Exception>
    bool parse_error(std::size_t, const std::string& token, const Exception& exception)
    {
        // A number that overflows a double is the one error the library
        // raises outside its parse errors; name it, and where it is.
        if (std::strstr(exception.what(), "number overflow") != nullptr) {
            std::string path = PendingPath();
            error_ = (path.empty() ? std::string("document") : path) + ": the number " +
                     EscapeText(token, QuotedInputMax) + " is too large";
        } else {
            error_ = std::string("not valid JSON: ") + exception.what();
        }
        return false;
    }

private:
    struct Frame {
        json* Value;
        size_t Elements;  // of a list, so far
        std::string Key;  // of an object, the one whose value comes next
    };

    // The slot the next value goes to.
    json* Slot()
    {
        if (frames_.empty()) {
            return root_;
        }
        Frame& top = frames_.back();
        ++top.Elements;
        if (top.Value->is_array()) {
            top.Value->get_ref<json::array_t&>().emplace_back();
            return &top.Value->get_ref<json::array_t&>().back();
        }
        return &(*top.Value)[top.Key];
    }

    bool Add(json&& value)
    {
        *Slot() = std::move(value);
        return true;
    }

    bool Open(json::value_t type)
    {
        json* slot = Slot();
        *slot = json(type);
        frames_.push_back(Frame{slot, 0, {}});
        return true;
    }

    bool Close()
    {
        frames_.pop_back();
        return true;
    }

    // The path of the value being read: an open list's next element or an
    // open object's current key. Built by appending, as the nesting may be
    // deep.
    std::string PendingPath() const
    {
        std::string path;
        for (size_t i = 0; i < frames_.size(); ++i) {
            const Frame& frame = frames_[i];
            if (frame.Value->is_array()) {
                bool innermost = i + 1 == frames_.size();
                path += "[" + std::to_string(innermost ? frame.Elements : frame.Elements - 1) + "]";
            } else {
                path += (path.empty() ? "" : ".") + EscapeText(frame.Key, PathKeyMax);
            }
        }
        return path;
    }

    json* root_;
    std::vector<Frame> frames_;
    std::string error_;
};

}  // namespace

bool ParseStrictJson(const std::string& text, json* document, std::string* error)
{
    // The library takes a NUL byte for the end of the text and would
    // quietly ignore whatever follows it.
    size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        *error = "not valid JSON: a NUL byte at offset " + std::to_string(nul);
        return false;
    }
    json result;
    StrictBuilder builder(&result);
    bool parsed = json::sax_parse(text, &builder, json::input_format_t::json, true, false);
    if (!parsed) {
        *error = builder.Error().empty() ? std::string("not valid JSON") : builder.Error();
        return false;
    }
    *document = std::move(result);
    return true;
}

std::string QuoteInput(const std::string& text)
{
    return "\"" + EscapeText(text, QuotedInputMax) + "\"";
}

JsonValue::JsonValue(const json& value, std::string path, std::string root)
    : value_(&value), path_(std::move(path)), root_(std::move(root))
{
}

std::string JsonValue::Path() const
{
    return path_.empty() ? root_ : path_;
}

std::string JsonValue::PathOfKey(const std::string& key) const
{
    return JoinKey(path_, key);
}

std::string JsonValue::PathOfIndex(size_t index) const
{
    return JoinIndex(path_.empty() ? root_ : path_, index);
}

void JsonValue::Fail(const std::string& what) const
{
    throw JsonError(Path() + ": " + what);
}

uint64_t JsonValue::Unsigned(uint64_t max, uint64_t min) const
{
    const std::string expected = "expected an integer from " + std::to_string(min) + " to " +
                                 std::to_string(max) +
                                 " (a number, or a string such as \"0x1F\")";
    uint64_t result = 0;
    if (value_->is_number_unsigned()) {
        result = value_->get<uint64_t>();
    } else if (value_->is_string()) {
        const std::string& text = value_->get_ref<const std::string&>();
        bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        const std::string digits = hex ? text.substr(2) : text;
        if (digits.empty() || digits.size() > (hex ? 16u : 20u)) {
            Fail(expected);
        }
        const uint64_t base = hex ? 16 : 10;
        for (char c : digits) {
            unsigned digit = 0;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (hex && c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else if (hex && c >= 'A' && c <= 'F') {
                digit = static_cast<unsigned>(c - 'A' + 10);
            } else {
                Fail(expected);
            }
            if (result > (UINT64_MAX - digit) / base) {
                Fail(expected);
            }
            result = result * base + digit;
        }
    } else {
        // Negative integers, fractions and every other type.
        Fail(expected);
    }
    if (result < min || result > max) {
        Fail(expected);
    }
    return result;
}

bool JsonValue::Bool() const
{
    if (!value_->is_boolean()) {
        Fail("expected true or false");
    }
    return value_->get<bool>();
}

std::string JsonValue::String() const
{
    if (!value_->is_string()) {
        Fail("expected a string");
    }
    return value_->get<std::string>();
}

bool JsonValue::IsString(const char* text) const
{
    return value_->is_string() && value_->get_ref<const std::string&>() == text;
}

std::string JsonValue::Choice(const std::vector<std::string>& choices) const
{
    for (const std::string& choice : choices) {
        if (IsString(choice.c_str())) {
            return choice;
        }
    }
    std::string list;
    for (const std::string& choice : choices) {
        list += (list.empty() ? "\"" : ", \"") + choice + "\"";
    }
    Fail("expected one of " + list);
}

std::vector<JsonValue> JsonValue::List(const std::string& expected) const
{
    if (!value_->is_array()) {
        Fail(expected);
    }
    std::vector<JsonValue> elements;
    elements.reserve(value_->size());
    for (size_t i = 0; i < value_->size(); ++i) {
        elements.emplace_back((*value_)[i], PathOfIndex(i), root_);
    }
    return elements;
}

JsonObject::JsonObject(const JsonValue& value, const std::string& expected) : value_(value)
{
    if (!value.Raw().is_object()) {
        value.Fail(expected);
    }
}

bool JsonObject::Find(const std::string& key, JsonValue* found)
{
    known_.insert(key);
    auto item = value_.Raw().find(key);
    if (item == value_.Raw().end()) {
        return false;
    }
    *found = JsonValue(*item, value_.PathOfKey(key));
    return true;
}

JsonValue JsonObject::Require(const std::string& key)
{
    JsonValue found = value_;
    if (!Find(key, &found)) {
        throw JsonError(value_.PathOfKey(key) + ": missing");
    }
    return found;
}

std::vector<std::pair<std::string, JsonValue>> JsonObject::Entries()
{
    allKnown_ = true;
    std::vector<std::pair<std::string, JsonValue>> entries;
    for (const auto& item : value_.Raw().items()) {
        entries.emplace_back(item.key(), JsonValue(item.value(), value_.PathOfKey(item.key())));
    }
    return entries;
}

void JsonObject::RejectUnknownKeys() const
{
    if (allKnown_) {
        return;
    }
    for (const auto& item : value_.Raw().items()) {
        if (known_.count(item.key()) == 0) {
            throw JsonError(value_.PathOfKey(item.key()) + ": unknown key");
        }
    }
}

}  // namespace sim
