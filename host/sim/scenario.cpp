// Scenario reader. Strict: an unknown key, a value of the wrong type or out
// of range, or events in an impossible order each stop the reading with one
// line that names the key.
#include "sim/scenario.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <functional>
#include <set>
#include <stdexcept>

namespace sim {

namespace {

using nlohmann::json;

constexpr unsigned MaxProcessors = 64;
constexpr uint64_t MaxPort = 0xFFF8;  // room for the eight UART registers

struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& path, const std::string& what)
{
    throw ScenarioError(path + ": " + what);
}

std::string Join(const std::string& path, const std::string& key)
{
    return path.empty() ? key : path + "." + key;
}

std::string Index(const std::string& path, size_t index)
{
    return path + "[" + std::to_string(index) + "]";
}

// Unsigned number: a JSON integer, or a string in decimal or 0x-hex (for
// 64-bit values, which JSON tools often cannot hold exactly).
uint64_t ReadUnsigned(const json& value, const std::string& path, uint64_t max, uint64_t min = 0)
{
    const std::string expected = "expected an integer from " + std::to_string(min) + " to " +
                                 std::to_string(max) +
                                 " (a number, or a string such as \"0x1F\")";
    uint64_t result = 0;
    if (value.is_number_unsigned()) {
        result = value.get<uint64_t>();
    } else if (value.is_number_integer()) {
        Fail(path, expected);
    } else if (value.is_string()) {
        const std::string text = value.get<std::string>();
        bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        const std::string digits = hex ? text.substr(2) : text;
        if (digits.empty() || digits.size() > (hex ? 16u : 20u)) {
            Fail(path, expected);
        }
        for (char c : digits) {
            unsigned digit = 0;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (hex && c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else if (hex && c >= 'A' && c <= 'F') {
                digit = static_cast<unsigned>(c - 'A' + 10);
            } else {
                Fail(path, expected);
            }
            uint64_t base = hex ? 16 : 10;
            if (result > (UINT64_MAX - digit) / base) {
                Fail(path, expected);
            }
            result = result * base + digit;
        }
    } else {
        Fail(path, expected);
    }
    if (result < min || result > max) {
        Fail(path, expected);
    }
    return result;
}

bool ReadBool(const json& value, const std::string& path)
{
    if (!value.is_boolean()) {
        Fail(path, "expected true or false");
    }
    return value.get<bool>();
}

std::string ReadString(const json& value, const std::string& path)
{
    if (!value.is_string()) {
        Fail(path, "expected a string");
    }
    return value.get<std::string>();
}

std::string ReadChoice(const json& value, const std::string& path,
                       const std::vector<std::string>& choices)
{
    std::string text = value.is_string() ? value.get<std::string>() : std::string();
    for (const std::string& choice : choices) {
        if (value.is_string() && text == choice) {
            return text;
        }
    }
    std::string list;
    for (const std::string& choice : choices) {
        list += (list.empty() ? "\"" : ", \"") + choice + "\"";
    }
    Fail(path, "expected one of " + list);
}

// Walks the keys of one JSON object; keys never asked for are unknown.
class ObjectReader {
public:
    ObjectReader(const json& value, std::string path) : value_(value), path_(std::move(path))
    {
        if (!value.is_object()) {
            Fail(path_.empty() ? "scenario" : path_, "expected an object");
        }
    }

    const json* Find(const std::string& key)
    {
        known_.insert(key);
        auto found = value_.find(key);
        return found == value_.end() ? nullptr : &*found;
    }

    const json& Require(const std::string& key)
    {
        const json* value = Find(key);
        if (value == nullptr) {
            Fail(Join(path_, key), "missing");
        }
        return *value;
    }

    std::string PathOf(const std::string& key) const { return Join(path_, key); }

    void RejectUnknownKeys() const
    {
        for (const auto& item : value_.items()) {
            if (known_.count(item.key()) == 0) {
                Fail(Join(path_, item.key()), "unknown key");
            }
        }
    }

private:
    const json& value_;
    std::string path_;
    std::set<std::string> known_;
};

// "YYYY-MM-DDTHH:MM:SS.mmmZ" (the fraction is optional), UTC.
int64_t ReadTime(const json& value, const std::string& path)
{
    const std::string expected =
        "expected a UTC time such as \"2024-03-05T07:08:09.042Z\" (years 1601 to 9999)";
    std::string text = ReadString(value, path);
    // sscanf alone would take a sign or spaces inside a field ("2024- 3-05").
    static const char shape[] = "dddd-dd-ddTdd:dd:dd";
    for (size_t i = 0; i + 1 < sizeof(shape); ++i) {
        bool digit = i < text.size() && text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : (i >= text.size() || text[i] != shape[i])) {
            Fail(path, expected);
        }
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour,
                    &minute, &second, &consumed) != 6 ||
        consumed != 19) {
        Fail(path, expected);
    }
    std::string rest = text.substr(static_cast<size_t>(consumed));
    if (rest.size() == 5 && rest[0] == '.' && rest[4] == 'Z') {
        for (int i = 1; i <= 3; ++i) {
            if (rest[static_cast<size_t>(i)] < '0' || rest[static_cast<size_t>(i)] > '9') {
                Fail(path, expected);
            }
            millisecond = millisecond * 10 + (rest[static_cast<size_t>(i)] - '0');
        }
    } else if (rest != "Z") {
        Fail(path, expected);
    }
    static const int daysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1601 || month < 1 || month > 12 || day < 1 ||
        day > daysInMonth[month - 1] + ((month == 2 && leap) ? 1 : 0) || hour > 23 ||
        minute > 59 || second > 59) {
        Fail(path, expected);
    }
    return model::SystemTimeFromCalendar(year, month, day, hour, minute, second, millisecond);
}

