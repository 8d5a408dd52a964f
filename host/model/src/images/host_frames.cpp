// Host frames shown as frames of the listed images (see the header).
#include "images/host_frames.h"

#include "core/machine_state.h"

#include "model/image_registry.h"

#include <algorithm>
#include <fstream>
#include <sstream>

// Where every call from the model into host driver code returns
// (native_call.cpp).
extern "C" __attribute__((visibility("hidden"))) const char KxCallDriverReturn[];

namespace model {

namespace {

const char* const KernelImageName = "ntoskrnl.exe";

struct HostFrames {
    bool Active = false;
    HostFrameTable Table;
    uint64_t HostBase = 0;
    uint64_t ListedDriverId = 0;
};

HostFrames Frames;

const LoadedImage* ListedKernel()
{
    const LoadedImage* kernel = nullptr;
    ForEachImage([&](const LoadedImage& image) {
        if (kernel == nullptr && image.Name == KernelImageName) {
            kernel = &image;
        }
    });
    return kernel;
}

uint64_t KernelCallReturn()
{
    return reinterpret_cast<uintptr_t>(KxCallDriverReturn);
}

}  // namespace

std::string HostFrameTablePath(const std::string& imagePath)
{
    const std::string suffix = ".so";
    std::string stem = imagePath;
    if (stem.size() >= suffix.size() &&
        stem.compare(stem.size() - suffix.size(), suffix.size(), suffix) == 0) {
        stem.erase(stem.size() - suffix.size());
    }
    return stem + ".frames";
}

HostFrameTable ParseHostFrameTable(const std::string& text)
{
    HostFrameTable table;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind >> std::hex;
        if (kind == "kernel-call-return") {
            fields >> table.KernelCallReturn;
        } else if (kind == "host-build-id") {
            fields >> table.HostBuildId;
        } else if (kind == "function") {
            HostFrameFunction function;
            if (fields >> function.HostStart >> function.HostSize >> function.SysStart >>
                function.SysSize) {
                table.Functions.push_back(function);
            }
        }
    }
    std::sort(table.Functions.begin(), table.Functions.end(),
              [](const HostFrameFunction& a, const HostFrameFunction& b) {
                  return a.HostStart < b.HostStart;
              });
    return table;
}

HostFrameTable ReadHostFrameTable(const std::string& path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return ParseHostFrameTable(text.str());
}

HostFrameTable TableForImage(HostFrameTable table, const std::string& imageBuildId)
{
    if (table.HostBuildId.empty() || table.HostBuildId != imageBuildId) {
        return {};
    }
    return table;
}

void BeginHostFrames(HostFrameTable table, uint64_t hostBase, uint64_t listedDriverId)
{
    Frames.Table = std::move(table);
    Frames.HostBase = hostBase;
    Frames.ListedDriverId = listedDriverId;
    Frames.Active = true;
}

void EndHostFrames()
{
    Frames = HostFrames();
}

bool HostFramesShown()
{
    return Frames.Active;
}

bool PresentableReturnAddress(uint64_t address)
{
    return Frames.Active && (address == KernelCallReturn() || InHostDriverImage(address));
}

uint64_t PresentedReturnAddress(uint64_t address)
{
    if (!PresentableReturnAddress(address)) {
        return address;
    }
    // Without the table (a build without the shipped image), or for a host
    // function the shipped image does not have (inlined there), the frame
    // is still shown in its module, at the module's base: a function-less
    // frame beats a host address no module holds.
    if (address == KernelCallReturn()) {
        const LoadedImage* kernel = ListedKernel();
        return kernel == nullptr ? address : kernel->Base + Frames.Table.KernelCallReturn;
    }
    const LoadedImage* driver = FindImage(Frames.ListedDriverId);
    if (driver == nullptr) {
        return address;
    }
    const uint64_t offset = address - Frames.HostBase;
    const auto& functions = Frames.Table.Functions;
    auto after = std::upper_bound(functions.begin(), functions.end(), offset,
                                  [](uint64_t at, const HostFrameFunction& function) {
                                      return at < function.HostStart;
                                  });
    if (after == functions.begin()) {
        return driver->Base;
    }
    const HostFrameFunction& function = *(after - 1);
    const uint64_t within = offset - function.HostStart;
    if (within >= function.HostSize) {
        return driver->Base;
    }
    // The shipped image's code for the function differs; a return address
    // past its end would name the next function.
    return driver->Base + function.SysStart + std::min(within, function.SysSize);
}

bool PresentedHostFrame(uint64_t address)
{
    if (!Frames.Active) {
        return false;
    }
    const LoadedImage* driver = FindImage(Frames.ListedDriverId);
    const LoadedImage* kernel = ListedKernel();
    // Nothing runs in either listing on the host build: every address in
    // them a walk meets is one handed out above.
    return (driver != nullptr && driver->Contains(address)) ||
           (kernel != nullptr && kernel->Contains(address));
}

}  // namespace model
