// The crash report's stack walk over arbitrary stack bytes and unwind data:
// it reads no stack word outside the resident stack, never loops (the walk
// returns, with at most 20 frame lines) and never ends the report's
// section with a fault the model would catch.
//
// Input: flags (byte 0: which of the two stack pages is resident), the
// start RIP's offset into the image's code and RSP's offset into the stack
// (two bytes each), the lengths of the code and the unwind data (two bytes
// each), then the code, the unwind data and the stack bytes. The image has
// one function over its whole code, described by that unwind data.
#include "model/address_space.h"
#include "model/image_registry.h"
#include "model/machine.h"
#include "model/uart16550.h"

#include "console/serial_console.h"
#include "modules/module_map.h"
#include "report/context_stack.h"
#include "synthetic_pe.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Where the registry may lay an image out in host memory.
constexpr uint64_t ImageBase = model::ScenarioImageRegion + 0x70000000ull;
constexpr uint32_t DirectoryRva = 0x800;
constexpr uint32_t CodeRva = 0x1000;
constexpr uint32_t InfoRva = 0x1800;
constexpr uint32_t ImageSize = 0x2000;
constexpr size_t PageBytes = 4096;
constexpr size_t StackPages = 2;
constexpr size_t HeaderSize = 9;

uint16_t Read16(const uint8_t* data)
{
    return static_cast<uint16_t>(data[0] | (data[1] << 8));
}

void Check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "context_stack_fuzzer: %s\n", what);
        for (const std::string& violation : model::Violations()) {
            std::fprintf(stderr, "  violation: %s\n", violation.c_str());
        }
        std::abort();
    }
}

std::vector<uint8_t> Image(const uint8_t* code, size_t codeSize, const uint8_t* info,
                           size_t infoSize)
{
    std::vector<uint8_t> image(ImageSize, 0);
    vektest::PutPeHeaders(image, DirectoryRva, sizeof(RUNTIME_FUNCTION));
    RUNTIME_FUNCTION entry = {CodeRva, static_cast<ULONG>(CodeRva + (codeSize == 0 ? 1 : codeSize)),
                              InfoRva};
    std::memcpy(&image[DirectoryRva], &entry, sizeof(entry));
    std::memcpy(&image[CodeRva], code, codeSize);
    std::memcpy(&image[InfoRva], info, infoSize);
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < HeaderSize) {
        return 0;
    }
    const uint8_t flags = data[0];
    const uint16_t ripOffset = Read16(data + 1);
    const uint16_t rspOffset = Read16(data + 3);
    const size_t codeSize = std::min<size_t>(Read16(data + 5), InfoRva - CodeRva);
    const size_t infoSize = std::min<size_t>(Read16(data + 7), ImageSize - InfoRva);
    data += HeaderSize;
    size -= HeaderSize;
    if (size < codeSize + infoSize) {
        return 0;
    }
    const uint8_t* code = data;
    const uint8_t* info = data + codeSize;
    const uint8_t* stackBytes = info + infoSize;
    size_t stackSize = std::min(size - codeSize - infoSize, StackPages * PageBytes);

    model::MachineConfig config;
    model::ResetMachine(config);
    model::UartAt(0).SetLogging(false);
    ConsolePort = ConsolePortRecord{};
    ConsolePort.Base = 0x3F8;
    ConsolePort.Mode = ConsolePortIo;
    ModuleMap = ModuleMapRecord{};
    ModuleMap.Entries.Flink = ModuleMap.Entries.Blink = &ModuleMap.Entries;
    ModuleMap.Cursor = &ModuleMap.Entries;

    model::ImageDescription description;
    description.Name = "fuzzed.sys";
    description.Base = ImageBase;
    description.Size = ImageSize;
    description.OwnedBytes = Image(code, codeSize, info, infoSize);
    std::string error;
    model::ImageRegistration image = model::RegisterImage(std::move(description), &error);
    Check(image.Registered(), error.c_str());

    // Two pages of stack, each resident or not as the input says.
    void* block = std::aligned_alloc(PageBytes, StackPages * PageBytes);
    std::memset(block, 0, StackPages * PageBytes);
    std::memcpy(block, stackBytes, stackSize);
    const auto stackStart = reinterpret_cast<uintptr_t>(block);
    std::vector<model::MemoryRangeId> ranges;
    for (size_t page = 0; page < StackPages; ++page) {
        bool resident = (flags & (1u << page)) == 0;
        ranges.push_back(model::EnterMemory({stackStart + page * PageBytes, PageBytes,
                                             model::MemoryKind::Ram, true, resident, "stack"},
                                            model::MemoryOwner::Host));
    }

    CONTEXT context = {};
    context.Rip = (flags & 0x4) != 0 ? ImageBase + CodeRva + ripOffset % (codeSize + 1)
                                     : ImageBase + ripOffset;
    context.Rsp = stackStart + rspOffset % (StackPages * PageBytes);
    KIRQL previous = KfRaiseIrql(HIGH_LEVEL);
    PrintContextAndStack(&context);
    KeLowerIrql(previous);

    // Every frame's four words lay in valid memory, which the stack's
    // paged-out page is not.
    std::istringstream console(model::ConsoleBytes());
    std::string line;
    size_t frames = 0;
    bool inStack = false;
    while (std::getline(console, line)) {
        if (line == "STACK:") {
            inStack = true;
            continue;
        }
        if (!inStack) {
            continue;
        }
        ++frames;
        uint64_t at = std::stoull(line.substr(0, 16), nullptr, 16);
        for (uint64_t word = at; word < at + 32; word += 8) {
            Check(model::AddressValid(static_cast<uintptr_t>(word)), "a stack word outside valid memory");
        }
    }
    Check(inStack && frames <= MaxStackFrames, "no trace, or more than 20 frames");
    Check(model::Violations().empty(), "a violation");

    for (model::MemoryRangeId id : ranges) {
        model::RemoveMemory(id);
    }
    std::free(block);
    return 0;
}
