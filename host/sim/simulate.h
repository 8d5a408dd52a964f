// Runs a scenario on a driver image and collects what the serial console
// received and what the model saw.
#pragma once

#include "sim/scenario.h"

#include <functional>
#include <memory>
#include <ostream>
#include <string>

namespace sim {

// Opens a fresh copy of the driver image for each load event.
using ImageFactory = std::function<std::unique_ptr<model::DriverImage>(std::string* error)>;

struct RunResult {
    std::string Console;  // bytes the console UART transmitted
    std::vector<std::string> Violations;
    bool ImageError = false;  // an image could not be opened
};

// Diagnostics (failed loads, skipped events, violations) go to log.
RunResult RunScenario(const Scenario& scenario, const ImageFactory& images, std::ostream& log);

}  // namespace sim
