// The event table: load, bug check, unload, image loads, the power events
// (sleep, resume and other power-state notifications) and the crasher's
// fault.
#include "sim/events.h"

#include "sim/hypervisor_keys.h"
#include "sim/printable.h"
#include "sim/scenario_images.h"
#include "sim/scenario_time.h"

#include "model/image_registry.h"
#include "model/unwind.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace sim {

namespace {

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string HexText(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%016llX", static_cast<unsigned long long>(value));
    return text;
}

void ReadNothing(JsonObject&, const model::MachineConfig&, const EventOrder&, Event*) {}

const char* LoadOrder(const Event&, EventOrder* order)
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

const char* UnloadOrder(const Event&, EventOrder* order)
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

void ReadBugCheck(JsonObject& keys, const model::MachineConfig&, const EventOrder& order,
                  Event* event)
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
        // Any processor online at this point, also one that only a resume
        // brought.
        event->Processor = static_cast<unsigned>(value.Unsigned(order.ActiveProcessors - 1));
    }
    if (keys.Find("secondary_dump_passes", &value)) {
        constexpr uint64_t MaxPasses = 2;
        event->SecondaryDumpPasses = static_cast<unsigned>(value.Unsigned(MaxPasses, 1));
    }
}

const char* BugCheckOrder(const Event&, EventOrder*)
{
    return nullptr;
}

void RunBugCheck(const Event& event, EventRun&)
{
    if (event.HasTime) {
        model::SetSystemTime(event.Time);
    }
    model::BugCheck(event.Code, event.Parameters, event.Processor, event.SecondaryDumpPasses);
}

void ReadImageLoads(JsonObject& keys, const model::MachineConfig& machine, const EventOrder&,
                    Event* event)
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

// ---- Power events ----------------------------------------------------------
constexpr unsigned MaxProcessors = 64;

// The IRQLs a power notification's callbacks may run at: the system calls
// them at DISPATCH_LEVEL or below ("Using a System-Defined Callback Object").
const std::vector<std::string> CallbackIrqlNames = {"passive", "apc", "dispatch"};

// "processor": where the power notification's callbacks run, any processor
// active then (the kernel's power manager runs wherever it is scheduled);
// "irql": at which IRQL.
void ReadCallbackProcessor(JsonObject& keys, unsigned activeProcessors, Event* event)
{
    JsonValue value = keys.Value();
    if (keys.Find("processor", &value)) {
        event->Processor = static_cast<unsigned>(value.Unsigned(activeProcessors - 1));
        event->ProcessorGiven = true;
    }
    if (keys.Find("irql", &value)) {
        const std::string name = value.Choice(CallbackIrqlNames);
        event->Irql = static_cast<KIRQL>(
            std::find(CallbackIrqlNames.begin(), CallbackIrqlNames.end(), name) -
            CallbackIrqlNames.begin());
        event->IrqlGiven = true;
    }
}

