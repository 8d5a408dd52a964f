// Shared fixture of the tests: a fresh model machine per test, and a test
// fails when the model caught the driver (or the test) breaking a kernel
// rule it did not expect.
#pragma once

#include "model/machine.h"
#include "model/uart16550.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vektest {

// The machine a test gets unless it describes one. Tests pass this named
// object, never a `{}` temporary: g++ 12 at -O3 falsely warns
// (maybe-uninitialized) when it destroys a value-initialised MachineConfig.
const model::MachineConfig& DefaultMachine();

class ModelTest : public ::testing::Test {
protected:
    // Starts the machine the test describes; call again to change it.
    void StartMachine(const model::MachineConfig& config = DefaultMachine());
    // Violations the test provoked on purpose: checked, then forgotten so
    // that TearDown does not fail the test for them.
    std::vector<std::string> TakeViolations();
    void TearDown() override;

private:
    size_t expectedViolations_ = 0;
};

// Routine names of the calls made, in order.
std::vector<std::string> RoutineNames(const std::vector<model::KernelCall>& calls);

// The last of ROUTINE's documented failure statuses, as a fault may return
// it: seldom the status the driver would make up itself.
NTSTATUS LastDocumentedStatus(const char* routine);

// The host image of the driver, built beside the test programs.
std::unique_ptr<model::DriverImage> OpenDriverImage();

}  // namespace vektest
