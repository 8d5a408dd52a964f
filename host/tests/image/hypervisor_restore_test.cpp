// The driver image on a guest of a Hyper-V compatible hypervisor: what the
// load records, what every return to the working state writes back and in
// which order (read from the kernel's call log), the outcome line, and
// what each failing allocation leaves. Every case runs on the host build
// and on the shipped image.
#include "model_test.h"

#include "runner/sys_image.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace vektest {
namespace {

constexpr ULONG MsrGuestOsId = 0x40000000;
constexpr ULONG MsrHypercall = 0x40000001;
constexpr ULONG MsrReferenceTsc = 0x40000021;
constexpr ULONG MsrVpAssistPage = 0x40000073;
constexpr ULONG XvirTag = 0x72697658;

constexpr uint64_t GuestOsIdValue = 0x8100000000000000;
constexpr uint64_t HypercallValue = 0x7E000001;
constexpr uint64_t ReferenceTscValue = 0x7F000001;
constexpr uint64_t VpAssistValues[] = {0x7D000001, 0x7D001001, 0x7D002001};

const std::string Successful = "Viridian State Restoration is Successful\n";
const std::string Failed = "Viridian State Restoration is Failed\n";

std::string Access(ULONG msr, uint64_t value, unsigned cpu)
{
    char text[64];
    std::snprintf(text, sizeof(text), "0x%X=0x%llX cpu=%u", msr,
                  static_cast<unsigned long long>(value), cpu);
    return text;
}

model::MachineConfig Guest(unsigned processors = 2, ULONG features = 0x2E7F)
{
    model::MachineConfig config;
    config.Processors = processors;
    config.MaxProcessors = 3;
    config.ProcessorBrand = "Intel(R) Xeon(R) Platinum 8272CL CPU @ 2.60GHz";
    config.Hypervisor.Present = true;
    config.Hypervisor.Features = features;
    config.Hypervisor.TscFrequency = 2600000000;
    config.Hypervisor.GuestOsId.Value = GuestOsIdValue;
    config.Hypervisor.Hypercall.Value = HypercallValue;
    config.Hypervisor.ReferenceTsc.Value = ReferenceTscValue;
    config.Hypervisor.VpAssistPage.assign(std::begin(VpAssistValues), std::end(VpAssistValues));
    return config;
}

// A hibernation: every synthetic MSR reads 0 again.
model::ResumeChanges Reset()
{
    model::ResumeChanges changes;
    changes.ResetMsrs = true;
    return changes;
}

// Every register the restore writes back, in order, on a guest of
// `processors` with all the privileges.
std::vector<std::string> FullRestore(unsigned processors)
{
    std::vector<std::string> writes = {Access(MsrGuestOsId, GuestOsIdValue, 0),
                                       Access(MsrHypercall, HypercallValue, 0),
                                       Access(MsrReferenceTsc, ReferenceTscValue, 0)};
    for (unsigned i = 0; i < processors; ++i) {
        writes.push_back(Access(MsrVpAssistPage, VpAssistValues[i], i));
    }
    return writes;
}

class HypervisorRestoreTest : public ModelTest, public ::testing::WithParamInterface<std::string> {
protected:
    void TearDown() override
    {
        if (model::DriverLoaded() && !model::Stopped()) {
            model::UnloadDriver();
        }
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
        if (GetParam() == "host") {
            image_ = OpenDriverImage();
        } else {
            std::string error;
            image_ = runner::OpenSysImage(VEK_SYS_IMAGE, &error);
            EXPECT_TRUE(image_) << error;
        }
        return image_ ? model::LoadDriver(*image_) : STATUS_UNSUCCESSFUL;
    }

    // Sleeps and resumes; returns the MSR writes the resume made, in order.
    std::vector<std::string> SleepAndResume(const model::ResumeChanges& changes = Reset())
    {
        model::EnterSleep();
        size_t before = model::Calls().size();
        model::Resume(changes);
        std::vector<std::string> writes;
        for (size_t i = before; i < model::Calls().size(); ++i) {
            const model::KernelCall& call = model::Calls()[i];
            if (call.Routine.rfind("wrmsr", 0) == 0) {
                writes.push_back(call.Detail);
            }
        }
        return writes;
    }

