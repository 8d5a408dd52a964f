// MSF (PDB 7.0) and PE readers, just far enough to find a debug identity.
// Every offset and size read from the file is checked against what was
// read before it is used.
#include "decode/symbols/symbol_files.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace decode {

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t Le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Reads `size` bytes at `offset`; false when the file is shorter.
bool ReadAt(std::ifstream& file, uint64_t offset, size_t size, Bytes* out)
{
    out->resize(size);
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    if (!file) {
        return false;
    }
    file.read(reinterpret_cast<char*>(out->data()), static_cast<std::streamsize>(size));
    return static_cast<size_t>(file.gcount()) == size;
}

// ---- PDB (MSF 7.00) ---------------------------------------------------------
constexpr char MsfMagic[] = "Microsoft C/C++ MSF 7.00\r\n\x1a" "DS\0\0";
constexpr size_t MsfMagicSize = 32;
constexpr size_t MsfHeaderSize = MsfMagicSize + 6 * 4;
constexpr uint32_t NilStream = 0xFFFFFFFF;
constexpr uint32_t InfoStream = 1;
constexpr uint32_t DbiStream = 3;
// Bounds that no real PDB reaches; a larger claim is a damaged file.
constexpr uint32_t MaxDirectoryBytes = 64u << 20;
constexpr uint32_t MaxStreams = 1u << 20;

class Msf {
public:
    explicit Msf(std::ifstream& file) : File_(file) {}

    bool Open()
    {
        Bytes header;
        if (!ReadAt(File_, 0, MsfHeaderSize, &header) ||
            std::memcmp(header.data(), MsfMagic, MsfMagicSize) != 0) {
            return false;
        }
        BlockSize_ = Le32(&header[32]);
        uint32_t directoryBytes = Le32(&header[44]);
        uint32_t blockMapBlock = Le32(&header[52]);
        if ((BlockSize_ != 512 && BlockSize_ != 1024 && BlockSize_ != 2048 && BlockSize_ != 4096) ||
            directoryBytes < 4 || directoryBytes > MaxDirectoryBytes) {
            return false;
        }
        uint32_t directoryBlocks = (directoryBytes + BlockSize_ - 1) / BlockSize_;
        if (directoryBlocks > BlockSize_ / 4) {
            return false;  // the block map holds one block of indices
        }
        Bytes map;
        if (!ReadAt(File_, static_cast<uint64_t>(blockMapBlock) * BlockSize_, directoryBlocks * 4,
                    &map)) {
            return false;
        }
        std::vector<uint32_t> blocks;
        for (uint32_t i = 0; i < directoryBlocks; ++i) {
            blocks.push_back(Le32(&map[i * 4]));
        }
        if (!ReadBlocks(blocks, directoryBytes, &Directory_)) {
            return false;
        }
        uint32_t streams = Le32(Directory_.data());
        if (streams > MaxStreams || 4 + static_cast<uint64_t>(streams) * 4 > Directory_.size()) {
            return false;
        }
        Streams_ = streams;
        return true;
    }

    // The first `want` bytes of a stream (fewer if it is shorter).
    bool ReadStream(uint32_t index, size_t want, Bytes* out)
    {
        if (index >= Streams_) {
            return false;
        }
        // Skip the sizes, then the block lists of the streams before it.
        uint64_t cursor = 4 + static_cast<uint64_t>(Streams_) * 4;
        uint32_t size = 0;
        for (uint32_t i = 0; i <= index; ++i) {
            uint32_t streamSize = Le32(&Directory_[4 + i * 4]);
            uint32_t blockCount =
                streamSize == NilStream ? 0 : (streamSize + BlockSize_ - 1) / BlockSize_;
            if (i == index) {
                size = streamSize == NilStream ? 0 : streamSize;
                break;
            }
            cursor += static_cast<uint64_t>(blockCount) * 4;
        }
        size_t length = size < want ? size : want;
        uint32_t needed = static_cast<uint32_t>((length + BlockSize_ - 1) / BlockSize_);
        if (cursor + static_cast<uint64_t>(needed) * 4 > Directory_.size()) {
            return false;
        }
        std::vector<uint32_t> blocks;
        for (uint32_t i = 0; i < needed; ++i) {
            blocks.push_back(Le32(&Directory_[cursor + i * 4]));
        }
        return ReadBlocks(blocks, length, out);
    }

private:
    bool ReadBlocks(const std::vector<uint32_t>& blocks, size_t length, Bytes* out)
    {
        out->clear();
        Bytes block;
        for (uint32_t index : blocks) {
            size_t take = length - out->size() < BlockSize_ ? length - out->size() : BlockSize_;
            if (!ReadAt(File_, static_cast<uint64_t>(index) * BlockSize_, take, &block)) {
                return false;
            }
            out->insert(out->end(), block.begin(), block.end());
        }
        return out->size() == length;
    }

    std::ifstream& File_;
    uint32_t BlockSize_ = 0;
    uint32_t Streams_ = 0;
    Bytes Directory_;
};

