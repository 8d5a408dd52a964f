// The scenario reader: every bad input is refused with one line that names
// the key and what was wrong with it; the good inputs that are easy to get
// wrong are read as meant.
#include "scenario.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
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

std::string WithMachine(const std::string& fields)
{
    return R"({"machine": {)" + fields + R"(}, "events": []})";
}

std::string WithVersion(const std::string& fields)
{
    return WithMachine(R"("os_version": {)" + fields + "}");
}

std::string WithEvents(const std::string& events)
{
    return R"({"events": [)" + events + "]}";
}

// A load followed by a bug check (events[1]) with the given extra fields.
std::string WithBugCheck(const std::string& fields)
{
    return WithEvents(R"({"event": "load"}, {"event": "bugcheck", "code": "0xD1")" + fields + "}");
}

std::string WithBugCheckTime(const std::string& time)
{
    return WithBugCheck(R"(, "time": ")" + time + "\"");
}

std::string WithFault(const std::string& fields)
{
    return R"({"faults": [{)" + fields + R"(}], "events": []})";
}

const char* const Integer = "expected an integer";
const char* const Time = "expected a UTC time";
const char* const Unknown = "unknown key";

std::vector<BadScenario> BadScenarios()
{
    const std::string longText(128, 'x');
    return {
        // The document.
        {"MalformedJson", R"({"events": [)", "not valid JSON", "parse error"},
        {"TopLevelList", "[]", "scenario", "expected an object"},
        {"MissingEvents", "{}", "events", "missing"},
        {"EventsNotAList", R"({"events": {}})", "events", "expected a list"},
        {"DescriptionNotText", R"({"description": 1, "events": []})", "description",
         "expected a string"},
        {"TopLevelKeyRepeated", R"({"events": [], "events": [{"event": "load"}]})", "events",
         "given more than once"},
        {"EventKeyRepeated", WithBugCheck(R"(, "code": "0x50")"), "events[1].code",
         "given more than once"},

        // Unknown keys, at every level.
        {"UnknownTopLevelKey", R"({"modules": [], "events": []})", "modules", Unknown},
        {"UnknownMachineKey", WithMachine(R"("hypervisor": {})"), "machine.hypervisor", Unknown},
        {"UnknownVersionKey", WithVersion(R"("edition": "Pro")"), "machine.os_version.edition",
         Unknown},
        {"UnknownSpcrKey", WithMachine(R"("spcr": {"kind": "absent", "baud": 115200})"),
         "machine.spcr.baud", Unknown},
        {"UnknownUartKey",
         WithMachine(R"("uarts": [{"space": "io", "address": "0x3F8"},
                                  {"space": "io", "address": "0x2F8", "irq": 3}])"),
         "machine.uarts[1].irq", Unknown},
        {"UnknownFaultKey", WithFault(R"("routine": "IoCreateDevice", "after": 2)"),
         "faults[0].after", Unknown},
        {"UnknownBugCheckKey", WithBugCheck(R"(, "cpu": 1)"), "events[1].cpu", Unknown},
        {"LoadTakesNoCode", WithEvents(R"({"event": "load", "code": 1})"), "events[0].code",
         Unknown},

        // Values of the wrong type or kind.
        {"ProcessorsAsWord", WithMachine(R"("processors": "two")"), "machine.processors", Integer},
        {"BuildAsFraction", WithVersion(R"("build": 1.5)"), "machine.os_version.build", Integer},
        {"ParametersAsNumber", WithBugCheck(R"(, "parameters": 5)"), "events[1].parameters",
         "expected a list of four"},
        {"UartsAsObject", WithMachine(R"("uarts": {})"), "machine.uarts",
         "expected a non-empty list"},
        {"UartsEmpty", WithMachine(R"("uarts": [])"), "machine.uarts",
         "expected a non-empty list"},
        {"FaultsAsObject", R"({"faults": {}, "events": []})", "faults", "expected a list"},
        {"RoutinesAsList", WithMachine(R"("routines": [])"), "machine.routines",
         "expected an object"},
        {"RoutinePresenceAsWord", WithMachine(R"("routines": {"MmMapIoSpaceEx": "no"})"),
         "machine.routines.MmMapIoSpaceEx", "expected true or false"},
        {"ServicePackTextAsNumber", WithVersion(R"("csd_version": 1)"),
         "machine.os_version.csd_version", "expected a string"},
        {"TimeAsNumber", WithBugCheck(R"(, "time": 0)"), "events[1].time", "expected a string"},
        {"UnknownEventKind", WithEvents(R"({"event": "reboot"})"), "events[0].event",
         "expected one of \"load\", \"bugcheck\", \"unload\""},
        {"UnknownAddressSpace", WithMachine(R"("uarts": [{"space": "pci", "address": 0}])"),
         "machine.uarts[0].space", "expected one of"},
        {"UnknownSpcrKind", WithMachine(R"("spcr": {"kind": "pci", "address": 0})"),
         "machine.spcr.kind", "expected one of"},
        {"UnknownPoolZeroing", WithMachine(R"("pool_zeroing": true)"), "machine.pool_zeroing",
         "expected one of"},
        {"BusyReadsAsWord", WithMachine(R"("uarts": [{"space": "io", "address": 1016,
                                                      "busy_reads": "always"}])"),
         "machine.uarts[0].busy_reads", Integer},

        // Required keys.
        {"SpcrWithoutKind", WithMachine(R"("spcr": {"address": 0})"), "machine.spcr.kind",
         "missing"},
        {"SpcrWithoutAddress", WithMachine(R"("spcr": {"kind": "memory"})"),
         "machine.spcr.address", "missing"},
        {"UartWithoutAddress", WithMachine(R"("uarts": [{"space": "io"}])"),
         "machine.uarts[0].address", "missing"},
        {"BugCheckWithoutCode", WithEvents(R"({"event": "bugcheck"})"), "events[0].code",
         "missing"},
        {"FaultWithoutRoutine", WithFault(R"("call": 1)"), "faults[0].routine", "missing"},

        // Values out of range.
        {"NoProcessors", WithMachine(R"("processors": 0)"), "machine.processors",
         "from 1 to 64"},
        {"SixtyFiveProcessors", WithMachine(R"("processors": 65)"), "machine.processors",
         "from 1 to 64"},
        {"PortAboveFFF8",
         WithMachine(R"("uarts": [{"space": "io", "address": "0xFFF9"}])"),
         "machine.uarts[0].address", "from 0 to 65528"},
        {"ProductType256", WithVersion(R"("product_type": 256)"),
         "machine.os_version.product_type", "from 0 to 255"},
        {"SuiteMaskAbove16Bits", WithVersion(R"("suite_mask": "0x10000")"),
         "machine.os_version.suite_mask", "from 0 to 65535"},
        {"ServicePackText128Characters", WithVersion(R"("csd_version": ")" + longText + "\""),
         "machine.os_version.csd_version", "at most 127 characters"},
        {"ServicePackTextNotAscii", WithVersion(R"("csd_version": "Servicé")"),
         "machine.os_version.csd_version", "plain ASCII"},
        {"LineControl256", WithMachine(R"("uarts": [{"space": "io", "address": 1016,
                                                     "line_control": 256}])"),
         "machine.uarts[0].line_control", "from 0 to 255"},
        {"ThreeParameters", WithBugCheck(R"(, "parameters": [1, 2, 3])"),
         "events[1].parameters", "expected a list of four"},
        {"FiveParameters", WithBugCheck(R"(, "parameters": [1, 2, 3, 4, 5])"),
         "events[1].parameters", "expected a list of four"},
        {"ParameterWithBadHexDigits", WithBugCheck(R"(, "parameters": [0, 0, "0xZZ", 0])"),
         "events[1].parameters[2]", Integer},
        {"BareHexPrefix", WithBugCheck(R"(, "parameters": ["0x", 0, 0, 0])"),
         "events[1].parameters[0]", Integer},
        {"HexWiderThan64Bits", WithBugCheck(R"(, "parameters": ["0x10000000000000000", 0, 0, 0])"),
         "events[1].parameters[0]", Integer},
        {"DecimalTextAbove64Bits",
         WithBugCheck(R"(, "parameters": ["18446744073709551616", 0, 0, 0])"),
         "events[1].parameters[0]", Integer},
        {"NumberAbove64Bits", WithBugCheck(R"(, "parameters": [18446744073709551616, 0, 0, 0])"),
         "events[1].parameters[0]", Integer},
        {"NegativeCode", WithEvents(R"({"event": "bugcheck", "code": -1})"), "events[0].code",
         Integer},
        {"ProcessorBeyondMachine",
         R"({"machine": {"processors": 2},
             "events": [{"event": "bugcheck", "code": 1, "processor": 2}]})",
         "events[0].processor", "from 0 to 1"},

        // Times.
        {"Month13", WithBugCheckTime("2024-13-01T00:00:00Z"), "events[1].time", Time},
        {"February30", WithBugCheckTime("2024-02-30T00:00:00Z"), "events[1].time", Time},
        {"February29InCommonYear", WithBugCheckTime("2023-02-29T00:00:00Z"), "events[1].time",
         Time},
        {"February29InCenturyYear", WithBugCheckTime("2100-02-29T00:00:00Z"), "events[1].time",
         Time},
        {"Hour24", WithBugCheckTime("2024-03-05T24:00:00Z"), "events[1].time", Time},
        {"MissingZone", WithBugCheckTime("2024-03-05T07:08:09.042"), "events[1].time", Time},
        {"OffsetInsteadOfZ", WithBugCheckTime("2024-03-05T07:08:09+01:00"), "events[1].time", Time},
        {"TwoDigitFraction", WithBugCheckTime("2024-03-05T07:08:09.42Z"), "events[1].time", Time},
        {"SignInsideField", WithBugCheckTime("2024-+3-05T07:08:09Z"), "events[1].time", Time},
        {"SpaceInsideField", WithBugCheckTime("2024- 3-05T07:08:09Z"), "events[1].time", Time},
        {"DateOnly", WithBugCheckTime("2024-03-05"), "events[1].time", Time},
        {"Year1600", WithBugCheckTime("1600-12-31T23:59:59Z"), "events[1].time", Time},
        {"BadMachineClock", WithMachine(R"("time": "2024-03-05 07:08:09Z")"), "machine.time", Time},

        // Faults.
        {"FaultOnUnknownRoutine", WithFault(R"("routine": "NtCreateFile")"), "faults[0].routine",
         "no kernel routine named \"NtCreateFile\""},
        {"FaultOnRoutineReturningNothing", WithFault(R"("routine": "IoDeleteDevice")"),
         "faults[0].routine", "returns nothing"},
        {"FaultWithSuccessStatus", WithFault(R"("routine": "IoCreateDevice", "status": 0)"),
         "faults[0].status", "expected a failure status"},
        {"FaultWithInformationalStatus",
         WithFault(R"("routine": "IoCreateDevice", "status": "0x40000000")"), "faults[0].status",
         "expected a failure status"},
        {"FaultOnCallZero", WithFault(R"("routine": "IoCreateDevice", "call": 0)"),
         "faults[0].call", "from 1 to 1000000"},

        // Routines a kernel may lack.
        {"EveryKernelHasRtlGetVersion", WithMachine(R"("routines": {"RtlGetVersion": false})"),
         "machine.routines.RtlGetVersion", "cannot be made absent"},
        {"AbsentRoutineUnknown", WithMachine(R"("routines": {"MmMapIoSpaceEx2": false})"),
         "machine.routines.MmMapIoSpaceEx2", "no kernel routine"},

        // Events in an order no machine can follow.
        {"UnloadBeforeLoad", WithEvents(R"({"event": "unload"})"), "events[0]",
         "no load comes before this unload"},
        {"UnloadTwice",
         WithEvents(R"({"event": "load"}, {"event": "unload"}, {"event": "unload"})"),
         "events[2]", "no load comes before this unload"},
        {"LoadTwice", WithEvents(R"({"event": "load"}, {"event": "load"})"), "events[1]",
         "already loaded"},
        {"UnloadAfterBugCheck",
         WithEvents(R"({"event": "load"}, {"event": "bugcheck", "code": 1}, {"event": "unload"})"),
         "events[2]", "stopped by an earlier bug check"},
        {"SecondBugCheck",
         WithEvents(R"({"event": "bugcheck", "code": 1}, {"event": "bugcheck", "code": 2})"),
         "events[1]", "stopped by an earlier bug check"},
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
    sim::Scenario scenario = Parse(WithEvents(
        R"({"event": "bugcheck", "code": 18446744073709551615,
            "parameters": ["0xFFFFFFFFFFFFFFFF", "18446744073709551615", "0XaBcD", 7]})"));
    ASSERT_EQ(scenario.Events.size(), 1u);
    const sim::Event& bugCheck = scenario.Events[0];
    EXPECT_EQ(bugCheck.Code, UINT64_MAX);
    EXPECT_EQ(bugCheck.Parameters[0], UINT64_MAX);
    EXPECT_EQ(bugCheck.Parameters[1], UINT64_MAX);
    EXPECT_EQ(bugCheck.Parameters[2], 0xABCDu);
    EXPECT_EQ(bugCheck.Parameters[3], 7u);
}

