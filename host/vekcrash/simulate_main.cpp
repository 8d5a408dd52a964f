// vekcrash-simulate: the simulate command, which "vekcrash simulate" runs
// (see main.cpp). It carries the emulator and the model; the decoder does
// not, so that decoding a log starts as fast as grep.
//
//   vekcrash simulate [--sys PATH | --image PATH] [--stats] [--instruction-limit N]
//                     [--seed N] [--state PATH] [SCENARIO.json]
//
// runs a described machine through its events with the driver loaded and
// writes the serial console's bytes to stdout exactly as the UART received
// them. The driver is the host build, or with --sys the shipped image on an
// emulated processor. Diagnostics go to stderr. Exit status: 0 when the run was clean,
// 1 when the model caught the driver breaking a kernel rule (or the image
// could not be loaded), 2 for a bad command line or scenario, 3 when the
// tool itself failed (model::ToolFailure).
#include "vekcrash/simulate_usage.h"
#include "sim/printable.h"
#include "sim/simulate.h"
#include "sim/state_file.h"
#include "runner/sys_image.h"

#include "model/image_registry.h"
#include "model/input_file.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

namespace {

constexpr int ExitClean = 0;
constexpr int ExitViolation = 1;
constexpr int ExitBadInput = 2;

// Far beyond any machine a scenario describes (a thousand images take a
// few hundred kilobytes); a larger file is not a scenario.
constexpr uint64_t MaxScenarioBytes = 64ull << 20;


// Every diagnostic goes out through here: one line, terminal-safe.
void Complain(const std::string& text)
{
    sim::PrintDiagnostic(std::cerr, text);
}

// A decimal number from min to 2^64-1, digits only: no sign, blank or
// suffix, and nothing that strtoull would quietly wrap or clamp.
std::optional<uint64_t> ParseCount(const char* text, uint64_t min)
{
    if (text == nullptr || *text == 0) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char* c = text; *c != 0; ++c) {
        if (*c < '0' || *c > '9') {
            return std::nullopt;
        }
        uint64_t digit = static_cast<uint64_t>(*c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    if (value < min) {
        return std::nullopt;
    }
    return value;
}

int Simulate(int argc, char** argv)
{
    std::string imagePath = model::DefaultHostImagePath();
    std::string sysPath;
    std::string scenarioPath;
    std::string statePath;
    bool stats = false;
    bool imageGiven = false;
    std::optional<uint64_t> seed;
    for (int i = 0; i < argc; ++i) {
        const char* option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool isImage = std::strcmp(option, "--image") == 0;
        bool isSys = std::strcmp(option, "--sys") == 0;
        bool isState = std::strcmp(option, "--state") == 0;
        bool isLimit = std::strcmp(option, "--instruction-limit") == 0;
        bool isSeed = std::strcmp(option, "--seed") == 0;
        if (isImage || isSys || isState) {
            if (value == nullptr) {
                Complain(std::string(option) + " needs a path");
                return ExitBadInput;
            }
            if (isState) {
                if (!statePath.empty()) {
                    Complain("--state: given once");
                    return ExitBadInput;
                }
                statePath = value;
                ++i;
                continue;
            }
            // One driver per run: the host build or the shipped image.
            if (imageGiven || !sysPath.empty()) {
                Complain(std::string(option) + ": only one of --sys and --image, given once");
                return ExitBadInput;
            }
            imageGiven = isImage;
            (isSys ? sysPath : imagePath) = value;
            ++i;
        } else if (isLimit || isSeed) {
            std::optional<uint64_t> number = ParseCount(value, isLimit ? 1 : 0);
            if (!number) {
                std::string given = value != nullptr
                                        ? "not \"" + sim::EscapeText(value, sim::QuotedInputMax) + "\""
                                        : std::string("none given");
                Complain(std::string(option) + " needs a decimal number from " +
                         (isLimit ? "1" : "0") + " to 18446744073709551615; " + given);
                return ExitBadInput;
            }
            if (isLimit) {
                runner::Emulator::Instance().SetInstructionLimit(*number);
            } else {
                seed = number;
            }
            ++i;
        } else if (std::strcmp(option, "--stats") == 0) {
            stats = true;
        } else if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
            std::cout << SimulateUsage;
            return ExitClean;
        } else if (option[0] == '-' && option[1] != 0) {
            Complain(std::string("unknown option ") + option + "; see vekcrash simulate --help");
            return ExitBadInput;
        } else if (!scenarioPath.empty()) {
            Complain("only one scenario can be run at a time");
            return ExitBadInput;
        } else {
            scenarioPath = option;
        }
    }

    std::string text = sim::DefaultScenarioText();
    std::string source = "default scenario";
    if (!scenarioPath.empty()) {
        model::InputFile file;
        std::string readError;
        if (!file.Open(scenarioPath, MaxScenarioBytes, &readError)) {
            Complain(readError);
            return ExitBadInput;
        }
        text.assign(reinterpret_cast<const char*>(file.Data()), file.Size());
        source = scenarioPath;
    }

    sim::Scenario scenario;
    std::string error;
    if (!sim::ParseScenario(text, &scenario, &error)) {
        Complain(source + ": " + error);
        return ExitBadInput;
    }
    if (seed) {
        scenario.Machine.Seed = *seed;
    }
    // A test driver is a .sys: only the emulated processor runs it.
    if (!scenario.Machine.TestDrivers.empty() && sysPath.empty()) {
        Complain(source + ": machine.test_drivers: test drivers (" +
                 scenario.Machine.TestDrivers.front() +
                 ") run only on the shipped image; give --sys");
        return ExitBadInput;
    }

    sim::ImageFactory images = [&imagePath](std::string* openError) {
        return model::OpenHostImage(imagePath, openError);
    };
    sim::TestDriverFactory testDrivers;
    if (!sysPath.empty()) {
        images = [&sysPath](std::string* openError) {
            return runner::OpenSysImage(sysPath, openError);
        };
        // Built beside the tool (build/testdrivers/NAME.sys).
        testDrivers = [](const std::string& name, std::string* openError) {
            return runner::OpenTestDriver(model::DefaultTestDriverPath(name), openError);
        };
    }
    // Nothing here reads the call log: a run of any length keeps flat.
    model::KeepCallLog(false);
    auto started = std::chrono::steady_clock::now();
    sim::RunResult result = sim::RunScenario(scenario, images, std::cerr, testDrivers);
    auto elapsed = std::chrono::steady_clock::now() - started;
    std::fwrite(result.Console.data(), 1, result.Console.size(), stdout);
    std::fflush(stdout);
    if (!statePath.empty()) {
        std::ofstream state(statePath, std::ios::binary | std::ios::trunc);
        state << sim::MachineStateJson();
        if (!state.flush()) {
            Complain("cannot write " + statePath);
            return ExitBadInput;
        }
    }
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
    return Simulate(argc - 1, argv + 1);
}
