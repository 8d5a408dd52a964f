// The scenario reader: every bad input is refused with one line that names
// the key and what was wrong with it; the good inputs that are easy to get
// wrong are read as meant.
#include "sim/scenario.h"

#include <gtest/gtest.h>

#include <cstdint>

#include <algorithm>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct BadScenario {
    const char* Name;
    std::string Text;
    // The error must start with "Path: " and contain What.
    const char* Path;
    const char* What;
};

void PrintTo(const BadScenario& bad, std::ostream* out)
{
    *out << bad.Name;
}

// Documents around the fields under test.
std::string Machine(const std::string& fields)
{
    return R"({"machine": {)" + fields + R"(}, "events": []})";
}

std::string Events(const std::string& events)
{
    return R"({"events": [)" + events + "]}";
}

std::string Version(const std::string& fields)
{
    return Machine(R"("os_version": {)" + fields + "}");
}

std::string Uart(const std::string& fields)
{
    return Machine(R"("uarts": [{"space": "io", )" + fields + "}]");
}

// A load followed by a bug check (events[1]) with the given extra fields.
std::string BugCheck(const std::string& fields)
{
    return Events(R"({"event": "load"}, {"event": "bugcheck", "code": "0xD1")" + fields + "}");
}

std::string Parameters(const std::string& list)
{
    return BugCheck(R"(, "parameters": [)" + list + "]");
}

std::string Time(const std::string& time)
{
    return BugCheck(R"(, "time": ")" + time + "\"");
}

// A machine with the crasher, and its event with the given extra fields.
std::string Crasher(const std::string& fields)
{
    return R"({"machine": {"test_drivers": ["crasher"]}, "events": [{"event": "crasher")" +
           fields + "}]}";
}

std::string Fault(const std::string& fields)
{
    return R"({"faults": [{)" + fields + R"(}], "events": []})";
}

const char* const Integer = "expected an integer";
const char* const UtcTime = "expected a UTC time";

// One case per check the reader makes; checks shared by many keys (unknown
// keys, missing keys, integers) are shown at a few depths only.
std::string RepeatText(const std::string& text, int times)
{
    std::string repeated;
    for (int i = 0; i < times; ++i) {
        repeated += text;
    }
    return repeated;
}

