// A hand-made image and stack for unwinder tests: unwind data, code and
// stack words placed at chosen addresses, read through the unwinder's own
// reader interface.
#pragma once

#include "model/unwind.h"
#include "synthetic_pe.h"

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace vektest {

constexpr uint64_t SyntheticBase = 0x140000000ull;
constexpr uint64_t SyntheticSize = 0x8000;
constexpr uint64_t StackLow = 0x7FF00000ull;
constexpr uint64_t StackBytes = 0x20000;
// The stack pointer each case starts from, with room below for frames.
constexpr uint64_t S = StackLow + 0x100;

// An unwind code slot: prolog offset, operation, operation info.
constexpr uint16_t Slot(uint8_t offset, model::unwind::Op op, uint8_t info)
{
    return static_cast<uint16_t>(offset | (static_cast<unsigned>(op) << 8) | (info << 12));
}

// A raw slot holding an operand.
constexpr uint16_t Operand(uint16_t value)
{
    return value;
}

// UNWIND_INFO bytes: header, slots padded to an even count, then trailer
// words (handler RVA and data, or a chained entry).
inline std::vector<uint8_t> UnwindInfoBytes(uint8_t flags, uint8_t prolog, uint8_t frameRegister,
                                            uint8_t frameOffset, std::vector<uint16_t> slots,
                                            std::vector<uint32_t> trailer = {}, uint8_t version = 1)
{
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(version | (flags << 3)), prolog,
                                  static_cast<uint8_t>(slots.size()),
                                  static_cast<uint8_t>(frameRegister | (frameOffset << 4))};
    if (slots.size() % 2 != 0) {
        slots.push_back(0);
    }
    for (uint16_t slot : slots) {
        bytes.push_back(static_cast<uint8_t>(slot));
        bytes.push_back(static_cast<uint8_t>(slot >> 8));
    }
    for (uint32_t word : trailer) {
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(static_cast<uint8_t>(word >> (8 * i)));
        }
    }
    return bytes;
}

class SyntheticMemory {
public:
    SyntheticMemory() : image_(SyntheticSize, 0), stack_(StackBytes, 0) {}

    void Put(uint32_t rva, const std::vector<uint8_t>& bytes)
    {
        std::copy(bytes.begin(), bytes.end(), image_.begin() + rva);
    }
    void PutEntry(uint32_t rva, RUNTIME_FUNCTION entry) { std::memcpy(image_.data() + rva, &entry, sizeof(entry)); }
    void PutWord(uint64_t address, uint64_t value)
    {
        std::memcpy(stack_.data() + (address - StackLow), &value, sizeof(value));
    }

    const model::unwind::MemoryReader& Reader() const { return reader_; }
    std::vector<uint8_t>& Image() { return image_; }

private:
    std::vector<uint8_t> image_;
    std::vector<uint8_t> stack_;
    model::unwind::SpanReader imageReader_{SyntheticBase, image_.data(), SyntheticSize};
    model::unwind::SpanReader stackReader_{StackLow, stack_.data(), StackBytes};
    model::unwind::ChainReader reader_{{&imageReader_, &stackReader_}};
};

}  // namespace vektest
