// A real image walking its own stack on the emulated processor: the chain
// it records, frame by frame, must be the chain of calls it made, checked
// against the function names its PDB gives each address.
#include "model_test.h"

#include "model/image_registry.h"
#include "runner/sys_image.h"

#include <cstdio>
#include <sstream>

namespace vektest {
namespace {

const std::string Fixture = std::string(VEK_FIXTURE_DIR) + "/unwind_driver.sys";

// The function holding an image offset, by the PDB beside the image.
std::string FunctionAt(uint64_t rva)
{
    char address[32];
    std::snprintf(address, sizeof(address), "0x%llX", static_cast<unsigned long long>(rva));
    std::string command = std::string(VEK_LLVM_SYMBOLIZER) + " --obj='" + Fixture +
                          "' --relative-address --inlining=false " + address;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "(cannot run " + command + ")";
    }
    char line[512] = {};
    std::string name = fgets(line, sizeof(line), pipe) != nullptr ? line : "";
    pclose(pipe);
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) {
        name.pop_back();
    }
    return name;
}

class StackWalk : public ModelTest {};

TEST_F(StackWalk, ImageWalksTheChainOfCallsItMade)
{
    StartMachine({});
    std::string error;
    std::unique_ptr<model::DriverImage> image = runner::OpenSysImage(Fixture, &error);
    ASSERT_NE(image, nullptr) << error;
    const model::LoadedImage* listed = nullptr;
    model::ForEachImage([&](const model::LoadedImage& candidate) {
        if (candidate.Name == "unwind_driver.sys") {
            listed = &candidate;
        }
    });
    ASSERT_NE(listed, nullptr) << "the loaded image is not in the module list";
    EXPECT_NE(listed->Bytes, nullptr);

    EXPECT_EQ(model::LoadDriver(*image), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(model::Stopped());

    std::vector<std::string> functions;
    std::istringstream console(model::ConsoleBytes());
    std::string line;
    while (std::getline(console, line) && line.rfind("FRAME ", 0) == 0) {
        std::istringstream fields(line.substr(6));
        std::string rva;
        std::string stack;
        std::getline(fields, rva, ' ');
        std::getline(fields, stack);
        functions.push_back(FunctionAt(std::stoull(rva, nullptr, 16)));
        EXPECT_EQ(stack, "STACK OK") << functions.back();
    }
    EXPECT_EQ(functions, (std::vector<std::string>{"WalkInnermost", "WalkLevel3", "WalkLevel2",
                                                   "WalkLevel1", "DriverEntry"}))
        << model::ConsoleBytes();
    // Past the entry routine lies the kernel's return address: no image.
    EXPECT_EQ(line.rfind("OUTSIDE ", 0), 0u) << line;
    std::getline(console, line);
    EXPECT_EQ(line, "DONE");
    EXPECT_EQ(model::CallsTo({"RtlCaptureContext"}).size(), 1u);
    EXPECT_EQ(model::CallsTo({"RtlVirtualUnwind"}).size(), 5u);

    image.reset();
    bool stillListed = false;
    model::ForEachImage([&](const model::LoadedImage& candidate) {
        stillListed = stillListed || candidate.Name == "unwind_driver.sys";
    });
    EXPECT_FALSE(stillListed);
}

}  // namespace
}  // namespace vektest
