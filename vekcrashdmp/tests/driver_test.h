// Fixture for tests that call driver routines directly: a fresh machine
// with a ready UART at COM1, and the console pointed at it, as the load
// routine would leave it.
#pragma once

#include "model_test.h"

#include "console/serial_console.h"
#include "driver/io_space.h"

namespace vektest {

class DriverTest : public ModelTest {
protected:
    void SetUp() override { UseMachine(DefaultMachine()); }

    void UseMachine(const model::MachineConfig& config)
    {
        StartMachine(config);
        // As the load does first: the mapping routine is looked up once.
        LookUpIoSpaceRoutines();
        ConsolePort = ConsolePortRecord{};
        ConsolePort.Base = 0x3F8;
        ConsolePort.Mode = ConsolePortIo;
    }

    static std::string Console() { return model::ConsoleBytes(); }
};

}  // namespace vektest