TEST(ScenarioReaderTest, TimesCountHundredNanosecondsFrom1601InUtc)
{
    sim::Scenario scenario = Parse(R"({"machine": {"time": "1970-01-01T00:00:00Z"},
        "events": [{"event": "bugcheck", "code": 1, "time": "2000-02-29T00:00:00.001Z"}]})");
    EXPECT_EQ(scenario.Machine.SystemTime, 116444736000000000);
    ASSERT_EQ(scenario.Events.size(), 1u);
    EXPECT_TRUE(scenario.Events[0].HasTime);
    EXPECT_EQ(scenario.Events[0].Time, 125962560000010000);
}

// Keys left out of os_version keep the model's defaults rather than
// becoming zero.
TEST(ScenarioReaderTest, PartialVersionChangesOnlyTheKeysGiven)
{
    sim::Scenario scenario = Parse(WithVersion(R"("build": 22631, "suite_mask": 0)"));
    const model::OsVersion defaults;
    const model::OsVersion& version = scenario.Machine.Version;
    EXPECT_EQ(version.Build, 22631u);
    EXPECT_EQ(version.SuiteMask, 0u);
    EXPECT_EQ(version.Major, defaults.Major);
    EXPECT_EQ(version.Minor, defaults.Minor);
    EXPECT_EQ(version.PlatformId, defaults.PlatformId);
    EXPECT_EQ(version.ProductType, defaults.ProductType);
    EXPECT_EQ(version.ServicePackMajor, defaults.ServicePackMajor);
    EXPECT_EQ(version.CsdVersion, defaults.CsdVersion);
}

