// The image identity reader over arbitrary bytes with arbitrary residency.
// The image is four pages of real memory; the pages marked not resident are
// also made unreadable, so a read of one crashes the fuzzer: the reader
// must read only pages MmIsAddressValid vouched for, and nothing outside
// the image (AddressSanitizer sees any overread of the block).
//
// Input: one byte of residency bits (bit n: page n resident), then the
// image's bytes from its start.
#include "model/machine.h"
#include "synthetic_pe.h"

#include "modules/image_identity.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t Pages = 4;

// A named machine, not a {} temporary (g++ 12 warns falsely on those).
const model::MachineConfig& Machine()
{
    static const model::MachineConfig machine;
    return machine;
}

}  // namespace

// Only what the fuzzer enters counts as kernel memory: an RVA that leaves
// the image finds nothing valid, wherever it lands in the process.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    model::RestrictToEnteredMemory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A fresh machine each time: the call log of the last one would look
    // like a leak to the fuzzer's leak check, which then scans every run.
    model::ResetMachine(Machine());
    if (size < 1) {
        return 0;
    }
    uint8_t residency = data[0];
    vektest::SyntheticImage image(Pages);
    std::memcpy(image.Bytes(), data + 1, std::min(size - 1, image.Size()));
    for (size_t page = 0; page < Pages; ++page) {
        image.SetResident(page, (residency >> page) & 1);
        if (((residency >> page) & 1) == 0) {
            mprotect(image.Bytes() + page * vektest::SyntheticPageSize, vektest::SyntheticPageSize,
                     PROT_NONE);
        }
    }
    image.Enter();
    ImageIdentity identity;
    std::memset(&identity, 0x5A, sizeof(identity));
    ReadImageIdentity(image.Base(), &identity);
    image.Leave();
    mprotect(image.Bytes(), image.Size(), PROT_READ | PROT_WRITE);

    if (identity.PdbName[MaxPdbNameLength] != '\0') {
        std::abort();
    }
    // What is not read stays zero: no GUID or age without a name's record.
    size_t length = std::strlen(identity.PdbName);
    for (size_t i = length; i <= MaxPdbNameLength; ++i) {
        if (identity.PdbName[i] != '\0') {
            std::abort();
        }
    }
    if ((residency & 1) == 0 && (identity.TimeDateStamp != 0 || identity.CheckSum != 0)) {
        std::abort();  // headers on a page that is not there
    }
    return 0;
}
