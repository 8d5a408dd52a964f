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
    // The host build's: its own code has no unwind data, so its walk reads
    // its stack as leaf frames, and its bug check never passes through the
    // kernel image. Any number of frames up to the limit is fair, as long as
    // every frame that names a module names one that the expected trace
    // names too, in the same order; the frames the shipped image adds (the
    // kernel's and its own) are not asked of it.
    HostBuild,
};

// True when the consoles agree; otherwise difference names the first line
// that does not.
bool ConsolesAgree(const std::string& expected, const std::string& actual,
                   std::string* difference, StackTerms terms = StackTerms::Same);

}  // namespace sim