// Without a UART list the console UART sits where the firmware puts it:
// at the memory address an SPCR table names, else at COM1.
TEST(ScenarioReaderTest, DefaultConsoleUartFollowsTheFirmware)
{
    sim::Scenario memory =
        Parse(WithMachine(R"("spcr": {"kind": "memory", "address": "0xFEDC9000"})"));
    ASSERT_EQ(memory.Machine.Uarts.size(), 1u);
    EXPECT_TRUE(memory.Machine.Uarts[0].MemoryMapped);
    EXPECT_EQ(memory.Machine.Uarts[0].Address, 0xFEDC9000u);

    sim::Scenario none = Parse(WithMachine(""));
    ASSERT_EQ(none.Machine.Uarts.size(), 1u);
    EXPECT_FALSE(none.Machine.Uarts[0].MemoryMapped);
    EXPECT_EQ(none.Machine.Uarts[0].Address, 0x3F8u);
}

TEST(ScenarioReaderTest, ReadsEveryUartSetting)
{
    sim::Scenario scenario = Parse(WithMachine(R"("uarts": [
        {"space": "memory", "address": "0xFE000000", "busy_reads": 3, "line_control": "0x83"},
        {"space": "io", "address": "0xFFF8", "busy_reads": "forever"}])"));
    ASSERT_EQ(scenario.Machine.Uarts.size(), 2u);
    const model::UartConfig& first = scenario.Machine.Uarts[0];
    EXPECT_TRUE(first.MemoryMapped);
    EXPECT_EQ(first.Address, 0xFE000000u);
    EXPECT_EQ(first.BusyReads, 3u);
    EXPECT_FALSE(first.BusyForever);
    EXPECT_EQ(first.InitialLineControl, 0x83);
    const model::UartConfig& second = scenario.Machine.Uarts[1];
    EXPECT_FALSE(second.MemoryMapped);
    EXPECT_EQ(second.Address, 0xFFF8u);
    EXPECT_TRUE(second.BusyForever);
}