std::u16string Widen(const std::string& text, const std::string& path)
{
    std::u16string wide;
    for (unsigned char c : text) {
        if (c >= 0x80) {
            Fail(path, "expected plain ASCII text");
        }
        wide.push_back(static_cast<char16_t>(c));
    }
    return wide;
}

void ReadVersion(const json& value, const std::string& path, model::OsVersion* version)
{
    ObjectReader reader(value, path);
    auto u32 = [&](const char* key, ULONG* field) {
        if (const json* v = reader.Find(key)) {
            *field = static_cast<ULONG>(ReadUnsigned(*v, reader.PathOf(key), UINT32_MAX));
        }
    };
    auto u16 = [&](const char* key, USHORT* field) {
        if (const json* v = reader.Find(key)) {
            *field = static_cast<USHORT>(ReadUnsigned(*v, reader.PathOf(key), UINT16_MAX));
        }
    };
    u32("major", &version->Major);
    u32("minor", &version->Minor);
    u32("build", &version->Build);
    u32("platform_id", &version->PlatformId);
    u16("service_pack_major", &version->ServicePackMajor);
    u16("service_pack_minor", &version->ServicePackMinor);
    u16("suite_mask", &version->SuiteMask);
    if (const json* v = reader.Find("product_type")) {
        version->ProductType =
            static_cast<UCHAR>(ReadUnsigned(*v, reader.PathOf("product_type"), UINT8_MAX));
    }
    if (const json* v = reader.Find("csd_version")) {
        std::string path2 = reader.PathOf("csd_version");
        std::string text = ReadString(*v, path2);
        if (text.size() > 127) {
            Fail(path2, "expected at most 127 characters");
        }
        version->CsdVersion = Widen(text, path2);
    }
    reader.RejectUnknownKeys();
}

model::UartConfig ReadUart(const json& value, const std::string& path)
{
    ObjectReader reader(value, path);
    model::UartConfig uart;
    std::string space = ReadChoice(reader.Require("space"), reader.PathOf("space"), {"io", "memory"});
    uart.MemoryMapped = space == "memory";
    uart.Address = ReadUnsigned(reader.Require("address"), reader.PathOf("address"),
                                uart.MemoryMapped ? UINT64_MAX - 8 : MaxPort);
    if (const json* v = reader.Find("busy_reads")) {
        if (v->is_string() && v->get<std::string>() == "forever") {
            uart.BusyForever = true;
        } else {
            uart.BusyReads = ReadUnsigned(*v, reader.PathOf("busy_reads"), 1000000000);
        }
    }
    if (const json* v = reader.Find("line_control")) {
        uart.InitialLineControl =
            static_cast<UCHAR>(ReadUnsigned(*v, reader.PathOf("line_control"), UINT8_MAX));
    }
    reader.RejectUnknownKeys();
    return uart;
}

