// The driver's brand string reading and reference TSC page rebuild on both
// builds: the reference TSC fixture, native and as a .sys whose CPUID the
// emulated processor executes, prints the frequency and the page after two
// rebuilds; both builds print the same, and what the brand calls for.
#include "model_test.h"

#include "runner/sys_image.h"

#include <string>

extern "C" NTSTATUS ReferenceTscDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace vektest {
namespace {

constexpr uint64_t PagePhysical = 0x7FF00000;
constexpr size_t PageSize = 4096;

class NativeReferenceTscDriver : public model::DriverImage {
public:
    std::string Name() const override { return "reference_tsc_driver"; }
    const void* EntryRoutine() const override
    {
        return reinterpret_cast<const void*>(ReferenceTscDriverEntry);
    }
    uint64_t Call(const model::DriverCall& call) override { return model::CallNativeRoutine(call); }
};

class ReferenceTscOnBothBuildsTest : public ModelTest {
protected:
    std::string Run(model::DriverImage& image, const std::string& brand, uint32_t highestLeaf)
    {
        model::MachineConfig config = DefaultMachine();
        config.ProcessorBrand = brand;
        config.HighestExtendedLeaf = highestLeaf;
        config.Ram.push_back(model::PhysicalRam{PagePhysical, PageSize});
        StartMachine(config);
        EXPECT_EQ(model::LoadDriver(image), STATUS_SUCCESS) << brand;
        model::UnloadDriver();
        for (const std::string& violation : TakeViolations()) {
            ADD_FAILURE() << brand << ": " << violation;
        }
        return model::ConsoleBytes();
    }
};

TEST_F(ReferenceTscOnBothBuildsTest, BothBuildsReadTheBrandAndRebuildThePageAlike)
{
    struct Case {
        const char* Brand;
        const char* Console;
        uint32_t HighestExtendedLeaf = 0x80000008;
    };
    // A brand that fits in the first two brand leaves: a processor that
    // stops at 0x80000003 still answers them, and only the driver's check
    // of the highest leaf keeps it from reading a brand it does not have.
    const char* const twoLeafBrand = "Vek Virtual Processor @ 2.50GHz";
    const char* const noFrequency =
        "FREQUENCY 0000000000000000\n"
        "SEQUENCE 0000000000000000 SCALE 0000000000000000 OFFSET 0000000000000000\n"
        "SEQUENCE 0000000000000000 SCALE 0000000000000000 OFFSET 0000000000000000\n";
    const Case cases[] = {
        {twoLeafBrand,
         "FREQUENCY 000000009502F900\n"
         "SEQUENCE 0000000000000001 SCALE 010624DD00000000 OFFSET 0000000000000000\n"
         "SEQUENCE 0000000000000002 SCALE 010624DD00000000 OFFSET 0000000000000000\n",
         0x80000004},
        {twoLeafBrand, noFrequency, 0x80000003},
        {twoLeafBrand, noFrequency, 0x80000001},
        {"Vek Virtual Processor @ 2.50GHz",
         "FREQUENCY 000000009502F900\n"
         "SEQUENCE 0000000000000001 SCALE 010624DD00000000 OFFSET 0000000000000000\n"
         "SEQUENCE 0000000000000002 SCALE 010624DD00000000 OFFSET 0000000000000000\n"},
        {"Intel(R) Xeon(R) Platinum 8272CL CPU @ 2.60GHz",
         "FREQUENCY 000000009AF8DA00\n"
         "SEQUENCE 0000000000000001 SCALE 00FC0FC000000000 OFFSET 0000000000000000\n"
         "SEQUENCE 0000000000000002 SCALE 00FC0FC000000000 OFFSET 0000000000000000\n"},
        // The whole part right after '@' or '(', not dropped for want of a
        // space before it.
        {"Intel(R) Xeon(R) CPU @2.60GHz",
         "FREQUENCY 000000009AF8DA00\n"
         "SEQUENCE 0000000000000001 SCALE 00FC0FC000000000 OFFSET 0000000000000000\n"
         "SEQUENCE 0000000000000002 SCALE 00FC0FC000000000 OFFSET 0000000000000000\n"},
        {"VIA Nano processor U2250 (1.6GHz Capable)",
         "FREQUENCY 000000005F5E1000\n"
         "SEQUENCE 0000000000000001 SCALE 0199999900000000 OFFSET 0000000000000000\n"
         "SEQUENCE 0000000000000002 SCALE 0199999900000000 OFFSET 0000000000000000\n"},
        {"AMD EPYC 7763 64-Core Processor",
         "FREQUENCY 0000000000000000\n"
         "SEQUENCE 0000000000000000 SCALE 0000000000000000 OFFSET 0000000000000000\n"
         "SEQUENCE 0000000000000000 SCALE 0000000000000000 OFFSET 0000000000000000\n"},
        // 5 MHz: the scale would lose its top bits (to 0); the page stays invalid.
        {"Slow Processor @ 5.00MHz",
         "FREQUENCY 00000000004C4B40\n"
         "SEQUENCE 0000000000000000 SCALE 0000000000000000 OFFSET 0000000000000000\n"
         "SEQUENCE 0000000000000000 SCALE 0000000000000000 OFFSET 0000000000000000\n"},
    };
    for (const Case& c : cases) {
        NativeReferenceTscDriver native;
        EXPECT_EQ(Run(native, c.Brand, c.HighestExtendedLeaf), c.Console)
            << "host build, " << c.Brand << ", leaves to 0x" << std::hex << c.HighestExtendedLeaf;
        std::string error;
        std::unique_ptr<model::DriverImage> image = runner::OpenSysImage(
            std::string(VEK_FIXTURE_DIR) + "/reference_tsc_driver.sys", &error);
        ASSERT_NE(image, nullptr) << error;
        EXPECT_EQ(Run(*image, c.Brand, c.HighestExtendedLeaf), c.Console)
            << "shipped build, " << c.Brand << ", leaves to 0x" << std::hex
            << c.HighestExtendedLeaf;
    }
}

}  // namespace
}  // namespace vektest
