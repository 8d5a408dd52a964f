// Device space (mappings, register and port access) and the 16550 model.
#include "fake_driver.h"

namespace vektest {
namespace {

using ModelUartTest = ModelFixture;
using Uart = model::Uart16550;

// Off a page boundary, so the page offset must be carried into the mapping.
constexpr uint64_t UartPhysical = 0xFE03'2010;
constexpr ULONG PageWriteCombine = 0x400;

class ModelMappedUartTest : public ModelFixture {
protected:
    void SetUp() override
    {
        model::MachineConfig config;
        config.Uarts = {model::UartConfig{true, UartPhysical}};
        StartMachine(config);
    }
};

// Registers mapped other than uncached may be prefetched or cached, and have
// their writes merged or delayed; memory beside them may be cached.
TEST_F(ModelMappedUartTest, MappingDeviceRegistersCacheableIsAViolation)
{
    using MapEx = PVOID (*)(PHYSICAL_ADDRESS, SIZE_T, ULONG);
    auto mapEx = reinterpret_cast<MapEx>(model::FindRoutine("MmMapIoSpaceEx")->Address);
    const struct {
        bool Ex;
        ULONG Caching;  // a MEMORY_CACHING_TYPE, or page protection for MmMapIoSpaceEx
        uint64_t Offset;
        bool Violation;
    } cases[] = {
        {false, MmNonCached, 0, false}, {false, MmCached, 0, true},
        {false, MmWriteCombined, 0, true}, {true, PAGE_READWRITE | PAGE_NOCACHE, 0, false},
        {true, PAGE_READWRITE, 0, true}, {true, PAGE_READWRITE | PageWriteCombine, 0, true},
        {false, MmCached, 8, false},
    };
    for (const auto& c : cases) {
        PHYSICAL_ADDRESS physical = Physical(UartPhysical + c.Offset);
        PVOID base = c.Ex ? mapEx(physical, 8, c.Caching)
                          : MmMapIoSpace(physical, 8, static_cast<MEMORY_CACHING_TYPE>(c.Caching));
        ASSERT_NE(base, nullptr);
        MmUnmapIoSpace(base, 8);
        EXPECT_EQ(TakeViolations().size(), c.Violation ? 1u : 0u)
            << "Ex " << c.Ex << " caching " << c.Caching << " offset " << c.Offset;
    }
}

TEST_F(ModelMappedUartTest, AccessOrUnmapOutsideEveryLiveMappingIsAViolation)
{
    auto* base = static_cast<volatile UCHAR*>(MmMapIoSpace(Physical(UartPhysical), 7, MmNonCached));
    EXPECT_EQ(ModelRegisterReadByte(base + 6), 0xB0);  // modem status, the last byte inside
    EXPECT_TRUE(TakeViolations().empty());
    EXPECT_EQ(ModelRegisterReadByte(base + 7), 0xFF);
    EXPECT_EQ(TakeViolations().size(), 1u);

    MmUnmapIoSpace(const_cast<UCHAR*>(base), 4096);
    EXPECT_EQ(TakeViolations(),
              std::vector<std::string>{"MmUnmapIoSpace of 4096 bytes; the mapping has 7"});
    MmUnmapIoSpace(const_cast<UCHAR*>(base), 7);
    EXPECT_TRUE(Contains(TakenText(), "which is no live mapping"));
    ModelRegisterWriteByte(base, 'x');
    EXPECT_EQ(model::ConsoleBytes(), "");
    EXPECT_TRUE(Contains(TakenText(), "write of unmapped device memory"));
}

// Firmware may leave the divisor latch open; until the driver closes it,
// the transmit register is the divisor's low byte and nothing is sent.
TEST_F(ModelUartTest, OpenDivisorLatchKeepsBytesFromTheTransmitter)
{
    Uart uart(model::UartConfig{false, 0x3F8, 0, false, 0x83});
    uart.Write(Uart::ReceiveTransmit, 'x');
    uart.Write(Uart::LineControl, 0x03);
    uart.Write(Uart::ReceiveTransmit, 'k');
    EXPECT_EQ(uart.Transmitted(), "k");
    EXPECT_EQ(uart.Divisor(), 'x');
}

// A writer that does not poll the line status until the holding register
// is empty loses bytes.
TEST_F(ModelUartTest, TransmitterStaysBusyForExactlyBusyReadsAndLosesBytesWrittenMeanwhile)
{
    Uart uart(model::UartConfig{false, 0x3F8, 2});
    for (char byte : {'p', 'q'}) {
        uart.Write(Uart::ReceiveTransmit, static_cast<uint8_t>(byte));
        EXPECT_EQ(uart.Read(Uart::LineStatus) & Uart::TransmitHoldingEmpty, 0);
        uart.Write(Uart::ReceiveTransmit, 'x');
        EXPECT_EQ(uart.Read(Uart::LineStatus) & Uart::TransmitHoldingEmpty, 0);
        EXPECT_NE(uart.Read(Uart::LineStatus) & Uart::TransmitHoldingEmpty, 0);
    }
    EXPECT_EQ(uart.Transmitted(), "pq");
    EXPECT_EQ(TakeViolations(),
              std::vector<std::string>(
                  2, "UART byte 0x78 written while the transmitter was busy (byte lost)"));
}

}  // namespace
}  // namespace vektest
