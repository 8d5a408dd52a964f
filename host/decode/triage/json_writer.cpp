// The JSON line writer; see json_writer.h.
//
// RapidJSON and nlohmann agree on text of printable ASCII (a quote and a
// backslash escaped, '/' and DEL as they are), which is nearly all a
// report holds. They differ on the rest: RapidJSON spells a control
// \u001B where nlohmann spells it \u001b, and copies bytes that are not
// UTF-8 where nlohmann's replace handler writes U+FFFD. So a string with
// any byte outside 0x20-0x7F is dumped by nlohmann, as before, and goes
// into the line as a raw value.

// RapidJSON looks for bytes to escape 16 at a time in long strings; every
// x86-64 processor has SSE2. Only this file includes RapidJSON, so the
// writer's specialisation is the same wherever it is used.
#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif

#include "decode/triage/json_writer.h"

#include "decode/triage/terminal_text.h"

#include <nlohmann/json.hpp>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cassert>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace decode {

namespace {

// Lines go out once this many bytes have gathered (or on Flush): large
// writes, from a buffer of at most this and one line more.
constexpr size_t FlushBytes = size_t{1} << 20;

enum class TextKind {
    Verbatim,  // printable ASCII and DEL, nothing to escape
    Escaped,   // as Verbatim, with a quote or a backslash
    Other,     // a control, or a byte of 0x80 and above
};

// Tests over the 8 bytes of a word at once, exact for "any" (a borrow
// between bytes only follows a byte that already answers).
constexpr uint64_t EveryByte(uint8_t byte)
{
    return 0x0101010101010101ull * byte;
}
// A byte below 0x20, or of 0x80 and above.
bool AnyControlOrHigh(uint64_t word)
{
    return ((((word - EveryByte(0x20)) & ~word) | word) & EveryByte(0x80)) != 0;
}
bool AnyZero(uint64_t word)
{
    return ((word - EveryByte(0x01)) & ~word & EveryByte(0x80)) != 0;
}
// A quote or a backslash.
bool AnyToEscape(uint64_t word)
{
    return AnyZero(word ^ EveryByte('"')) || AnyZero(word ^ EveryByte('\\'));
}

TextKind Kind(std::string_view text)
{
    const char* data = text.data();
    size_t size = text.size();
    bool other = false;
    bool escaped = false;
    // Most texts are names and hex numbers of 8 to 40 bytes: read in
    // blocks, the last one overlapping the one before, and never past the
    // end.
#if defined(__SSE2__)
    constexpr size_t Block = 16;
    if (size >= Block) {
        const __m128i space = _mm_set1_epi8(0x20);
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        __m128i others = _mm_setzero_si128();
        __m128i escapes = _mm_setzero_si128();
        auto look = [&](const char* at) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
            // Signed: a byte of 0x80 and above is below 0x20 too.
            others = _mm_or_si128(others, _mm_cmplt_epi8(bytes, space));
            __m128i toEscape = _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash));
            escapes = _mm_or_si128(escapes, toEscape);
        };
        size_t at = 0;
        for (; at + Block <= size; at += Block) {
            look(data + at);
        }
        if (at != size) {
            look(data + size - Block);
        }
        other = _mm_movemask_epi8(others) != 0;
        escaped = _mm_movemask_epi8(escapes) != 0;
        return other ? TextKind::Other : escaped ? TextKind::Escaped : TextKind::Verbatim;
    }
#endif
    constexpr size_t Word = sizeof(uint64_t);
    if (size >= Word) {
        auto look = [&](const char* at) {
            uint64_t word = 0;
            std::memcpy(&word, at, Word);
            other = other || AnyControlOrHigh(word);
            escaped = escaped || AnyToEscape(word);
        };
        size_t at = 0;
        for (; at + Word <= size; at += Word) {
            look(data + at);
        }
        if (at != size) {
            look(data + size - Word);
        }
    } else {
        for (size_t i = 0; i < size; ++i) {
            auto byte = static_cast<unsigned char>(data[i]);
            other = other || byte < 0x20 || byte >= 0x80;
            escaped = escaped || byte == '"' || byte == '\\';
        }
    }
    return other ? TextKind::Other : escaped ? TextKind::Escaped : TextKind::Verbatim;
}

