// The driver image loaded and unloaded by the model kernel: what a load
// leaves in the kernel, how each failing step is undone, and that unload
// takes everything back.
#include "model_test.h"

#include "runner/sys_image.h"

#include <set>

namespace vektest {
namespace {

constexpr uint64_t UartPhysical = 0xFEDC9000;

// Kernel calls that undo a load step; their order is the rollback's order.
const std::vector<std::string> UndoRoutines = {
    "KeDeregisterBugCheckReasonCallback", "MmUnmapIoSpace", "IoDeleteSymbolicLink",
    "IoDeleteDevice"};

model::MachineConfig MachineWithMappedConsole()
{
    model::MachineConfig config;
    config.Spcr = {model::SpcrKind::Memory, UartPhysical};
    config.Uarts = {model::UartConfig{true, UartPhysical, 0, false, 0x03}};
    return config;
}

// Every case runs on the host build and on the shipped image.
class LifecycleTest : public ModelTest, public ::testing::WithParamInterface<std::string> {
protected:
    std::unique_ptr<model::DriverImage> OpenImage()
    {
        if (GetParam() == "host") {
            return OpenDriverImage();
        }
        std::string error;
        auto image = runner::OpenSysImage(VEK_SYS_IMAGE, &error);
        if (!image) {
            ADD_FAILURE() << error;
        }
        return image;
    }

    void TearDown() override
    {
        image_.reset();
        ModelTest::TearDown();
    }

    NTSTATUS Load(const model::MachineConfig& config, const std::vector<model::Fault>& faults = {})
    {
        StartMachine(config);
        for (const model::Fault& fault : faults) {
            std::string error;
            EXPECT_TRUE(model::InjectFault(fault, &error)) << error;
        }
        image_.reset();
        image_ = OpenImage();
        return image_ ? model::LoadDriver(*image_) : STATUS_UNSUCCESSFUL;
    }

    std::unique_ptr<model::DriverImage> image_;
};

TEST_P(LifecycleTest, LoadCreatesExclusiveDeviceLinkAndCallback)
{
    ASSERT_EQ(Load(DefaultMachine()), STATUS_SUCCESS);
    EXPECT_EQ(model::DeviceNames(), std::vector<std::string>{"\\Device\\VekCrashDmp"});
    EXPECT_EQ(model::SymbolicLinks(),
              std::vector<std::string>{"\\DosDevices\\VEKCRASHDMP -> \\Device\\VekCrashDmp"});
    EXPECT_EQ(model::RegisteredBugCheckCallbacks(), 1u);

    auto created = model::CallsTo({"IoCreateDevice"});
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].Detail, "\\Device\\VekCrashDmp extension=296 type=0x22 exclusive=1");

    // The driver serves no requests: only the unload routine is set.
    EXPECT_EQ(model::DriverObjectChanges(), std::vector<std::string>{"DriverUnload"});

    // Nothing of the version or the console reaches the wire before a
    // bug check.
    EXPECT_EQ(model::ConsoleBytes(), "");
    model::UnloadDriver();
}

TEST_P(LifecycleTest, UnloadReleasesEverythingInOrder)
{
    ASSERT_EQ(Load(MachineWithMappedConsole()), STATUS_SUCCESS);
    EXPECT_EQ(model::LiveIoMappings(), 1u);
    size_t callsBefore = model::Calls().size();
    model::UnloadDriver();

    std::vector<model::KernelCall> unloadCalls(model::Calls().begin() + static_cast<long>(callsBefore),
                                               model::Calls().end());
    std::vector<std::string> undo;
    for (const auto& call : unloadCalls) {
        for (const auto& routine : UndoRoutines) {
            if (call.Routine == routine) {
                undo.push_back(routine);
            }
        }
    }
    EXPECT_EQ(undo, UndoRoutines);
    // The model checks after unload that no block, device, link, callback
    // or mapping is left; TearDown fails the test on any such violation.
}

