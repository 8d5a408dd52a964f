// The kinds of scenario event. Each kind is one entry of one table: its
// name in the scenario, how its keys are read, where it may come in the
// list, and what it does to the machine. A new kind is a new entry.
#pragma once

#include "sim/simulate.h"
#include "sim/strict_json.h"

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

// What the events read so far did, for the order rules of the next one.
struct EventOrder {
    bool Loaded = false;
    bool Asleep = false;
    // Processors active at this point of the run: the machine's at first,
    // then those of the last resume that changed them.
    unsigned ActiveProcessors = 1;
    // The hypervisor as the machine's description and the resumes so far
    // left it.
    model::HypervisorConfig Hypervisor;
};

// A run in progress as an event's action sees it.
struct EventRun {
    const ImageFactory& Images;
    std::ostream& Log;  // diagnostics, through PrintDiagnostic
    std::string Where;  // "events[3]", for diagnostics
    std::unique_ptr<model::DriverImage>& Image;
    TestDrivers& TestDriverImages;
    RunResult& Result;
    bool Abandon = false;  // set to end the run after this event
};

struct EventKind {
    const char* Name;
    // Reads the keys beside "event" into event, given what the events
    // before it did; the reader rejects the keys it did not ask for.
    void (*Read)(JsonObject& keys, const model::MachineConfig& machine, const EventOrder& order,
                 Event* event);
    // Checks that the event may come after those read so far and records
    // its effect; returns why not, or null.
    const char* (*Order)(const Event& event, EventOrder* order);
    // Why nothing may follow this event (the machine stops), or null.
    const char* EndsRun;
    void (*Run)(const Event& event, EventRun& run);
};

// Every kind, in the order a message lists them.
const std::vector<EventKind>& EventKinds();

}  // namespace sim