std::vector<BadScenario> BadScenarios()
{
    using namespace std::string_literals;
    const std::string fault = R"("routine": "IoCreateDevice", )";
    const std::string pool = R"("routine": "ExAllocatePoolWithTag", )";
    return {
        // The document.
        {"MalformedJson", R"({"events": [)", "not valid JSON", "parse error"},
        {"TopLevelList", "[]", "scenario", "expected an object"},
        {"MissingEvents", "{}", "events", "missing"},
        {"EventsNotAList", R"({"events": {}})", "events", "expected a list"},
        {"DescriptionNotText", R"({"description": 1, "events": []})", "description", "a string"},
        {"KeyRepeated", BugCheck(R"(, "code": "0x50")"), "events[1].code", "more than once"},
        {"DescriptionBeyondDouble", R"({"description": 1e309, "events": []})", "description",
         "too large"},
        {"IntegerOf310Digits", Version(R"("build": )" + std::string(310, '7')),
         "machine.os_version.build", "too large"},
        {"NulAfterTheDocument", "{\"events\": []}\0{\"machine\": 7}"s, "not valid JSON",
         "NUL byte"},

        // Unknown keys, and keys that belong to another kind of event.
        {"UnknownUartKey", Machine(R"("uarts": [{"space": "io", "address": 1016},
                                               {"space": "io", "address": 760, "irq": 3}])"),
         "machine.uarts[1].irq", "unknown key"},
        {"LoadTakesNoCode", Events(R"({"event": "load", "code": 1})"), "events[0].code", "unknown key"},

        // Integers: each way a number or a string of digits can be wrong.
        {"Fraction", Version(R"("build": 1.5)"), "machine.os_version.build", Integer},
        {"Negative", Events(R"({"event": "bugcheck", "code": -1})"), "events[0].code", Integer},
        {"BadHexDigit", Parameters(R"(0, 0, "0xZZ", 0)"), "events[1].parameters[2]", Integer},
        {"BareHexPrefix", Parameters(R"("0x", 0, 0, 0)"), "events[1].parameters[0]", Integer},
        {"DecimalOver64Bits", Parameters(R"("18446744073709551616", 0, 0, 0)"),
         "events[1].parameters[0]", Integer},
        {"BusyReadsAsWord", Uart(R"("address": 1016, "busy_reads": "always")"),
         "machine.uarts[0].busy_reads", Integer},

        // Other values of the wrong type or kind, and required keys.
        {"RoutinesAsList", Machine(R"("routines": [])"), "machine.routines", "an object"},
        {"PresenceAsWord", Machine(R"("routines": {"MmMapIoSpaceEx": "no"})"),
         "machine.routines.MmMapIoSpaceEx", "expected true or false"},
        {"UartsEmpty", Machine(R"("uarts": [])"), "machine.uarts", "expected a non-empty list"},
        {"FaultsAsObject", R"({"faults": {}, "events": []})", "faults", "expected a list"},
        {"UnknownEventKind", Events(R"({"event": "reboot"})"), "events[0].event",
         "expected one of \"load\", \"bugcheck\", \"unload\""},
        {"ThreeParameters", Parameters("1, 2, 3"), "events[1].parameters", "a list of four"},
        {"SpcrWithoutAddress", Machine(R"("spcr": {"kind": "memory"})"), "machine.spcr.address",
         "missing"},

        // Values out of range.
        {"NoProcessors", Machine(R"("processors": 0)"), "machine.processors", "from 1 to 64"},
        {"ProcessorBeyondMachine",
         R"({"machine": {"processors": 2},
             "events": [{"event": "bugcheck", "code": 1, "processor": 2}]})",
         "events[0].processor", "from 0 to 1"},
        {"NoDumpPasses",
         R"({"events": [{"event": "bugcheck", "code": 1, "secondary_dump_passes": 0}]})",
         "events[0].secondary_dump_passes", "from 1 to 2"},
        {"ThreeDumpPasses",
         R"({"events": [{"event": "bugcheck", "code": 1, "secondary_dump_passes": 3}]})",
         "events[0].secondary_dump_passes", "from 1 to 2"},
        {"PortAboveFFF8", Uart(R"("address": "0xFFF9")"), "machine.uarts[0].address", "to 65528"},
        {"SuiteMaskOver16Bits", Version(R"("suite_mask": "0x10000")"),
         "machine.os_version.suite_mask", "from 0 to 65535"},
        {"ServicePackText128", Version(R"("csd_version": ")" + std::string(128, 'x') + "\""),
         "machine.os_version.csd_version", "at most 127 characters"},
        {"ServicePackTextNotAscii", Version(R"("csd_version": "Servicé")"),
         "machine.os_version.csd_version", "plain ASCII"},

        // Times.
        {"Month13", Time("2024-13-01T00:00:00Z"), "events[1].time", UtcTime},
        {"February29InCommonYear", Time("2023-02-29T00:00:00Z"), "events[1].time", UtcTime},
        {"February29InCenturyYear", Time("2100-02-29T00:00:00Z"), "events[1].time", UtcTime},
        {"Year1600", Time("1600-12-31T23:59:59Z"), "events[1].time", UtcTime},
        {"SpaceInsideField", Time("2024- 3-05T07:08:09Z"), "events[1].time", UtcTime},
        {"MissingZone", Time("2024-03-05T07:08:09.042"), "events[1].time", UtcTime},
        {"LetterInFraction", Time("2024-03-05T07:08:09.0a2Z"), "events[1].time", UtcTime},
        {"BadMachineClock", Machine(R"("time": "2024-03-05 07:08:09Z")"), "machine.time", UtcTime},

        // Processor groups.
        {"GroupsNotAddingUp", Machine(R"("processors": 4, "groups": [2, 3])"), "machine.groups",
         R"(the groups hold 5 processors, "processors" says 4)"},
        {"GroupOf65", Machine(R"("groups": [65])"), "machine.groups[0]", "from 1 to 64"},
        {"NoGroups", Machine(R"("groups": [])"), "machine.groups", "non-empty list"},

        // Faults and routines a kernel may lack.
        {"FaultOnUnknownRoutine", Fault(R"("routine": "NtCreateFile")"), "faults[0].routine",
         "no kernel routine named \"NtCreateFile\""},
        {"FaultOnRoutineReturningNothing", Fault(R"("routine": "IoDeleteDevice")"),
         "faults[0].routine", "cannot be made to fail"},
        // Their contracts leave no failure a correct call can meet.
        {"FaultOnClosingAnOpenHandle", Fault(R"("routine": "ZwClose")"), "faults[0].routine",
         "cannot be made to fail"},
        {"FaultOnDeletingTheLink", Fault(R"("routine": "IoDeleteSymbolicLink")"),
         "faults[0].routine", "cannot be made to fail"},
        {"FaultOnRemovingTheCallback", Fault(R"("routine": "KeDeregisterBugCheckReasonCallback")"),
         "faults[0].routine", "cannot be made to fail"},
        {"FaultOnRemovingTheNotify", Fault(R"("routine": "PsRemoveLoadImageNotifyRoutine")"),
         "faults[0].routine", "cannot be made to fail"},
        {"FaultWithInformationalStatus", Fault(fault + R"("status": "0x40000000")"),
         "faults[0].status", "fails only with 0xC000009A (STATUS_INSUFFICIENT_RESOURCES), "
                             "0xC0000035 (STATUS_OBJECT_NAME_COLLISION)"},
        {"FaultWithUndocumentedStatus",
         Fault(R"("routine": "ExCreateCallback", "status": "0xC0000001")"),
         "faults[0].status",
         "'ExCreateCallback' fails only with 0xC000009A (STATUS_INSUFFICIENT_RESOURCES), "
         "0xC0000034 (STATUS_OBJECT_NAME_NOT_FOUND)"},
        // A valid processor index cannot fail its lookup.
        {"FaultOnAProcessorLookup", Fault(R"("routine": "KeGetProcessorNumberFromIndex")"),
         "faults[0].routine", "cannot be made to fail"},
        // Its page lists four statuses, STATUS_UNSUCCESSFUL not among them.
        {"FaultWithAStatusThePageDoesNotList",
         Fault(R"("routine": "RtlAddAccessAllowedAce", "status": "0xC0000001")"),
         "faults[0].status",
         "'RtlAddAccessAllowedAce' fails only with 0xC0000099 (STATUS_ALLOTTED_SPACE_EXCEEDED), "
         "0xC0000077 (STATUS_INVALID_ACL), 0xC0000078 (STATUS_INVALID_SID), 0xC0000059 "
         "(STATUS_REVISION_MISMATCH)"},
        {"StatusOnRoutineFailingWithNull", Fault(pool + R"("status": "0xC000009A")"),
         "faults[0].status", "fails without a status"},
        {"FaultOnVersionQuery", Fault(R"("routine": "RtlGetVersion")"), "faults[0].routine",
         "cannot be made to fail"},
        {"FaultOnCallZero", Fault(fault + R"("call": 0)"), "faults[0].call", "from 1 to 1000000"},
        {"EveryKernelHasRtlGetVersion", Machine(R"("routines": {"RtlGetVersion": false})"),
         "machine.routines.RtlGetVersion", "cannot be made absent"},
        {"AbsentRoutineUnknown", Machine(R"("routines": {"MmMapIoSpaceEx2": false})"),
         "machine.routines.MmMapIoSpaceEx2", "no kernel routine"},
        {"RoutineNameShownEscaped", Fault(R"("routine": "Io\nCreate\u001b[2J")"),
         "faults[0].routine", R"(no kernel routine named "Io\nCreate\x1B[2J")"},
        {"TagOnRoutineWithoutTag", Fault(fault + R"("tag": "MODU")"), "faults[0].tag",
         "\"IoCreateDevice\" takes no pool tag"},
        {"TagOfThreeCharacters", Fault(pool + R"("tag": "MOD")"), "faults[0].tag",
         "four printable ASCII characters"},
        {"TagWithControlByte", Fault(pool + R"("tag": "MO\tU")"), "faults[0].tag",
         "four printable ASCII characters"},
        {"TagAsNumber", Fault(pool + R"("tag": 1297040469)"), "faults[0].tag", "a string"},
        {"DetailEmpty", Fault(pool + R"("detail": "")"), "faults[0].detail", "from 1 to 256"},

        // The seed.
        {"SeedNegative", R"({"seed": -1, "events": []})", "seed", Integer},
        {"SeedOver64Bits", R"({"seed": "0x10000000000000000", "events": []})", "seed", Integer},
        {"SeedAsFraction", R"({"seed": 0.5, "events": []})", "seed", Integer},
        {"SeedAsWord", R"({"seed": "random", "events": []})", "seed", Integer},

        // Events in an order no machine can follow.
        {"UnloadTwice", Events(R"({"event": "load"}, {"event": "unload"}, {"event": "unload"})"),
         "events[2]", "no load comes before this unload"},
        {"LoadTwice", Events(R"({"event": "load"}, {"event": "load"})"), "events[1]",
         "already loaded"},
        // The hypervisor and the power events.
        {"VendorOfEleven", Machine(R"("hypervisor": {"vendor": "Microsoft H"})"),
         "machine.hypervisor.vendor", "exactly 12 printable ASCII"},
        {"UnknownPreset", Machine(R"("hypervisor": {"preset": "qemu"})"),
         "machine.hypervisor.preset", "expected one of \"qemu-kvm-hv-time\""},
        {"HypervisorAsWord", Machine(R"("hypervisor": "none")"), "machine.hypervisor",
         "expected \"absent\" or an object"},
        {"MsrAsWord", Machine(R"("hypervisor": {"msrs": {"hypercall": "gone"}})"),
         "machine.hypervisor.msrs.hypercall", Integer},
        {"UnknownMsr", Machine(R"("hypervisor": {"msrs": {"vp_index": 1}})"),
         "machine.hypervisor.msrs.vp_index", "unknown key"},
        {"AssistPagesOver64", Machine(R"("hypervisor": {"msrs": {"vp_assist_page": [0)" +
                                      RepeatText(", 0", 64) + "]}}"),
         "machine.hypervisor.msrs.vp_assist_page", "at most 64"},
        {"TscFrequencyZero", Machine(R"("hypervisor": {"tsc_frequency": 0})"),
         "machine.hypervisor.tsc_frequency", Integer},
        // No real hypervisor reports these; 10 MHz and less has no page scale.
        {"TscFrequencyTenMegahertz", Machine(R"("hypervisor": {"tsc_frequency": 10000000})"),
         "machine.hypervisor.tsc_frequency", "100000000 to 10000000000"},
        {"TscFrequencyOverTenGigahertz",
         Machine(R"("hypervisor": {"tsc_frequency": 10000000001})"),
         "machine.hypervisor.tsc_frequency", "100000000 to 10000000000"},
        // A register taken away while the features still grant it.
        {"AbsentMsrTheFeaturesGrant",
         Machine(R"("hypervisor": {"features": "0x2E7F", "msrs": {"guest_os_id": "absent"}})"),
         "machine.hypervisor", "msrs.guest_os_id is \"absent\" while features grant it (0x20)"},
        {"ResumeTakesTheRegisterNotThePrivilege",
         R"({"machine": {"hypervisor": {}}, "events": [{"event": "sleep"},
             {"event": "resume", "msrs": {"reference_tsc": "absent"}}]})",
         "events[1]", "msrs.reference_tsc is \"absent\" while features grant it (0x200)"},
        {"ResumeGrantsAnAbsentRegister",
         R"({"machine": {"hypervisor": {"features": "0x5F", "msrs": {"hypercall": "absent"}}},
             "events": [{"event": "sleep"}, {"event": "resume", "features": "0x7F"}]})",
         "events[1]", "msrs.hypercall is \"absent\""},
        {"ResumeTscFrequencyTooLow",
         Events(R"({"event": "sleep"}, {"event": "resume", "tsc_frequency": 1000})"),
         "events[1].tsc_frequency", "100000000 to 10000000000"},
        {"SleepOnAProcessorNotThere", Events(R"({"event": "sleep", "processor": 1})"),
         "events[0].processor", Integer},
        // Power callbacks run at DISPATCH_LEVEL or below.
        {"ResumeAtHighLevel", Events(R"({"event": "sleep"}, {"event": "resume", "irql": "high"})"),
         "events[1].irql", "one of \"passive\", \"apc\", \"dispatch\""},
        {"BrandOf48", Machine(R"("processor_brand": ")" + std::string(48, 'x') + "\""),
         "machine.processor_brand", "at most 47"},
        {"ResumeWithoutSleep", Events(R"({"event": "resume"})"), "events[0]",
         "no sleep comes before this resume"},
        {"SleepTwice", Events(R"({"event": "sleep"}, {"event": "sleep"})"), "events[1]",
         "already asleep"},
        {"SleepStateUnknown", Events(R"({"event": "sleep", "state": "S3"})"), "events[0].state",
         "standby"},
        // A bug check may name only a processor online at that point.
        {"BugCheckOnProcessorAResumeTookAway",
         R"({"machine": {"processors": 3},
             "events": [{"event": "sleep"}, {"event": "resume", "processors": 2},
                        {"event": "bugcheck", "code": 1, "processor": 2}]})",
         "events[2].processor", "from 0 to 1"},
        {"BugCheckOnProcessorBeyondTheResume",
         R"({"machine": {"processors": 2},
             "events": [{"event": "sleep"}, {"event": "resume", "processors": 3},
                        {"event": "bugcheck", "code": 1, "processor": 3}]})",
         "events[2].processor", "from 0 to 2"},
        {"ResumeToNoProcessors", Events(R"({"event": "sleep"}, {"event": "resume", "processors": 0})"),
         "events[1].processors", "from 1 to 64"},
        {"NotificationWithoutArgument2", Events(R"({"event": "power_notification", "argument1": 3})"),
         "events[0].argument2", "missing"},
        {"UnloadAfterBugCheck",
         Events(R"({"event": "load"}, {"event": "bugcheck", "code": 1}, {"event": "unload"})"),
         "events[2]", "stopped by an earlier bug check"},
        {"UnknownTestDriver", Machine(R"("test_drivers": ["notmyfault"])"),
         "machine.test_drivers[0]", "one of"},
        {"TestDriverTwice", Machine(R"("test_drivers": ["crasher", "crasher"])"),
         "machine.test_drivers[1]", "listed twice"},
        {"CrasherNotLoaded", Events(R"({"event": "crasher"})"), "events[0]",
         "list \"crasher\" in machine.test_drivers"},
        {"CrasherAccessUnknown", Crasher(R"(, "access": "jump")"), "events[0].access", "one of"},
        {"CrasherDamagedFrameUnknown", Crasher(R"(, "damaged_frame": "torn")"),
         "events[0].damaged_frame", "one of"},
        {"CrasherDamagedFrameNotAString", Crasher(R"(, "damaged_frame": true)"),
         "events[0].damaged_frame", "one of"},
        {"CrasherFrameWildAndDamaged",
         Crasher(R"(, "wild_frame": true, "damaged_frame": "unwind_data_out")"),
         "events[0].damaged_frame", "not both"},
        {"CrasherOnMissingProcessor", Crasher(R"(, "processor": 1)"), "events[0].processor",
         "from 0 to 0"},
        {"UnloadAfterCrasher", Crasher(R"(}, {"event": "unload")"), "events[1]",
         "nothing can follow it"},
    };
}

