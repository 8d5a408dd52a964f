// The brand string frequency parser over arbitrary 48-byte brand strings,
// with or without a NUL: the parser reads exactly the 48 bytes it is given
// (a read past them is a sanitizer report) and agrees with a reading built
// on std::string searches and the C library's own strtoull.
#include "hypervisor/brand_frequency.h"

#include "model/machine.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A named machine, not a {} temporary (g++ 12 warns falsely on those).
const model::MachineConfig& Machine()
{
    static const model::MachineConfig machine;
    return machine;
}

// A run of decimal digits as the C library's strtoull reads it, held to 32
// bits: anything beyond saturates at 0xFFFFFFFF.
uint32_t Digits32(const std::string& digits)
{
    errno = 0;
    unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
    return errno == ERANGE || value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

uint64_t Reference(const char* brand)
{
    std::string text(brand, strnlen(brand, BrandStringLength));
    if (text.size() < 4) {
        return 0;
    }
    static const std::pair<const char*, uint64_t> units[] = {
        {"MHz", 1000000ull}, {"GHz", 1000000000ull}, {"THz", 1000000000000ull}};
    // The rightmost unit with a byte before it.
    size_t p = 0;
    uint64_t multiplier = 0;
    for (size_t at = text.size() - 3; at >= 1 && multiplier == 0; --at) {
        for (const auto& unit : units) {
            if (text.compare(at, 3, unit.first) == 0) {
                p = at;
                multiplier = unit.second;
                break;
            }
        }
    }
    if (multiplier == 0) {
        return 0;
    }
    // The number: digits and points directly before the unit, whatever
    // precedes them, split at its first point.
    size_t before = text.find_last_not_of("0123456789.", p - 1);
    std::string number = text.substr(before == std::string::npos ? 0 : before + 1,
                                     p - (before == std::string::npos ? 0 : before + 1));
    size_t point = number.find('.');
    std::string whole = number.substr(0, point);
    if (whole.empty()) {
        return 0;
    }
    uint64_t fraction = 0;
    bool overflow = false;
    if (point != std::string::npos) {
        std::string after = number.substr(point + 1);
        after = after.substr(0, after.find('.'));
        if (!after.empty()) {
            overflow = __builtin_mul_overflow(uint64_t{Digits32(after)}, multiplier, &fraction);
            for (size_t d = after.size(); d > 0; --d) {
                fraction /= 10;
            }
        }
    }
    uint64_t hertz = 0;
    if (overflow || __builtin_mul_overflow(uint64_t{Digits32(whole)}, multiplier, &hertz) ||
        __builtin_add_overflow(hertz, fraction, &hertz)) {
        return 0;
    }
    return hertz;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A fresh machine each time: the comparisons the model logs would
    // otherwise pile up for the leak check.
    model::ResetMachine(Machine());
    // Shorter inputs are NUL-padded; a full one may have no NUL at all. On
    // the stack, which the model counts as the driver's memory, between
    // AddressSanitizer's red zones.
    CHAR brand[BrandStringLength] = {};
    std::memcpy(brand, data, std::min<size_t>(size, BrandStringLength));
    uint64_t hertz = ParseBrandStringFrequency(brand);
    if (hertz != Reference(brand)) {
        __builtin_trap();
    }
    return 0;
}
