// The strict JSON reader: what the library would quietly take is refused
// with one line naming where, and long lists read in full.
#include "sim/strict_json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct BadDocument {
    const char* Name;
    std::string Text;
    const char* Error;  // the start of the error line
};

std::vector<BadDocument> BadDocuments()
{
    using namespace std::string_literals;
    const std::string digits310(310, '9');
    return {
        {"RepeatedKey", R"({"a": 1, "a": 2})", "a: given more than once"},
        {"RepeatedKeyInListElement", R"({"a": [{"b": 1}, {"b": 1, "c": [0, {"d": 1, "d": 1}]}]})",
         "a[1].c[1].d: given more than once"},
        {"RepeatedKeyAfterNestedObject", R"({"a": {"b": {}}, "a": 1})", "a: given more than once"},
        {"NulThenMore", "{\"a\": 1}\0{\"b\": 2}"s, "not valid JSON: a NUL byte at offset 8"},
        {"NulInsideString", "{\"a\": \"x\0y\"}"s, "not valid JSON: a NUL byte at offset 8"},
        {"ExponentBeyondDouble", R"({"description": 1e309})", "description: the number 1e309 is too large"},
        {"NegativeBeyondDouble", R"({"a": [0, -1e400]})", "a[1]: the number -1e400 is too large"},
        {"IntegerOf310Digits", R"({"a": {"b": )" + digits310 + "}}",
         "a.b: the number 9999999999999999999999999999999999999999999999999999999999999999... "
         "is too large"},
        {"TopLevelNumberBeyondDouble", "1e999", "document: the number 1e999 is too large"},
        // The path of a deeply nested value is built once, not level by level.
        {"DeeplyNestedNumberBeyondDouble",
         R"({"a": )" + std::string(200000, '[') + "1e999" + std::string(200000, ']') + "}",
         "a[0][0][0]"},
        {"Truncated", R"({"a": [)", "not valid JSON: [json.exception.parse_error"},
        {"TrailingText", R"({} x)", "not valid JSON: [json.exception.parse_error"},
    };
}

class BadDocumentTest : public ::testing::TestWithParam<BadDocument> {};

TEST_P(BadDocumentTest, IsRefusedWithOneLine)
{
    nlohmann::json document;
    std::string error;
    ASSERT_FALSE(sim::ParseStrictJson(GetParam().Text, &document, &error));
    EXPECT_EQ(error.rfind(GetParam().Error, 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Parse, BadDocumentTest, ::testing::ValuesIn(BadDocuments()),
                         [](const auto& info) { return std::string(info.param.Name); });

// Reads {"items": [...]} as a list of objects with one key each.
std::vector<uint64_t> ReadItems(const nlohmann::json& document)
{
    sim::JsonObject top(sim::JsonValue(document, "", "doc"));
    std::vector<uint64_t> values;
    for (const sim::JsonValue& item : top.Require("items").List()) {
        sim::JsonObject object(item);
        values.push_back(object.Require("n").Unsigned(UINT64_MAX));
        object.RejectUnknownKeys();
    }
    top.RejectUnknownKeys();
    return values;
}

// The library's filtering parser rescanned a list at the end of each of its
// objects; a long list must still come back whole and in order.
TEST(StrictJsonTest, LongListOfObjectsReadsWhole)
{
    constexpr size_t Count = 100000;
    std::string text = R"({"items": [)";
    for (size_t i = 0; i < Count; ++i) {
        text += (i == 0 ? "" : ",") + std::string(R"({"n": )") + std::to_string(i) + "}";
    }
    text += "]}";
    nlohmann::json document;
    std::string error;
    ASSERT_TRUE(sim::ParseStrictJson(text, &document, &error)) << error;
    std::vector<uint64_t> values = ReadItems(document);
    ASSERT_EQ(values.size(), Count);
    for (size_t i = 0; i < Count; i += 9973) {
        EXPECT_EQ(values[i], i);
    }
    EXPECT_EQ(values.back(), Count - 1);
}

struct BadRead {
    const char* Name;
    const char* Text;
    const char* Error;
};

class BadReadTest : public ::testing::TestWithParam<BadRead> {};

TEST_P(BadReadTest, NamesThePath)
{
    nlohmann::json document;
    std::string error;
    ASSERT_TRUE(sim::ParseStrictJson(GetParam().Text, &document, &error)) << error;
    try {
        ReadItems(document);
        FAIL() << "read";
    } catch (const sim::JsonError& invalid) {
        EXPECT_STREQ(invalid.what(), GetParam().Error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Read, BadReadTest,
    ::testing::Values(
        BadRead{"NotAnObject", "[]", "doc: expected an object"},
        BadRead{"Missing", "{}", "items: missing"},
        BadRead{"NotAList", R"({"items": 1})", "items: expected a list"},
        BadRead{"UnknownKey", R"({"items": [{"n": 1, "m": 2}]})", "items[0].m: unknown key"},
        BadRead{"UnknownTopKey", R"({"items": [], "x": null})", "x: unknown key"},
        BadRead{"WrongType", R"({"items": [{"n": 1}, {"n": true}]})",
                "items[1].n: expected an integer from 0 to 18446744073709551615 (a number, or a "
                "string such as \"0x1F\")"},
        // A key is shown escaped and cut, never raw.
        BadRead{"KeyWithControlBytes", "{\"items\": [], \"a\\nb\\u001b[2J\": 0}",
                "a\\nb\\x1B[2J: unknown key"},
        BadRead{"LongKey",
                R"({"items": [], "kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk": 0})",
                "kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk...: unknown key"}),
    [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