class BadScenarioTest : public ::testing::TestWithParam<BadScenario> {};

TEST_P(BadScenarioTest, IsRefusedNamingTheKeyAndTheFault)
{
    const BadScenario& bad = GetParam();
    sim::Scenario scenario;
    std::string error;
    ASSERT_FALSE(sim::ParseScenario(bad.Text, &scenario, &error));
    EXPECT_EQ(error.rfind(std::string(bad.Path) + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(bad.What), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "more than one line: " << error;
}

INSTANTIATE_TEST_SUITE_P(Reader, BadScenarioTest, ::testing::ValuesIn(BadScenarios()),
                         [](const auto& info) { return std::string(info.param.Name); });

sim::Scenario Parse(const std::string& text)
{
    sim::Scenario scenario;
    std::string error;
    EXPECT_TRUE(sim::ParseScenario(text, &scenario, &error)) << error;
    return scenario;
}

// JSON tools often cannot hold 64-bit values exactly, so strings in hex or
// decimal stand in for integers; both must give the same value.
TEST(ScenarioReaderTest, TakesSixtyFourBitValuesAsIntegersOrStrings)
{
    auto events = Parse(Events(R"({"event": "bugcheck", "code": 18446744073709551615,
        "parameters": ["0xFFFFFFFFFFFFFFFF", "18446744073709551615", "0XaBcD", 7]})")).Events;
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Code, UINT64_MAX);
    const ULONG_PTR expected[4] = {UINT64_MAX, UINT64_MAX, 0xABCD, 7};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), events[0].Parameters));
}

