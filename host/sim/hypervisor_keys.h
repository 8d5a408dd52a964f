// Scenario keys of the hypervisor and of what a sleep changes, shared by
// the machine's description and the resume event.
#pragma once

#include "model/machine.h"
#include "sim/strict_json.h"

#include <string>

namespace sim {

// "machine.hypervisor": "absent", or an object (the hypervisor is present).
void ReadHypervisor(const JsonValue& value, model::HypervisorConfig* hypervisor);
// An "msrs" object: each register a 64-bit number or "absent" (not
// offered); "vp_assist_page" a list, slot i for processor i, or "absent".
void ReadSyntheticMsrs(const JsonValue& value, model::ResumeChanges* msrs);
// A processor brand string: printable ASCII, at most 47 bytes.
std::string ReadProcessorBrand(const JsonValue& value);

}  // namespace sim
