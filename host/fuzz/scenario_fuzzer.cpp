// Fuzzes the scenario reader: any bytes must either read as a scenario or
// be refused with one printable line, never crash, hang or leak. A
// scenario that reads also has its faults checked by the model, which is
// what a run does first; the events themselves are not run.
#include "sim/printable.h"
#include "sim/scenario.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    sim::Scenario scenario;
    std::string error;
    if (!sim::ParseScenario(text, &scenario, &error)) {
        // The error is printed as one line with no control bytes.
        std::string line = sim::PrintableLine(error);
        if (error.empty() || line.size() > sim::PrintedLineMax + 3) {
            std::abort();
        }
        for (unsigned char c : line) {
            if (c < 0x20 || c > 0x7E) {
                std::abort();
            }
        }
        return 0;
    }
    model::ResetMachine(scenario.Machine);
    for (const model::Fault& fault : scenario.Faults) {
        std::string refused;
        // The reader checks what the model checks: a read fault is injected.
        if (!model::InjectFault(fault, &refused)) {
            std::abort();
        }
    }
    return 0;
}
