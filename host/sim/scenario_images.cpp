// Image objects of a scenario (scenario_images.h).
#include "sim/scenario_images.h"

#include <algorithm>
#include <cctype>
#include <memory>

namespace sim {

namespace {

constexpr size_t MaxPath = 4000;
constexpr size_t GuidTextLength = 36;

// A path of plain ASCII and Latin-1 characters (U+0001 to U+00FF), as
// 8-bit bytes: the module list's FullPathName holds bytes, and the load
// notification widens each to a UTF-16 unit.
std::string ReadPath(const JsonValue& value)
{
    std::string text = value.String();
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            bytes.push_back(static_cast<char>(c));
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
            auto next = static_cast<unsigned char>(text[++i]);
            bytes.push_back(static_cast<char>(((c & 0x03) << 6) | (next & 0x3F)));
        } else {
            value.Fail("expected characters from U+0001 to U+00FF only");
        }
    }
    if (bytes.empty() || bytes.size() > MaxPath) {
        value.Fail("expected from 1 to " + std::to_string(MaxPath) + " characters");
    }
    return bytes;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// "01234567-89AB-CDEF-0123-456789ABCDEF", stored as the CodeView record
// holds it: Data1, Data2, Data3 little-endian, then Data4's eight bytes.
void ReadGuid(const JsonValue& value, uint8_t (&guid)[16])
{
    const char* expected = "expected a GUID as 01234567-89AB-CDEF-0123-456789ABCDEF";
    std::string text = value.String();
    if (text.size() != GuidTextLength || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-') {
        value.Fail(expected);
    }
    std::string digits;
    for (char c : text) {
        if (c != '-') {
            digits.push_back(c);
        }
    }
    uint8_t bytes[16];
    for (size_t i = 0; i < 16; ++i) {
        int high = HexDigit(digits[2 * i]);
        int low = HexDigit(digits[2 * i + 1]);
        if (high < 0 || low < 0) {
            value.Fail(expected);
        }
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    // Text order is big-endian for the first three fields.
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (size_t i = 0; i < 16; ++i) {
        guid[i] = bytes[order[i]];
    }
}

model::ImageDamage ReadDamage(const JsonValue& value)
{
    std::string damage = value.Choice({"none", "no-mz", "no-pe-signature", "no-debug-directory",
                                       "no-codeview", "truncated-codeview"});
    return damage == "no-mz"                ? model::ImageDamage::NoMz
           : damage == "no-pe-signature"    ? model::ImageDamage::NoPeSignature
           : damage == "no-debug-directory" ? model::ImageDamage::NoDebugDirectory
           : damage == "no-codeview"        ? model::ImageDamage::NoCodeView
           : damage == "truncated-codeview" ? model::ImageDamage::TruncatedCodeView
                                            : model::ImageDamage::None;
}

}  // namespace

model::ImageSpec ReadImage(JsonObject& reader, const JsonValue& value, bool zeroSize)
{
    model::ImageSpec image;
    image.Path = ReadPath(reader.Require("path"));
    JsonValue offset = reader.Require("offset");
    image.Offset = offset.Unsigned(model::ScenarioImageRegionSize - model::ImagePageSize);
    if (image.Offset % model::ImagePageSize != 0) {
        offset.Fail("expected a multiple of 4096 (0x1000)");
    }
    JsonValue field = value;
    const char* synthetic[] = {"size", "pdb_path", "guid", "age", "time_stamp",
                               "checksum", "e_lfanew", "damage", "codeview_rva"};
    if (reader.Find("file", &field)) {
        for (const char* key : synthetic) {
            JsonValue other = value;
            if (reader.Find(key, &other)) {
                other.Fail("an image from a file takes its headers from the file");
            }
        }
        image.File = field.String();
        auto bytes = std::make_shared<std::vector<uint8_t>>();
        std::string error;
        if (!model::MapImageFile(image.File, image.Base(),
                                 model::ScenarioImageRegionSize - image.Offset, bytes.get(),
                                 &image.Size, &error)) {
            field.Fail(error);
        }
        image.Mapped = std::move(bytes);
    } else {
        JsonValue size = reader.Require("size");
        image.Size = size.Unsigned(model::ScenarioImageRegionSize, zeroSize ? 0 : 1);
        model::SyntheticIdentity& identity = image.Identity;
        if (reader.Find("pdb_path", &field)) {
            identity.PdbPath = field.String();
            if (identity.PdbPath.size() > model::MaxSyntheticPdbPath) {
                field.Fail("expected at most " + std::to_string(model::MaxSyntheticPdbPath) +
                           " bytes");
            }
            if (identity.PdbPath.find('\0') != std::string::npos) {
                field.Fail("expected no NUL character");
            }
        }
        if (reader.Find("guid", &field)) {
            ReadGuid(field, identity.Guid);
        }
        if (reader.Find("age", &field)) {
            identity.Age = static_cast<uint32_t>(field.Unsigned(UINT32_MAX));
        }
        if (reader.Find("time_stamp", &field)) {
            identity.TimeStamp = static_cast<uint32_t>(field.Unsigned(UINT32_MAX));
        }
        if (reader.Find("checksum", &field)) {
            identity.CheckSum = static_cast<uint32_t>(field.Unsigned(UINT32_MAX));
        }
        if (reader.Find("e_lfanew", &field)) {
            identity.NewHeaderOffset = static_cast<int32_t>(field.Unsigned(UINT32_MAX));
        }
        if (reader.Find("damage", &field)) {
            identity.Damage = ReadDamage(field);
        }
        if (reader.Find("codeview_rva", &field)) {
            // The whole record lies in the image, past the debug directory.
            const uint64_t imageBytes =
                std::max((image.Size + model::ImagePageSize - 1) / model::ImagePageSize,
                         uint64_t{1}) * model::ImagePageSize;
            const uint64_t record =
                model::SyntheticCodeViewHeaderSize + identity.PdbPath.size() + 1;
            // The longest path still leaves a page room for the record.
            static_assert(model::MinSyntheticCodeViewRva + model::SyntheticCodeViewHeaderSize +
                              model::MaxSyntheticPdbPath + 1 <= model::ImagePageSize);
            const uint64_t highest = imageBytes - record;
            identity.CodeViewRva =
                static_cast<uint32_t>(field.Unsigned(highest, model::MinSyntheticCodeViewRva));
        }
    }
    const uint64_t pages = (image.Size + model::ImagePageSize - 1) / model::ImagePageSize;
    if (image.Offset + pages * model::ImagePageSize > model::ScenarioImageRegionSize) {
        offset.Fail("the image runs past the end of the image region (4 GiB)");
    }
    if (reader.Find("non_resident_pages", &field)) {
        for (const JsonValue& page : field.List("expected a list of page numbers")) {
            image.NonResidentPages.push_back(page.Unsigned(pages == 0 ? 0 : pages - 1));
        }
    }
    return image;
}

model::ImageLoad ReadImageLoad(const JsonValue& value, const model::MachineConfig& machine)
{
    JsonObject reader(value);
    model::ImageLoad load;
    load.Image = ReadImage(reader, value, true);
    JsonValue field = value;
    if (reader.Find("mode", &field)) {
        load.UserMode = field.Choice({"kernel", "user"}) == "user";
    }
    if (reader.Find("unnamed", &field)) {
        load.Unnamed = field.Bool();
    }
    if (reader.Find("process_id", &field)) {
        load.ProcessId = field.Unsigned(UINT64_MAX);
    }
    if (reader.Find("properties", &field)) {
        constexpr uint64_t SystemModeImage = 0x100;
        load.Properties = static_cast<ULONG>(field.Unsigned(UINT32_MAX));
        if ((load.Properties & SystemModeImage) != 0) {
            field.Fail("SystemModeImage (0x100) follows from mode; leave it out");
        }
    }
    if (reader.Find("processor", &field)) {
        load.Processor = static_cast<unsigned>(field.Unsigned(machine.Processors - 1));
    }
    reader.RejectUnknownKeys();
    return load;
}

void CheckImagesApart(const std::vector<std::pair<model::ImageSpec, JsonValue>>& images)
{
    auto end = [](const model::ImageSpec& image) {
        uint64_t pages = (image.Size + model::ImagePageSize - 1) / model::ImagePageSize;
        return image.Offset + std::max<uint64_t>(pages, 1) * model::ImagePageSize;
    };
    for (size_t i = 0; i < images.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            const model::ImageSpec& a = images[i].first;
            const model::ImageSpec& b = images[j].first;
            if (a.Offset < end(b) && b.Offset < end(a)) {
                images[i].second.Fail("the image overlaps an earlier one");
            }
        }
    }
}

}  // namespace sim
