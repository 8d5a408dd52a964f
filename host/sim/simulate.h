// Runs a scenario on a driver image and collects what the serial console
// received and what the model saw.
#pragma once

#include "sim/scenario.h"

#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>

namespace sim {

// Opens a fresh copy of the driver image for each load event.
using ImageFactory = std::function<std::unique_ptr<model::DriverImage>(std::string* error)>;
// Opens a test driver by name (machine.test_drivers) once the machine has
// started, mapped and listed beside the driver.
using TestDriverFactory =
    std::function<std::unique_ptr<model::DriverImage>(const std::string& name, std::string* error)>;
// Test drivers of a run, by name.
using TestDrivers = std::map<std::string, std::unique_ptr<model::DriverImage>>;

struct RunResult {
    std::string Console;  // bytes the console UART transmitted
    std::vector<std::string> Violations;
    bool ImageError = false;  // an image could not be opened
};

// Diagnostics (failed loads, skipped events, violations) go to log. A
// machine with test drivers needs testDrivers: only a runner for the
// shipped image can run them; without it the run ends as an image error.
RunResult RunScenario(const Scenario& scenario, const ImageFactory& images, std::ostream& log,
                      const TestDriverFactory& testDrivers = nullptr);

}  // namespace sim