void ReadMachine(const json& value, model::MachineConfig* machine)
{
    ObjectReader reader(value, "machine");
    if (const json* v = reader.Find("processors")) {
        machine->Processors =
            static_cast<unsigned>(ReadUnsigned(*v, reader.PathOf("processors"), MaxProcessors, 1));
    }
    if (const json* v = reader.Find("os_version")) {
        ReadVersion(*v, reader.PathOf("os_version"), &machine->Version);
    }
    if (const json* v = reader.Find("pool_zeroing")) {
        std::string zeroing = ReadChoice(*v, reader.PathOf("pool_zeroing"),
                                         {"supported", "not-supported", "query-unsupported"});
        machine->Zeroing = zeroing == "supported"       ? model::PoolZeroing::Supported
                           : zeroing == "not-supported" ? model::PoolZeroing::NotSupported
                                                        : model::PoolZeroing::QueryUnsupported;
    }
    if (const json* v = reader.Find("spcr")) {
        ObjectReader spcr(*v, reader.PathOf("spcr"));
        std::string kind = ReadChoice(spcr.Require("kind"), spcr.PathOf("kind"),
                                      {"absent", "memory", "io", "too-large"});
        machine->Spcr.Kind = kind == "absent"   ? model::SpcrKind::Absent
                             : kind == "memory" ? model::SpcrKind::Memory
                             : kind == "io"     ? model::SpcrKind::Io
                                                : model::SpcrKind::TooLarge;
        if (const json* address = spcr.Find("address")) {
            machine->Spcr.Address = ReadUnsigned(*address, spcr.PathOf("address"), UINT64_MAX);
        } else if (machine->Spcr.Kind != model::SpcrKind::Absent) {
            Fail(spcr.PathOf("address"), "missing");
        }
        spcr.RejectUnknownKeys();
    }
    // Without a list, the machine has one UART where the firmware says the
    // console is: at the SPCR's memory address, or else at COM1.
    machine->Uarts = {model::UartConfig{}};
    if (machine->Spcr.Kind == model::SpcrKind::Memory ||
        machine->Spcr.Kind == model::SpcrKind::TooLarge) {
        machine->Uarts[0].MemoryMapped = true;
        machine->Uarts[0].Address = machine->Spcr.Address;
    }
    if (const json* v = reader.Find("uarts")) {
        std::string path = reader.PathOf("uarts");
        if (!v->is_array() || v->empty()) {
            Fail(path, "expected a non-empty list of UARTs (the first is the console)");
        }
        machine->Uarts.clear();
        for (size_t i = 0; i < v->size(); ++i) {
            machine->Uarts.push_back(ReadUart((*v)[i], Index(path, i)));
        }
    }
    if (const json* v = reader.Find("routines")) {
        std::string path = reader.PathOf("routines");
        if (!v->is_object()) {
            Fail(path, "expected an object of routine names and true or false");
        }
        for (const auto& item : v->items()) {
            std::string itemPath = Join(path, item.key());
            const model::RoutineInfo* routine = model::FindRoutine(item.key());
            if (routine == nullptr) {
                Fail(itemPath, "no kernel routine of that name");
            }
            if (!routine->Optional) {
                Fail(itemPath, "every kernel has this routine; it cannot be made absent");
            }
            machine->Routines[item.key()] = ReadBool(item.value(), itemPath);
        }
    }
    if (const json* v = reader.Find("time")) {
        machine->SystemTime = ReadTime(*v, reader.PathOf("time"));
    }
    reader.RejectUnknownKeys();
}

void ReadFaults(const json& value, std::vector<model::Fault>* faults)
{
    if (!value.is_array()) {
        Fail("faults", "expected a list");
    }
    for (size_t i = 0; i < value.size(); ++i) {
        std::string path = Index("faults", i);
        ObjectReader reader(value[i], path);
        model::Fault fault;
        fault.Routine = ReadString(reader.Require("routine"), reader.PathOf("routine"));
        if (const json* v = reader.Find("call")) {
            fault.Call = static_cast<unsigned>(ReadUnsigned(*v, reader.PathOf("call"), 1000000, 1));
        }
        if (const json* v = reader.Find("status")) {
            fault.Status = static_cast<NTSTATUS>(ReadUnsigned(*v, reader.PathOf("status"), UINT32_MAX));
            if (NT_SUCCESS(fault.Status)) {
                Fail(reader.PathOf("status"), "expected a failure status (0x80000000 or above)");
            }
        }
        const model::RoutineInfo* routine = model::FindRoutine(fault.Routine);
        if (routine == nullptr) {
            Fail(reader.PathOf("routine"), "no kernel routine named \"" + fault.Routine + "\"");
        }
        if (routine->FailsAs == model::RoutineInfo::Failure::None) {
            Fail(reader.PathOf("routine"), "\"" + fault.Routine + "\" returns nothing and cannot fail");
        }
        reader.RejectUnknownKeys();
        faults->push_back(fault);
    }
}