// ---- PE ---------------------------------------------------------------------
constexpr uint16_t PeOptionalMagic64 = 0x20B;
constexpr uint32_t DebugTypeCodeView = 2;
constexpr size_t DebugEntrySize = 28;
constexpr size_t DebugDirectoryIndex = 6;
constexpr size_t SectionHeaderSize = 40;
constexpr size_t MaxDebugEntries = 64;
constexpr size_t MaxPdbPath = 4096;

}  // namespace

std::string GuidText(const uint8_t (&bytes)[16])
{
    char text[33];
    std::snprintf(text, sizeof(text), "%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X",
                  Le32(bytes), Le16(bytes + 4), Le16(bytes + 6), bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::optional<FileIdentity> ReadPdbIdentity(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    Msf msf(file);
    Bytes info;
    // Version, signature, age, GUID.
    constexpr size_t InfoHeader = 28;
    if (!msf.Open() || !msf.ReadStream(InfoStream, InfoHeader, &info) || info.size() < InfoHeader) {
        return std::nullopt;
    }
    FileIdentity identity;
    uint8_t guid[16];
    std::memcpy(guid, &info[12], sizeof(guid));
    identity.Guid = GuidText(guid);
    identity.Age = Le32(&info[8]);
    // The DBI header: signature -1, version, then the age images carry.
    Bytes dbi;
    constexpr size_t DbiAgeEnd = 12;
    if (msf.ReadStream(DbiStream, DbiAgeEnd, &dbi) && dbi.size() == DbiAgeEnd &&
        Le32(&dbi[0]) == 0xFFFFFFFF) {
        identity.Age = Le32(&dbi[8]);
    }
    return identity;
}

std::optional<FileIdentity> ReadImageIdentity(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    Bytes dos;
    if (!file || !ReadAt(file, 0, 64, &dos) || dos[0] != 'M' || dos[1] != 'Z') {
        return std::nullopt;
    }
    uint32_t nt = Le32(&dos[60]);
    Bytes headers;
    constexpr size_t NtFixed = 4 + 20 + 112 + 16 * 8;  // signature, file header, PE32+ fields, directories
    if (!ReadAt(file, nt, NtFixed, &headers) || std::memcmp(headers.data(), "PE\0\0", 4) != 0 ||
        Le16(&headers[24]) != PeOptionalMagic64) {
        return std::nullopt;
    }
    uint16_t sections = Le16(&headers[6]);
    uint16_t optionalSize = Le16(&headers[20]);
    uint32_t directories = Le32(&headers[24 + 108]);
    if (directories <= DebugDirectoryIndex) {
        return std::nullopt;
    }
    uint32_t debugRva = Le32(&headers[24 + 112 + DebugDirectoryIndex * 8]);
    uint32_t debugSize = Le32(&headers[24 + 112 + DebugDirectoryIndex * 8 + 4]);
    Bytes table;
    if (!ReadAt(file, static_cast<uint64_t>(nt) + 24 + optionalSize,
                static_cast<size_t>(sections) * SectionHeaderSize, &table)) {
        return std::nullopt;
    }
    auto fileOffset = [&](uint32_t rva, uint64_t* offset) {
        for (size_t i = 0; i < sections; ++i) {
            const uint8_t* s = &table[i * SectionHeaderSize];
            uint32_t virtualAddress = Le32(s + 12);
            uint32_t rawSize = Le32(s + 16);
            if (rva >= virtualAddress && rva - virtualAddress < rawSize) {
                *offset = static_cast<uint64_t>(Le32(s + 20)) + (rva - virtualAddress);
                return true;
            }
        }
        return false;
    };
    uint64_t debugOffset = 0;
    size_t entries = debugSize / DebugEntrySize;
    if (entries > MaxDebugEntries || !fileOffset(debugRva, &debugOffset)) {
        return std::nullopt;
    }
    Bytes entry;
    for (size_t i = 0; i < entries; ++i) {
        if (!ReadAt(file, debugOffset + i * DebugEntrySize, DebugEntrySize, &entry) ||
            Le32(&entry[12]) != DebugTypeCodeView) {
            continue;
        }
        uint32_t recordSize = Le32(&entry[16]);
        uint32_t recordOffset = Le32(&entry[24]);
        constexpr size_t RsdsFixed = 24;
        Bytes record;
        if (recordSize < RsdsFixed + 1 || recordSize > RsdsFixed + MaxPdbPath ||
            !ReadAt(file, recordOffset, recordSize, &record) ||
            std::memcmp(record.data(), "RSDS", 4) != 0) {
            continue;
        }
        FileIdentity identity;
        uint8_t guid[16];
        std::memcpy(guid, &record[4], sizeof(guid));
        identity.Guid = GuidText(guid);
        identity.Age = Le32(&record[20]);
        std::string pdbPath(reinterpret_cast<const char*>(&record[RsdsFixed]),
                            recordSize - RsdsFixed);
        pdbPath = pdbPath.substr(0, pdbPath.find('\0'));
        size_t slash = pdbPath.find_last_of("\\/");
        identity.PdbName = slash == std::string::npos ? pdbPath : pdbPath.substr(slash + 1);
        return identity;
    }
    return std::nullopt;
}

}  // namespace decode
