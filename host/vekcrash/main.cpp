// vekcrash: host tools for the vekcrashdmp driver.
//
//   vekcrash decode [--json] [--modules] [--symbols PATH]... [LOG...]
//
// reads serial console logs and prints every crash report in them (see
// host/decode/).
//
//   vekcrash simulate [--sys PATH | --image PATH] ... [SCENARIO.json]
//
// runs a described machine (see simulate_main.cpp). That command lives in
// vekcrash-simulate beside this program, which it runs in its own place:
// the emulator and the model it links take longer to load than decoding a
// log in page cache takes, so the decoder's program carries only the
// decoder. Exit status is the command's; 2 for a bad command line, 3 when
// vekcrash-simulate cannot be started.
#include "decode/decode_command.h"
#include "sim/printable.h"
#include "vekcrash/simulate_usage.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int ExitClean = 0;
constexpr int ExitBadInput = 2;
constexpr int ExitToolFailure = 3;

constexpr char SimulateProgram[] = "vekcrash-simulate";

void Complain(const std::string& text)
{
    sim::PrintDiagnostic(std::cerr, text);
}

int Decode(int argc, char** argv)
{
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << decode::DecodeUsage;
            return ExitClean;
        }
    }
    decode::DecodeOptions options;
    std::string error;
    if (!decode::ParseDecodeOptions(argc, argv, &options, &error)) {
        Complain(error + "; see vekcrash decode --help");
        return ExitBadInput;
    }
    // A reader that goes away (decode | head) ends the output, not the tool.
    std::signal(SIGPIPE, SIG_IGN);
    return decode::RunDecode(options, std::cout, std::cerr);
}

// Replaces this process with vekcrash-simulate from this program's folder;
// returns only when that fails.
int Simulate(int argc, char** argv)
{
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string program = SimulateProgram;
    if (length > 0) {
        std::string directory(self, static_cast<size_t>(length));
        program = directory.erase(directory.find_last_of('/') + 1) + SimulateProgram;
    }
    std::vector<char*> arguments;
    arguments.push_back(const_cast<char*>(SimulateProgram));
    arguments.insert(arguments.end(), argv, argv + argc);
    arguments.push_back(nullptr);
    execv(program.c_str(), arguments.data());
    Complain("tool failure: cannot run " + program + ": " + std::strerror(errno));
    return ExitToolFailure;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "decode") == 0) {
        return Decode(argc - 2, argv + 2);
    }
    if (argc >= 2 && std::strcmp(argv[1], "simulate") == 0) {
        return Simulate(argc - 2, argv + 2);
    }
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << SimulateUsage << "\n" << decode::DecodeUsage;
        return ExitClean;
    }
    Complain(argc >= 2 ? "unknown command " + sim::EscapeText(argv[1], sim::QuotedInputMax) +
                             "; see vekcrash --help"
                       : std::string("no command given; see vekcrash --help"));
    return ExitBadInput;
}