// What the reader made of a UART, comparable in one step.
auto Settings(const model::UartConfig& uart)
{
    return std::make_tuple(uart.MemoryMapped, uart.Address, uart.BusyReads, uart.BusyForever,
                           int{uart.InitialLineControl});
}

TEST(ScenarioReaderTest, ReadsEveryUartSetting)
{
    auto uarts = Parse(Machine(R"("uarts": [
        {"space": "memory", "address": "0xFE000000", "busy_reads": 3, "line_control": "0x83"},
        {"space": "io", "address": "0xFFF8", "busy_reads": "forever"}])")).Machine.Uarts;
    ASSERT_EQ(uarts.size(), 2u);
    EXPECT_EQ(Settings(uarts[0]), Settings({true, 0xFE000000, 3, false, 0x83}));
    EXPECT_EQ(Settings(uarts[1]), Settings({false, 0xFFF8, 0, true}));
}

TEST(ScenarioReaderTest, ReadsTheSeedAsSixtyFourBits)
{
    EXPECT_EQ(Parse(Events("")).Machine.Seed, 0u);
    EXPECT_EQ(Parse(R"({"seed": "0xFFFFFFFFFFFFFFFF", "events": []})").Machine.Seed, UINT64_MAX);
    EXPECT_EQ(Parse(R"({"seed": 12345, "events": []})").Machine.Seed, 12345u);
}

