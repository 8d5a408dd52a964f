// A 16550-compatible UART as the console driver uses it: transmit holding,
// interrupt enable, line control and line status registers, the divisor
// latch, a transmitter that can be kept busy, and a log of every access.
// The bytes it transmits are the simulated serial console.
#pragma once

#include "model/machine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace model {

class Uart16550 {
public:
    // Register offsets.
    static constexpr uint8_t ReceiveTransmit = 0;  // divisor low with DLAB
    static constexpr uint8_t InterruptEnable = 1;  // divisor high with DLAB
    static constexpr uint8_t InterruptIdFifo = 2;
    static constexpr uint8_t LineControl = 3;
    static constexpr uint8_t ModemControl = 4;
    static constexpr uint8_t LineStatus = 5;
    static constexpr uint8_t ModemStatus = 6;
    static constexpr uint8_t Scratch = 7;
    static constexpr uint8_t RegisterCount = 8;

    static constexpr uint8_t DivisorLatchAccess = 0x80;
    static constexpr uint8_t TransmitHoldingEmpty = 0x20;
    static constexpr uint8_t TransmitterEmpty = 0x40;

    struct Access {
        bool Write;
        uint8_t Offset;
        uint8_t Value;
    };

    explicit Uart16550(const UartConfig& config);

    uint8_t Read(uint8_t offset);
    void Write(uint8_t offset, uint8_t value);

    const UartConfig& Config() const { return config_; }
    const std::string& Transmitted() const { return transmitted_; }
    const std::vector<Access>& Accesses() const { return accesses_; }
    uint64_t ReadCount() const { return reads_; }
    uint64_t WriteCount() const { return writes_; }
    uint8_t InterruptEnableRegister() const { return interruptEnable_; }
    uint8_t LineControlRegister() const { return lineControl_; }
    uint16_t Divisor() const { return divisor_; }

    // Forgets the log and the counters (benchmarks read them per run).
    void ClearLog();
    // Forgets the bytes sent so far (long benchmark runs).
    void DiscardTransmitted() { transmitted_.clear(); }
    // Stops logging accesses individually; counters go on.
    void SetLogging(bool enabled) { logging_ = enabled; }

private:
    bool HoldingRegisterEmpty() const;
    void Record(bool write, uint8_t offset, uint8_t value);

    UartConfig config_;
    std::string transmitted_;
    std::vector<Access> accesses_;
    bool logging_ = true;
    uint64_t reads_ = 0;
    uint64_t writes_ = 0;
    uint64_t busyReadsLeft_ = 0;
    uint8_t interruptEnable_ = 0;
    uint8_t lineControl_ = 0;
    uint8_t modemControl_ = 0;
    uint8_t scratch_ = 0;
    uint16_t divisor_ = 1;
};

}  // namespace model
