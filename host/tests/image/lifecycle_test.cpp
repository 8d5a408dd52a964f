// The driver image loaded and unloaded by the model kernel: what a load
// leaves in the kernel, how each failing step is undone, and that unload
// takes everything back.
#include "descriptor_reader.h"
#include "model_test.h"
#include "module_map_reference.h"

#include "model/loaded_images.h"
#include "model/unwind.h"
#include "runner/sys_image.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

namespace vektest {
namespace {

constexpr uint64_t UartPhysical = 0xFEDC9000;

// Kernel calls that undo a load step; their order is the rollback's order.
const std::vector<std::string> UndoRoutines = {
    "ExUnregisterCallback", "KeDeregisterBugCheckReasonCallback", "PsRemoveLoadImageNotifyRoutine", "MmUnmapIoSpace",
    "IoDeleteSymbolicLink", "IoDeleteDevice"};

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
        {"ModuleMapWithPortConsole", false, "PsSetLoadImageNotifyRoutine",
         STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES,
         {"IoDeleteSymbolicLink", "IoDeleteDevice"}},
        {"ModuleMapWithMappedConsole", true, "PsSetLoadImageNotifyRoutine",
         STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES,
         {"MmUnmapIoSpace", "IoDeleteSymbolicLink", "IoDeleteDevice"}},
        {"BugCheckCallbackWithPortConsole", false, "KeRegisterBugCheckReasonCallback", 0,
         STATUS_UNSUCCESSFUL, {"PsRemoveLoadImageNotifyRoutine", "IoDeleteSymbolicLink",
                               "IoDeleteDevice"}},
        {"BugCheckCallbackWithMappedConsole", true, "KeRegisterBugCheckReasonCallback", 0,
         STATUS_UNSUCCESSFUL, {"PsRemoveLoadImageNotifyRoutine", "MmUnmapIoSpace",
                               "IoDeleteSymbolicLink", "IoDeleteDevice"}},
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
        EXPECT_EQ(model::LivePoolBlocks(), (std::map<ULONG, size_t>{})) << item.Name;
        EXPECT_TRUE(TakeViolations().empty()) << item.Name;
    }
}

