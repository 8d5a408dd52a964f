// Runs a scenario's events in order on a fresh model machine.
#include "sim/simulate.h"

#include "sim/events.h"
#include "sim/printable.h"

namespace sim {

RunResult RunScenario(const Scenario& scenario, const ImageFactory& images, std::ostream& log,
                      const TestDriverFactory& testDriverFactory)
{
    RunResult result;
    model::ResetMachine(scenario.Machine);
    for (const model::Fault& fault : scenario.Faults) {
        std::string error;
        if (!model::InjectFault(fault, &error)) {
            PrintDiagnostic(log, "fault not injected: " + error);
        }
    }

    // Test drivers are loaded before anything else, so the driver finds
    // them in the module list; they go after it (declared first).
    TestDrivers testDrivers;
    for (const std::string& name : scenario.Machine.TestDrivers) {
        std::string error = "test drivers run only on the shipped image (--sys)";
        std::unique_ptr<model::DriverImage> driver;
        if (testDriverFactory) {
            driver = testDriverFactory(name, &error);
        }
        if (!driver) {
            PrintDiagnostic(log, "machine.test_drivers: " + name + ": " + error);
            result.ImageError = true;
            result.Console = model::ConsoleBytes();
            return result;
        }
        testDrivers[name] = std::move(driver);
    }

    std::unique_ptr<model::DriverImage> image;
    for (size_t i = 0; i < scenario.Events.size(); ++i) {
        const Event& event = scenario.Events[i];
        EventRun run{images, log, "events[" + std::to_string(i) + "]", image, testDrivers, result};
        if (model::Stopped()) {
            // Driver code brought the machine down before its turn.
            PrintDiagnostic(log, run.Where + " and later skipped: the machine has stopped");
            break;
        }
        event.Kind->Run(event, run);
        if (run.Abandon) {
            result.Console = model::ConsoleBytes();
            return result;
        }
    }

    result.Console = model::ConsoleBytes();
    result.Violations = model::Violations();
    for (const std::string& violation : result.Violations) {
        PrintDiagnostic(log, "violation: " + violation);
    }
    return result;
}

}  // namespace sim
