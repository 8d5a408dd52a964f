// JSON lines written as they are made, with RapidJSON's writer, into one
// buffer that goes to the stream in large blocks: a fleet's log has
// thousands of reports of hundreds of module rows each, and a JSON value
// per member (a DOM) costs more than the decoding itself.
//
// What comes out is byte for byte what nlohmann::json::dump(-1, ' ',
// false, error_handler_t::replace) writes for the same values, then
// JsonSafeText (terminal_text.h): the decoder's JSON always read so.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

namespace decode {

// True when a JSON string holds the text as it is: printable ASCII (and
// DEL) without a quote or a backslash, as String would copy it.
bool VerbatimInJson(std::string_view text);

class JsonLineWriter {
public:
    explicit JsonLineWriter(std::ostream& out);
    // A writer of values to be taken (Take), never written to a stream.
    JsonLineWriter();
    ~JsonLineWriter();  // writes out what is buffered
    JsonLineWriter(const JsonLineWriter&) = delete;
    JsonLineWriter& operator=(const JsonLineWriter&) = delete;

    void StartObject();
    void EndObject();
    void StartArray();
    void EndArray();
    // A member's name from a log, written as String writes text.
    void Key(std::string_view name);
    // One of the decoder's own member names ("kind", "modules"): plain
    // ASCII with nothing to escape, copied as it is. There are a dozen to a
    // module row, which text from a log would have to be checked for.
    void OwnKey(std::string_view name);
    // Any bytes: bytes that are not UTF-8 become U+FFFD, controls are
    // escaped (C0 as JSON spells them, C1 and bidi controls as \uNNNN).
    void String(std::string_view text);
    void Null();
    void Bool(bool value);
    void Uint(uint64_t value);
    // A whole value as this writer wrote it before (kept to be written
    // again), copied as it is.
    void RawValue(std::string_view json);
    // Ends the value with a line end; a full buffer goes out.
    void EndLine();
    // Everything written so far to the stream.
    void Flush();
    // The one value written since the last Take, handed over instead of
    // written out: a value made once, for later lines to take whole with
    // RawValue. The buffer is kept for the next value.
    void Take(std::string* value);

private:
    struct Impl;
    std::unique_ptr<Impl> Impl_;
};

}  // namespace decode