TEST(ScenarioReaderTest, ReadsFaultSelectors)
{
    auto faults = Parse(Fault(R"("routine": "ExAllocatePoolWithTag", "tag": "MODU",
                                 "detail": "size=64", "call": 2)")).Faults;
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].Routine, "ExAllocatePoolWithTag");
    EXPECT_EQ(faults[0].Tag, "MODU");
    EXPECT_EQ(faults[0].Detail, "size=64");
    EXPECT_EQ(faults[0].Call, 2u);
}

TEST(ScenarioReaderTest, ReadsTheCrasherEvent)
{
    sim::Scenario defaults = Parse(Crasher(""));
    EXPECT_EQ(defaults.Machine.TestDrivers, std::vector<std::string>{"crasher"});
    ASSERT_EQ(defaults.Events.size(), 1u);
    EXPECT_EQ(defaults.Events[0].CrasherAccess, 0u);  // a read
    EXPECT_EQ(defaults.Events[0].CrasherAddress, 0x10u);
    sim::Scenario given = Parse(R"({"machine": {"processors": 2, "test_drivers": ["crasher"]},
        "events": [{"event": "crasher", "access": "execute", "address": "0xFFFFF80312345678",
                    "processor": 1, "wild_frame": true}]})");
    ASSERT_EQ(given.Events.size(), 1u);
    EXPECT_EQ(given.Events[0].CrasherAccess, 0x102u);  // with the wild-frame flag
    EXPECT_EQ(given.Events[0].CrasherAddress, 0xFFFFF80312345678u);
    EXPECT_EQ(given.Events[0].Processor, 1u);
    EXPECT_EQ(given.Events[0].CrasherPageOut, sim::Event::CrasherPage::None);

    // Each damaged frame: the crasher's flag for it, and the page of the
    // crasher taken out first.
    using Page = sim::Event::CrasherPage;
    const struct {
        const char* Frame;
        uint32_t Access;
        Page PageOut;
    } damaged[] = {
        {"saved_register_out", 0x201, Page::Stack},
        {"return_address_out", 0x401, Page::Stack},
        {"stack_pointer_in_hole", 0x801, Page::None},
        {"unwind_data_out", 0x001, Page::UnwindData},
    };
    for (const auto& c : damaged) {
        SCOPED_TRACE(c.Frame);
        sim::Scenario scenario =
            Parse(Crasher(std::string(R"(, "access": "write", "damaged_frame": ")") + c.Frame + "\""));
        ASSERT_EQ(scenario.Events.size(), 1u);
        EXPECT_EQ(scenario.Events[0].CrasherAccess, c.Access);
        EXPECT_EQ(scenario.Events[0].CrasherPageOut, c.PageOut);
    }
}

