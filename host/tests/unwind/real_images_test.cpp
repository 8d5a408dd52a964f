// The unwind data of the real images as the model reads it, against
// llvm-readobj's reading of the same files: for every RUNTIME_FUNCTION of
// the shipped driver and of every fixture image, the same prolog size,
// frame register and offset, handler, and unwind codes.
#include "model/image_registry.h"
#include "model/unwind.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace vektest {
namespace {

using model::unwind::Op;

const char* const RegisterNames[16] = {"RAX", "RCX", "RDX", "RBX", "RSP", "RBP", "RSI", "RDI",
                                       "R8",  "R9",  "R10", "R11", "R12", "R13", "R14", "R15"};

std::string Hex(uint64_t value, int width = 0)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%0*llX", width, static_cast<unsigned long long>(value));
    return text;
}

// One code as llvm-readobj prints it.
std::string CodeText(const model::unwind::Code& code, const model::unwind::UnwindInfo& info)
{
    std::string text = Hex(code.CodeOffset, 2) + ": ";
    const std::string reg = RegisterNames[code.OpInfo & 15];
    switch (code.Operation) {
    case Op::PushNonvol: return text + "PUSH_NONVOL reg=" + reg;
    case Op::AllocLarge: return text + "ALLOC_LARGE size=" + std::to_string(code.Value);
    case Op::AllocSmall: return text + "ALLOC_SMALL size=" + std::to_string(code.Value);
    case Op::SetFpreg:
        return text + "SET_FPREG reg=" + RegisterNames[info.FrameRegister] +
               ", offset=" + Hex(info.FrameOffset * 16u);
    case Op::SaveNonvol: return text + "SAVE_NONVOL reg=" + reg + ", offset=" + Hex(code.Value);
    case Op::SaveNonvolFar:
        return text + "SAVE_NONVOL_FAR reg=" + reg + ", offset=" + Hex(code.Value);
    case Op::SaveXmm128:
        return text + "SAVE_XMM128 reg=XMM" + std::to_string(code.OpInfo) + ", offset=" + Hex(code.Value);
    case Op::SaveXmm128Far:
        return text + "SAVE_XMM128_FAR reg=XMM" + std::to_string(code.OpInfo) +
               ", offset=" + Hex(code.Value);
    case Op::PushMachframe:
        return text + "PUSH_MACHFRAME errcode=" + (code.OpInfo != 0 ? "yes" : "no");
    default: return text + "?";
    }
}

// What the model reads: one block of lines per RUNTIME_FUNCTION.
std::vector<std::string> ModelView(const std::string& path, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (data.size() < 0x40) {
        *error = "cannot read " + path;
        return {};
    }
    // Laid out at its preferred base, so addresses read as llvm-readobj
    // prints them.
    uint32_t nt = 0;
    uint64_t preferred = 0;
    std::memcpy(&nt, &data[0x3C], 4);
    std::memcpy(&preferred, &data[nt + 24 + 24], 8);
    std::vector<uint8_t> bytes;
    if (!model::MapImageData(data, preferred, &bytes, error)) {
        return {};
    }
    model::unwind::SpanReader memory(preferred, bytes.data(), bytes.size());
    uint32_t rva = 0;
    uint32_t size = 0;
    if (!model::unwind::ReadExceptionDirectory(memory, preferred, &rva, &size)) {
        *error = path + " has no exception directory";
        return {};
    }
    std::vector<std::string> blocks;
    for (uint32_t at = rva; at + sizeof(RUNTIME_FUNCTION) <= rva + size; at += sizeof(RUNTIME_FUNCTION)) {
        RUNTIME_FUNCTION entry;
        std::memcpy(&entry, &bytes[at], sizeof(entry));
        model::unwind::UnwindInfo info;
        std::ostringstream block;
        block << "start " << Hex(preferred + entry.BeginAddress) << " end "
              << Hex(preferred + entry.EndAddress) << "\n";
        if (model::unwind::ReadUnwindInfo(memory, preferred + entry.UnwindData, &info) !=
            model::unwind::Status::Ok) {
            block << "unreadable\n";
            blocks.push_back(block.str());
            continue;
        }
        block << "version " << unsigned{info.Version} << " flags " << Hex(info.Flags) << " prolog "
              << unsigned{info.SizeOfProlog} << " frame "
              << (info.FrameRegister != 0 ? RegisterNames[info.FrameRegister] : "-") << " offset "
              << (info.FrameRegister != 0 ? Hex(info.FrameOffset) : "-") << " slots "
              << unsigned{info.CountOfCodes} << "\n";
        for (const model::unwind::Code& code : info.Codes) {
            block << CodeText(code, info) << "\n";
        }
        if ((info.Flags & (UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER)) != 0 &&
            (info.Flags & UNW_FLAG_CHAININFO) == 0) {
            block << "handler " << Hex(preferred + info.HandlerRva) << "\n";
        }
        blocks.push_back(block.str());
    }
    return blocks;
}

