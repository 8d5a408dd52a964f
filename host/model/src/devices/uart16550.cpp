// The 16550 model. Writing the holding register while it is still full
// loses a byte on real hardware without a FIFO; the model reports that as a
// violation, since it means the writer did not poll the line status.
#include "model/uart16550.h"

#include "core/machine_state.h"

namespace model {

Uart16550::Uart16550(const UartConfig& config)
    : config_(config), lineControl_(config.InitialLineControl)
{
}

bool Uart16550::HoldingRegisterEmpty() const
{
    return !config_.BusyForever && busyReadsLeft_ == 0;
}

void Uart16550::Record(bool write, uint8_t offset, uint8_t value)
{
    if (write) {
        ++writes_;
    } else {
        ++reads_;
    }
    if (logging_) {
        accesses_.push_back(Access{write, offset, value});
    }
}

uint8_t Uart16550::Read(uint8_t offset)
{
    uint8_t value = 0;
    bool divisorLatch = (lineControl_ & DivisorLatchAccess) != 0;
    switch (offset) {
    case ReceiveTransmit:
        value = divisorLatch ? static_cast<uint8_t>(divisor_ & 0xFF) : 0;
        break;
    case InterruptEnable:
        value = divisorLatch ? static_cast<uint8_t>(divisor_ >> 8) : interruptEnable_;
        break;
    case InterruptIdFifo:
        value = 0x01;  // no interrupt pending
        break;
    case LineControl:
        value = lineControl_;
        break;
    case ModemControl:
        value = modemControl_;
        break;
    case LineStatus:
        if (HoldingRegisterEmpty()) {
            value = TransmitHoldingEmpty | TransmitterEmpty;
        } else if (!config_.BusyForever) {
            --busyReadsLeft_;
        }
        break;
    case ModemStatus:
        value = 0xB0;  // clear to send, data set ready, carrier detect
        break;
    default:
        value = scratch_;
        break;
    }
    Record(false, offset, value);
    return value;
}

void Uart16550::Write(uint8_t offset, uint8_t value)
{
    Record(true, offset, value);
    bool divisorLatch = (lineControl_ & DivisorLatchAccess) != 0;
    switch (offset) {
    case ReceiveTransmit:
        if (divisorLatch) {
            divisor_ = static_cast<uint16_t>((divisor_ & 0xFF00) | value);
            return;
        }
        if (!HoldingRegisterEmpty()) {
            Violation("UART byte 0x%02X written while the transmitter was busy (byte lost)",
                      value);
            return;
        }
        transmitted_.push_back(static_cast<char>(value));
        busyReadsLeft_ = config_.BusyReads;
        return;
    case InterruptEnable:
        if (divisorLatch) {
            divisor_ = static_cast<uint16_t>((divisor_ & 0x00FF) | (value << 8));
        } else {
            interruptEnable_ = static_cast<uint8_t>(value & 0x0F);
        }
        return;
    case LineControl:
        lineControl_ = value;
        return;
    case ModemControl:
        modemControl_ = value;
        return;
    case Scratch:
        scratch_ = value;
        return;
    default:
        return;  // FIFO control and the status registers ignore writes
    }
}

void Uart16550::ClearLog()
{
    accesses_.clear();
    reads_ = 0;
    writes_ = 0;
}

}  // namespace model
