// vekcrash: host tools for the vekcrashdmp driver.
//
//   vekcrash simulate [--sys PATH | --image PATH] [--stats] [SCENARIO.json]
//
// runs a described machine through its events with the driver loaded and
// writes the serial console's bytes to stdout exactly as the UART received
// them. The driver is the host build, or with --sys the shipped image on an
// emulated processor. Diagnostics go to stderr. Exit status: 0 when the run was clean,
// 1 when the model caught the driver breaking a kernel rule (or the image
// could not be loaded), 2 for a bad command line or scenario.
#include "sim/simulate.h"
#include "runner/sys_image.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

namespace {

constexpr int ExitClean = 0;
constexpr int ExitViolation = 1;
constexpr int ExitBadInput = 2;

const char Usage[] =
    "usage: vekcrash simulate [--sys PATH | --image PATH] [--stats] [SCENARIO.json]\n"
    "\n"
    "Runs the scenario (or, without one, a default machine that loads the driver\n"
    "and stops with bug check 0xD1) and prints the serial console on stdout.\n"
    "  --sys PATH     run the shipped vekcrashdmp.sys on an emulated x64 processor\n"
    "  --image PATH   host build of the driver to load (default: the one beside vekcrash)\n"
    "  --stats        print run time and, with --sys, emulated instructions and calls\n"
    "  --instruction-limit N\n"
    "                 with --sys, instructions one call into the driver may run before\n"
    "                 it counts as runaway code (default 200000000)\n";

int Simulate(int argc, char** argv)
{
    std::string imagePath = model::DefaultHostImagePath();
    std::string sysPath;
    std::string scenarioPath;
    bool stats = false;
    for (int i = 0; i < argc; ++i) {
        bool isImage = std::strcmp(argv[i], "--image") == 0;
        bool isSys = std::strcmp(argv[i], "--sys") == 0;
        if (isImage || isSys) {
            if (i + 1 == argc) {
                std::cerr << "vekcrash: " << argv[i] << " needs a path\n";
                return ExitBadInput;
            }
            (isSys ? sysPath : imagePath) = argv[++i];
        } else if (std::strcmp(argv[i], "--stats") == 0) {
            stats = true;
        } else if (std::strcmp(argv[i], "--instruction-limit") == 0) {
            char* end = nullptr;
            unsigned long long limit = i + 1 < argc ? std::strtoull(argv[i + 1], &end, 10) : 0;
            if (limit == 0 || end == nullptr || *end != 0) {
                std::cerr << "vekcrash: --instruction-limit needs a positive number\n";
                return ExitBadInput;
            }
            runner::Emulator::Instance().SetInstructionLimit(limit);
            ++i;
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

    sim::ImageFactory images = [&imagePath](std::string* openError) {
        return model::OpenHostImage(imagePath, openError);
    };
    if (!sysPath.empty()) {
        images = [&sysPath](std::string* openError) {
            return runner::OpenSysImage(sysPath, openError);
        };
    }
    auto started = std::chrono::steady_clock::now();
    sim::RunResult result = sim::RunScenario(scenario, images, std::cerr);
    auto elapsed = std::chrono::steady_clock::now() - started;
    std::fwrite(result.Console.data(), 1, result.Console.size(), stdout);
    std::fflush(stdout);
    if (stats) {
        std::cerr << "vekcrash: ran in "
                  << std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()
                  << " us";
        if (!sysPath.empty()) {
            const runner::RunnerStats& counts = runner::Stats();
            std::cerr << "; emulated " << counts.Instructions << " instructions, "
                      << counts.ImportCalls << " kernel calls from the driver, "
                      << counts.DriverCalls << " calls into the driver";
        }
        std::cerr << "\n";
    }
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