// What llvm-readobj reads, in the same form.
std::vector<std::string> ReadobjView(const std::string& path, std::string* error)
{
    std::string command = std::string(VEK_LLVM_READOBJ) + " --unwind '" + path + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *error = "cannot run " + command;
        return {};
    }
    std::string output;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
        output.append(buffer, got);
    }
    if (pclose(pipe) != 0) {
        *error = command + " failed: " + output;
        return {};
    }

    static const std::regex address(R"(\((0x[0-9A-F]+)\))");
    static const std::regex code(R"(^\s+(0x[0-9A-F]{2}: .*)$)");
    auto field = [](const std::string& line, const char* name, std::string* value) {
        size_t at = line.find(name);
        if (at == std::string::npos) {
            return false;
        }
        *value = line.substr(at + std::strlen(name));
        return true;
    };
    std::vector<std::string> blocks;
    std::ostringstream block;
    std::string start, end, version, flags, prolog, frame, offset, count, handler;
    std::vector<std::string> codes;
    auto finish = [&] {
        if (start.empty()) {
            return;
        }
        block.str("");
        block << "start " << start << " end " << end << "\n";
        block << "version " << version << " flags " << flags << " prolog " << prolog << " frame "
              << frame << " offset " << offset << " slots " << count << "\n";
        for (const std::string& line : codes) {
            block << line << "\n";
        }
        if (!handler.empty()) {
            block << "handler " << handler << "\n";
        }
        blocks.push_back(block.str());
        start.clear();
        handler.clear();
        codes.clear();
    };
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::string value;
        std::smatch match;
        if (line.find("RuntimeFunction {") != std::string::npos) {
            finish();
        } else if (field(line, "StartAddress: ", &value) && std::regex_search(value, match, address)) {
            start = match[1];
        } else if (field(line, "EndAddress: ", &value) && std::regex_search(value, match, address)) {
            end = match[1];
        } else if (field(line, "Version: ", &value)) {
            version = value;
        } else if (field(line, "Flags [ (", &value)) {
            flags = value.substr(0, value.find(')'));
        } else if (field(line, "PrologSize: ", &value)) {
            prolog = value;
        } else if (field(line, "FrameRegister: ", &value)) {
            frame = value.substr(0, value.find(' '));
        } else if (field(line, "FrameOffset: ", &value)) {
            offset = value;
        } else if (field(line, "UnwindCodeCount: ", &value)) {
            count = value;
        } else if (field(line, "Handler: ", &value) && std::regex_search(value, match, address)) {
            handler = match[1];
        } else if (std::regex_match(line, match, code)) {
            codes.push_back(match[1]);
        }
    }
    finish();
    return blocks;
}

std::vector<std::string> RealImages()
{
    std::vector<std::string> images = {VEK_SYS_IMAGE, VEK_GATE_FIXTURE, VEK_KERNEL_IMAGE};
    std::vector<std::string> fixtures;
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(VEK_FIXTURE_DIR, missing)) {
        if (entry.path().extension() == ".sys" && entry.path().stem() != "damaged") {
            fixtures.push_back(entry.path().string());
        }
    }
    std::sort(fixtures.begin(), fixtures.end());
    images.insert(images.end(), fixtures.begin(), fixtures.end());
    return images;
}

class RealImage : public ::testing::TestWithParam<std::string> {};

TEST_P(RealImage, EveryFunctionsUnwindDataReadsAsLlvmReadobjReadsIt)
{
    std::string error;
    std::vector<std::string> expected = ReadobjView(GetParam(), &error);
    ASSERT_TRUE(error.empty()) << error;
    std::vector<std::string> actual = ModelView(GetParam(), &error);
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_FALSE(expected.empty()) << "llvm-readobj found no unwind data in " << GetParam();
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actual[i], expected[i]) << "function " << i << " of " << GetParam();
    }
}

INSTANTIATE_TEST_SUITE_P(BuiltImages, RealImage, ::testing::ValuesIn(RealImages()),
                         [](const auto& info) {
                             std::string name = std::filesystem::path(info.param).stem().string();
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

}  // namespace
}  // namespace vektest