TEST(ScenarioReaderTest, FaultFailsTheFirstCallWithInsufficientResourcesUnlessTold)
{
    sim::Scenario scenario = Parse(R"({"faults": [
        {"routine": "IoCreateDevice"},
        {"routine": "RtlGetVersion", "call": 2, "status": "0xC0000001"}], "events": []})");
    ASSERT_EQ(scenario.Faults.size(), 2u);
    EXPECT_EQ(scenario.Faults[0].Routine, "IoCreateDevice");
    EXPECT_EQ(scenario.Faults[0].Call, 1u);
    EXPECT_EQ(scenario.Faults[0].Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(scenario.Faults[1].Call, 2u);
    EXPECT_EQ(scenario.Faults[1].Status, STATUS_UNSUCCESSFUL);
}

TEST(ScenarioReaderTest, LoadMayFollowAnUnload)
{
    sim::Scenario scenario = Parse(WithEvents(
        R"({"event": "load"}, {"event": "unload"}, {"event": "load"}, {"event": "bugcheck", "code": 1})"));
    ASSERT_EQ(scenario.Events.size(), 4u);
    EXPECT_EQ(scenario.Events[2].Kind, sim::EventKind::Load);
    EXPECT_EQ(scenario.Events[3].Kind, sim::EventKind::BugCheck);
}

TEST(ScenarioReaderTest, DefaultScenarioIsValid)
{
    sim::Scenario scenario = Parse(sim::DefaultScenarioText());
    EXPECT_FALSE(scenario.Events.empty());
}

}  // namespace