TEST(ScenarioReaderTest, ReadsEveryEventKindInOrder)
{
    auto events = Parse(Events(R"({"event": "load"}, {"event": "unload"}, {"event": "load"},
                                  {"event": "bugcheck", "code": 1})")).Events;
    std::vector<std::string> names;
    for (const sim::Event& event : events) {
        names.emplace_back(sim::EventName(event));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"load", "unload", "load", "bugcheck"}));
}

TEST(ScenarioReaderTest, ReadsTheHypervisorAndWhatAResumeChanges)
{
    sim::Scenario scenario = Parse(R"({"machine": {"processors": 2,
        "processor_brand": "Intel(R) Xeon(R) CPU E5-2673 v4 @ 2.30GHz",
        "hypervisor": {"highest_leaf": "0x40000008", "features": "0x2E7F",
                       "msrs": {"guest_os_id": "0x8100000000000000",
                                "vp_assist_page": ["0x1001", "0x2001"]}}},
      "events": [{"event": "load"}, {"event": "sleep", "state": "hibernate"},
                 {"event": "resume", "reset_msrs": true, "processors": 5, "features": "0x20",
                  "vendor": "Linux KVM Hv", "highest_leaf": "0x40000005",
                  "interface": "0x31235356", "feature_flags": 0, "tsc_frequency": 3000000000,
                  "processor": 4,
                  "msrs": {"reference_tsc": "absent", "vp_assist_page": "absent"}},
                 {"event": "power_notification", "argument1": 4, "argument2": 1}]})");
    const model::HypervisorConfig& hv = scenario.Machine.Hypervisor;
    EXPECT_TRUE(hv.Present);
    EXPECT_EQ(hv.HighestLeaf, 0x40000008u);
    EXPECT_EQ(hv.GuestOsId.Value, 0x8100000000000000u);
    EXPECT_TRUE(hv.Hypercall.Offered);
    EXPECT_EQ(hv.VpAssistPage, (std::vector<uint64_t>{0x1001, 0x2001}));
    EXPECT_EQ(scenario.Machine.MaxProcessors, 5u);  // room for the resume
    const model::ResumeChanges& resume = scenario.Events[2].Resume;
    EXPECT_TRUE(resume.ResetMsrs);
    EXPECT_EQ(resume.Features, 0x20u);
    EXPECT_EQ(resume.ReferenceTsc->Offered, false);
    EXPECT_EQ(resume.VpAssistPageOffered, false);
    EXPECT_FALSE(resume.GuestOsId);
    EXPECT_EQ(resume.Vendor, "Linux KVM Hv");
    EXPECT_EQ(resume.HighestLeaf, 0x40000005u);
    EXPECT_EQ(resume.Interface, 0x31235356u);
    EXPECT_EQ(resume.FeatureFlags, 0u);
    EXPECT_EQ(resume.TscFrequency, 3000000000u);
    EXPECT_EQ(scenario.Events[2].Processor, 4u);
    EXPECT_EQ(scenario.Events[3].Argument1, 4u);
}

