// The event table: load, bug check and unload.
#include "sim/events.h"

#include "sim/printable.h"
#include "sim/scenario_images.h"
#include "sim/scenario_time.h"

#include <cstdio>

namespace sim {

namespace {

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

void ReadNothing(JsonObject&, const model::MachineConfig&, Event*) {}

const char* LoadOrder(EventOrder* order)
{
    if (order->Loaded) {
        return "the driver is already loaded; unload it first";
    }
    order->Loaded = true;
    return nullptr;
}

void RunLoad(const Event&, EventRun& run)
{
    std::string error;
    run.Image = run.Images(&error);
    if (!run.Image) {
        PrintDiagnostic(run.Log, run.Where + ": " + error);
        run.Result.ImageError = true;
        run.Abandon = true;
        return;
    }
    NTSTATUS status = model::LoadDriver(*run.Image);
    if (!NT_SUCCESS(status)) {
        PrintDiagnostic(run.Log, run.Where + ": load failed with status " + StatusText(status));
        run.Image.reset();
    }
}

const char* UnloadOrder(EventOrder* order)
{
    if (!order->Loaded) {
        return "no load comes before this unload";
    }
    order->Loaded = false;
    return nullptr;
}

void RunUnload(const Event&, EventRun& run)
{
    if (!model::DriverLoaded()) {
        // The load it pairs with failed at run time.
        PrintDiagnostic(run.Log, run.Where + ": unload skipped: the driver is not loaded");
        return;
    }
    model::UnloadDriver();
    run.Image.reset();
}

void ReadBugCheck(JsonObject& keys, const model::MachineConfig& machine, Event* event)
{
    // The kernel keeps the code in a pointer-sized slot; the report prints
    // its low 32 bits.
    event->Code = keys.Require("code").Unsigned(UINT64_MAX);
    JsonValue value = keys.Value();
    if (keys.Find("parameters", &value)) {
        std::vector<JsonValue> parameters = value.List("expected a list of four parameters");
        if (parameters.size() != 4) {
            value.Fail("expected a list of four parameters");
        }
        for (size_t i = 0; i < 4; ++i) {
            event->Parameters[i] = parameters[i].Unsigned(UINT64_MAX);
        }
    }
    if (keys.Find("time", &value)) {
        event->HasTime = true;
        event->Time = ReadTime(value);
    }
    if (keys.Find("processor", &value)) {
        event->Processor = static_cast<unsigned>(value.Unsigned(machine.Processors - 1));
    }
}

const char* BugCheckOrder(EventOrder*)
{
    return nullptr;
}

void RunBugCheck(const Event& event, EventRun&)
{
    if (event.HasTime) {
        model::SetSystemTime(event.Time);
    }
    model::BugCheck(event.Code, event.Parameters, event.Processor);
}

void ReadImageLoads(JsonObject& keys, const model::MachineConfig& machine, Event* event)
{
    const char* expected = "expected a non-empty list of image loads";
    JsonValue images = keys.Require("images");
    std::vector<JsonValue> loads = images.List(expected);
    if (loads.empty()) {
        images.Fail(expected);
    }
    for (const JsonValue& load : loads) {
        event->Loads.push_back(ReadImageLoad(load, machine));
    }
}

const char* AnyTime(EventOrder*)
{
    return nullptr;
}

void RunImageLoads(const Event& event, EventRun& run)
{
    std::vector<std::string> errors;
    model::RunImageLoads(event.Loads, &errors);
    for (const std::string& error : errors) {
        PrintDiagnostic(run.Log, run.Where + ": " + error);
    }
}

}  // namespace

const std::vector<EventKind>& EventKinds()
{
    static const std::vector<EventKind> kinds = {
        {"load", ReadNothing, LoadOrder, nullptr, RunLoad},
        {"bugcheck", ReadBugCheck, BugCheckOrder,
         "the machine was stopped by an earlier bug check; nothing can follow it", RunBugCheck},
        {"unload", ReadNothing, UnloadOrder, nullptr, RunUnload},
        {"image-load", ReadImageLoads, AnyTime, nullptr, RunImageLoads},
    };
    return kinds;
}

}  // namespace sim
