// vekcrash: host tools for the vekcrashdmp driver.
//
//   vekcrash simulate [--image PATH] [SCENARIO.json]
//
// runs a described machine through its events with the driver loaded and
// writes the serial console's bytes to stdout exactly as the UART received
// them. Diagnostics go to stderr. Exit status: 0 when the run was clean,
// 1 when the model caught the driver breaking a kernel rule (or the image
// could not be loaded), 2 for a bad command line or scenario.
#include "simulate.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

namespace {

constexpr int ExitClean = 0;
constexpr int ExitViolation = 1;
constexpr int ExitBadInput = 2;

const char Usage[] =
    "usage: vekcrash simulate [--image PATH] [SCENARIO.json]\n"
    "\n"
    "Runs the scenario (or, without one, a default machine that loads the driver\n"
    "and stops with bug check 0xD1) and prints the serial console on stdout.\n"
    "  --image PATH   driver image to load (default: the host build beside vekcrash)\n";

int Simulate(int argc, char** argv)
{
    std::string imagePath = model::DefaultHostImagePath();
    std::string scenarioPath;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--image") == 0) {
            if (i + 1 == argc) {
                std::cerr << "vekcrash: --image needs a path\n";
                return ExitBadInput;
            }
            imagePath = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << Usage;
            return ExitClean;
        } else if (argv[i][0] == '-' && argv[i][1] != 0) {
            std::cerr << "vekcrash: unknown option " << argv[i] << "\n" << Usage;
            return ExitBadInput;
        } else if (!scenarioPath.empty()) {
            std::cerr << "vekcrash: only one scenario can be run at a time\n";
            return ExitBadInput;
        } else {
            scenarioPath = argv[i];
        }
    }

    std::string text = sim::DefaultScenarioText();
    std::string source = "default scenario";
    if (!scenarioPath.empty()) {
        std::ifstream file(scenarioPath, std::ios::binary);
        if (!file) {
            std::cerr << "vekcrash: cannot read " << scenarioPath << "\n";
            return ExitBadInput;
        }
        bool readFailed = false;
        try {
            text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        } catch (const std::ios_base::failure&) {
            readFailed = true;  // a directory, or an I/O error
        }
        if (readFailed || file.bad()) {
            std::cerr << "vekcrash: cannot read " << scenarioPath << "\n";
            return ExitBadInput;
        }
        source = scenarioPath;
    }

    sim::Scenario scenario;
    std::string error;
    if (!sim::ParseScenario(text, &scenario, &error)) {
        std::cerr << "vekcrash: " << source << ": " << error << "\n";
        return ExitBadInput;
    }

    auto images = [&imagePath](std::string* openError) {
        return model::OpenHostImage(imagePath, openError);
    };
    sim::RunResult result = sim::RunScenario(scenario, images, std::cerr);
    std::fwrite(result.Console.data(), 1, result.Console.size(), stdout);
    std::fflush(stdout);
    return result.ImageError || !result.Violations.empty() ? ExitViolation : ExitClean;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "simulate") == 0) {
        return Simulate(argc - 2, argv + 2);
    }
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << Usage;
        return ExitClean;
    }
    std::cerr << Usage;
    return ExitBadInput;
}
