// Console discovery (firmware table, COM port fallback, mapping) and polled
// output, checked against the UART's own log of register accesses.
#include "driver_test.h"

#include "console/report_print.h"

namespace vektest {
namespace {

using Access = model::Uart16550::Access;

constexpr uint64_t UartPhysical = 0xFEDC9000;

model::MachineConfig MachineWithSpcr(model::SpcrKind kind, uint64_t address)
{
    model::MachineConfig config;
    config.Spcr = {kind, address};
    if (kind == model::SpcrKind::Memory && address != 0) {
        config.Uarts = {model::UartConfig{true, address, 0, false, 0x03}};
    }
    return config;
}

class SerialConsoleTest : public DriverTest {
protected:
    void Open(const model::MachineConfig& config, ULONG comIndex = ConsoleComIndex)
    {
        UseMachine(config);
        ConsolePort = ConsolePortRecord{};
        status_ = OpenSerialConsole(comIndex);
    }

    NTSTATUS status_ = STATUS_UNSUCCESSFUL;
};

TEST_F(SerialConsoleTest, FirmwareTableDecidesBetweenMappedUartAndComPort)
{
    struct Case {
        const char* Name;
        model::SpcrKind Kind;
        uint64_t Address;
        ULONG ExpectedMode;
        bool ExpectPortBase;  // Base is COM1's port rather than a mapping
    };
    const Case cases[] = {
        {"NoTable", model::SpcrKind::Absent, 0, ConsolePortIo, true},
        {"IoSpaceIgnored", model::SpcrKind::Io, 0x2F8, ConsolePortIo, true},
        {"MemoryAddressZero", model::SpcrKind::Memory, 0, ConsolePortIo, true},
        {"TableTooLarge", model::SpcrKind::TooLarge, UartPhysical, ConsolePortIo, true},
        {"MemoryMapped", model::SpcrKind::Memory, UartPhysical, ConsoleMemoryMapped, false},
    };
    for (const Case& item : cases) {
        Open(MachineWithSpcr(item.Kind, item.Address));
        EXPECT_EQ(status_, STATUS_SUCCESS) << item.Name;
        EXPECT_EQ(ConsolePort.Mode, item.ExpectedMode) << item.Name;
        if (item.ExpectPortBase) {
            EXPECT_EQ(ConsolePort.Base, 0x3F8u) << item.Name;
            EXPECT_EQ(model::LiveIoMappings(), 0u) << item.Name;
        } else {
            EXPECT_NE(ConsolePort.Base, 0u) << item.Name;
            EXPECT_EQ(model::LiveIoMappings(), 1u) << item.Name;
        }
        CloseSerialConsole();
        EXPECT_EQ(model::LiveIoMappings(), 0u) << item.Name;
    }
}

TEST_F(SerialConsoleTest, FirmwareQueryFailureFallsBackToComPort)
{
    Open(DefaultMachine());
    model::MachineConfig config = MachineWithSpcr(model::SpcrKind::Memory, UartPhysical);
    UseMachine(config);
    std::string error;
    ASSERT_TRUE(model::InjectFault({"ZwQuerySystemInformation", 1, STATUS_INSUFFICIENT_RESOURCES},
                                   &error));
    ConsolePort = ConsolePortRecord{};
    EXPECT_EQ(OpenSerialConsole(ConsoleComIndex), STATUS_SUCCESS);
    EXPECT_EQ(ConsolePort.Mode, ConsolePortIo);
    EXPECT_EQ(ConsolePort.Base, 0x3F8u);
}

TEST_F(SerialConsoleTest, ComIndexSelectsLegacyPort)
{
    const ULONG expected[] = {0, 0x3F8, 0x2F8, 0x3E8, 0x2E8};
    for (ULONG index = 0; index < 5; ++index) {
        Open(DefaultMachine(), index);
        EXPECT_EQ(ConsolePort.Base, expected[index]) << index;
        EXPECT_EQ(ConsolePort.Mode, ConsolePortIo) << index;
    }
}

TEST_F(SerialConsoleTest, MappedUartIsMappedUncachedForItsSevenRegisters)
{
    Open(MachineWithSpcr(model::SpcrKind::Memory, UartPhysical));
    auto maps = model::CallsTo({"MmMapIoSpaceEx", "MmMapIoSpace"});
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].Routine, "MmMapIoSpaceEx");
    EXPECT_EQ(maps[0].Detail, "0xFEDC9000 size=7 protect=0x204");

    model::MachineConfig withoutEx = MachineWithSpcr(model::SpcrKind::Memory, UartPhysical);
    withoutEx.Routines["MmMapIoSpaceEx"] = false;
    Open(withoutEx);
    maps = model::CallsTo({"MmMapIoSpaceEx", "MmMapIoSpace"});
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].Routine, "MmMapIoSpace");
    EXPECT_EQ(maps[0].Detail, "0xFEDC9000 size=7 cache=0");
    EXPECT_EQ(ConsolePort.Mode, ConsoleMemoryMapped);

    // The report reaches the memory-mapped UART.
    ReportPrint(ReportLevelCrash, "hello\n");
    EXPECT_EQ(Console(), "hello\n");
    CloseSerialConsole();
}