    std::unique_ptr<model::DriverImage> image_;
};

TEST_P(HypervisorRestoreTest, HibernationOnEveryProcessorIsUndoneInOrder)
{
    ASSERT_EQ(Load(Guest(3)), STATUS_SUCCESS);
    EXPECT_EQ(model::LivePoolBlocks()[XvirTag], 1u);
    EXPECT_EQ(model::PowerStateRegistrations(), 1u);
    // The identity first: the hypercall page cannot be enabled before it.
    EXPECT_EQ(SleepAndResume(), FullRestore(3));
    EXPECT_EQ(model::ConsoleBytes(), Successful);
    EXPECT_EQ(model::SyntheticMsrValue(MsrHypercall, 0), HypercallValue);
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(model::SyntheticMsrValue(MsrVpAssistPage, i), VpAssistValues[i]) << i;
    }
    // Nothing of the restore outlives it.
    EXPECT_EQ(model::LiveWorkItems(), 0u);
    EXPECT_EQ(model::LivePoolBlocks()[XvirTag], 1u);

    // A second resume writes the same values again, and says so again.
    EXPECT_EQ(SleepAndResume(), FullRestore(3));
    EXPECT_EQ(model::ConsoleBytes(), Successful + Successful);
}

TEST_P(HypervisorRestoreTest, PrivilegesDecideWhatIsWrittenBack)
{
    struct Case {
        const char* Name;
        ULONG LoadFeatures;
        ULONG ResumeFeatures;
        std::vector<std::string> Writes;
        bool PageRebuilt;
    };
    const std::string identity = Access(MsrGuestOsId, GuestOsIdValue, 0);
    const std::string hypercall = Access(MsrHypercall, HypercallValue, 0);
    const std::string tsc = Access(MsrReferenceTsc, ReferenceTscValue, 0);
    const std::string vp0 = Access(MsrVpAssistPage, VpAssistValues[0], 0);
    const std::string vp1 = Access(MsrVpAssistPage, VpAssistValues[1], 1);
    const Case cases[] = {
        // The identity shares the hypercall registers' privilege: without
        // it neither is read (a #GP, a bug check) nor written.
        {"HypercallNotRecorded", 0x2E5F, 0x2E7F, {tsc, vp0, vp1}, false},
        {"HypercallWithdrawn", 0x2E7F, 0x2E5F, {tsc, vp0, vp1}, false},
        {"TscRegisterWithdrawn", 0x2E7F, 0x2C7F, {identity, hypercall, vp0, vp1}, true},
        {"TscNotRecorded", 0x2C7F, 0x2E7F, {identity, hypercall, vp0, vp1}, false},
        {"VpAssistWithdrawn", 0x2E7F, 0x2E6F, {identity, hypercall, tsc}, false},
        {"VpAssistNotRecorded", 0x2E6F, 0x2E7F, {identity, hypercall, tsc}, false},
        {"NoPrivilegeAtAll", 0, 0, {}, false},
    };
    for (const Case& item : cases) {
        ASSERT_EQ(Load(Guest(2, item.LoadFeatures)), STATUS_SUCCESS) << item.Name;
        size_t lookups = model::CallsTo({"MmGetSystemRoutineAddress"}).size();
        model::ResumeChanges changes = Reset();
        changes.Features = item.ResumeFeatures;
        if ((item.ResumeFeatures & 0x200) == 0) {
            // The register is gone with the privilege.
            changes.ReferenceTsc = model::SyntheticMsr{false, 0};
        }
        EXPECT_EQ(SleepAndResume(changes), item.Writes) << item.Name;
        // MmGetSystemRoutineAddress is PASSIVE_LEVEL only and the power
        // callback's IRQL is its caller's: every routine was looked up at load.
        EXPECT_EQ(model::CallsTo({"MmGetSystemRoutineAddress"}).size(), lookups) << item.Name;
        EXPECT_EQ(model::ConsoleBytes(), Successful) << item.Name;
        EXPECT_EQ(model::CallsTo({"MmMapIoSpaceEx"}).size(), item.PageRebuilt ? 1u : 0u)
            << item.Name;
        if (item.PageRebuilt) {
            // Rebuilt from the brand string's 2.60GHz, as the hypervisor
            // would have from the real frequency: one second of TSC ticks
            // reads as one second of 100 ns units.
            auto time = model::ReferenceTimeFromPage(ReferenceTscValue, 2600000000);
            ASSERT_TRUE(time.has_value()) << item.Name;
            EXPECT_NEAR(static_cast<double>(*time), 1e7, 1e7 * 1e-6) << item.Name;
        }
        model::UnloadDriver();
    }
}

