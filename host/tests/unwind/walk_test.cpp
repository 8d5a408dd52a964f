// A real image walking its own stack on the emulated processor: the chain
// it records, frame by frame, must be the chain of calls it made, checked
// against the function names its PDB gives each address.
#include "model_test.h"

#include "model/image_registry.h"
#include "runner/sys_image.h"

#include <cstdio>
#include <map>
#include <sstream>

namespace vektest {
namespace {

const std::string Fixture = std::string(VEK_FIXTURE_DIR) + "/unwind_driver.sys";

// The function holding an image offset, by the PDB beside the image.
std::string FunctionAt(const std::string& file, uint64_t rva)
{
    char address[32];
    std::snprintf(address, sizeof(address), "0x%llX", static_cast<unsigned long long>(rva));
    std::string command = std::string(VEK_LLVM_SYMBOLIZER) + " --obj='" + file +
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
    StartMachine(DefaultMachine());
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
        if (functions.size() == 5) {
            // Past the entry routine: the kernel's KxCallDriver (the offset
            // is the kernel image's; the byte before the return address is
            // its call, the return address itself KxCallDriverReturn).
            functions.push_back(FunctionAt(VEK_KERNEL_IMAGE, std::stoull(rva, nullptr, 16) - 1));
            continue;
        }
        functions.push_back(FunctionAt(Fixture, std::stoull(rva, nullptr, 16)));
        EXPECT_EQ(stack, "STACK OK") << functions.back();
    }
    EXPECT_EQ(functions, (std::vector<std::string>{"WalkInnermost", "WalkLevel3", "WalkLevel2",
                                                   "WalkLevel1", "DriverEntry", "KxCallDriver"}))
        << model::ConsoleBytes();
    // KxCallDriver returns to no image: the walk ends.
    EXPECT_EQ(line.rfind("OUTSIDE ", 0), 0u) << line;
    std::getline(console, line);
    EXPECT_EQ(line, "DONE");
    EXPECT_EQ(model::CallsTo({"RtlCaptureContext"}).size(), 1u);
    EXPECT_EQ(model::CallsTo({"RtlVirtualUnwind"}).size(), 6u);

