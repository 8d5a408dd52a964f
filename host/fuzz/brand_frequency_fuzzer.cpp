// The brand string frequency parser over arbitrary 48-byte brand strings,
// with or without a NUL: the parser reads exactly the 48 bytes it is given
// (a read past them is a sanitizer report) and agrees with a reading built on the C library's own strtoull.
#include "hypervisor/brand_frequency.h"

#include "model/machine.h"

#include <cctype>
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

struct Parsed {
    uint32_t Value;
    size_t End;
};

// strtoul in base 10 with a 32-bit unsigned long, from the C library's
// 64-bit strtoull: saturation at 32 bits, negation modulo 2^32.
Parsed Strtoul32(const std::string& text, size_t start)
{
    size_t at = start;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])) != 0) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    if (at >= text.size() || std::isdigit(static_cast<unsigned char>(text[at])) == 0) {
        return {0, start};
    }
    const char* digits = text.c_str() + at;
    char* end = nullptr;
    errno = 0;
    unsigned long long magnitude = std::strtoull(digits, &end, 10);
    size_t endAt = at + static_cast<size_t>(end - digits);
    if (errno == ERANGE || magnitude > 0xFFFFFFFFull) {
        return {0xFFFFFFFFu, endAt};
    }
    auto value = static_cast<uint32_t>(magnitude);
    return {negative ? 0u - value : value, endAt};
}

uint64_t Reference(const char* brand)
{
    std::string text(brand, strnlen(brand, BrandStringLength));
    size_t n = text.size();
    if (n < 4) {
        return 0;
    }
    static const std::pair<const char*, uint64_t> units[] = {
        {"MHz", 1000000ull}, {"GHz", 1000000000ull}, {"THz", 1000000000000ull}};
    size_t p = 0;
    uint64_t multiplier = 0;
    for (size_t at = n - 3; at >= 1 && multiplier == 0; --at) {
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
    uint64_t fraction = 0;
    bool overflow = false;
    size_t q = p;
    bool stopped = false;
    for (;; --q) {
        if (text[q] == ' ') {
            stopped = true;
            break;
        }
        if (text[q] == '.') {
            Parsed v = Strtoul32(text, q + 1);
            overflow = __builtin_mul_overflow(uint64_t{v.Value}, multiplier, &fraction);
            for (size_t d = v.End - (q + 1); d > 0; --d) {
                fraction /= 10;
            }
        }
        if (q == 0) {
            break;
        }
    }
    Parsed whole = Strtoul32(text, stopped ? q + 1 : 0);
    uint64_t hertz = 0;
    if (overflow || __builtin_mul_overflow(uint64_t{whole.Value}, multiplier, &hertz) ||
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