// A preset gives every field as that hypervisor presents it; a key beside
// it overrides that field only.
TEST(ScenarioReaderTest, APresetGivesItsFieldsAndKeysBesideItOverride)
{
    sim::Scenario scenario = Parse(R"({"machine": {"hypervisor": {"preset": "xen-viridian",
        "feature_flags": "0x100", "msrs": {"hypercall": "0x7E000001"}}}, "events": []})");
    const model::HypervisorConfig& hv = scenario.Machine.Hypervisor;
    EXPECT_TRUE(hv.Present);
    EXPECT_EQ(hv.Vendor, "Microsoft Hv");
    EXPECT_EQ(hv.HighestLeaf, 0x40000006u);
    EXPECT_EQ(hv.Features, 0x872u);
    EXPECT_EQ(hv.FeatureFlags, 0x100u);
    EXPECT_EQ(hv.Hypercall.Value, 0x7E000001u);
}

TEST(ScenarioReaderTest, BugCheckMayNameAProcessorOnlyAResumeBrought)
{
    sim::Scenario scenario = Parse(R"({"machine": {"processors": 2},
      "events": [{"event": "load"}, {"event": "sleep"},
                 {"event": "resume", "processors": 3}, {"event": "power_notification",
                  "argument1": 1, "argument2": 0},
                 {"event": "bugcheck", "code": "0xD1", "processor": 2}]})");
    EXPECT_EQ(scenario.Events[4].Processor, 2u);
}

}  // namespace