// The seed's generator for one event, different per event and the same on
// every run of the seed.
std::mt19937_64 EventRandom(const EventRun& run)
{
    uint64_t mix = model::Config().Seed;
    for (char c : run.Where) {  // "events[N]": FNV-1a over it
        mix = (mix ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
    }
    return std::mt19937_64(mix);
}

// Without a "processor" key, a choice of the machine's seed.
unsigned CallbackProcessor(const Event& event, const EventRun& run,
                           unsigned activeProcessors = model::ActiveProcessors())
{
    if (event.ProcessorGiven) {
        return event.Processor;
    }
    std::mt19937_64 random = EventRandom(run);
    return static_cast<unsigned>(random() % activeProcessors);
}

// Without an "irql" key, a choice of the machine's seed, drawn after the
// processor's so that a seed keeps the processor it chose before.
KIRQL CallbackIrql(const Event& event, const EventRun& run)
{
    if (event.IrqlGiven) {
        return event.Irql;
    }
    std::mt19937_64 random = EventRandom(run);
    random.discard(1);
    return static_cast<KIRQL>(random() % CallbackIrqlNames.size());
}

void ReadSleep(JsonObject& keys, const model::MachineConfig&, const EventOrder& order, Event* event)
{
    // The kind of sleep is for the reader: the callback hears the same
    // notification for both, and a resume says what the sleep changed.
    JsonValue value = keys.Value();
    if (keys.Find("state", &value)) {
        value.Choice({"standby", "hibernate"});
    }
    ReadCallbackProcessor(keys, order.ActiveProcessors, event);
}

const char* SleepOrder(const Event&, EventOrder* order)
{
    if (order->Asleep) {
        return "the machine is already asleep; resume it first";
    }
    order->Asleep = true;
    return nullptr;
}

void RunSleep(const Event& event, EventRun& run)
{
    model::EnterSleep(CallbackProcessor(event, run), CallbackIrql(event, run));
}

void ReadResume(JsonObject& keys, const model::MachineConfig&, const EventOrder& order,
                Event* event)
{
    model::ResumeChanges& changes = event->Resume;
    JsonValue value = keys.Value();
    if (keys.Find("reset_msrs", &value)) {
        changes.ResetMsrs = value.Bool();
    }
    if (keys.Find("hypervisor", &value)) {
        changes.HypervisorPresent = value.Choice({"present", "absent"}) == "present";
    }
    ReadHypervisorIdentity(keys, &changes);
    if (keys.Find("processors", &value)) {
        changes.Processors = static_cast<unsigned>(value.Unsigned(MaxProcessors, 1));
    }
    if (keys.Find("groups", &value)) {
        changes.Groups = ReadProcessorGroups(value, &changes.Processors);
    }
    if (keys.Find("processor_brand", &value)) {
        changes.ProcessorBrand = ReadProcessorBrand(value);
    }
    if (keys.Find("msrs", &value)) {
        ReadSyntheticMsrs(value, &changes);
    }
    CheckOfferedMsrs(keys.Value(), model::HypervisorAfterResume(order.Hypervisor, changes));
    ReadCallbackProcessor(keys, changes.Processors.value_or(order.ActiveProcessors), event);
}

const char* ResumeOrder(const Event& event, EventOrder* order)
{
    if (!order->Asleep) {
        return "no sleep comes before this resume";
    }
    order->Asleep = false;
    order->ActiveProcessors = event.Resume.Processors.value_or(order->ActiveProcessors);
    order->Hypervisor = model::HypervisorAfterResume(order->Hypervisor, event.Resume);
    return nullptr;
}

void RunResume(const Event& event, EventRun& run)
{
    model::ResumeChanges changes = event.Resume;
    // The resume's own processor count decides which may run the callbacks.
    changes.CallbackProcessor =
        CallbackProcessor(event, run, changes.Processors.value_or(model::ActiveProcessors()));
    changes.CallbackIrql = CallbackIrql(event, run);
    model::Resume(changes);
}

void ReadPowerNotification(JsonObject& keys, const model::MachineConfig&, const EventOrder& order,
                           Event* event)
{
    event->Argument1 = keys.Require("argument1").Unsigned(UINT64_MAX);
    event->Argument2 = keys.Require("argument2").Unsigned(UINT64_MAX);
    ReadCallbackProcessor(keys, order.ActiveProcessors, event);
}

const char* AnyTime(const Event&, EventOrder*)
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

void RunPowerNotification(const Event& event, EventRun& run)
{
    model::NotifyPowerState(event.Argument1, event.Argument2, CallbackProcessor(event, run),
                            CallbackIrql(event, run));
}

// ---- The crasher -----------------------------------------------------------
// What the crasher (host/tests/crasher) exports, and how it takes the
// access: the values of its CrasherAccess.
constexpr const char* CrasherRoutine = "CrasherFault";
const std::vector<std::string> CrasherAccessNames = {"read", "write", "execute"};
constexpr uint32_t CrasherAccessMask = 0xFF;
constexpr uint32_t CrasherWildFrame = 0x100;
// A null pointer's member: nothing is ever mapped there.
constexpr uint64_t DefaultCrasherAddress = 0x10;
// The crasher's own stack, whose second page a damaged frame's data lies
// on, and the function whose unwind data a damaged frame loses.
constexpr const char* CrasherStackExport = "CrasherStack";
constexpr uint64_t CrasherStackPageOut = 0x1000;
constexpr const char* CrasherTouchExport = "CrasherTouch";

// The frames the crasher can make its access from that a stack walk cannot
// unwind whole ("damaged_frame"): the flag it takes, and the page of its
// image taken out first.
struct DamagedFrame {
    const char* Name;
    uint32_t Flag;
    Event::CrasherPage PageOut;
};
const DamagedFrame DamagedFrames[] = {
    {"saved_register_out", 0x200, Event::CrasherPage::Stack},
    {"return_address_out", 0x400, Event::CrasherPage::Stack},
    {"stack_pointer_in_hole", 0x800, Event::CrasherPage::None},
    {"unwind_data_out", 0, Event::CrasherPage::UnwindData},
};

const std::vector<std::string>& DamagedFrameNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const DamagedFrame& frame : DamagedFrames) {
            all.emplace_back(frame.Name);
        }
        return all;
    }();
    return names;
}

