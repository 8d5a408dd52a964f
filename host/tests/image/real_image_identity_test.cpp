// Identities read from real PE images, mapped as the loader maps them, must
// say what llvm-readobj reads from the files: the project's own driver, the
// model's kernel and every fixture driver the build makes.
#include "model_test.h"
#include "synthetic_pe.h"

#include "model/image_registry.h"
#include "modules/image_identity.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace vektest {
namespace {

namespace fs = std::filesystem;

struct ReadobjIdentity {
    uint32_t TimeDateStamp = 0;
    uint32_t CheckSum = 0;
    bool CodeView = false;
    std::vector<uint8_t> Guid;
    uint32_t Age = 0;
    std::string PdbPath;
};

std::string Run(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, got);
    }
    pclose(pipe);
    return output;
}

ReadobjIdentity ReadWithReadobj(const std::string& path)
{
    std::string text =
        Run(std::string(VEK_LLVM_READOBJ) + " --file-headers --coff-debug-directory '" + path + "'");
    ReadobjIdentity identity;
    std::smatch match;
    // The file header's stamp comes first; the debug entries repeat theirs.
    if (std::regex_search(text, match, std::regex("TimeDateStamp: [^(]*\\(0x([0-9A-Fa-f]+)\\)"))) {
        identity.TimeDateStamp = static_cast<uint32_t>(std::stoul(match[1], nullptr, 16));
    }
    // llvm-readobj does not show the optional header's checksum: the
    // file's own bytes say it.
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    uint32_t newHeader = 0;
    if (bytes.size() >= 0x40) {
        std::memcpy(&newHeader, &bytes[0x3C], 4);
    }
    if (bytes.size() >= size_t{newHeader} + 92) {
        std::memcpy(&identity.CheckSum, &bytes[newHeader + 88], 4);
    }
    if (std::regex_search(text, match, std::regex("PDBGUID: \\(([0-9A-F ]+)\\)"))) {
        identity.CodeView = true;
        std::istringstream bytes(match[1].str());
        std::string byte;
        while (bytes >> byte) {
            identity.Guid.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
        }
    }
    if (std::regex_search(text, match, std::regex("PDBAge: ([0-9]+)"))) {
        identity.Age = static_cast<uint32_t>(std::stoul(match[1]));
    }
    if (std::regex_search(text, match, std::regex("PDBFileName: ([^\\n]*)"))) {
        identity.PdbPath = match[1];
    }
    return identity;
}

// What the module table shows as the PDB name: the path's last component,
// at most 255 bytes of the path used.
std::string PdbNameOf(const std::string& path)
{
    std::string used = path.substr(0, 255);
    size_t separator = used.rfind('\\');
    return separator == std::string::npos ? used : used.substr(separator + 1);
}

std::vector<std::string> BuiltImages()
{
    const fs::path build = VEK_BUILD_DIR;
    std::vector<std::string> images = {(build / "cross/vekcrashdmp.sys").string(),
                                       (build / "kernel/ntoskrnl.exe").string()};
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(build / "host/tests/runner/fixtures", error)) {
        if (entry.path().extension() == ".sys") {
            images.push_back(entry.path().string());
        }
    }
    return images;
}

class RealImageIdentityTest : public ModelTest {};

TEST_F(RealImageIdentityTest, EveryBuiltImageReadsAsLlvmReadobjReadsIt)
{
    std::vector<std::string> images = BuiltImages();
    EXPECT_GE(images.size(), 5u);
    for (const std::string& path : images) {
        SCOPED_TRACE(path);
        StartMachine();
        std::vector<uint8_t> mapped;
        uint64_t size = 0;
        std::string error;
        ASSERT_TRUE(model::MapImageFile(path, 0x140000000ull, model::ScenarioImageRegionSize,
                                        &mapped, &size, &error)) << error;
        SyntheticImage image((mapped.size() + SyntheticPageSize - 1) / SyntheticPageSize);
        image.PutBytes(0, mapped.data(), mapped.size());
        image.Enter();
        ImageIdentity identity;
        ReadImageIdentity(image.Base(), &identity);

        ReadobjIdentity expected = ReadWithReadobj(path);
        EXPECT_EQ(identity.TimeDateStamp, expected.TimeDateStamp);
        EXPECT_EQ(identity.CheckSum, expected.CheckSum);
        ASSERT_TRUE(expected.CodeView);
        const auto* guid = reinterpret_cast<const uint8_t*>(&identity.PdbGuid);
        EXPECT_EQ(std::vector<uint8_t>(guid, guid + 16), expected.Guid);
        EXPECT_EQ(identity.PdbAge, expected.Age);
        EXPECT_EQ(std::string(identity.PdbName), PdbNameOf(expected.PdbPath));
    }
}

}  // namespace
}  // namespace vektest
