// Mapped PE32+ images built byte by byte, with any field damaged, for the
// tests and the fuzzer of the image identity reader. Pages are real host
// memory entered in the model's address space one by one, each resident or
// not, as MmIsAddressValid then answers.
#pragma once

#include "model/address_space.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace vektest {

constexpr size_t SyntheticPageSize = 4096;

// Offsets the loader gives a PE32+ image's headers.
constexpr uint32_t SyntheticNtOffset = 0x80;
constexpr uint32_t NtTimeDateStamp = 8;
constexpr uint32_t NtCheckSum = 88;
constexpr uint32_t NtDebugRva = 184;
constexpr uint32_t NtDebugSize = 188;

// The headers of a PE32+ image, as far as the unwinding routines read them:
// DOS header, PE signature, file header and an optional header whose
// exception directory is (rva, size).
inline void PutPeHeaders(std::vector<uint8_t>& image, uint32_t exceptionRva, uint32_t exceptionSize)
{
    auto put16 = [&](size_t at, uint16_t value) { std::memcpy(&image[at], &value, 2); };
    auto put32 = [&](size_t at, uint32_t value) { std::memcpy(&image[at], &value, 4); };
    constexpr size_t Nt = 0x80;
    constexpr size_t Optional = Nt + 24;
    put16(0, 0x5A4D);
    put32(0x3C, Nt);
    put32(Nt, 0x00004550);
    put16(Nt + 4, 0x8664);
    put16(Nt + 20, 0xF0);
    put16(Optional, 0x20B);
    put32(Optional + 108, 16);
    put32(Optional + 112 + 3 * 8, exceptionRva);
    put32(Optional + 112 + 3 * 8 + 4, exceptionSize);
}

class SyntheticImage {
public:
    explicit SyntheticImage(size_t pages)
        : pages_(pages),
          bytes_(static_cast<uint8_t*>(std::aligned_alloc(SyntheticPageSize,
                                                          pages * SyntheticPageSize))),
          resident_(pages, true)
    {
        std::memset(bytes_, 0, pages * SyntheticPageSize);
    }
    ~SyntheticImage()
    {
        Leave();
        std::free(bytes_);
    }
    SyntheticImage(const SyntheticImage&) = delete;
    SyntheticImage& operator=(const SyntheticImage&) = delete;

    uint8_t* Bytes() { return bytes_; }
    uintptr_t Base() const { return reinterpret_cast<uintptr_t>(bytes_); }
    size_t Size() const { return pages_ * SyntheticPageSize; }

    void Put16(size_t offset, uint16_t value) { std::memcpy(bytes_ + offset, &value, 2); }
    void Put32(size_t offset, uint32_t value) { std::memcpy(bytes_ + offset, &value, 4); }
    void PutBytes(size_t offset, const void* data, size_t size)
    {
        std::memcpy(bytes_ + offset, data, size);
    }

    // 'MZ', e_lfanew, 'PE', time stamp and checksum.
    void WriteHeaders(uint32_t timeDateStamp, uint32_t checkSum,
                      uint32_t ntOffset = SyntheticNtOffset)
    {
        Put16(0, 0x5A4D);
        Put32(0x3C, ntOffset);
        Put32(ntOffset, 0x00004550);
        Put32(ntOffset + NtTimeDateStamp, timeDateStamp);
        Put32(ntOffset + NtCheckSum, checkSum);
    }

    void WriteDebugDirectory(uint32_t rva, uint32_t size, uint32_t ntOffset = SyntheticNtOffset)
    {
        Put32(ntOffset + NtDebugRva, rva);
        Put32(ntOffset + NtDebugSize, size);
    }

    // One 28-byte debug directory entry.
    void WriteDebugEntry(uint32_t at, uint32_t type, uint32_t rawDataRva)
    {
        Put32(at + 12, type);
        Put32(at + 20, rawDataRva);
    }

    // An 'RSDS' record: GUID bytes, age, then the path as given (its
    // terminator included when the string carries one).
    void WriteCodeView(uint32_t at, const uint8_t (&guid)[16], uint32_t age,
                       const std::string& path)
    {
        std::memcpy(bytes_ + at, "RSDS", 4);
        std::memcpy(bytes_ + at + 4, guid, 16);
        Put32(at + 20, age);
        std::memcpy(bytes_ + at + 24, path.data(), path.size());
    }

    void SetResident(size_t page, bool resident) { resident_[page] = resident; }

    // Enters every page in the model's address space; call after the
    // machine is started.
    void Enter()
    {
        Leave();
        for (size_t page = 0; page < pages_; ++page) {
            model::MemoryRange range;
            range.Start = Base() + page * SyntheticPageSize;
            range.Size = SyntheticPageSize;
            range.Writable = false;
            range.Resident = resident_[page];
            range.What = "synthetic image";
            ids_.push_back(model::EnterMemory(range, model::MemoryOwner::Host));
        }
    }

    void Leave()
    {
        for (model::MemoryRangeId id : ids_) {
            model::RemoveMemory(id);
        }
        ids_.clear();
    }

private:
    size_t pages_;
    uint8_t* bytes_;
    std::vector<bool> resident_;
    std::vector<model::MemoryRangeId> ids_;
};

}  // namespace vektest
