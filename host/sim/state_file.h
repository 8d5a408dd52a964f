// The machine's final state as `vekcrash simulate --state PATH` writes it:
// what a run leaves behind that the console does not show.
#pragma once

#include <string>

namespace sim {

// One JSON object (docs/scenarios.md, "The state file"): each
// processor's synthetic MSRs, the reference TSC page, the pool blocks and
// handles the driver still holds.
std::string MachineStateJson();

}  // namespace sim