TEST_F(SerialConsoleTest, MappingFailureFailsWithoutFallback)
{
    // The fixture's machine made the load's lookup already: the one after
    // it is the second.
    const std::pair<const char*, unsigned> faults[] = {{"MmMapIoSpaceEx", 1},
                                                       {"MmGetSystemRoutineAddress", 2}};
    for (const auto& [routine, call] : faults) {
        model::MachineConfig config = MachineWithSpcr(model::SpcrKind::Memory, UartPhysical);
        UseMachine(config);
        std::string error;
        // Without the lookup the driver maps with MmMapIoSpace; fail that
        // one too so that every path to a mapping fails.
        ASSERT_TRUE(model::InjectFault({routine, call, 0}, &error));
        ASSERT_TRUE(model::InjectFault({"MmMapIoSpace", 1, 0}, &error));
        LookUpIoSpaceRoutines();
        ConsolePort = ConsolePortRecord{};
        EXPECT_EQ(OpenSerialConsole(ConsoleComIndex), STATUS_UNEXPECTED_MM_MAP_ERROR) << routine;
        EXPECT_EQ(ConsolePort.Mode, ConsoleNone) << routine;
        EXPECT_EQ(ConsolePort.Base, 0u) << routine;
        EXPECT_EQ(model::LiveIoMappings(), 0u) << routine;
    }
}

TEST_F(SerialConsoleTest, ClosedConsoleWritesNothing)
{
    Open(MachineWithSpcr(model::SpcrKind::Memory, UartPhysical));
    CloseSerialConsole();
    // A late writer must not touch the released mapping.
    PrepareConsoleUart();
    ConsoleWriteByte('x');
    EXPECT_TRUE(model::UartAt(0).Accesses().empty());
}

TEST_F(SerialConsoleTest, NoConsoleMeansNoRegisterAccess)
{
    Open(DefaultMachine(), 0);
    PrepareConsoleUart();
    ConsoleWriteByte('x');
    ReportPrint(ReportLevelCrash, "lost\n");
    EXPECT_TRUE(model::UartAt(0).Accesses().empty());
}

TEST_F(SerialConsoleTest, PrepareClearsDivisorLatchThenInterrupts)
{
    model::MachineConfig config;
    config.Uarts[0].InitialLineControl = 0x83;
    UseMachine(config);
    PrepareConsoleUart();
    const auto& log = model::UartAt(0).Accesses();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_FALSE(log[0].Write);
    EXPECT_EQ(log[0].Offset, 3);
    EXPECT_TRUE(log[1].Write);
    EXPECT_EQ(log[1].Offset, 3);
    EXPECT_EQ(log[1].Value, 0x03);
    EXPECT_TRUE(log[2].Write);
    EXPECT_EQ(log[2].Offset, 1);
    EXPECT_EQ(log[2].Value, 0x00);

    // Offset 0 is the transmit register again: the byte goes out.
    ConsoleWriteByte('A');
    EXPECT_EQ(Console(), "A");
}

TEST_F(SerialConsoleTest, ByteWaitsForTransmitterEmpty)
{
    model::MachineConfig config;
    config.Uarts[0].BusyReads = 3;
    UseMachine(config);
    ConsoleWriteByte('a');
    ConsoleWriteByte('b');
    EXPECT_EQ(Console(), "ab");
    // First byte: one ready poll. Second: three busy polls and a ready one.
    EXPECT_EQ(model::UartAt(0).ReadCount(), 5u);
}

TEST_F(SerialConsoleTest, DeadTransmitterDropsTheRestAfterOneBoundedWait)
{
    model::MachineConfig config;
    config.Uarts[0].BusyForever = true;
    UseMachine(config);
    model::Uart16550& uart = model::UartAt(0);
    uart.SetLogging(false);

    PrepareConsoleUart();
    const uint64_t readsBefore = uart.ReadCount();
    ReportPrint(ReportLevelCrash, "a whole report line\n");
    ReportPrint(ReportLevelCrash, "and another\n");
    const uint64_t pollsForFirstByte = uart.ReadCount() - readsBefore;
    EXPECT_GT(pollsForFirstByte, 1000u);
    EXPECT_EQ(uart.WriteCount(), 2u);  // the preparation's two register writes
    EXPECT_TRUE(Console().empty());

    // The next report tries again, once.
    PrepareConsoleUart();
    const uint64_t readsBeforeSecond = uart.ReadCount();
    ConsoleWriteByte('x');
    ConsoleWriteByte('y');
    EXPECT_EQ(uart.ReadCount() - readsBeforeSecond, pollsForFirstByte);
}

TEST_F(SerialConsoleTest, StallCostsTheRestOfALineOutsideABugCheckAndTheRestOfTheReportInside)
{
    // After each byte the transmitter stays busy for more polls than one
    // wait allows, but fewer than two: a fresh wait after a stall succeeds.
    struct Case {
        const char* Name;
        bool InBugCheck;
        const char* Expected;
    };
    const Case cases[] = {
        // An outcome line printed from a work item long after an earlier
        // line stalled still gets its own try.
        {"OutsideBugCheck", false, "ac"},
        // Inside the bug check a stalled transmitter is not waited for again.
        {"InsideBugCheck", true, "a"},
    };
    for (const Case& item : cases) {
        model::MachineConfig config;
        config.Uarts[0].BusyReads = 150000;
        UseMachine(config);
        model::UartAt(0).SetLogging(false);
        if (item.InBugCheck) {
            PrepareConsoleUart();
        }
        ReportPrint(ReportLevelCrash, "ab");
        ReportPrint(ReportLevelCrash, "cd");
        EXPECT_EQ(Console(), item.Expected) << item.Name;
    }
}

}  // namespace
}  // namespace vektest
