// The driver's descriptor string reader over arbitrary UTF-16 text, in
// counted strings whose buffer is or is not terminated. The buffer is an
// allocation of exactly MaximumLength bytes, so AddressSanitizer sees any
// read past it; every outcome must leave no pool block, no violation and,
// on failure, a null descriptor; a success must decode.
//
// Input: one byte of options, then the text.
//   bit 0: a terminator right after the text (when the buffer has room)
//   bits 1-2: bytes of room after the text: 0, 2, 4 or 6
//   bit 3: a Windows 7 kernel (service SIDs, no app SIDs) instead of 10
//   bit 4: each following byte is one character (else UTF-16LE pairs)
//   bit 5: an odd Length (one byte short)
#include "descriptor_reader.h"
#include "model/machine.h"

#include "devsecure/descriptor_string.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Kernels without the converter export, so that the driver's own reader is
// what parses the text (a 10.0 kernel has the converter by default).
model::MachineConfig WithoutConverter(ULONG major, ULONG minor)
{
    model::MachineConfig config;
    config.Version.Major = major;
    config.Version.Minor = minor;
    config.Routines["SeConvertStringSecurityDescriptorToSecurityDescriptor"] = false;
    return config;
}

const model::MachineConfig& Machine(bool windows7)
{
    static const model::MachineConfig windows10 = WithoutConverter(10, 0);
    static const model::MachineConfig older = WithoutConverter(6, 1);
    return windows7 ? older : windows10;
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "descriptor_string_fuzzer: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const uint8_t options = data[0];
    model::ResetMachine(Machine((options & 0x08) != 0));
    std::vector<uint16_t> units;
    if (options & 0x10) {
        units.assign(data + 1, data + size);
    } else {
        for (size_t i = 1; i + 1 < size; i += 2) {
            units.push_back(static_cast<uint16_t>(data[i] | data[i + 1] << 8));
        }
    }
    const size_t room = 2 * ((options >> 1) & 3);
    if (units.size() * 2 + room > 0xFFFF) {
        return 0;
    }
    const size_t length = units.size() * 2 - ((options & 0x20) && !units.empty() ? 1 : 0);
    const size_t maximum = units.size() * 2 + room;
    // Exactly MaximumLength bytes, the text at its start; the room after it
    // holds a terminator or not.
    auto* buffer = static_cast<uint8_t*>(std::malloc(maximum == 0 ? 1 : maximum));
    if (!units.empty()) {
        std::memcpy(buffer, units.data(), units.size() * 2);
    }
    for (size_t i = units.size() * 2; i < maximum; ++i) {
        buffer[i] = (options & 1) && i < units.size() * 2 + 2 ? 0 : 'A';
    }
    UNICODE_STRING counted;
    counted.Length = static_cast<USHORT>(length);
    counted.MaximumLength = static_cast<USHORT>(maximum);
    counted.Buffer = reinterpret_cast<PWSTR>(buffer);

    PSECURITY_DESCRIPTOR descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
    NTSTATUS status = DescriptorFromString(&counted, TRUE, &descriptor);
    if (NT_SUCCESS(status)) {
        if (descriptor == nullptr) {
            Fail("success without a descriptor");
        }
        auto* bytes = static_cast<const uint8_t*>(descriptor);
        vektest::DecodedDescriptor decoded =
            vektest::DecodeSelfRelative(bytes, vektest::SelfRelativeExtent(bytes));
        if (!decoded.Error.empty() || !decoded.DaclPresent || decoded.DaclNull) {
            Fail("a descriptor that does not decode to a DACL");
        }
        ExFreePoolWithTag(descriptor, 0);
    } else if (descriptor != nullptr) {
        Fail("a failure left a descriptor");
    }
    if (!model::LivePoolBlocks().empty()) {
        Fail("pool left allocated");
    }
    if (!model::Violations().empty()) {
        Fail(model::Violations().front().c_str());
    }
    std::free(buffer);
    return 0;
}
