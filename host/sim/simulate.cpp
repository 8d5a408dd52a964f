// Runs a scenario's events in order on a fresh model machine.
#include "sim/simulate.h"

#include <cstdio>

namespace sim {

namespace {

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace

RunResult RunScenario(const Scenario& scenario, const ImageFactory& images, std::ostream& log)
{
    RunResult result;
    model::ResetMachine(scenario.Machine);
    for (const model::Fault& fault : scenario.Faults) {
        std::string error;
        if (!model::InjectFault(fault, &error)) {
            log << "vekcrash: fault not injected: " << error << "\n";
        }
    }

    std::unique_ptr<model::DriverImage> image;
    for (size_t i = 0; i < scenario.Events.size(); ++i) {
        const Event& event = scenario.Events[i];
        const std::string where = "events[" + std::to_string(i) + "]";
        if (model::Stopped()) {
            // Driver code brought the machine down before its turn.
            log << "vekcrash: " << where << " and later skipped: the machine has stopped\n";
            break;
        }
        switch (event.Kind) {
        case EventKind::Load: {
            std::string error;
            image = images(&error);
            if (!image) {
                log << "vekcrash: " << where << ": " << error << "\n";
                result.ImageError = true;
                result.Console = model::ConsoleBytes();
                return result;
            }
            NTSTATUS status = model::LoadDriver(*image);
            if (!NT_SUCCESS(status)) {
                log << "vekcrash: " << where << ": load failed with status " << StatusText(status)
                    << "\n";
                image.reset();
            }
            break;
        }
        case EventKind::Unload:
            if (!model::DriverLoaded()) {
                log << "vekcrash: " << where << ": unload skipped: the driver is not loaded\n";
                break;
            }
            model::UnloadDriver();
            image.reset();
            break;
        case EventKind::BugCheck:
            if (event.HasTime) {
                model::SetSystemTime(event.Time);
            }
            model::BugCheck(event.Code, event.Parameters, event.Processor);
            break;
        }
    }

    result.Console = model::ConsoleBytes();
    result.Violations = model::Violations();
    for (const std::string& violation : result.Violations) {
        log << "vekcrash: violation: " << violation << "\n";
    }
    return result;
}

}  // namespace sim