TEST_P(LifecycleTest, FailedOptionalQueriesDoNotFailTheLoad)
{
    // The pool zeroing queries fall back; neither fails a load.
    ASSERT_EQ(Load(DefaultMachine(), {{"NtQuerySystemInformation", 1, STATUS_INSUFFICIENT_RESOURCES},
                        {"ZwQuerySystemInformation", 1, STATUS_INSUFFICIENT_RESOURCES}}),
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
        // The module map's lock raises the IRQL to where the bug check
        // already runs: CR8 in the shipped image, a routine in the model.
        const std::string& routine = model::Calls()[i].Routine;
        if (routine != "KfRaiseIrql" && routine != "KeLowerIrql") {
            during.push_back(routine);
        }
    }
    // The context and stack section adds the capture, the unwinding routines,
    // the residency test of stack words and the module map's lock.
    const std::set<std::string> allowed = {"KeQuerySystemTimePrecise", "RtlTimeToTimeFields",
                                           "RtlCaptureContext",        "RtlLookupFunctionEntry",
                                           "RtlVirtualUnwind",         "MmIsAddressValid",
                                           "KfRaiseIrql",              "KeLowerIrql"};
    // The module table tests each entry's residency before reading it.
    std::vector<std::string> ordered;
    std::copy_if(during.begin(), during.end(), std::back_inserter(ordered),
                 [](const std::string& routine) { return routine != "MmIsAddressValid"; });
    ASSERT_GE(ordered.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(ordered.begin(), ordered.begin() + 3),
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

// Whether the instruction that ends just before address is a call (direct,
// or indirect through a register or memory): what a true return address
// follows. Read through the kernel's reader, so a wild address is no fault.
bool FollowsACall(uint64_t address)
{
    constexpr uint8_t CallDirect = 0xE8;
    constexpr uint8_t GroupFive = 0xFF;  // /2 is an indirect call
    constexpr size_t LongestCall = 7;
    uint8_t before[LongestCall] = {};
    if (address < LongestCall || !model::UnwindMemory().Read(address - LongestCall, before, LongestCall)) {
        return false;
    }
    if (before[LongestCall - 5] == CallDirect) {
        return true;
    }
    for (size_t length = 2; length <= LongestCall; ++length) {
        const size_t at = LongestCall - length;
        if (before[at] == GroupFive && ((before[at + 1] >> 3) & 7) == 2) {
            return true;
        }
    }
    return false;
}

// The report's trace is a true walk on both builds: at least the report
// callback's caller and one frame further, each return address right after
// a call instruction, up to the end of the stack (a frame at 0) or the
// frame limit; stack pointers only rise.
TEST_P(LifecycleTest, ReportTraceFollowsRealReturnAddresses)
{
    ASSERT_EQ(Load(MachineWithMappedConsole()), STATUS_SUCCESS);
    const ULONG_PTR parameters[4] = {0x10, 2, 0, 0xFFFFF8054A2B1C3D};
    model::BugCheck(0xD1, parameters, 0);
    const std::string console = model::ConsoleBytes();
    const size_t stack = console.find("STACK:\n");
    ASSERT_NE(stack, std::string::npos) << console;
    std::istringstream lines(console.substr(stack + 7));
    std::vector<std::pair<uint64_t, uint64_t>> frames;  // stack pointer, return address
    // The host build shows its own driver frames at the same function of the
    // shipped image, whose code differs: only where they lie is checked.
    std::vector<bool> presented;
    for (std::string line; std::getline(lines, line) && line != "BUGCHECK DUMP ENDS";) {
        presented.push_back(GetParam() == "host" &&
                            line.find(") vekcrashdmp.sys + ") != std::string::npos);
        const std::string address = line.substr(line.size() - 16);
        uint64_t returnAddress = std::stoull(address, nullptr, 16);
        const size_t named = line.find(" + ");
        if (named != std::string::npos) {
            const std::string module = line.substr(line.find(") ") + 2, named - line.find(") ") - 2);
            const model::LoadedImage* image = nullptr;
            model::ForEachImage([&](const model::LoadedImage& listed) {
                if (listed.Name == module) {
                    image = &listed;
                }
            });
            ASSERT_NE(image, nullptr) << line;
            returnAddress += image->Base;
        }
        frames.emplace_back(std::stoull(line.substr(0, 16), nullptr, 16), returnAddress);
    }
    ASSERT_GE(frames.size(), 2u) << console;
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        if (i > 0) {
            EXPECT_GT(frames[i].first, frames[i - 1].first);
        }
        if (frames[i].second == 0) {
            EXPECT_EQ(i + 1, frames.size()) << "the walk goes on past the end of the stack";
            continue;
        }
        if (!presented[i]) {
            EXPECT_TRUE(FollowsACall(frames[i].second)) << std::hex << frames[i].second;
        }
    }
}

model::MachineConfig MachineWithRoutines(bool createSecure, bool converter)
{
    model::MachineConfig config;
    config.Routines["IoCreateDeviceSecure"] = createSecure;
    config.Routines["SeConvertStringSecurityDescriptorToSecurityDescriptor"] = converter;
    return config;
}

TEST_P(LifecycleTest, TheDeviceAdmitsOnlyTheSystemThroughEveryCreationPath)
{
    const struct {
        const char* Name;
        bool CreateSecure, Converter;
        size_t DeviceCreations;  // IoCreateDevice calls: the driver's own path
    } cases[] = {
        {"driver's path and reader", false, false, 1},
        {"driver's path, kernel converter", false, true, 1},
        {"kernel routine", true, false, 0},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Load(MachineWithRoutines(c.CreateSecure, c.Converter)), STATUS_SUCCESS) << c.Name;
        EXPECT_EQ(model::CallsTo({"IoCreateDevice"}).size(), c.DeviceCreations) << c.Name;
        DecodedDescriptor d = DecodeSelfRelative(model::DeviceSecurity("\\Device\\VekCrashDmp"));
        EXPECT_EQ(d.Error, "") << c.Name;
        EXPECT_TRUE(d.DaclPresent && (d.Control & 0x1000) != 0) << c.Name << ": protected DACL";
        EXPECT_EQ(d.Dacl, (std::vector<DecodedAce>{{0, 0, 0x10000000, "S-1-5-18"}})) << c.Name;
        EXPECT_EQ(model::OpenHandles(), 0u) << c.Name;
        model::UnloadDriver();
    }
}