TEST_P(HypervisorRestoreTest, EmptyRegistersAreNotWrittenBack)
{
    model::MachineConfig config = Guest(2);
    config.Hypervisor.GuestOsId.Value = 0;
    config.Hypervisor.ReferenceTsc.Value = 0;
    config.Hypervisor.VpAssistPage = {0, VpAssistValues[1]};
    ASSERT_EQ(Load(config), STATUS_SUCCESS);
    const std::vector<std::string> expected = {Access(MsrHypercall, HypercallValue, 0),
                                               Access(MsrVpAssistPage, VpAssistValues[1], 1)};
    EXPECT_EQ(SleepAndResume(), expected);
    EXPECT_EQ(model::ConsoleBytes(), Successful);
}

TEST_P(HypervisorRestoreTest, ChangedMachineIsLeftAloneAndReportedFailed)
{
    struct Case {
        const char* Name;
        unsigned Processors;
        bool HypervisorPresent;
    };
    const Case cases[] = {
        {"OneProcessorFewer", 1, true},
        {"OneProcessorMore", 3, true},
        {"HypervisorGone", 2, false},
    };
    for (const Case& item : cases) {
        ASSERT_EQ(Load(Guest(2)), STATUS_SUCCESS) << item.Name;
        model::ResumeChanges changes = Reset();
        changes.Processors = item.Processors;
        changes.HypervisorPresent = item.HypervisorPresent;
        EXPECT_EQ(SleepAndResume(changes), std::vector<std::string>{}) << item.Name;
        EXPECT_EQ(model::ConsoleBytes(), Failed) << item.Name;
        // Back to the machine of the load: the restore goes through again.
        changes = Reset();
        changes.Processors = 2;
        changes.HypervisorPresent = true;
        EXPECT_EQ(SleepAndResume(changes), FullRestore(2)) << item.Name;
        EXPECT_EQ(model::ConsoleBytes(), Failed + Successful) << item.Name;
        model::UnloadDriver();
    }
}

// The kernel runs power callbacks wherever its power manager thread is, at
// any IRQL up to DISPATCH_LEVEL ("Using a System-Defined Callback Object"):
// the partition-wide registers go back from that processor, every VP
// assist page from its own.
TEST_P(HypervisorRestoreTest, ARestoreRunOnAnyProcessorAtAnyIrqlPutsBackEveryRegister)
{
    for (KIRQL irql : {KIRQL{PASSIVE_LEVEL}, KIRQL{APC_LEVEL}, KIRQL{DISPATCH_LEVEL}}) {
        for (unsigned processor = 0; processor < 3; ++processor) {
            SCOPED_TRACE("processor " + std::to_string(processor) + " IRQL " +
                         std::to_string(irql));
            ASSERT_EQ(Load(Guest(3)), STATUS_SUCCESS);
            model::ResumeChanges changes = Reset();
            changes.CallbackProcessor = processor;
            changes.CallbackIrql = irql;
            std::vector<std::string> writes = SleepAndResume(changes);
            ASSERT_EQ(writes.size(), 6u);
            EXPECT_EQ(writes[0], Access(MsrGuestOsId, GuestOsIdValue, processor));
            std::sort(writes.begin() + 3, writes.end());
            std::vector<std::string> full = FullRestore(3);
            EXPECT_EQ(std::vector<std::string>(writes.begin() + 3, writes.end()),
                      std::vector<std::string>(full.begin() + 3, full.end()));
            EXPECT_EQ(model::ConsoleBytes(), Successful);
            EXPECT_EQ(TakeViolations(), std::vector<std::string>{});
            model::UnloadDriver();
        }
    }
}

