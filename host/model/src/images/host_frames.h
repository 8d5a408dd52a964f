// The host build's stack frames shown as the shipped image's: a walk of
// the host build meets return addresses in vekcrashdmp_host.so and in the
// model's KxCallDriver, which lie in no listed image. While a host image
// runs, the model's unwinder hands out, in their place, the same function
// of the listed vekcrashdmp.sys and KxCallDriverReturn of the listed
// ntoskrnl.exe, so that the driver names the modules the shipped image's
// walk names. The walk itself goes on by the real frame-pointer chain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace model {

struct HostFrameFunction {
    uint64_t HostStart = 0;  // offset in the host image
    uint64_t HostSize = 0;
    uint64_t SysStart = 0;   // RVA in vekcrashdmp.sys
    uint64_t SysSize = 0;
};

// The table the build writes beside the host image (vekcrash-frame-table).
struct HostFrameTable {
    uint64_t KernelCallReturn = 0;  // RVA of KxCallDriverReturn in ntoskrnl.exe
    std::string HostBuildId;        // the host image's GNU build id, in hex
    std::vector<HostFrameFunction> Functions;  // by HostStart
};

// NAME.frames beside NAME.so.
std::string HostFrameTablePath(const std::string& imagePath);
// The table in text; records it does not know are skipped, and a missing
// file gives an empty table.
HostFrameTable ParseHostFrameTable(const std::string& text);
HostFrameTable ReadHostFrameTable(const std::string& path);
// The table, when it was made for the image with this build id; an empty
// table otherwise: a table left from an earlier build of the host image
// would name the wrong functions.
HostFrameTable TableForImage(HostFrameTable table, const std::string& imageBuildId);

// From the host image's open to its close: where it is loaded, and the
// registration id of the shipped image listed in its place.
void BeginHostFrames(HostFrameTable table, uint64_t hostBase, uint64_t listedDriverId);
void EndHostFrames();

// True from BeginHostFrames to EndHostFrames.
bool HostFramesShown();
// The address a walk shows for a return into host driver code or into
// KxCallDriver; the address itself when neither or no host image runs.
uint64_t PresentedReturnAddress(uint64_t address);
// True for a return into host driver code or into KxCallDriver.
bool PresentableReturnAddress(uint64_t address);
// True for an address PresentedReturnAddress handed out: its frame is a
// host frame, unwound by the frame-pointer chain.
bool PresentedHostFrame(uint64_t address);

}  // namespace model