// The last of ROUTINE's documented failure statuses, as a fault may return
// it: seldom the status the driver would make up itself.
NTSTATUS LastDocumentedStatus(const char* routine)
{
    return model::FindRoutine(routine)->Statuses.back().Code;
}

TEST_P(LifecycleTest, AFailedDeviceSecurityFailsTheLoadAndLeavesNothing)
{
    constexpr NTSTATUS Refused = static_cast<NTSTATUS>(0xC0000123);
    const struct {
        bool CreateSecure, Converter;
        const char* Routine;
        const char* Tag;
        NTSTATUS Expected;
    } cases[] = {
        {false, false, "ExAllocatePoolWithTag", "SeAl", STATUS_INSUFFICIENT_RESOURCES},
        {false, false, "ExAllocatePoolWithTag", "SeSd", STATUS_INSUFFICIENT_RESOURCES},
        {false, false, "RtlAddAccessAllowedAce", "", Refused},
        {false, false, "ObOpenObjectByPointer", "", Refused},
        {false, false, "ZwSetSecurityObject", "", Refused},
        {false, true, "SeConvertStringSecurityDescriptorToSecurityDescriptor", "", Refused},
        {true, false, "IoCreateDeviceSecure", "", Refused},
    };
    for (const auto& c : cases) {
        model::Fault fault;
        fault.Routine = c.Routine;
        fault.Tag = c.Tag;
        NTSTATUS expected = c.Expected;
        if (expected == Refused) {
            fault.Status = expected = LastDocumentedStatus(c.Routine);
        }
        EXPECT_EQ(Load(MachineWithRoutines(c.CreateSecure, c.Converter), {fault}), expected)
            << c.Routine;
        EXPECT_FALSE(model::DriverLoaded()) << c.Routine;
        EXPECT_TRUE(model::DeviceNames().empty()) << c.Routine;
        EXPECT_EQ(model::OpenHandles(), 0u) << c.Routine;
        EXPECT_EQ(model::LivePoolBlocks(), (std::map<ULONG, size_t>{})) << c.Routine;
        EXPECT_TRUE(TakeViolations().empty()) << c.Routine;
    }
}

// A fault on the Nth call of a routine that allocates with the tag.
model::Fault PoolFault(const char* routine, unsigned call, const char* tag)
{
    model::Fault fault;
    fault.Routine = routine;
    fault.Call = call;
    fault.Tag = tag;
    return fault;
}

model::ImageLoad KernelImageLoad(const char* path, uint64_t offset)
{
    model::ImageLoad load;
    load.Image.Path = path;
    load.Image.Offset = offset;
    load.Image.Size = 0x2000;
    return load;
}

// 'MODU' blocks a clean load makes: the query buffer, then one entry per
// listed image.
unsigned ModuleMapAllocations()
{
    unsigned count = 0;
    for (const model::KernelCall& call : model::CallsTo({"ExAllocatePoolWithTag"})) {
        count += call.Detail.find("tag=MODU") != std::string::npos ? 1 : 0;
    }
    return count;
}

