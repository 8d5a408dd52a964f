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

// Which stack trace the actual console may show.
enum class StackTerms {
    // The same frames as expected (the shipped image against its own
    // expected console).
    Same,
    // The host build's: its code differs from the shipped image's, and
    // inlining may differ, so the number of frames in one module may too;
    // but the trace names the same modules in the same order (a run of
    // frames in one module counts once). A bare address where the expected
    // trace names a module is not fair.
    HostBuild,
};

// True when the consoles agree; otherwise difference names the first line
// that does not.
bool ConsolesAgree(const std::string& expected, const std::string& actual,
                   std::string* difference, StackTerms terms = StackTerms::Same);

}  // namespace sim
