// Device space (mappings, register and port access) and the 16550 model.
#include "fake_driver.h"

namespace vektest {
namespace {

using ModelDeviceSpaceTest = ModelFixture;
using ModelUartTest = ModelFixture;
using Uart = model::Uart16550;

// Off a page boundary, so the page offset must be carried into the mapping.
constexpr uint64_t UartPhysical = 0xFE03'2010;
constexpr ULONG PageWriteCombine = 0x400;

PHYSICAL_ADDRESS Physical(uint64_t address)
{
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = static_cast<LONGLONG>(address);
    return physical;
}

PVOID MapEx(uint64_t physical, SIZE_T size, ULONG protect)
{
    using Routine = PVOID (*)(PHYSICAL_ADDRESS, SIZE_T, ULONG);
    return reinterpret_cast<Routine>(model::FindRoutine("MmMapIoSpaceEx")->Address)(
        Physical(physical), size, protect);
}

class ModelMappedUartTest : public ModelFixture {
protected:
    void SetUp() override
    {
        model::MachineConfig config;
        config.Uarts = {model::UartConfig{true, UartPhysical}};
        StartMachine(config);
    }
};

TEST_F(ModelMappedUartTest, MappedRegistersReachTheUartAtTheirOffset)
{
    for (bool ex : {false, true}) {
        auto* base = static_cast<volatile UCHAR*>(
            ex ? MapEx(UartPhysical, 8, PAGE_READWRITE | PAGE_NOCACHE)
               : MmMapIoSpace(Physical(UartPhysical), 8, MmNonCached));
        ASSERT_NE(base, nullptr);
        EXPECT_EQ(model::LiveIoMappings(), 1u);
        ModelRegisterWriteByte(base + Uart::Scratch, 0x5A);
        EXPECT_EQ(ModelRegisterReadByte(base + Uart::Scratch), 0x5A);
        ModelRegisterWriteByte(base + Uart::ReceiveTransmit, ex ? 'b' : 'a');
        MmUnmapIoSpace(const_cast<UCHAR*>(base), 8);
        EXPECT_EQ(model::LiveIoMappings(), 0u);
    }
    EXPECT_EQ(model::ConsoleBytes(), "ab");
    EXPECT_EQ(model::UartAt(0).Accesses().at(2).Offset, Uart::ReceiveTransmit);
}

// Registers mapped other than uncached may be prefetched or cached, and have
// their writes merged or delayed.
TEST_F(ModelMappedUartTest, MappingDeviceRegistersCacheableIsAViolation)
{
    const struct {
        const char* What;
        PVOID (*Map)();
        bool Violation;
    } cases[] = {
        {"uncached", [] { return MmMapIoSpace(Physical(UartPhysical), 8, MmNonCached); }, false},
        {"cached", [] { return MmMapIoSpace(Physical(UartPhysical), 8, MmCached); }, true},
        {"write-combined", [] { return MmMapIoSpace(Physical(UartPhysical), 8, MmWriteCombined); },
         true},
        {"Ex uncached", [] { return MapEx(UartPhysical, 8, PAGE_READWRITE | PAGE_NOCACHE); }, false},
        {"Ex cached", [] { return MapEx(UartPhysical, 8, PAGE_READWRITE); }, true},
        {"Ex write-combined", [] { return MapEx(UartPhysical, 8, PAGE_READWRITE | PageWriteCombine); },
         true},
        // Memory beside the registers may be cached.
        {"memory", [] { return MmMapIoSpace(Physical(UartPhysical + 8), 8, MmCached); }, false},
    };
    for (const auto& c : cases) {
        PVOID base = c.Map();
        ASSERT_NE(base, nullptr) << c.What;
        MmUnmapIoSpace(base, 8);
        EXPECT_EQ(TakeViolations().size(), c.Violation ? 1u : 0u) << c.What;
    }
}

TEST_F(ModelMappedUartTest, AccessOutsideEveryLiveMappingIsAViolation)
{
    auto* base = static_cast<volatile UCHAR*>(MmMapIoSpace(Physical(UartPhysical), 7, MmNonCached));
    EXPECT_EQ(ModelRegisterReadByte(base + 6), 0xB0);  // modem status, the last byte inside
    EXPECT_TRUE(TakeViolations().empty());
    EXPECT_EQ(ModelRegisterReadByte(base + 7), 0xFF);
    EXPECT_EQ(TakeViolations().size(), 1u);

    MmUnmapIoSpace(const_cast<UCHAR*>(base), 7);
    ModelRegisterWriteByte(base, 'x');
    EXPECT_EQ(ModelRegisterReadByte(base + Uart::LineStatus), 0xFF);
    EXPECT_EQ(model::ConsoleBytes(), "");
    EXPECT_TRUE(Contains(TakenText(), "write of unmapped device memory"));
}

TEST_F(ModelMappedUartTest, UnmappingWithWrongSizeOrUnknownAddressIsAViolation)
{
    PVOID base = MmMapIoSpace(Physical(UartPhysical), 8, MmNonCached);
    MmUnmapIoSpace(base, 4096);
    MmUnmapIoSpace(base, 8);  // gone already
    auto violations = TakeViolations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_EQ(violations[0], "MmUnmapIoSpace of 4096 bytes; the mapping has 8");
    EXPECT_TRUE(Contains(violations[1], "which is no live mapping"));
}

TEST_F(ModelDeviceSpaceTest, PortsRouteToTheUartAtTheirBase)
{
    model::MachineConfig config;
    config.Uarts = {model::UartConfig{false, 0x3F8}, model::UartConfig{false, 0x2F8},
                    model::UartConfig{true, 0x3E8}};
    StartMachine(config);
    ModelPortWriteByte(0x3F8, 'c');
    ModelPortWriteByte(0x2F8, 'd');
    ModelPortWriteByte(0x2FF, 0x77);
    EXPECT_EQ(ModelPortReadByte(0x2FF), 0x77);
    EXPECT_EQ(ModelPortReadByte(0x3FD), Uart::TransmitHoldingEmpty | Uart::TransmitterEmpty);
    // A memory-mapped UART answers no port, and an unclaimed port floats.
    ModelPortWriteByte(0x3E8, 'e');
    EXPECT_EQ(ModelPortReadByte(0x3EB), 0xFF);
    EXPECT_EQ(ModelPortReadByte(0x300), 0xFF);
    EXPECT_EQ(model::ConsoleBytes(), "c");
    EXPECT_EQ(model::UartAt(1).Transmitted(), "d");
    EXPECT_EQ(model::UartAt(2).WriteCount() + model::UartAt(2).ReadCount(), 0u);
}

TEST_F(ModelUartTest, DivisorLatchRedirectsTheFirstTwoRegisters)
{
    Uart uart(model::UartConfig{});
    uart.Write(Uart::InterruptEnable, 0xFF);  // only four enable bits exist
    uart.Write(Uart::LineControl, 0x83);
    uart.Write(Uart::ReceiveTransmit, 0x0C);
    uart.Write(Uart::InterruptEnable, 0x01);
    EXPECT_EQ(uart.Divisor(), 0x010C);
    EXPECT_EQ(uart.Read(Uart::InterruptEnable), 0x01);
    EXPECT_EQ(uart.Transmitted(), "");
    uart.Write(Uart::LineControl, 0x03);
    uart.Write(Uart::ReceiveTransmit, 'k');
    EXPECT_EQ(uart.Transmitted(), "k");
    EXPECT_EQ(uart.Divisor(), 0x010C);
    EXPECT_EQ(uart.Read(Uart::InterruptEnable), 0x0F);

    // Firmware may leave the latch open.
    Uart latched(model::UartConfig{false, 0x3F8, 0, false, 0x83});
    latched.Write(Uart::ReceiveTransmit, 'x');
    EXPECT_EQ(latched.Transmitted(), "");
    EXPECT_EQ(latched.Divisor(), 'x');
}

TEST_F(ModelUartTest, TransmitterStaysBusyForExactlyBusyReads)
{
    for (uint64_t busyReads : {0, 1, 5}) {
        Uart uart(model::UartConfig{false, 0x3F8, busyReads});
        for (char byte : {'p', 'q'}) {
            uart.Write(Uart::ReceiveTransmit, static_cast<uint8_t>(byte));
            for (uint64_t i = 0; i < busyReads; ++i) {
                EXPECT_EQ(uart.Read(Uart::LineStatus) & Uart::TransmitHoldingEmpty, 0) << i;
            }
            EXPECT_NE(uart.Read(Uart::LineStatus) & Uart::TransmitHoldingEmpty, 0) << busyReads;
        }
        EXPECT_EQ(uart.Transmitted(), "pq");
    }
}

TEST_F(ModelUartTest, WritingWhileBusyLosesTheByteAndIsAViolation)
{
    Uart uart(model::UartConfig{false, 0x3F8, 2});
    uart.Write(Uart::ReceiveTransmit, 'a');
    uart.Read(Uart::LineStatus);
    uart.Write(Uart::ReceiveTransmit, 'b');
    EXPECT_EQ(TakeViolations(), std::vector<std::string>{"UART byte 0x62 written while the "
                                                         "transmitter was busy (byte lost)"});
    EXPECT_EQ(uart.Transmitted(), "a");

    Uart stuck(model::UartConfig{false, 0x3F8, 0, true});
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(stuck.Read(Uart::LineStatus) & Uart::TransmitHoldingEmpty, 0);
    }
    stuck.Write(Uart::ReceiveTransmit, 'z');
    EXPECT_EQ(TakeViolations().size(), 1u);
    EXPECT_EQ(stuck.Transmitted(), "");
}

TEST_F(ModelUartTest, AccessesAreCountedAndLogged)
{
    Uart uart(model::UartConfig{});
    uart.Write(Uart::Scratch, 9);
    uart.Read(Uart::Scratch);
    ASSERT_EQ(uart.Accesses().size(), 2u);
    EXPECT_TRUE(uart.Accesses()[0].Write);
    EXPECT_FALSE(uart.Accesses()[1].Write);
    EXPECT_EQ(uart.Accesses()[1].Offset, Uart::Scratch);
    EXPECT_EQ(uart.Accesses()[1].Value, 9);

    uart.SetLogging(false);  // counters go on
    uart.Read(Uart::LineStatus);
    EXPECT_EQ(uart.Accesses().size(), 2u);
    EXPECT_EQ(uart.ReadCount(), 2u);
    EXPECT_EQ(uart.WriteCount(), 1u);
    uart.ClearLog();
    EXPECT_TRUE(uart.Accesses().empty());
    EXPECT_EQ(uart.ReadCount() + uart.WriteCount(), 0u);
}

}  // namespace
}  // namespace vektest
