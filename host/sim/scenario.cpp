// The scenario schema, read with the strict JSON reader: an unknown key, a
// value of the wrong type or out of range, or events in an impossible
// order each stop the reading with one line that names the key.
#include "sim/scenario.h"

#include "sim/events.h"
#include "sim/scenario_images.h"
#include "sim/hypervisor_keys.h"
#include "sim/scenario_time.h"
#include "sim/strict_json.h"

#include <algorithm>

namespace sim {

namespace {

constexpr unsigned MaxProcessors = 64;
constexpr uint64_t MaxPort = 0xFFF8;  // room for the eight UART registers
constexpr uint64_t MaxFaultCall = 1000000;
constexpr size_t MaxCsdVersion = 127;
constexpr size_t MaxFaultDetail = 256;
constexpr size_t PoolTagLength = 4;

// Routines whose calls the model logs with the pool tag they were given.
bool TakesPoolTag(const std::string& routine)
{
    return routine == "ExAllocatePoolWithTag" || routine == "ExAllocatePoolWithQuotaTag";
}

std::u16string Widen(const JsonValue& value, const std::string& text)
{
    std::u16string wide;
    for (unsigned char c : text) {
        if (c >= 0x80) {
            value.Fail("expected plain ASCII text");
        }
        wide.push_back(static_cast<char16_t>(c));
    }
    return wide;
}

template <typename Field>
void ReadField(JsonObject& reader, const char* key, uint64_t max, Field* field)
{
    JsonValue value = reader.Value();
    if (reader.Find(key, &value)) {
        *field = static_cast<Field>(value.Unsigned(max));
    }
}

void ReadVersion(const JsonValue& value, model::OsVersion* version)
{
    JsonObject reader(value);
    ReadField(reader, "major", UINT32_MAX, &version->Major);
    ReadField(reader, "minor", UINT32_MAX, &version->Minor);
    ReadField(reader, "build", UINT32_MAX, &version->Build);
    ReadField(reader, "platform_id", UINT32_MAX, &version->PlatformId);
    ReadField(reader, "service_pack_major", UINT16_MAX, &version->ServicePackMajor);
    ReadField(reader, "service_pack_minor", UINT16_MAX, &version->ServicePackMinor);
    ReadField(reader, "suite_mask", UINT16_MAX, &version->SuiteMask);
    ReadField(reader, "product_type", UINT8_MAX, &version->ProductType);
    JsonValue csd = value;
    if (reader.Find("csd_version", &csd)) {
        std::string text = csd.String();
        if (text.size() > MaxCsdVersion) {
            csd.Fail("expected at most " + std::to_string(MaxCsdVersion) + " characters");
        }
        version->CsdVersion = Widen(csd, text);
    }
    reader.RejectUnknownKeys();
}

model::UartConfig ReadUart(const JsonValue& value)
{
    JsonObject reader(value);
    model::UartConfig uart;
    uart.MemoryMapped = reader.Require("space").Choice({"io", "memory"}) == "memory";
    uart.Address = reader.Require("address").Unsigned(uart.MemoryMapped ? UINT64_MAX - 8 : MaxPort);
    JsonValue field = value;
    if (reader.Find("busy_reads", &field)) {
        if (field.IsString("forever")) {
            uart.BusyForever = true;
        } else {
            uart.BusyReads = field.Unsigned(1000000000);
        }
    }
    ReadField(reader, "line_control", UINT8_MAX, &uart.InitialLineControl);
    reader.RejectUnknownKeys();
    return uart;
}

void ReadSpcr(const JsonValue& value, model::SpcrTable* spcr)
{
    JsonObject reader(value);
    std::string kind = reader.Require("kind").Choice({"absent", "memory", "io", "too-large"});
    spcr->Kind = kind == "absent"   ? model::SpcrKind::Absent
                 : kind == "memory" ? model::SpcrKind::Memory
                 : kind == "io"     ? model::SpcrKind::Io
                                    : model::SpcrKind::TooLarge;
    JsonValue address = value;
    if (reader.Find("address", &address)) {
        spcr->Address = address.Unsigned(UINT64_MAX);
    } else if (spcr->Kind != model::SpcrKind::Absent) {
        reader.Require("address");
    }
    reader.RejectUnknownKeys();
}

void ReadMachine(const JsonValue& value, model::MachineConfig* machine)
{
    JsonObject reader(value);
    JsonValue field = value;
    std::optional<unsigned> processors;
    if (reader.Find("processors", &field)) {
        processors = static_cast<unsigned>(field.Unsigned(MaxProcessors, 1));
    }
    if (reader.Find("groups", &field)) {
        machine->Groups = ReadProcessorGroups(field, &processors);
    }
    machine->Processors = processors.value_or(machine->Processors);
    if (reader.Find("os_version", &field)) {
        ReadVersion(field, &machine->Version);
    }
    if (reader.Find("pool_zeroing", &field)) {
        std::string zeroing = field.Choice({"supported", "not-supported", "query-unsupported"});
        machine->Zeroing = zeroing == "supported"       ? model::PoolZeroing::Supported
                           : zeroing == "not-supported" ? model::PoolZeroing::NotSupported
                                                        : model::PoolZeroing::QueryUnsupported;
    }
    if (reader.Find("spcr", &field)) {
        ReadSpcr(field, &machine->Spcr);
    }
    // Without a list, the machine has one UART where the firmware says the
    // console is: at the SPCR's memory address, or else at COM1.
    machine->Uarts = {model::UartConfig{}};
    if (machine->Spcr.Kind == model::SpcrKind::Memory ||
        machine->Spcr.Kind == model::SpcrKind::TooLarge) {
        machine->Uarts[0].MemoryMapped = true;
        machine->Uarts[0].Address = machine->Spcr.Address;
    }
    if (reader.Find("uarts", &field)) {
        const char* expected = "expected a non-empty list of UARTs (the first is the console)";
        std::vector<JsonValue> uarts = field.List(expected);
        if (uarts.empty()) {
            field.Fail(expected);
        }
        machine->Uarts.clear();
        for (const JsonValue& uart : uarts) {
            machine->Uarts.push_back(ReadUart(uart));
        }
    }
    if (reader.Find("routines", &field)) {
        JsonObject routines(field, "expected an object of routine names and true or false");
        for (const auto& [name, present] : routines.Entries()) {
            const model::RoutineInfo* routine = model::FindRoutine(name);
            if (routine == nullptr) {
                present.Fail("no kernel routine of that name");
            }
            if (!routine->Optional) {
                present.Fail("every kernel has this routine; it cannot be made absent");
            }
            machine->Routines[name] = present.Bool();
        }
    }
    if (reader.Find("time", &field)) {
        machine->SystemTime = ReadTime(field);
    }
    std::vector<std::pair<model::ImageSpec, JsonValue>> listed;
    if (reader.Find("images", &field)) {
        for (const JsonValue& item : field.List("expected a list of images")) {
            JsonObject image(item);
            machine->Images.push_back(ReadImage(image, item, false));
            image.RejectUnknownKeys();
            listed.emplace_back(machine->Images.back(), item);
        }
    }
    if (reader.Find("module_list_growth", &field)) {
        for (const JsonValue& item : field.List("expected a list of images to load")) {
            JsonObject growth(item);
            model::MachineConfig::ListGrowth entry;
            entry.AfterQueries =
                static_cast<unsigned>(growth.Require("after_queries").Unsigned(MaxFaultCall, 1));
            JsonValue image = growth.Require("image");
            JsonObject imageReader(image);
            entry.Image = ReadImage(imageReader, image, false);
            imageReader.RejectUnknownKeys();
            growth.RejectUnknownKeys();
            machine->GrowingList.push_back(entry);
            listed.emplace_back(entry.Image, image);
        }
    }
    CheckImagesApart(listed);
    if (reader.Find("processor_brand", &field)) {
        machine->ProcessorBrand = ReadProcessorBrand(field);
    }
    if (reader.Find("hypervisor", &field)) {
        ReadHypervisor(field, &machine->Hypervisor);
    }
    if (reader.Find("test_drivers", &field)) {
        for (const JsonValue& item : field.List("expected a list of test driver names")) {
            std::string name = item.Choice(TestDriverNames());
            if (std::find(machine->TestDrivers.begin(), machine->TestDrivers.end(), name) !=
                machine->TestDrivers.end()) {
                item.Fail("the test driver is listed twice");
            }
            machine->TestDrivers.push_back(name);
        }
    }
    reader.RejectUnknownKeys();
}

model::Fault ReadFault(const JsonValue& value)
{
    JsonObject reader(value);
    model::Fault fault;
    JsonValue routineValue = reader.Require("routine");
    fault.Routine = routineValue.String();
    JsonValue field = value;
    if (reader.Find("call", &field)) {
        fault.Call = static_cast<unsigned>(field.Unsigned(MaxFaultCall, 1));
    }
    const model::RoutineInfo* routine = model::FindRoutine(fault.Routine);
    if (routine == nullptr) {
        routineValue.Fail("no kernel routine named " + QuoteInput(fault.Routine));
    }
    if (routine->FailsAs == model::RoutineInfo::Failure::None) {
        routineValue.Fail(QuoteInput(fault.Routine) +
                          " cannot be made to fail: no kernel fails it for a correct call");
    }
    if (reader.Find("status", &field)) {
        fault.Status = static_cast<NTSTATUS>(field.Unsigned(UINT32_MAX));
        std::string refused = model::RefusedFaultStatus(*routine, *fault.Status);
        if (!refused.empty()) {
            field.Fail(refused);
        }
    }
    if (reader.Find("tag", &field)) {
        if (!TakesPoolTag(fault.Routine)) {
            field.Fail(QuoteInput(fault.Routine) + " takes no pool tag");
        }
        fault.Tag = field.String();
        bool printable = fault.Tag.size() == PoolTagLength;
        for (char c : fault.Tag) {
            printable = printable && c >= 0x20 && c <= 0x7E;
        }
        if (!printable) {
            field.Fail("expected a pool tag of four printable ASCII characters, as a pool dump "
                       "shows it (\"MODU\")");
        }
    }
    if (reader.Find("detail", &field)) {
        fault.Detail = field.String();
        if (fault.Detail.empty() || fault.Detail.size() > MaxFaultDetail) {
            field.Fail("expected from 1 to " + std::to_string(MaxFaultDetail) + " characters");
        }
    }
    reader.RejectUnknownKeys();
    return fault;
}

void ReadEvents(const JsonValue& value, const model::MachineConfig& machine,
                std::vector<Event>* events)
{
    std::vector<std::string> names;
    for (const EventKind& kind : EventKinds()) {
        names.emplace_back(kind.Name);
    }
    EventOrder order;
    order.ActiveProcessors = machine.Processors;
    order.Hypervisor = machine.Hypervisor;
    const char* ended = nullptr;  // why nothing may follow, once the machine stopped
    for (const JsonValue& item : value.List()) {
        JsonObject reader(item);
        std::string name = reader.Require("event").Choice(names);
        Event event;
        for (const EventKind& kind : EventKinds()) {
            if (name == kind.Name) {
                event.Kind = &kind;
            }
        }
        event.Kind->Read(reader, machine, order, &event);
        reader.RejectUnknownKeys();
        if (ended != nullptr) {
            item.Fail(ended);
        }
        if (const char* misplaced = event.Kind->Order(event, &order)) {
            item.Fail(misplaced);
        }
        if (event.Kind->EndsRun != nullptr) {
            ended = event.Kind->EndsRun;
        }
        events->push_back(event);
    }
}

}  // namespace

bool ParseScenario(const std::string& text, Scenario* scenario, std::string* error)
{
    nlohmann::json document;
    if (!ParseStrictJson(text, &document, error)) {
        return false;
    }
    try {
        Scenario result;
        JsonObject reader(JsonValue(document, "", "scenario"));
        JsonValue field = reader.Value();
        if (reader.Find("seed", &field)) {
            result.Machine.Seed = field.Unsigned(UINT64_MAX);
        }
        if (reader.Find("machine", &field)) {
            ReadMachine(field, &result.Machine);
        }
        if (reader.Find("faults", &field)) {
            for (const JsonValue& fault : field.List()) {
                result.Faults.push_back(ReadFault(fault));
            }
        }
        ReadEvents(reader.Require("events"), result.Machine, &result.Events);
        // Room for every processor a resume brings online.
        for (const Event& event : result.Events) {
            result.Machine.MaxProcessors =
                std::max(result.Machine.MaxProcessors, event.Resume.Processors.value_or(0));
        }
        if (reader.Find("description", &field)) {
            field.String();
        }
        reader.RejectUnknownKeys();
        *scenario = std::move(result);
        return true;
    } catch (const JsonError& invalid) {
        *error = invalid.what();
        return false;
    }
}

const std::vector<std::string>& TestDriverNames()
{
    static const std::vector<std::string> names = {CrasherName};
    return names;
}

const char* EventName(const Event& event)
{
    return event.Kind != nullptr ? event.Kind->Name : "";
}

}  // namespace sim
