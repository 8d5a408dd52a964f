// What a report may name in the symbol store. Module names, PDB names and
// identities come from the console, which a hostile guest writes: they are
// data, never paths. A key part that could leave its folder or that no
// Windows file name could hold is refused before anything is asked or
// created, and every path the decoder touches in a cache or symbol folder
// is checked, resolved, to lie under that folder before the call.
#pragma once

#include "decode/reports/report.h"

#include <string>
#include <vector>

namespace decode {

// The longest file name NTFS holds (MAX_COMPONENT_LENGTH on Microsoft
// Learn's "Naming Files, Paths, and Namespaces"); a store key part longer
// is none a Windows build produced.
constexpr size_t MaxKeyPartBytes = 255;

// Why `part` cannot be one component of a store key, or empty when it can:
// a separator, NUL, ".", "..", a control byte, DEL, or too long.
std::string RefusedKeyPart(const std::string& part);

// Why the row's image name, PDB name or identity cannot name a store path,
// or empty when all three can.
std::string RefusedModule(const ModuleRow& row);

// True when `path` lies under `folder` once both are resolved (symlinks
// included; for a path not there yet, its longest existing prefix).
bool LiesUnder(const std::string& folder, const std::string& path);

// True when `path` lies under one of `folders`.
bool LiesUnderAny(const std::vector<std::string>& folders, const std::string& path);

}  // namespace decode