// Where the hypervisor offers the exact TSC frequency (AccessFrequencyRegs
// and the "frequency MSRs available" flag), the rebuilt page keeps time by
// it; else by the brand string's rated frequency, which here is 2.3e-3 off.
TEST_P(HypervisorRestoreTest, RebuiltPageTakesTheHypervisorsTscFrequency)
{
    constexpr uint64_t TscFrequency = 2593906000;  // under "@ 2.60GHz"
    constexpr uint64_t TenSeconds = 100000000;     // in 100 ns units
    struct Case {
        const char* Name;
        ULONG Features;
        ULONG FeatureFlags;
        uint64_t TimeAfterTenSeconds;
    };
    const Case cases[] = {
        {"FrequencyMsr", 0x2C7F, 0x100, TenSeconds - 1},
        {"NoFrequencyPrivilege", 0x247F, 0x100, 99765609},
        {"FrequencyMsrsUnavailable", 0x2C7F, 0, 99765609},
    };
    for (const Case& item : cases) {
        model::MachineConfig config = Guest(2);
        config.Hypervisor.TscFrequency = TscFrequency;
        config.Hypervisor.FeatureFlags = item.FeatureFlags;
        ASSERT_EQ(Load(config), STATUS_SUCCESS) << item.Name;
        model::ResumeChanges changes = Reset();
        changes.Features = item.Features;
        changes.ReferenceTsc = model::SyntheticMsr{false, 0};
        SleepAndResume(changes);
        EXPECT_EQ(model::ReferenceTimeFromPage(ReferenceTscValue, 10 * TscFrequency),
                  item.TimeAfterTenSeconds)
            << item.Name;
        EXPECT_EQ(model::ConsoleBytes(), Successful) << item.Name;
        model::UnloadDriver();
    }
}

TEST_P(HypervisorRestoreTest, OnlyTheReturnToTheWorkingStateRestores)
{
    ASSERT_EQ(Load(Guest(2)), STATUS_SUCCESS);
    const uint64_t notifications[][2] = {{3, 0}, {1, 0}, {1, 1}, {4, 1}, {0, 1}, {5, 7}};
    for (const auto& notification : notifications) {
        model::NotifyPowerState(notification[0], notification[1]);
    }
    EXPECT_TRUE(model::CallsTo({"wrmsr"}).empty());
    EXPECT_EQ(model::ConsoleBytes(), "");
}

TEST_P(HypervisorRestoreTest, WithoutTheInterfaceNothingIsRecordedOrRestored)
{
    struct Case {
        const char* Name;
        bool Present;
        ULONG HighestLeaf;
    };
    const Case cases[] = {{"NoHypervisor", false, 0x40000006},
                          {"LeafBeyondLimit", true, 0x40000009}};
    for (const Case& item : cases) {
        model::MachineConfig config = Guest(2);
        config.Hypervisor.Present = item.Present;
        config.Hypervisor.HighestLeaf = item.HighestLeaf;
        ASSERT_EQ(Load(config), STATUS_SUCCESS) << item.Name;
        EXPECT_EQ(model::LivePoolBlocks().count(XvirTag), 0u) << item.Name;
        // Registered all the same: the callback finds no record.
        EXPECT_EQ(model::PowerStateRegistrations(), 1u) << item.Name;
        EXPECT_EQ(SleepAndResume(), std::vector<std::string>{}) << item.Name;
        EXPECT_TRUE(model::CallsTo({"rdmsr"}).empty()) << item.Name;
        EXPECT_EQ(model::ConsoleBytes(), "") << item.Name;
        model::UnloadDriver();
    }
}