TEST_P(LifecycleTest, FailingStepIsUndoneInReverseOrder)
{
    // The failing routine by name, not as a model::Fault: g++ 12 at -O3
    // falsely warns (maybe-uninitialized) about the strings of a local table.
    struct Case {
        const char* Name;
        bool MappedConsole;
        // The failing routine's name and the status its first call returns
        // (plain fields: g++ 12 -O3 misreads strings inside a table).
        const char* FaultRoutine;
        NTSTATUS FaultStatus;
        NTSTATUS Expected;
        std::vector<std::string> Undo;
    };
    const Case cases[] = {
        {"DeviceCreation", false, "IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES, {}},
        {"SymbolicLink", false, "IoCreateSymbolicLink", STATUS_OBJECT_NAME_COLLISION,
         STATUS_OBJECT_NAME_COLLISION, {"IoDeleteDevice"}},
        {"ConsoleMapping", true, "MmMapIoSpaceEx", 0, STATUS_UNEXPECTED_MM_MAP_ERROR,
         {"IoDeleteSymbolicLink", "IoDeleteDevice"}},
        {"BugCheckCallbackWithPortConsole", false, "KeRegisterBugCheckReasonCallback", 0,
         STATUS_UNSUCCESSFUL, {"IoDeleteSymbolicLink", "IoDeleteDevice"}},
        {"BugCheckCallbackWithMappedConsole", true, "KeRegisterBugCheckReasonCallback", 0,
         STATUS_UNSUCCESSFUL, {"MmUnmapIoSpace", "IoDeleteSymbolicLink", "IoDeleteDevice"}},
    };
    for (const Case& item : cases) {
        model::MachineConfig config = item.MappedConsole ? MachineWithMappedConsole()
                                                         : DefaultMachine();
        EXPECT_EQ(Load(config, {{item.FaultRoutine, 1, item.FaultStatus}}), item.Expected)
            << item.Name;
        EXPECT_EQ(RoutineNames(model::CallsTo(UndoRoutines)), item.Undo) << item.Name;
        EXPECT_FALSE(model::DriverLoaded()) << item.Name;
        EXPECT_TRUE(model::DeviceNames().empty()) << item.Name;
        EXPECT_TRUE(model::SymbolicLinks().empty()) << item.Name;
        EXPECT_EQ(model::RegisteredBugCheckCallbacks(), 0u) << item.Name;
        EXPECT_EQ(model::LiveIoMappings(), 0u) << item.Name;
        EXPECT_TRUE(TakeViolations().empty()) << item.Name;
    }
}

TEST_P(LifecycleTest, FailedOptionalQueriesDoNotFailTheLoad)
{
    // The version and pool zeroing queries fall back; neither fails a load.
    ASSERT_EQ(Load(DefaultMachine(), {{"RtlGetVersion", 1, STATUS_UNSUCCESSFUL},
                        {"RtlGetVersion", 2, STATUS_UNSUCCESSFUL},
                        {"NtQuerySystemInformation", 1, STATUS_UNSUCCESSFUL},
                        {"ZwQuerySystemInformation", 1, STATUS_UNSUCCESSFUL}}),
              STATUS_SUCCESS);
    model::UnloadDriver();
}

TEST_P(LifecycleTest, EveryImageStartsFresh)
{
    // A first image maps the firmware's UART; a second, on a machine without
    // one, must not inherit anything of that.
    ASSERT_EQ(Load(MachineWithMappedConsole()), STATUS_SUCCESS);
    model::UnloadDriver();
    ASSERT_EQ(Load(DefaultMachine()), STATUS_SUCCESS);
    const ULONG_PTR parameters[4] = {1, 2, 3, 4};
    model::BugCheck(0xD1, parameters);
    EXPECT_NE(model::ConsoleBytes().find("BUGCHECK DUMP ENDS\n"), std::string::npos);
}

TEST_P(LifecycleTest, BugCheckReportCallsOnlyWhatIsSafeThere)
{
    ASSERT_EQ(Load(MachineWithMappedConsole()), STATUS_SUCCESS);
    size_t callsBefore = model::Calls().size();
    const ULONG_PTR parameters[4] = {0x10, 2, 0, 0xFFFFF8054A2B1C3D};
    model::BugCheck(0xD1, parameters, 0);
    std::vector<std::string> during;
    for (size_t i = callsBefore; i < model::Calls().size(); ++i) {
        during.push_back(model::Calls()[i].Routine);
    }
    // The context and stack section adds the capture, the unwinding routines,
    // the residency test of stack words and the module map's lock.
    const std::set<std::string> allowed = {"KeQuerySystemTimePrecise", "RtlTimeToTimeFields",
                                           "RtlCaptureContext",        "RtlLookupFunctionEntry",
                                           "RtlVirtualUnwind",         "MmIsAddressValid",
                                           "KfRaiseIrql",              "KeLowerIrql"};
    ASSERT_GE(during.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(during.begin(), during.begin() + 3),
              (std::vector<std::string>{"KeQuerySystemTimePrecise", "RtlTimeToTimeFields",
                                        "RtlCaptureContext"}));
    for (const std::string& routine : during) {
        EXPECT_EQ(allowed.count(routine), 1u) << routine;
    }
    EXPECT_EQ(model::LastSecondaryDumpData().OutBuffer, nullptr);
    EXPECT_EQ(model::LastSecondaryDumpData().OutBufferLength, 0u);
    const std::string console = model::ConsoleBytes();
    EXPECT_EQ(console.rfind("\nBUGCHECK DUMP STARTS\n", 0), 0u);
    EXPECT_NE(console.find("BUGCHECK CODE 000000D1: 0000000000000010 0000000000000002 "
                           "0000000000000000 FFFFF8054A2B1C3D\n"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Images, LifecycleTest, ::testing::Values("host", "sys"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
}  // namespace vektest
