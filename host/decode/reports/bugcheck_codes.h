// What a bug check code means: its well-known name and, for the codes a
// crash console shows most, what each of its four parameters is and one
// phrase that says what happened ("read of 0x10 at IRQL 2"). One table in
// bugcheck_codes.cpp holds all of it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace decode {

using BugCheckParameters = std::array<uint64_t, 4>;

// No parameter names the faulting instruction.
constexpr int NoFaultingIpParameter = -1;

// The well-known name of a bug check code, or nullptr.
const char* BugCheckName(uint32_t code);

// What parameter `index` (0 to 3) of the code holds, or nullptr when the
// code is not one the table describes or the parameter is reserved. Codes
// with subtypes (0x9F) label the rest by the first parameter.
const char* BugCheckParameterLabel(uint32_t code, const BugCheckParameters& parameters, size_t index);

// The index of the parameter that holds the address of the faulting
// instruction, or NoFaultingIpParameter.
int BugCheckFaultingIpParameter(uint32_t code);

// One phrase for what the parameters say. osBuild (0 when unknown) picks
// between the older and newer meanings of a parameter where the kernel
// changed them. Codes the table does not describe give their raw
// parameters.
std::string BugCheckMeaning(uint32_t code, const BugCheckParameters& parameters, uint32_t osBuild);

// "0x10": the shortest hex form, as the phrases write values.
std::string ShortHex(uint64_t value);

}  // namespace decode
