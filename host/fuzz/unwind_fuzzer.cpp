// The unwinder over arbitrary unwind data, code and stack: it may refuse,
// but never reads outside the memory it was given (every byte lives in a
// heap block of its exact size, so AddressSanitizer sees any overread) and
// never loops. An input starting with "MZ" is a whole image instead: laid
// out by the model's loader, then every function of its exception
// directory unwound, as the kernel's routines would.
//
// Input: handler type, control PC offset, stack slot of RSP, frames to
// walk, code length, unwind data length (two bytes each, little-endian),
// then the code, the unwind data and the stack bytes.
#include "model/image_registry.h"
#include "model/unwind.h"

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <memory>
#include <vector>

namespace {

using model::unwind::MemoryReader;
using model::unwind::SpanReader;

constexpr uint64_t ImageBase = 0x140000000ull;
constexpr uint64_t StackBase = 0x7FF00000ull;
constexpr uint32_t CodeRva = 0x1000;
constexpr uint32_t InfoRva = 0x1800;
constexpr uint32_t DirectoryRva = 0x800;
constexpr uint32_t ImageSize = 0x2000;
constexpr size_t HeaderSize = 8;
constexpr unsigned MaxFrames = 8;
constexpr uint16_t DosSignature = 0x5A4D;

uint16_t Read16(const uint8_t* data)
{
    return static_cast<uint16_t>(data[0] | (data[1] << 8));
}

// A block of exactly the bytes given, at an address.
struct Block {
    Block(uint64_t address, const uint8_t* data, size_t size)
        : bytes(new uint8_t[size == 0 ? 1 : size]), reader(address, bytes.get(), size)
    {
        if (size != 0) {
            std::memcpy(bytes.get(), data, size);
        }
    }
    std::unique_ptr<uint8_t[]> bytes;
    SpanReader reader;
};

// DOS header, PE signature, file header and the optional header as far as
// the exception directory, which holds the one entry at DirectoryRva.
void PutHeaders(std::vector<uint8_t>& image, const RUNTIME_FUNCTION& entry)
{
    auto put16 = [&](size_t at, uint16_t value) { std::memcpy(&image[at], &value, 2); };
    auto put32 = [&](size_t at, uint32_t value) { std::memcpy(&image[at], &value, 4); };
    constexpr size_t Nt = 0x80;
    constexpr size_t Optional = Nt + 24;
    put16(0, DosSignature);
    put32(0x3C, Nt);
    put32(Nt, 0x00004550);
    put16(Nt + 4, 0x8664);
    put16(Nt + 20, 0xF0);
    put16(Optional, 0x20B);
    put32(Optional + 108, 16);
    put32(Optional + 112 + 3 * 8, DirectoryRva);
    put32(Optional + 112 + 3 * 8 + 4, sizeof(RUNTIME_FUNCTION));
    std::memcpy(&image[DirectoryRva], &entry, sizeof(entry));
}

// Unwinds up to MaxFrames frames from the context, looking each one up
// in the image, the way the crash report walks.
void Walk(const MemoryReader& memory, uint64_t imageBase, uint64_t imageSize, uint32_t handlerType,
          CONTEXT context, const RUNTIME_FUNCTION* first)
{
    for (unsigned frame = 0; frame < MaxFrames; ++frame) {
        RUNTIME_FUNCTION entry;
        if (frame == 0 && first != nullptr) {
            entry = *first;
        } else {
            model::unwind::FoundEntry found;
            if (!model::unwind::LookupFunctionEntry(memory, imageBase, imageSize, context.Rip,
                                                    &found)) {
                return;
            }
            entry = found.Entry;
        }
        KNONVOLATILE_CONTEXT_POINTERS pointers = {};
        model::unwind::Result result = model::unwind::VirtualUnwind(
            memory, handlerType, imageBase, context.Rip, entry, &context, &pointers);
        if (result.Outcome != model::unwind::Status::Ok) {
            return;
        }
    }
}

void FuzzImage(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> file(data, data + size);
    std::vector<uint8_t> mapped;
    std::string error;
    // Room for images as large as the fuzzer's own inputs could describe
    // sensibly: a 4-byte SizeOfImage may claim the whole 4 GB region, and
    // zeroing that per input would only measure memset.
    constexpr uint64_t FuzzImageRoom = 16ull << 20;
    uint64_t imageSize = 0;
    if (!model::MapImageData(file.data(), file.size(), ImageBase, FuzzImageRoom, &mapped, &imageSize,
                             &error)) {
        return;
    }
    Block image(ImageBase, mapped.data(), mapped.size());
    std::vector<uint8_t> zeros(0x100, 0);
    Block stack(StackBase, zeros.data(), zeros.size());
    model::unwind::ChainReader memory({&image.reader, &stack.reader});
    uint32_t rva = 0;
    uint32_t directorySize = 0;
    if (!model::unwind::ReadExceptionDirectory(memory, ImageBase, &rva, &directorySize)) {
        return;
    }
    const uint32_t entries = directorySize / sizeof(RUNTIME_FUNCTION);
    for (uint32_t i = 0; i < entries && i < 64; ++i) {
        RUNTIME_FUNCTION entry;
        if (!memory.Read(ImageBase + rva + uint64_t{i} * sizeof(entry), &entry, sizeof(entry))) {
            return;
        }
        CONTEXT context = {};
        context.Rsp = StackBase;
        context.Rbp = StackBase + 0x40;
        context.Rip = ImageBase + entry.BeginAddress + (i % 8);
        Walk(memory, ImageBase, mapped.size(), UNW_FLAG_EHANDLER, context, &entry);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size >= 2 && Read16(data) == DosSignature) {
        FuzzImage(data, size);
        return 0;
    }
    if (size < HeaderSize) {
        return 0;
    }
    const uint32_t handlerType = data[0] & 3;
    const uint32_t pcOffset = data[1];
    const uint64_t rspSlot = data[2];
    const bool walk = (data[3] & 1) != 0;
    size_t codeSize = Read16(data + 4);
    size_t infoSize = Read16(data + 6);
    const uint8_t* rest = data + HeaderSize;
    size_t left = size - HeaderSize;
    codeSize = std::min({codeSize, left, size_t{InfoRva - CodeRva}});
    infoSize = std::min({infoSize, left - codeSize, size_t{ImageSize - InfoRva}});
    const size_t stackSize = left - codeSize - infoSize;

    // The image: headers whose exception directory names the one function,
    // the code and unwind data at their addresses, zeros around.
    std::vector<uint8_t> image(ImageSize, 0);
    PutHeaders(image, {CodeRva, static_cast<ULONG>(CodeRva + codeSize), InfoRva});
    std::memcpy(image.data() + CodeRva, rest, codeSize);
    std::memcpy(image.data() + InfoRva, rest + codeSize, infoSize);
    Block imageBlock(ImageBase, image.data(), image.size());
    Block stackBlock(StackBase, rest + codeSize + infoSize, stackSize);
    model::unwind::ChainReader memory({&imageBlock.reader, &stackBlock.reader});

    CONTEXT context = {};
    for (unsigned n = 0; n < 16; ++n) {
        // Registers pointing into the stack, so frame registers and saves
        // reach the bytes given.
        model::unwind::IntegerRegister(context, n) = StackBase + 8 * n;
    }
    context.Rsp = StackBase + 8 * rspSlot;
    context.Rip = ImageBase + CodeRva + pcOffset;
    const RUNTIME_FUNCTION function = {CodeRva, static_cast<ULONG>(CodeRva + codeSize), InfoRva};
    if (walk) {
        Walk(memory, ImageBase, ImageSize, handlerType, context, &function);
    } else {
        KNONVOLATILE_CONTEXT_POINTERS pointers = {};
        model::unwind::VirtualUnwind(memory, handlerType, ImageBase, context.Rip, function,
                                     &context, &pointers);
    }
    model::unwind::UnwindInfo info;
    model::unwind::ReadUnwindInfo(memory, ImageBase + InfoRva, &info);
    return 0;
}
