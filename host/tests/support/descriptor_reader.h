// An independent reader of self-relative security descriptors, written
// from the published layout (header, offsets, ACL and ACE formats, SIDs)
// with no record type of the driver or the model: what tests decode the
// bytes a driver or a device ends with through.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vektest {

struct DecodedAce {
    unsigned Type = 0;  // 0 allow, 1 deny, 2 audit
    unsigned Flags = 0;
    uint32_t Mask = 0;
    std::string Sid;  // "S-1-5-18"
    bool operator==(const DecodedAce& other) const
    {
        return Type == other.Type && Flags == other.Flags && Mask == other.Mask &&
               Sid == other.Sid;
    }
};

struct DecodedDescriptor {
    std::string Error;  // empty when the bytes decoded
    unsigned Revision = 0;
    unsigned Control = 0;
    std::string Owner, Group;  // empty when absent
    bool DaclPresent = false;
    bool DaclNull = false;  // present without an ACL: everyone may do anything
    unsigned DaclRevision = 0;
    unsigned DaclSize = 0;
    std::vector<DecodedAce> Dacl;
    bool SaclPresent = false;
};

namespace descriptor_detail {

inline unsigned Read16(const uint8_t* p) { return unsigned(p[0]) | unsigned(p[1]) << 8; }
inline uint32_t Read32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A SID at [at, end): revision 1, count, 48-bit big-endian authority, then
// 32-bit little-endian subauthorities.
inline bool ReadSidText(const uint8_t* bytes, size_t at, size_t end, std::string* text,
                        size_t* length)
{
    if (at + 8 > end || bytes[at] != 1) {
        return false;
    }
    size_t count = bytes[at + 1];
    if (count > 15 || at + 8 + 4 * count > end) {
        return false;
    }
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) {
        authority = authority << 8 | bytes[at + 2 + i];
    }
    *text = "S-1-" + std::to_string(authority);
    for (size_t i = 0; i < count; ++i) {
        *text += "-" + std::to_string(Read32(bytes + at + 8 + 4 * i));
    }
    *length = 8 + 4 * count;
    return true;
}

}  // namespace descriptor_detail

// How far the descriptor's parts reach: the bytes Decode may read.
inline size_t SelfRelativeExtent(const uint8_t* bytes)
{
    using namespace descriptor_detail;
    size_t extent = 20;
    for (size_t field : {4u, 8u}) {
        if (uint32_t at = Read32(bytes + field)) {
            extent = std::max<size_t>(extent, at + 8 + 4 * size_t{bytes[at + 1]});
        }
    }
    for (size_t field : {12u, 16u}) {
        if (uint32_t at = Read32(bytes + field)) {
            extent = std::max<size_t>(extent, at + Read16(bytes + at + 2));
        }
    }
    return extent;
}

inline DecodedDescriptor DecodeSelfRelative(const uint8_t* bytes, size_t size)
{
    using namespace descriptor_detail;
    DecodedDescriptor d;
    if (size < 20) {
        d.Error = "shorter than the header";
        return d;
    }
    d.Revision = bytes[0];
    d.Control = Read16(bytes + 2);
    if (!(d.Control & 0x8000)) {
        d.Error = "not self-relative";
        return d;
    }
    size_t length = 0;
    if (uint32_t at = Read32(bytes + 4); at != 0 && !ReadSidText(bytes, at, size, &d.Owner, &length)) {
        d.Error = "bad owner";
    }
    if (uint32_t at = Read32(bytes + 8); at != 0 && !ReadSidText(bytes, at, size, &d.Group, &length)) {
        d.Error = "bad group";
    }
    d.SaclPresent = (d.Control & 0x0010) != 0;
    d.DaclPresent = (d.Control & 0x0004) != 0;
    uint32_t dacl = Read32(bytes + 16);
    if (!d.DaclPresent) {
        return d;
    }
    if (dacl == 0) {
        d.DaclNull = true;
        return d;
    }
    if (dacl + 8 > size) {
        d.Error = "DACL header outside the descriptor";
        return d;
    }
    d.DaclRevision = bytes[dacl];
    d.DaclSize = Read16(bytes + dacl + 2);
    unsigned count = Read16(bytes + dacl + 4);
    size_t end = dacl + d.DaclSize;
    if (end > size || d.DaclSize < 8) {
        d.Error = "DACL outside the descriptor";
        return d;
    }
    size_t at = dacl + 8;
    for (unsigned i = 0; i < count; ++i) {
        if (at + 8 > end) {
            d.Error = "entry outside the DACL";
            return d;
        }
        DecodedAce ace;
        ace.Type = bytes[at];
        ace.Flags = bytes[at + 1];
        size_t aceSize = Read16(bytes + at + 2);
        ace.Mask = Read32(bytes + at + 4);
        if (aceSize < 16 || at + aceSize > end ||
            !ReadSidText(bytes, at + 8, at + aceSize, &ace.Sid, &length) || 8 + length != aceSize) {
            d.Error = "bad entry " + std::to_string(i);
            return d;
        }
        d.Dacl.push_back(ace);
        at += aceSize;
    }
    return d;
}

inline DecodedDescriptor DecodeSelfRelative(const std::vector<uint8_t>& bytes)
{
    return DecodeSelfRelative(bytes.data(), bytes.size());
}

}  // namespace vektest