// The string as nlohmann writes it, made safe as JsonSafeText makes a line.
std::string DumpedString(std::string_view text)
{
    std::string dumped =
        nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return Kind(dumped) == TextKind::Other ? JsonSafeText(dumped) : dumped;
}

// RapidJSON's writer, which keeps the commas, colons and nesting, with one
// more way to write a string: text with nothing to escape is copied in a
// block rather than a byte at a time (what a report is made of: hex
// numbers, module and file names).
class LineWriter : public rapidjson::Writer<rapidjson::StringBuffer> {
public:
    using rapidjson::Writer<rapidjson::StringBuffer>::Writer;

    void Verbatim(std::string_view text)
    {
        Prefix(rapidjson::kStringType);
        char* at = os_->Push(text.size() + 2);
        at[0] = '"';
        std::memcpy(at + 1, text.data(), text.size());
        at[text.size() + 1] = '"';
        EndValue(true);
    }

    void Raw(std::string_view json)
    {
        Prefix(rapidjson::kArrayType);  // any value but a member's name
        std::memcpy(os_->Push(json.size()), json.data(), json.size());
        EndValue(true);
    }

    void Text(std::string_view text)
    {
        switch (Kind(text)) {
        case TextKind::Verbatim:
            Verbatim(text);
            break;
        case TextKind::Escaped:
            // Lines and names are capped far below 4 GiB by the reader.
            String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
            break;
        case TextKind::Other: {
            std::string dumped = DumpedString(text);
            RawValue(dumped.data(), dumped.size(), rapidjson::kStringType);
            break;
        }
        }
    }
};

}  // namespace

bool VerbatimInJson(std::string_view text)
{
    return Kind(text) == TextKind::Verbatim;
}

struct JsonLineWriter::Impl {
    explicit Impl(std::ostream* out) : Out(out), Writer(Buffer) {}

    std::ostream* Out;  // null: values are taken, never written
    rapidjson::StringBuffer Buffer;
    LineWriter Writer;
};

JsonLineWriter::JsonLineWriter(std::ostream& out) : Impl_(std::make_unique<Impl>(&out)) {}

JsonLineWriter::JsonLineWriter() : Impl_(std::make_unique<Impl>(nullptr)) {}

JsonLineWriter::~JsonLineWriter()
{
    Flush();
}

void JsonLineWriter::StartObject()
{
    Impl_->Writer.StartObject();
}

void JsonLineWriter::EndObject()
{
    Impl_->Writer.EndObject();
}

void JsonLineWriter::StartArray()
{
    Impl_->Writer.StartArray();
}

void JsonLineWriter::EndArray()
{
    Impl_->Writer.EndArray();
}

void JsonLineWriter::Key(std::string_view name)
{
    // A member's name is written as a string value is; the writer knows
    // from where it stands that it is a name.
    Impl_->Writer.Text(name);
}

void JsonLineWriter::OwnKey(std::string_view name)
{
    assert(Kind(name) == TextKind::Verbatim);
    Impl_->Writer.Verbatim(name);
}

void JsonLineWriter::String(std::string_view text)
{
    Impl_->Writer.Text(text);
}

void JsonLineWriter::Null()
{
    Impl_->Writer.Null();
}

void JsonLineWriter::Bool(bool value)
{
    Impl_->Writer.Bool(value);
}

void JsonLineWriter::Uint(uint64_t value)
{
    Impl_->Writer.Uint64(value);
}

void JsonLineWriter::RawValue(std::string_view json)
{
    Impl_->Writer.Raw(json);
}

void JsonLineWriter::EndLine()
{
    // The writer takes one value; the next line is a value of its own.
    Impl_->Buffer.Put('\n');
    Impl_->Writer.Reset(Impl_->Buffer);
    if (Impl_->Buffer.GetSize() >= FlushBytes) {
        Flush();
    }
}

void JsonLineWriter::Flush()
{
    rapidjson::StringBuffer& buffer = Impl_->Buffer;
    if (buffer.GetSize() != 0 && Impl_->Out != nullptr) {
        Impl_->Out->write(buffer.GetString(), static_cast<std::streamsize>(buffer.GetSize()));
        buffer.Clear();
    }
}

void JsonLineWriter::Take(std::string* value)
{
    rapidjson::StringBuffer& buffer = Impl_->Buffer;
    value->assign(buffer.GetString(), buffer.GetSize());
    buffer.Clear();
    Impl_->Writer.Reset(buffer);
}

}  // namespace decode
