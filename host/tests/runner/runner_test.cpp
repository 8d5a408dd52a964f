// The emulated processor meeting driver code that breaks: a fault, code
// that never returns, an import the kernel lacks; and the processor
// instructions the model answers.
#include "model_test.h"

#include "runner/layout.h"
#include "runner/sys_image.h"

#include "model/image_registry.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace vektest {
namespace {

std::string Fixture(const char* name)
{
    return std::string(VEK_FIXTURE_DIR) + "/" + name + ".sys";
}

class RunnerTest : public ModelTest {
protected:
    NTSTATUS Load(const char* fixture)
    {
        std::string error;
        image_ = runner::OpenSysImage(Fixture(fixture), &error);
        if (!image_) {
            ADD_FAILURE() << error;
            return STATUS_UNSUCCESSFUL;
        }
        return model::LoadDriver(*image_);
    }

    void TearDown() override
    {
        image_.reset();
        runner::Emulator::Instance().SetInstructionLimit(DefaultLimit);
        ModelTest::TearDown();
    }

    static constexpr uint64_t DefaultLimit = 200000000;
    std::unique_ptr<model::DriverImage> image_;
};

bool Mentions(const std::vector<std::string>& messages, const std::string& text)
{
    for (const std::string& message : messages) {
        if (message.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST_F(RunnerTest, FaultInDriverCodeIsABugCheckThatRunsTheReportCallback)
{
    StartMachine();
    EXPECT_NE(Load("fault_driver"), STATUS_SUCCESS);
    EXPECT_TRUE(model::Stopped());
    // Page fault at PASSIVE_LEVEL on address 0x10: PAGE_FAULT_IN_NONPAGED_AREA.
    EXPECT_EQ(model::ConsoleBytes(),
              "CALLBACK REASON 0000000000000002 CODE 0000000000000050 ADDRESS 0000000000000010\n");
    EXPECT_EQ(KiBugCheckData[2], 0u);  // a read
    std::vector<std::string> violations = TakeViolations();
    EXPECT_TRUE(Mentions(violations, "driver code read unmapped or protected memory"));
}

// Every run lays out the same: the kernel image at its fixed address, and
// each driver image at the fixed address or, since no address is reused in
// a process, a whole slot above it; the stacks at theirs.
TEST_F(RunnerTest, ImagesAndStacksLieAtFixedAddresses)
{
    StartMachine();
    std::string error;
    std::unique_ptr<model::DriverImage> first = runner::OpenSysImage(Fixture("fault_driver"), &error);
    ASSERT_NE(first, nullptr) << error;
    std::unique_ptr<model::DriverImage> second = runner::OpenSysImage(Fixture("fault_driver"), &error);
    ASSERT_NE(second, nullptr) << error;
    std::vector<uint64_t> drivers;
    uint64_t kernel = 0;
    model::ForEachImage([&](const model::LoadedImage& image) {
        if (image.Name == "fault_driver.sys") {
            drivers.push_back(image.Base);
        } else if (image.Name == "ntoskrnl.exe") {
            kernel = image.Base;
        }
    });
    EXPECT_EQ(kernel, runner::KernelImageAddress);
    ASSERT_EQ(drivers.size(), 2u);
    for (uint64_t base : drivers) {
        EXPECT_GE(base, runner::DriverImageAddress);
        EXPECT_EQ((base - runner::DriverImageAddress) % runner::ImageSlotSize, 0u) << std::hex << base;
    }
    EXPECT_NE(drivers[0], drivers[1]);
}

// An image that goes leaves its addresses to the next, whatever its code:
// after many runs of different images, each ran at the driver's base, and
// the host build still lists the shipped image there.
TEST_F(RunnerTest, ImagesGoneLeaveTheirAddressesFree)
{
    StartMachine();
    std::ifstream file(Fixture("fault_driver"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 0x100u);
    constexpr uint32_t Runs = 70;  // more than there ever were slots
    constexpr size_t NewHeaderOffset = 0x3C, TimeDateStampOffset = 8;
    uint32_t header = 0;
    std::memcpy(&header, bytes.data() + NewHeaderOffset, sizeof(header));
    const std::string copy = std::string(VEK_FIXTURE_DIR) + "/run_copy.sys";
    for (uint32_t run = 0; run < Runs; ++run) {
        std::string changed = bytes;  // another file each time
        std::memcpy(&changed[header + TimeDateStampOffset], &run, sizeof(run));
        std::ofstream(copy, std::ios::binary | std::ios::trunc) << changed;
        std::string error;
        std::unique_ptr<model::DriverImage> image = runner::OpenSysImage(copy, &error);
        ASSERT_NE(image, nullptr) << error;
        auto entry = reinterpret_cast<uintptr_t>(image->EntryRoutine());
        EXPECT_TRUE(entry > runner::DriverImageAddress &&
                    entry < runner::DriverImageAddress + runner::ImageSlotSize)
            << run << std::hex << " " << entry;
    }
    std::remove(copy.c_str());
    model::ImageRegistration listing = model::ListShippedDriverImage(VEK_SYS_IMAGE);
    ASSERT_TRUE(listing.Registered());
    uint64_t base = 0;
    model::ForEachImage([&](const model::LoadedImage& image) {
        if (image.Name == "vekcrashdmp.sys") {
            base = image.Base;
        }
    });
    EXPECT_EQ(base, model::DriverImageBase);
}

// The engine's translations of one image's code never run for the next
// image at its address: a driver that faults at load, then one that loads
// cleanly there.
TEST_F(RunnerTest, TheNextImageAtAnAddressRunsItsOwnCode)
{
    StartMachine();
    EXPECT_NE(Load("fault_driver"), STATUS_SUCCESS);
    const uintptr_t first = reinterpret_cast<uintptr_t>(image_->EntryRoutine());
    image_.reset();
    TakeViolations();
    StartMachine();
    ASSERT_EQ(Load("invalid_instruction_driver"), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(image_->EntryRoutine()) & ~uintptr_t{0xFFFF},
              first & ~uintptr_t{0xFFFF});
    EXPECT_FALSE(model::Stopped());
}

// Kernel memory freed at unload is carved again: once the quarantine has
// filled, a hundred more cycles move the shared region's high-water mark by
// less than one cycle's allocations (a few kilobytes; the blocks of a freed
// one are carved again in another order as the free runs split).
TEST_F(RunnerTest, LoadUnloadCyclesCarveNoNewKernelMemory)
{
    StartMachine();
    std::string error;
    auto cycles = [&](int count) {
        for (int i = 0; i < count; ++i) {
            std::unique_ptr<model::DriverImage> image = runner::OpenSysImage(VEK_SYS_IMAGE, &error);
            ASSERT_NE(image, nullptr) << error;
            ASSERT_EQ(model::LoadDriver(*image), STATUS_SUCCESS);
            model::UnloadDriver();
        }
    };
    constexpr int Settling = 100;  // the freed blocks' quarantine fills
    cycles(Settling);
    const size_t settled = runner::Emulator::Instance().ArenaBytesInUse();
    cycles(Settling);
    constexpr size_t OneCycle = 4096;
    EXPECT_LT(runner::Emulator::Instance().ArenaBytesInUse() - settled, OneCycle);
    EXPECT_TRUE(model::Violations().empty());
}

// A fault that bug checks runs the trap entry of its exception, on the
// machine frame the processor pushes: 16-byte aligned base, the kernel's
// selectors, the faulting RIP and RSP (for a double fault too: the stack
// pointer the failed push left, wherever it points), with an error code
// where the processor pushes one; on the spare stack when the driver's is
// spent.
TEST_F(RunnerTest, FaultsEnterTheirTrapEntryOnAMachineFrame)
{
    constexpr uint64_t CodeSelector = 0x10;
    constexpr uint64_t StackSelector = 0x18;
    struct {
        const char* Fixture;
        const char* Entry;
        bool ErrorCode;
        bool SpareStack;
        uint64_t WildRsp;  // the faulting RSP, when not on the driver's stack
    } const cases[] = {
        {"fault_driver", "KiPageFault", true, false, 0},
        {"divide_error_driver", "KiDivideErrorFault", false, false, 0},
        {"breakpoint_driver", "KiBreakpointTrap", false, false, 0},
        {"invalid_opcode_driver", "KiInvalidOpcodeFault", false, false, 0},
        {"general_protection_driver", "KiGeneralProtectionFault", true, false, 0},
        {"fail_fast_driver", "KiRaiseSecurityCheckFailure", false, false, 0},
        {"stack_overflow_driver", "KiDoubleFaultAbort", true, true, 0},
        {"wild_stack_driver", "KiDoubleFaultAbort", true, true, 0x1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Fixture);
        StartMachine();
        EXPECT_NE(Load(c.Fixture), STATUS_SUCCESS);
        EXPECT_TRUE(model::Stopped());
        TakeViolations();
        const runner::RunnerStats& stats = runner::Stats();
        ASSERT_NE(stats.LastTrapEntry, nullptr);
        EXPECT_STREQ(stats.LastTrapEntry, c.Entry);
        uint64_t frame[6] = {};
        const uint8_t* rip = reinterpret_cast<const uint8_t*>(stats.LastMachineFrame) + (c.ErrorCode ? 8 : 0);
        std::memcpy(frame, rip, 5 * 8);
        EXPECT_EQ((stats.LastMachineFrame + (c.ErrorCode ? 8 : 0) + 5 * 8) % 16, 0u);
        EXPECT_EQ(frame[1], CodeSelector);
        EXPECT_EQ(frame[4], StackSelector);
        if (c.WildRsp != 0) {
            EXPECT_EQ(frame[3], c.WildRsp);
        } else {
            // On the lane's kernel stack or just below it, in its guard.
            EXPECT_GE(frame[3], runner::KernelStackAddress);
            EXPECT_LT(frame[3], runner::KernelStackAddress + runner::SpareStackOffset);
        }
        // The faulting instruction lies in the driver image.
        const model::LoadedImage* image = model::FindImageByAddress(frame[0]);
        ASSERT_NE(image, nullptr) << std::hex << frame[0];
        EXPECT_EQ(image->Name, std::string(c.Fixture) + ".sys");
        EXPECT_EQ(stats.LastMachineFrame >= (runner::KernelStackAddress + runner::SpareStackOffset), c.SpareStack)
            << std::hex << stats.LastMachineFrame;
        image_.reset();
    }
}

TEST_F(RunnerTest, RunawayCodeIsStoppedAndReported)
{
    StartMachine();
    runner::Emulator::Instance().SetInstructionLimit(100000);
    EXPECT_NE(Load("runaway_driver"), STATUS_SUCCESS);
    EXPECT_TRUE(model::Stopped());
    std::vector<std::string> violations = TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("more than 100000 instructions in the entry routine"),
              std::string::npos);
}

TEST_F(RunnerTest, ImportTheModelLacksRefusesTheImageNamingIt)
{
    StartMachine();
    std::string error;
    EXPECT_EQ(runner::OpenSysImage(Fixture("missing_import_driver"), &error), nullptr);
    EXPECT_NE(error.find("KeBugCheckEx"), std::string::npos) << error;
    EXPECT_NE(error.find("does not provide"), std::string::npos) << error;
}

// seh_driver imports KeQuerySystemTimePrecise, first exported by 6.2;
// system_time_import_driver imports KeQuerySystemTime, which no x64 kernel
// exports, so no version loads it.
TEST_F(RunnerTest, ImportNewerThanTheKernelFailsTheLoadAsTheLoaderDoes)
{
    const struct {
        const char* Fixture;
        ULONG Major, Minor;
        const char* Refusal;  // nullptr: the image loads
    } cases[] = {
        {"seh_driver", 6, 1, "status 0xC0000263: it imports KeQuerySystemTimePrecise"},
        {"seh_driver", 6, 2, nullptr},
        {"system_time_import_driver", 6, 1,
         "status 0xC0000263: it imports KeQuerySystemTime, which no x64 kernel exports"},
        {"system_time_import_driver", 6, 3, "it imports KeQuerySystemTime,"},
        {"system_time_import_driver", 10, 0, "it imports KeQuerySystemTime,"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Fixture << " on " << c.Major << "." << c.Minor);
        model::MachineConfig config;
        config.Version.Major = c.Major;
        config.Version.Minor = c.Minor;
        StartMachine(config);
        std::string error;
        bool opened = runner::OpenSysImage(Fixture(c.Fixture), &error) != nullptr;
        EXPECT_EQ(opened, c.Refusal == nullptr) << error;
        if (c.Refusal != nullptr) {
            EXPECT_NE(error.find(c.Refusal), std::string::npos) << error;
        }
    }
}

TEST_F(RunnerTest, ProcessorInstructionsAreAnsweredByTheModel)
{
    model::MachineConfig config;
    config.ProcessorBrand = "Fixture CPU @ 3.10GHz";
    StartMachine(config);
    uint64_t before = runner::Stats().Instructions;
    EXPECT_NE(Load("processor_driver"), STATUS_SUCCESS);
    EXPECT_EQ(model::ConsoleBytes(),
              "BRAND Fixture CPU @ 3.10GHz\n"
              "IRQL 0000000000000002\n"
              "IRQL 0000000000000000\n");
    // The model has no MSR 0x1234: #GP, an exception nothing handles in the
    // entry routine's system thread (SYSTEM_THREAD_EXCEPTION_NOT_HANDLED).
    EXPECT_TRUE(model::Stopped());
    EXPECT_EQ(KiBugCheckData[0], 0x7Eu);
    EXPECT_EQ(KiBugCheckData[1], 0xC0000096u);
    EXPECT_TRUE(Mentions(TakeViolations(), "instruction the processor refused"));
    EXPECT_GT(runner::Stats().Instructions, before);
}

TEST_F(RunnerTest, FaultingBugCheckCallbackIsAbandonedAndTheBugCheckGoesOn)
{
    StartMachine();
    ASSERT_EQ(Load("invalid_instruction_driver"), STATUS_SUCCESS);
    const ULONG_PTR parameters[4] = {1, 2, 3, 4};
    model::BugCheck(0xD1, parameters);
    EXPECT_TRUE(model::Stopped());
    EXPECT_EQ(model::ConsoleBytes(), "REPORT STARTS\n");
    // The code is still the one the kernel raised, not a second bug check.
    EXPECT_EQ(KiBugCheckData[0], 0xD1u);
    std::vector<std::string> violations = TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("executed an invalid instruction"), std::string::npos);
}

TEST_F(RunnerTest, WritesPastADataExportEndAtItsOwnPage)
{
    // Each exported variable starts a page that holds nothing else: the
    // guest maps that page alone.
    for (const model::DataExport& data : model::ExportedData()) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(data.Address) % model::DataExportPageSize, 0u)
            << data.Name;
    }
    StartMachine();
    EXPECT_NE(Load("data_export_overrun_driver"), STATUS_SUCCESS);
    // The first write beyond the page faults, at the page's end.
    EXPECT_EQ(KiBugCheckData[0], 0x50u);
    EXPECT_EQ(KiBugCheckData[1],
              reinterpret_cast<uintptr_t>(KiBugCheckData) + model::DataExportPageSize);
    EXPECT_EQ(KiBugCheckData[2], 2u);  // a write
    EXPECT_TRUE(Mentions(TakeViolations(), "wrote to unmapped or protected memory"));
}

TEST_F(RunnerTest, FailFastLeavesItsTrapFrameAndExceptionRecord)
{
    StartMachine();
    EXPECT_NE(Load("fail_fast_driver"), STATUS_SUCCESS);
    ASSERT_EQ(KiBugCheckData[0], 0x139u);
    EXPECT_EQ(KiBugCheckData[1], 3u);  // the fail-fast code
    ASSERT_NE(KiBugCheckData[2], 0u);
    ASSERT_NE(KiBugCheckData[3], 0u);
    EXPECT_EQ(KiBugCheckData[4], 0u);
    struct Record {
        uint32_t Code, Flags;
        uint64_t Nested, Address;
        uint32_t Parameters, Reserved;
        uint64_t Information[15];
    } record;
    std::memcpy(&record, reinterpret_cast<const void*>(KiBugCheckData[3]), sizeof(record));
    EXPECT_EQ(record.Code, 0xC0000409u);  // STATUS_STACK_BUFFER_OVERRUN
    EXPECT_EQ(record.Parameters, 1u);
    EXPECT_EQ(record.Information[0], 3u);
    uint64_t trapRip = 0;
    std::memcpy(&trapRip, reinterpret_cast<const uint8_t*>(KiBugCheckData[2]) + 0x168, 8);
    EXPECT_EQ(trapRip, record.Address);
    // The instruction is int 29h itself (CD 29).
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(record.Address)[0], 0xCD);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(record.Address)[1], 0x29);
    // The stack the driver ran on lies at its fixed address (above its
    // guard), so every run names the same stack pointer.
    uint64_t trapRsp = 0;
    std::memcpy(&trapRsp, reinterpret_cast<const uint8_t*>(KiBugCheckData[2]) + 0x180, 8);
    EXPECT_GT(trapRsp, runner::KernelStackAddress) << std::hex << trapRsp;
    EXPECT_LT(trapRsp, (runner::KernelStackAddress + runner::SpareStackOffset)) << std::hex << trapRsp;
    TakeViolations();
}

TEST_F(RunnerTest, DamagedImagesAreRefusedWithoutHarmToTheHost)
{
    StartMachine();
    std::string error;
    EXPECT_EQ(runner::OpenSysImage(std::string(VEK_FIXTURE_DIR) + "/missing.sys", &error), nullptr);
    EXPECT_FALSE(error.empty());

    // Truncated copies of a real image, cut inside the headers, the section
    // table and the sections: each is refused or loads; none may crash.
    std::ifstream file(VEK_SYS_IMAGE, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 4096u);
    const std::string copy = std::string(VEK_FIXTURE_DIR) + "/damaged.sys";
    for (size_t length : {size_t{2}, size_t{64}, size_t{0x100}, size_t{0x200}, size_t{0x600},
                          bytes.size() / 2, bytes.size() - 1}) {
        std::ofstream(copy, std::ios::binary | std::ios::trunc) << bytes.substr(0, length);
        error.clear();
        auto image = runner::OpenSysImage(copy, &error);
        EXPECT_TRUE(image != nullptr || !error.empty()) << length;
    }
    std::remove(copy.c_str());
}

}  // namespace
}  // namespace vektest
