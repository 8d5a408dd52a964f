// The emulated processor meeting driver code that breaks: a fault, code
// that never returns, an import the kernel lacks; and the processor
// instructions the model answers.
#include "model_test.h"

#include "runner/sys_image.h"

#include <cstdio>
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
    // The model has no MSR 0x1234: #GP, an unhandled exception in the
    // kernel (KMODE_EXCEPTION_NOT_HANDLED, privileged instruction).
    EXPECT_TRUE(model::Stopped());
    EXPECT_EQ(KiBugCheckData[0], 0x1Eu);
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