Event ReadEvent(const json& value, const std::string& path, unsigned processors)
{
    ObjectReader reader(value, path);
    Event event;
    std::string kind = ReadChoice(reader.Require("event"), reader.PathOf("event"),
                                  {"load", "bugcheck", "unload"});
    if (kind == "load") {
        event.Kind = EventKind::Load;
    } else if (kind == "unload") {
        event.Kind = EventKind::Unload;
    } else {
        event.Kind = EventKind::BugCheck;
        // The kernel keeps the code in a pointer-sized slot; the report
        // prints its low 32 bits.
        event.Code = ReadUnsigned(reader.Require("code"), reader.PathOf("code"), UINT64_MAX);
        if (const json* v = reader.Find("parameters")) {
            std::string paramsPath = reader.PathOf("parameters");
            if (!v->is_array() || v->size() != 4) {
                Fail(paramsPath, "expected a list of four parameters");
            }
            for (size_t i = 0; i < 4; ++i) {
                event.Parameters[i] = ReadUnsigned((*v)[i], Index(paramsPath, i), UINT64_MAX);
            }
        }
        if (const json* v = reader.Find("time")) {
            event.HasTime = true;
            event.Time = ReadTime(*v, reader.PathOf("time"));
        }
        if (const json* v = reader.Find("processor")) {
            event.Processor = static_cast<unsigned>(ReadUnsigned(*v, reader.PathOf("processor"), processors - 1));
        }
    }
    reader.RejectUnknownKeys();
    return event;
}

void ReadEvents(const json& value, std::vector<Event>* events, unsigned processors)
{
    if (!value.is_array()) {
        Fail("events", "expected a list");
    }
    bool loaded = false;
    bool stopped = false;
    for (size_t i = 0; i < value.size(); ++i) {
        std::string path = Index("events", i);
        Event event = ReadEvent(value[i], path, processors);
        if (stopped) {
            Fail(path, "the machine was stopped by an earlier bug check; nothing can follow it");
        }
        if (event.Kind == EventKind::Load) {
            if (loaded) {
                Fail(path, "the driver is already loaded; unload it first");
            }
            loaded = true;
        } else if (event.Kind == EventKind::Unload) {
            if (!loaded) {
                Fail(path, "no load comes before this unload");
            }
            loaded = false;
        } else {
            stopped = true;
        }
        events->push_back(event);
    }
}

// The JSON library keeps only the last of a repeated key. Watching the
// parse finds the first repeat, so that a key given twice is reported
// rather than silently losing one of its values.
class RepeatedKeyFinder {
public:
    // The path of the first repeated key, or empty.
    const std::string& Repeated() const { return repeated_; }

    bool operator()(int, json::parse_event_t event, const json& parsed)
    {
        switch (event) {
        case json::parse_event_t::object_start:
        case json::parse_event_t::array_start:
            ElementStarts();
            frames_.push_back(Frame{event == json::parse_event_t::array_start, 0, {}, {}});
            break;
        case json::parse_event_t::object_end:
        case json::parse_event_t::array_end:
            frames_.pop_back();
            break;
        case json::parse_event_t::value:
            ElementStarts();
            break;
        case json::parse_event_t::key: {
            Frame& object = frames_.back();
            object.Key = parsed.get<std::string>();
            if (!object.Keys.insert(object.Key).second && repeated_.empty()) {
                repeated_ = CurrentPath();
            }
            break;
        }
        }
        return true;
    }

private:
    struct Frame {
        bool Array;
        size_t Elements;          // of an array, so far
        std::string Key;          // of an object, the one being read
        std::set<std::string> Keys;
    };

    void ElementStarts()
    {
        if (!frames_.empty() && frames_.back().Array) {
            ++frames_.back().Elements;
        }
    }

    std::string CurrentPath() const
    {
        std::string path;
        for (const Frame& frame : frames_) {
            path = frame.Array ? Index(path, frame.Elements - 1) : Join(path, frame.Key);
        }
        return path;
    }

    std::vector<Frame> frames_;
    std::string repeated_;
};

}  // namespace

bool ParseScenario(const std::string& text, Scenario* scenario, std::string* error)
{
    json document;
    RepeatedKeyFinder repeats;
    try {
        document = json::parse(text, std::ref(repeats));
    } catch (const json::parse_error& parseError) {
        *error = std::string("not valid JSON: ") + parseError.what();
        return false;
    }
    if (!repeats.Repeated().empty()) {
        *error = repeats.Repeated() + ": given more than once";
        return false;
    }
    try {
        Scenario result;
        ObjectReader reader(document, "");
        if (const json* v = reader.Find("machine")) {
            ReadMachine(*v, &result.Machine);
        }
        if (const json* v = reader.Find("faults")) {
            ReadFaults(*v, &result.Faults);
        }
        ReadEvents(reader.Require("events"), &result.Events, result.Machine.Processors);
        if (const json* v = reader.Find("description")) {
            ReadString(*v, "description");
        }
        reader.RejectUnknownKeys();
        *scenario = std::move(result);
        return true;
    } catch (const ScenarioError& scenarioError) {
        *error = scenarioError.what();
        return false;
    }
}

}  // namespace sim