TEST_P(HypervisorRestoreTest, EachFailingAllocationLosesOnlyItsPart)
{
    struct Case {
        const char* Name;
        const char* Routine;
        const char* Tag;
        unsigned Call;
        std::vector<std::string> Writes;
        std::string Console;
    };
    const std::vector<std::string> full = FullRestore(2);
    const std::vector<std::string> partitionWide(full.begin(), full.begin() + 3);
    const Case cases[] = {
        // At load: the record, then the capture broadcast's DPC array.
        {"Record", "ExAllocatePoolWithTag", "Xvir", 1, {}, ""},
        {"CaptureBroadcast", "ExAllocatePoolWithTag", "Xvir", 2, {}, ""},
        // At resume: the restore broadcast's DPC array, the report, the
        // work item.
        // No VP assist page went back: the line must not say otherwise.
        {"RestoreBroadcast", "ExAllocatePoolWithTag", "Xvir", 3, partitionWide, Failed},
        {"Report", "ExAllocatePoolWithTag", "Xvir", 4, full, ""},
        {"WorkItem", "IoAllocateWorkItem", "", 1, full, ""},
    };
    for (const Case& item : cases) {
        model::Fault fault{item.Routine, item.Call};
        fault.Tag = item.Tag;
        ASSERT_EQ(Load(Guest(2), {fault}), STATUS_SUCCESS) << item.Name;
        EXPECT_EQ(SleepAndResume(), item.Writes) << item.Name;
        EXPECT_EQ(model::ConsoleBytes(), item.Console) << item.Name;
        EXPECT_EQ(model::LiveWorkItems(), 0u) << item.Name;
        model::UnloadDriver();
        EXPECT_EQ(model::LivePoolBlocks(), (std::map<ULONG, size_t>{})) << item.Name;
        EXPECT_TRUE(TakeViolations().empty()) << item.Name;
    }
}

TEST_P(HypervisorRestoreTest, FailedPowerRegistrationUndoesTheWholeLoad)
{
    struct Case {
        const char* Name;
        const char* Routine;
        NTSTATUS Status;
        NTSTATUS Expected;
    };
    const Case cases[] = {
        {"ObjectNotOpened", "ExCreateCallback", STATUS_OBJECT_NAME_NOT_FOUND,
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"RegistrationRefused", "ExRegisterCallback", 0, STATUS_UNSUCCESSFUL},
    };
    const std::vector<std::string> undoRoutines = {
        "KeDeregisterBugCheckReasonCallback", "PsRemoveLoadImageNotifyRoutine", "ExFreePoolWithTag",
        "IoDeleteSymbolicLink", "IoDeleteDevice", "ObfDereferenceObject"};
    for (const Case& item : cases) {
        EXPECT_EQ(Load(Guest(2), {{item.Routine, 1, item.Status}}), item.Expected) << item.Name;
        std::vector<std::string> undo;
        for (const model::KernelCall& call : model::CallsTo(undoRoutines)) {
            // The module map's own blocks go with it; the record is the
            // hypervisor's.
            if (call.Routine != "ExFreePoolWithTag" || call.Detail == "tag=Xvir") {
                undo.push_back(call.Routine);
            }
        }
        // The broadcast's DPC array is freed within the capture, the
        // record in the rollback after the console and the module map.
        std::vector<std::string> expected = {"ExFreePoolWithTag"};
        if (item.Expected == STATUS_UNSUCCESSFUL) {
            expected.push_back("ObfDereferenceObject");
        }
        for (const char* routine : {"KeDeregisterBugCheckReasonCallback",
                                    "PsRemoveLoadImageNotifyRoutine", "ExFreePoolWithTag",
                                    "IoDeleteSymbolicLink", "IoDeleteDevice"}) {
            expected.push_back(routine);
        }
        EXPECT_EQ(undo, expected) << item.Name;
        EXPECT_FALSE(model::DriverLoaded()) << item.Name;
        EXPECT_EQ(model::PowerStateRegistrations(), 0u) << item.Name;
        EXPECT_EQ(model::LivePoolBlocks(), (std::map<ULONG, size_t>{})) << item.Name;
        EXPECT_TRUE(TakeViolations().empty()) << item.Name;
    }
}

