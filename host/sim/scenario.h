// A scenario: a described machine, faults to inject, and the events to run
// on it. Read from JSON; every key is checked, and a bad one is reported
// with its path and what was wrong.
#pragma once

#include "model/machine.h"

#include <string>
#include <vector>

namespace sim {

struct EventKind;  // events.h: the table of event kinds

struct Event {
    const EventKind* Kind = nullptr;
    // Bug check.
    ULONG_PTR Code = 0;
    ULONG_PTR Parameters[4] = {};
    bool HasTime = false;
    int64_t Time = 0;
    unsigned Processor = 0;
    // A power event's "processor" key was given (else a seeded choice).
    bool ProcessorGiven = false;
    // A power event's callbacks' IRQL, when its "irql" key was given (else
    // a seeded choice).
    KIRQL Irql = PASSIVE_LEVEL;
    bool IrqlGiven = false;
    // How often the kernel calls the secondary dump callbacks (2: a sizing
    // pass first).
    unsigned SecondaryDumpPasses = 1;
    // Image loads, issued together.
    std::vector<model::ImageLoad> Loads;
    // Resume: what changed across the sleep. Power notification: the
    // callback's two arguments.
    model::ResumeChanges Resume;
    uint64_t Argument1 = 0;
    uint64_t Argument2 = 0;
    // Crasher: what it touches, and how (its CrasherAccess, with the flag
    // of a wild frame or of the damaged frame it makes the access from)...
    uint64_t CrasherAddress = 0;
    uint32_t CrasherAccess = 0;
    // ... and the page of the crasher taken out before it runs, for a
    // damaged frame whose data lies there.
    enum class CrasherPage : uint8_t { None, Stack, UnwindData };
    CrasherPage CrasherPageOut = CrasherPage::None;
};

struct Scenario {
    model::MachineConfig Machine;
    std::vector<model::Fault> Faults;
    std::vector<Event> Events;
};

// Parses a scenario. On failure returns false and sets error to one line
// naming the key and the fault ("machine.processors: expected ...").
bool ParseScenario(const std::string& text, Scenario* scenario, std::string* error);

// The test drivers a machine may load (machine.test_drivers), and the
// crasher's name among them: the image is NAME.sys.
constexpr const char* CrasherName = "crasher";
const std::vector<std::string>& TestDriverNames();

// The name of an event's kind ("load", "bugcheck", "unload").
const char* EventName(const Event& event);

// The machine that `vekcrash simulate` runs without an argument.
const std::string& DefaultScenarioText();

}  // namespace sim