TEST_P(LifecycleTest, OutOfMemoryAtEachAllocationOfTheFirstFillLeavesNothing)
{
    ASSERT_EQ(Load(DefaultMachine()), STATUS_SUCCESS);
    const unsigned allocations = ModuleMapAllocations();
    EXPECT_GE(allocations, 3u);
    for (unsigned call = 1; call <= allocations; ++call) {
        SCOPED_TRACE(call);
        EXPECT_EQ(Load(DefaultMachine(), {PoolFault("ExAllocatePoolWithTag", call, "MODU")}),
                  STATUS_NO_MEMORY);
        EXPECT_FALSE(model::DriverLoaded());
        EXPECT_EQ(model::LivePoolBlocks(), (std::map<ULONG, size_t>{}));
        EXPECT_EQ(RoutineNames(model::CallsTo({"PsSetLoadImageNotifyRoutine"})),
                  std::vector<std::string>{});
        EXPECT_TRUE(TakeViolations().empty());
    }
    // Without the kernel's query routine, the system module list is
    // fetched into a scratch buffer: for the size query, then for the data.
    model::MachineConfig fallback = DefaultMachine();
    fallback.Routines["RtlQueryModuleInformation"] = false;
    for (unsigned call = 1; call <= 2; ++call) {
        SCOPED_TRACE(call);
        EXPECT_EQ(Load(fallback, {PoolFault("ExAllocatePoolWithQuotaTag", call, "AuxK")}),
                  STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(model::DriverLoaded());
        EXPECT_EQ(model::LivePoolBlocks(), (std::map<ULONG, size_t>{}));
        EXPECT_TRUE(TakeViolations().empty());
    }
}

TEST_P(LifecycleTest, FirstFillGivesTheSameTableThroughEitherQuery)
{
    std::vector<std::string> tables;
    for (bool kernelRoutine : {true, false}) {
        model::MachineConfig config = DefaultMachine();
        config.Routines["RtlQueryModuleInformation"] = kernelRoutine;
        ASSERT_EQ(Load(config), STATUS_SUCCESS);
        // The fallback reads class 11 into a scratch buffer and frees it.
        EXPECT_EQ(model::CallsTo({"ExAllocatePoolWithQuotaTag"}).size(), kernelRoutine ? 0u : 2u);
        const ULONG_PTR parameters[4] = {};
        model::BugCheck(0xD1, parameters);
        std::string console = model::ConsoleBytes();
        size_t start = console.find("Module\t");
        size_t end = console.find("BUGCHECK CODE");
        ASSERT_NE(start, std::string::npos);
        tables.push_back(console.substr(start, end - start));
    }
    EXPECT_EQ(tables[0], tables[1]);
    EXPECT_NE(tables[0].find("\nhal.dll\t"), std::string::npos) << tables[0];
}

TEST_P(LifecycleTest, ImageLoadsThatRunOutOfMemoryRecordNothingAndLeakNothing)
{
    struct Case {
        const char* Name;
        model::Fault Fault;
    };
    ASSERT_EQ(Load(DefaultMachine()), STATUS_SUCCESS);
    const unsigned allocations = ModuleMapAllocations();
    const std::map<ULONG, size_t> entries = model::LivePoolBlocks();
    model::Fault conversion;
    conversion.Routine = "RtlUnicodeStringToAnsiString";
    // After the first fill's blocks: the name's copy, then the entry.
    const Case cases[] = {
        {"name conversion", conversion},
        {"name copy", PoolFault("ExAllocatePoolWithTag", allocations + 1, "MODU")},
        {"entry", PoolFault("ExAllocatePoolWithTag", allocations + 2, "MODU")},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.Name);
        ASSERT_EQ(Load(DefaultMachine(), {item.Fault}), STATUS_SUCCESS);
        std::vector<std::string> errors;
        model::RunImageLoads(
            {KernelImageLoad("\\SystemRoot\\System32\\drivers\\late.sys", 0x100000)}, &errors);
        EXPECT_EQ(errors, std::vector<std::string>{});
        EXPECT_EQ(model::LivePoolBlocks(), entries);
        const ULONG_PTR parameters[4] = {};
        model::BugCheck(0xD1, parameters);
        EXPECT_EQ(model::ConsoleBytes().find("late.sys"), std::string::npos);
        EXPECT_TRUE(TakeViolations().empty());
    }
}