void ReadCrasher(JsonObject& keys, const model::MachineConfig& machine, const EventOrder& order,
                 Event* event)
{
    const std::vector<std::string>& listed = machine.TestDrivers;
    if (std::find(listed.begin(), listed.end(), CrasherName) == listed.end()) {
        keys.Value().Fail("the crasher is not loaded; list \"crasher\" in machine.test_drivers");
    }
    event->CrasherAddress = DefaultCrasherAddress;
    JsonValue value = keys.Value();
    if (keys.Find("access", &value)) {
        std::string access = value.Choice(CrasherAccessNames);
        event->CrasherAccess = static_cast<uint32_t>(
            std::find(CrasherAccessNames.begin(), CrasherAccessNames.end(), access) -
            CrasherAccessNames.begin());
    }
    if (keys.Find("address", &value)) {
        event->CrasherAddress = value.Unsigned(UINT64_MAX);
    }
    bool wild = false;
    if (keys.Find("wild_frame", &value) && value.Bool()) {
        event->CrasherAccess |= CrasherWildFrame;
        wild = true;
    }
    if (keys.Find("damaged_frame", &value)) {
        std::string name = value.Choice(DamagedFrameNames());
        if (wild) {
            value.Fail("a frame is either wild or damaged; give wild_frame or damaged_frame, not both");
        }
        const DamagedFrame& frame = *std::find_if(std::begin(DamagedFrames), std::end(DamagedFrames),
                                                  [&](const DamagedFrame& f) { return name == f.Name; });
        event->CrasherAccess |= frame.Flag;
        event->CrasherPageOut = frame.PageOut;
    }
    if (keys.Find("processor", &value)) {
        event->Processor = static_cast<unsigned>(value.Unsigned(order.ActiveProcessors - 1));
    }
}

// The page of the crasher's image a damaged frame's data lies on: its own
// stack's second page, or the page of CrasherTouch's unwind data. Null
// when the image has neither.
const void* CrasherPageToTakeOut(const Event& event, const model::DriverImage& crasher)
{
    if (event.CrasherPageOut == Event::CrasherPage::Stack) {
        const auto* stack = static_cast<const uint8_t*>(crasher.ExportedRoutine(CrasherStackExport));
        return stack != nullptr ? stack + CrasherStackPageOut : nullptr;
    }
    auto touch = reinterpret_cast<uintptr_t>(crasher.ExportedRoutine(CrasherTouchExport));
    const model::LoadedImage* image = model::FindImageByAddress(touch);
    model::unwind::FoundEntry found;
    if (touch == 0 || image == nullptr ||
        !model::unwind::LookupFunctionEntry(model::UnwindMemory(), image->Base, image->Size, touch,
                                            &found)) {
        return nullptr;
    }
    return reinterpret_cast<const void*>(static_cast<uintptr_t>(image->Base + found.Entry.UnwindData));
}

void RunCrasher(const Event& event, EventRun& run)
{
    model::DriverImage& crasher = *run.TestDriverImages.at(CrasherName);
    const void* routine = crasher.ExportedRoutine(CrasherRoutine);
    if (routine == nullptr) {
        PrintDiagnostic(run.Log, run.Where + ": " + crasher.Name() + " exports no " + CrasherRoutine);
        run.Result.ImageError = true;
        run.Abandon = true;
        return;
    }
    if (event.CrasherPageOut != Event::CrasherPage::None) {
        const void* page = CrasherPageToTakeOut(event, crasher);
        if (page == nullptr || !crasher.PageOut(page)) {
            PrintDiagnostic(run.Log, run.Where + ": " + crasher.Name() +
                                         " has no page to take out for its damaged frame");
            run.Result.ImageError = true;
            run.Abandon = true;
            return;
        }
    }
    // As a request reaches a driver: at PASSIVE_LEVEL; the crasher raises
    // the IRQL itself.
    model::CallTestDriver(crasher, routine, {event.CrasherAddress, event.CrasherAccess},
                          event.Processor, PASSIVE_LEVEL, "the crasher");
    if (!model::Stopped()) {
        PrintDiagnostic(run.Log, run.Where + ": the crasher's " +
                                     CrasherAccessNames[event.CrasherAccess & CrasherAccessMask] +
                                     " at " +
                                     HexText(event.CrasherAddress) + " did not fault");
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
        {"sleep", ReadSleep, SleepOrder, nullptr, RunSleep},
        {"resume", ReadResume, ResumeOrder, nullptr, RunResume},
        {"power_notification", ReadPowerNotification, AnyTime, nullptr, RunPowerNotification},
        {"crasher", ReadCrasher, AnyTime,
         "the crasher stopped the machine with a bug check; nothing can follow it", RunCrasher},
    };
    return kinds;
}

}  // namespace sim
