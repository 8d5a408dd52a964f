// Scenario keys of the hypervisor and of what a sleep changes, shared by
// the machine's description and the resume event.
#pragma once

#include "model/machine.h"
#include "sim/strict_json.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

// "machine.hypervisor": "absent", or an object (the hypervisor is present).
void ReadHypervisor(const JsonValue& value, model::HypervisorConfig* hypervisor);
// An "msrs" object: each register a 64-bit number or "absent" (not
// offered); "vp_assist_page" a list, slot i for processor i, or "absent".
void ReadSyntheticMsrs(const JsonValue& value, model::ResumeChanges* msrs);
// "groups": how many processors each processor group holds, group 0
// first, each 1 to 64; they add up to `processors` when it is given, and
// set it when it is not.
std::vector<unsigned> ReadProcessorGroups(const JsonValue& value,
                                          std::optional<unsigned>* processors);
// A processor brand string: printable ASCII, at most 47 bytes.
std::string ReadProcessorBrand(const JsonValue& value);
// "tsc_frequency": what a real hypervisor reports, in Hz.
uint64_t ReadTscFrequency(const JsonValue& value);
// The keys of the hypervisor itself that a resume may change too (a
// migration or an upgrade): vendor, highest_leaf, interface, features,
// feature_flags, tsc_frequency.
void ReadHypervisorIdentity(JsonObject& reader, model::ResumeChanges* changes);
// Refuses, at `where`, a synthetic MSR marked "absent" whose privilege the
// features grant: no hypervisor takes one away without the other.
void CheckOfferedMsrs(const JsonValue& where, const model::HypervisorConfig& hypervisor);

}  // namespace sim
