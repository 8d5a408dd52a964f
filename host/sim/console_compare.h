// Comparing two serial consoles of the same scenario run on different
// driver images (the host build and the shipped image on an emulated
// processor). Everything must match byte for byte except what depends on
// where code and stacks lie: the register context and stack trace lines,
// whose 16-digit hexadecimal values are compared by shape only, and the
// module table rows of the images the build itself makes (the driver and
// the model's kernel), whose PDB GUID and path change with every build and
// folder: compared by module name only.
#pragma once

#include <string>

namespace sim {

// True when the consoles agree; otherwise difference names the first line
// that does not.
bool ConsolesAgree(const std::string& expected, const std::string& actual,
                   std::string* difference);

}  // namespace sim
