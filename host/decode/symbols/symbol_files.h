// The debug identity of symbol files on disk: the GUID and age a PDB says it
// has, and the CodeView record of a PE image (the GUID, age and PDB name the
// image was linked with). Both readers take any bytes and fail cleanly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace decode {

struct FileIdentity {
    std::string Guid;  // 32 upper-case hex digits, the store form
    uint32_t Age = 0;
    std::string PdbName;  // images only: the CodeView record's PDB file name
};

// From the PDB's info stream (GUID) and its DBI stream (the age images
// record; the info stream's own age counts rewrites).
std::optional<FileIdentity> ReadPdbIdentity(const std::string& path);
// From the image's debug directory: its first CodeView (RSDS) record.
std::optional<FileIdentity> ReadImageIdentity(const std::string& path);

// The store form of a GUID as stored in memory (Data1, Data2, Data3 little
// endian, then the eight bytes of Data4).
std::string GuidText(const uint8_t (&bytes)[16]);

}  // namespace decode