// The module table's rows, module names only, in the order printed.
std::vector<std::string> TableModules(const std::string& console)
{
    std::vector<std::string> names;
    size_t at = console.find("Module\tPdbName\tGuid\tPdbAge\n");
    if (at == std::string::npos) {
        return names;
    }
    at = console.find('\n', at) + 1;
    while (at < console.size() && console.compare(at, 9, "BUGCHECK ") != 0) {
        size_t end = console.find('\n', at);
        names.push_back(console.substr(at, console.find('\t', at) - at));
        at = end + 1;
    }
    return names;
}

// Overlapping images loaded on four processors at once, under many seeds:
// whatever order the processors run in, the map ends as the rules give for
// one of the orders, sorted and without overlaps.
TEST_P(LifecycleTest, ConcurrentOverlappingLoadsEndAsSomeOrderOfThem)
{
    struct Placed {
        const char* Name;
        uint64_t Offset;
        uint64_t Size;
    };
    const Placed loads[] = {
        {"a.sys", 0x100000, 0x3000},
        {"b.sys", 0x102000, 0x3000},
        {"c.sys", 0x104000, 0x1000},
        {"d.sys", 0x0FF000, 0x8000},
    };
    // Every order the four loads can take, through the reference rules.
    std::set<std::vector<std::string>> possible;
    std::vector<int> order = {0, 1, 2, 3};
    do {
        ReferenceModuleMap reference;
        for (int i : order) {
            reference.Insert(loads[i].Offset, loads[i].Size, loads[i].Name);
        }
        std::vector<std::string> names;
        for (const ReferenceModule& module : reference.Modules()) {
            names.push_back(module.Name);
        }
        possible.insert(names);
    } while (std::next_permutation(order.begin(), order.end()));

    std::set<std::vector<std::string>> seen;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        model::MachineConfig config = DefaultMachine();
        config.Processors = 4;
        config.Seed = seed;
        ASSERT_EQ(Load(config), STATUS_SUCCESS);
        std::vector<model::ImageLoad> batch;
        for (unsigned i = 0; i < 4; ++i) {
            model::ImageLoad load = KernelImageLoad("", loads[i].Offset);
            load.Image.Path = std::string("\\SystemRoot\\System32\\drivers\\") + loads[i].Name;
            load.Image.Size = loads[i].Size;
            load.Processor = i;
            batch.push_back(load);
        }
        std::vector<std::string> errors;
        model::RunImageLoads(batch, &errors);
        const ULONG_PTR parameters[4] = {};
        model::BugCheck(0xD1, parameters);
        std::vector<std::string> names = TableModules(model::ConsoleBytes());
        // The kernel's own images lie apart from these.
        std::vector<std::string> loaded;
        for (const std::string& name : names) {
            if (name.size() == 5 && name.compare(1, 4, ".sys") == 0) {
                loaded.push_back(name);
            }
        }
        EXPECT_EQ(possible.count(loaded), 1u) << "seed " << seed;
        seen.insert(loaded);
        EXPECT_TRUE(TakeViolations().empty()) << "seed " << seed;
    }
    // The seeds reach more than one order.
    EXPECT_GT(seen.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Images, LifecycleTest, ::testing::Values("host", "sys"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

// The host build's trace shows its frames as the listed images': the report
// callback's caller in BugCheckReportCallback of vekcrashdmp.sys and the
// kernel's call at KxCallDriverReturn, from the table built beside the host
// image; a host image without its table, or beside a table made for another
// build of it, still names both modules, at their bases.
class HostTraceTest : public ModelTest {};

TEST_F(HostTraceTest, NamesTheListedImagesWithOrWithoutTheFunctionTable)
{
    namespace fs = std::filesystem;
    const fs::path built = model::DefaultHostImagePath();
    std::ifstream table(fs::path(built).replace_extension(".frames"));
    uint64_t kernelReturn = 0;
    uint64_t callbackStart = 0;
    uint64_t callbackSize = 0;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string kind;
        std::string name;
        uint64_t ignored = 0;
        fields >> kind >> std::hex;
        if (kind == "kernel-call-return") {
            fields >> kernelReturn;
        } else if (fields >> ignored >> ignored >> callbackStart >> callbackSize >> name &&
                   name == "BugCheckReportCallback") {
            break;
        }
    }
    ASSERT_NE(kernelReturn, 0u);
    ASSERT_NE(callbackSize, 0u);
    // The same image alone in a folder of its own: no table beside it.
    char folder[] = "/tmp/vek-host-trace-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const fs::path alone = fs::path(folder) / built.filename();
    fs::copy_file(built, alone);
    // And beside another copy, a table left from an earlier build of it.
    const fs::path stale = fs::path(folder) / "stale" / built.filename();
    fs::create_directory(stale.parent_path());
    fs::copy_file(built, stale);
    {
        std::ifstream fresh(fs::path(built).replace_extension(".frames"));
        std::ofstream old(fs::path(stale).replace_extension(".frames"));
        for (std::string line; std::getline(fresh, line);) {
            old << (line.rfind("host-build-id ", 0) == 0 ? "host-build-id 00" : line) << "\n";
        }
    }
    struct Case {
        fs::path Image;
        uint64_t DriverLow, DriverHigh, Kernel;
    };
    const Case cases[] = {
        {built, callbackStart, callbackStart + callbackSize, kernelReturn},
        {alone, 0, 0, 0},
        {stale, 0, 0, 0},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.Image);
        StartMachine(MachineWithMappedConsole());
        std::string error;
        auto image = model::OpenHostImage(item.Image, &error);
        ASSERT_TRUE(image) << error;
        ASSERT_EQ(model::LoadDriver(*image), STATUS_SUCCESS);
        const ULONG_PTR parameters[4] = {0x10, 2, 0, 0xFFFFF8054A2B1C3D};
        model::BugCheck(0xD1, parameters, 0);
        const std::string console = model::ConsoleBytes();
        ASSERT_FALSE(console.empty()) << "the console was empty: the driver printed no report";
        const size_t stack = console.find("STACK:\n");
        ASSERT_NE(stack, std::string::npos) << "no STACK section in the console:\n" << console;
        std::istringstream lines(console.substr(stack + 7));
        std::vector<std::pair<std::string, uint64_t>> frames;
        for (std::string line; std::getline(lines, line) && line != "BUGCHECK DUMP ENDS";) {
            const size_t named = line.find(" + ");
            const size_t module = line.find(") ");
            ASSERT_TRUE(named != std::string::npos && module != std::string::npos &&
                        module + 2 <= named && line.size() > named + 3)
                << "not a frame line: " << line;
            frames.emplace_back(line.substr(module + 2, named - module - 2),
                                std::strtoull(line.c_str() + named + 3, nullptr, 16));
        }
        ASSERT_EQ(frames.size(), 2u) << console;
        EXPECT_EQ(frames[0].first, "vekcrashdmp.sys");
        EXPECT_GE(frames[0].second, item.DriverLow);
        EXPECT_LE(frames[0].second, item.DriverHigh);
        EXPECT_EQ(frames[1], std::make_pair(std::string("ntoskrnl.exe"), item.Kernel));
        image.reset();
    }
    fs::remove_all(folder);
}

}  // namespace
}  // namespace vektest