TEST_P(HypervisorRestoreTest, EveryLaterFailingStepFreesTheRecordBeforeTheLink)
{
    struct Case {
        const char* Routine;
        NTSTATUS Status;
        NTSTATUS Expected;
    };
    const Case cases[] = {
        {"PsSetLoadImageNotifyRoutine", STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES},
        {"KeRegisterBugCheckReasonCallback", 0, STATUS_UNSUCCESSFUL},
        {"ExCreateCallback", STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Case& item : cases) {
        EXPECT_EQ(Load(Guest(2), {{item.Routine, 1, item.Status}}), item.Expected) << item.Routine;
        std::vector<std::string> tail;
        for (const model::KernelCall& call :
             model::CallsTo({"ExFreePoolWithTag", "IoDeleteSymbolicLink", "IoDeleteDevice"})) {
            if (call.Routine != "ExFreePoolWithTag" || call.Detail == "tag=Xvir") {
                tail.push_back(call.Routine);
            }
        }
        // The capture's own broadcast block, then the record in the undo.
        EXPECT_EQ(tail, (std::vector<std::string>{"ExFreePoolWithTag", "ExFreePoolWithTag",
                                                  "IoDeleteSymbolicLink", "IoDeleteDevice"}))
            << item.Routine;
        EXPECT_EQ(model::LivePoolBlocks(), (std::map<ULONG, size_t>{})) << item.Routine;
        EXPECT_TRUE(TakeViolations().empty()) << item.Routine;
    }
}

// Processor 1's restore faults (the hypervisor grants the VP assist page
// but no longer offers its register) while processor 0 waits for it in the
// broadcast: the bug check on processor 1 prints the whole report, and the
// waiting processor's call ends with the machine.
TEST_P(HypervisorRestoreTest, BugCheckDuringTheBroadcastPrintsTheWholeReport)
{
    model::MachineConfig config = Guest(2);
    config.Hypervisor.VpAssistPage = {0, VpAssistValues[1]};
    ASSERT_EQ(Load(config), STATUS_SUCCESS);
    model::ResumeChanges changes = Reset();
    changes.VpAssistPageOffered = false;
    SleepAndResume(changes);
    ASSERT_TRUE(model::Stopped());
    std::vector<std::string> violations = TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("refused"), std::string::npos) << violations[0];

    const std::string console = model::ConsoleBytes();
    EXPECT_EQ(console.rfind("\nBUGCHECK DUMP STARTS\n", 0), 0u) << console;
    EXPECT_NE(console.find("BUGCHECK CODE 0000001E: 00000000C0000096 "), std::string::npos)
        << console;
    EXPECT_NE(console.find("\nSTACK:\n"), std::string::npos) << console;
    EXPECT_NE(console.find("vekcrashdmp.sys + "), std::string::npos) << console;
    EXPECT_EQ(console.size() - console.rfind("BUGCHECK DUMP ENDS\n"), 19u) << console;
    // No outcome line: the work item never ran on the stopped machine.
    EXPECT_EQ(console.find("Viridian"), std::string::npos);
    auto writes = model::CallsTo({"wrmsr #GP"});
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].Detail, Access(MsrVpAssistPage, VpAssistValues[1], 1));
}

INSTANTIATE_TEST_SUITE_P(Images, HypervisorRestoreTest, ::testing::Values("host", "sys"));

}  // namespace
}  // namespace vektest