    image.reset();
    bool stillListed = false;
    model::ForEachImage([&](const model::LoadedImage& candidate) {
        stillListed = stillListed || candidate.Name == "unwind_driver.sys";
    });
    EXPECT_FALSE(stillListed);
}

// The function at a raw address, by the listed image holding it and the PDB
// beside that image's file. The address is a return address, or a faulting
// instruction past its function's prolog: the byte before it lies in the
// same function, and a return address may also begin a label of its own
// (KxCallDriverReturn).
std::string FunctionAtAddress(uint64_t address, const std::map<std::string, std::string>& files)
{
    --address;
    const model::LoadedImage* image = model::FindImageByAddress(address);
    if (image == nullptr) {
        return "(no image)";
    }
    auto file = files.find(image->Name);
    if (file == files.end()) {
        return "(in " + image->Name + ")";
    }
    return image->Name + "!" + FunctionAt(file->second, address - image->Base);
}

// A fault at DISPATCH_LEVEL in a chain of the driver's functions: the walk
// from its bug check callback goes back through the kernel's bug check
// frames, through the machine frame to the faulting function, up its
// callers to the entry routine, into KxCallDriver, and ends.
TEST_F(StackWalk, WalkFromBugCheckCallbackReachesTheFaultingCode)
{
    const std::string fixture = std::string(VEK_FIXTURE_DIR) + "/bugcheck_walk_driver.sys";
    StartMachine(DefaultMachine());
    std::string error;
    std::unique_ptr<model::DriverImage> image = runner::OpenSysImage(fixture, &error);
    ASSERT_NE(image, nullptr) << error;
    model::LoadDriver(*image);
    ASSERT_TRUE(model::Stopped());
    EXPECT_EQ(KiBugCheckData[0], 0xD1u);
    EXPECT_EQ(KiBugCheckData[1], 0x18u);
    EXPECT_EQ(KiBugCheckData[2], static_cast<ULONG_PTR>(DISPATCH_LEVEL));

    const std::map<std::string, std::string> files = {{"bugcheck_walk_driver.sys", fixture},
                                                      {"ntoskrnl.exe", VEK_KERNEL_IMAGE}};
    std::vector<std::string> functions;
    std::istringstream console(model::ConsoleBytes());
    std::string line;
    while (std::getline(console, line) && line.rfind("FRAME ", 0) == 0) {
        functions.push_back(FunctionAtAddress(std::stoull(line.substr(6), nullptr, 16), files));
    }
    EXPECT_EQ(functions, (std::vector<std::string>{
                             "bugcheck_walk_driver.sys!WalkFromBugCheck",
                             "ntoskrnl.exe!KxCallDriver",
                             "ntoskrnl.exe!KeBugCheckEx",
                             "ntoskrnl.exe!KiPageFault",
                             "bugcheck_walk_driver.sys!FaultInnermost",
                             "bugcheck_walk_driver.sys!FaultMiddle",
                             "bugcheck_walk_driver.sys!FaultOuter",
                             "bugcheck_walk_driver.sys!DriverEntry",
                             "ntoskrnl.exe!KxCallDriver",
                         }))
        << model::ConsoleBytes();
    EXPECT_EQ(line.rfind("OUTSIDE ", 0), 0u) << model::ConsoleBytes();

    // The bug check names the faulting instruction itself, not the start of
    // the block the processor was running, and the machine frame holds it.
    const model::LoadedImage* driver = model::FindImageByAddress(KiBugCheckData[4]);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(FunctionAt(fixture, KiBugCheckData[4] - driver->Base), "FaultInnermost");
    std::vector<uint8_t> code(driver->Bytes + (KiBugCheckData[4] - driver->Base),
                              driver->Bytes + (KiBugCheckData[4] - driver->Base) + 7);
    // mov eax, dword ptr [0x18]
    EXPECT_EQ(code, (std::vector<uint8_t>{0x8B, 0x04, 0x25, 0x18, 0x00, 0x00, 0x00}));
    std::vector<std::string> violations = TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    char at[32];
    std::snprintf(at, sizeof(at), "at 0x%llX ", static_cast<unsigned long long>(KiBugCheckData[4]));
    EXPECT_NE(violations[0].find(at), std::string::npos) << violations[0];
}

// A kernel routine that meets a bad pointer bug checks from inside itself:
// the callback's KxCallDriver starts at that routine's return address, so
// the walk goes straight back to the driver code that called it.
TEST_F(StackWalk, WalkFromBugCheckRaisedInAKernelRoutineReachesItsCaller)
{
    const std::string fixture = std::string(VEK_FIXTURE_DIR) + "/bugcheck_walk_import_driver.sys";
    StartMachine(DefaultMachine());
    std::string error;
    std::unique_ptr<model::DriverImage> image = runner::OpenSysImage(fixture, &error);
    ASSERT_NE(image, nullptr) << error;
    model::LoadDriver(*image);
    ASSERT_TRUE(model::Stopped());
    TakeViolations();

    const std::map<std::string, std::string> files = {{"bugcheck_walk_import_driver.sys", fixture},
                                                      {"ntoskrnl.exe", VEK_KERNEL_IMAGE}};
    std::vector<std::string> functions;
    std::istringstream console(model::ConsoleBytes());
    std::string line;
    while (std::getline(console, line) && line.rfind("FRAME ", 0) == 0) {
        functions.push_back(FunctionAtAddress(std::stoull(line.substr(6), nullptr, 16), files));
    }
    EXPECT_EQ(functions, (std::vector<std::string>{
                             "bugcheck_walk_import_driver.sys!WalkFromBugCheck",
                             "ntoskrnl.exe!KxCallDriver",
                             "bugcheck_walk_import_driver.sys!FaultInnermost",
                             "bugcheck_walk_import_driver.sys!FaultMiddle",
                             "bugcheck_walk_import_driver.sys!FaultOuter",
                             "bugcheck_walk_import_driver.sys!DriverEntry",
                             "ntoskrnl.exe!KxCallDriver",
                         }))
        << model::ConsoleBytes();
    EXPECT_EQ(line.rfind("OUTSIDE ", 0), 0u) << model::ConsoleBytes();
}

// The shipped image's own crash report: the context block shows the
// capture inside ReportCurrentContext, and the trace starts at the report
// callback, then the kernel's call into it, each frame named through the
// PDBs beside the images.
TEST_F(StackWalk, ShippedReportTraceStartsAtTheCallbackThenTheKernel)
{
    StartMachine(DefaultMachine());
    std::string error;
    std::unique_ptr<model::DriverImage> image = runner::OpenSysImage(VEK_SYS_IMAGE, &error);
    ASSERT_NE(image, nullptr) << error;
    ASSERT_EQ(model::LoadDriver(*image), STATUS_SUCCESS);
    const ULONG_PTR parameters[4] = {0x10, 2, 0, 0x1234};
    model::BugCheck(0xD1, parameters);

    const std::map<std::string, std::string> files = {{"vekcrashdmp.sys", VEK_SYS_IMAGE},
                                                      {"ntoskrnl.exe", VEK_KERNEL_IMAGE}};
    // The driver's routines are C++: the PDB names them with their parameters.
    auto named = [&](uint64_t address) {
        std::string name = FunctionAtAddress(address, files);
        return name.substr(0, name.find('('));
    };
    std::map<std::string, uint64_t> bases;
    model::ForEachImage([&](const model::LoadedImage& listed) { bases[listed.Name] = listed.Base; });
    std::istringstream console(model::ConsoleBytes());
    std::string line;
    std::string rip;
    while (std::getline(console, line) && line != "STACK:") {
        if (line.rfind("- RIP = ", 0) == 0) {
            rip = line.substr(8);
        }
    }
    ASSERT_FALSE(rip.empty()) << model::ConsoleBytes();
    // The capture's RIP is a return address into the capturing routine.
    EXPECT_EQ(named(std::stoull(rip, nullptr, 16)), "vekcrashdmp.sys!ReportCurrentContext");
    std::vector<std::string> functions;
    while (std::getline(console, line) && line != "BUGCHECK DUMP ENDS") {
        size_t plus = line.find(" + ");
        uint64_t address = 0;
        if (plus == std::string::npos) {
            address = std::stoull(line.substr(line.size() - 16), nullptr, 16);
        } else {
            std::string module = line.substr(line.find(") ") + 2, plus - line.find(") ") - 2);
            address = bases[module] + std::stoull(line.substr(plus + 3), nullptr, 16);
        }
        functions.push_back(named(address));
    }
    ASSERT_GE(functions.size(), 2u) << model::ConsoleBytes();
    EXPECT_EQ(functions[0], "vekcrashdmp.sys!BugCheckReportCallback");
    EXPECT_EQ(functions[1], "ntoskrnl.exe!KxCallDriver");
    EXPECT_EQ(line, "BUGCHECK DUMP ENDS");
    EXPECT_EQ(TakeViolations(), std::vector<std::string>{});
}

}  // namespace
}  // namespace vektest
