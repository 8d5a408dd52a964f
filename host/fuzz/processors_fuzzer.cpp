// Fuzzes valid multi-processor scenarios on the shipped image: the bytes
// choose the processors, a hypervisor, a slow UART, listed images, and a
// run of loads, unloads, image loads spread over the processors (loads
// before the driver's own among them), sleeps and resumes, and a bug check
// on any processor. Every scenario built is one the reader accepts; each
// must run on the emulated processors with no violation (nothing here
// breaks the driver), no tool failure and no hang (libFuzzer's timeout),
// and its report must list every image loaded but those a later load at the
// same offset replaced, and end.
#include "sim/simulate.h"
#include "runner/sys_image.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#ifdef VEK_SYS_IMAGE

namespace {

// Draws small numbers from the fuzz bytes; zeros once they run out.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    unsigned Below(unsigned bound) { return at_ < size_ ? data_[at_++] % bound : 0; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

constexpr unsigned MaxEvents = 8;
constexpr unsigned MaxLoadsTogether = 4;
constexpr unsigned OffsetSlots = 16;  // image load offsets, so that some coincide

struct Built {
    std::string Json;
    // Image name by offset, for the images a bug check's report must list:
    // the last load at each offset wins.
    std::map<unsigned, std::string> Listed;
    bool BugCheck = false;
};

Built Build(Bytes& bytes)
{
    Built built;
    const unsigned processors = 1 + bytes.Below(8);
    std::string machine = "\"processors\": " + std::to_string(processors);
    if (bytes.Below(3) == 0) {
        machine += ", \"hypervisor\": {}";
    }
    if (bytes.Below(4) == 0) {
        machine += ", \"uarts\": [{\"space\": \"io\", \"address\": 1016, \"busy_reads\": " +
                   std::to_string(1 + bytes.Below(3)) + "}]";
    }
    std::string images;
    for (unsigned i = 0, count = bytes.Below(40); i < count; ++i) {
        images += std::string(i ? ", " : "") + "{\"path\": \"\\\\d\\\\m" + std::to_string(i) +
                  ".sys\", \"offset\": " + std::to_string(0x4000000 + 0x2000 * i) +
                  ", \"size\": 4096}";
        built.Listed[OffsetSlots + i] = "m" + std::to_string(i) + ".sys";
    }
    if (!images.empty()) {
        machine += ", \"images\": [" + images + "]";
    }
    std::string events;
    bool loaded = false;
    bool asleep = false;
    unsigned names = 0;
    for (unsigned e = 0, count = bytes.Below(MaxEvents); e < count; ++e) {
        std::string event;
        unsigned kind = bytes.Below(5);
        if (asleep) {
            kind = 1;  // asleep, the machine only resumes
        }
        switch (kind) {
        case 0:
            event = loaded ? "{\"event\": \"unload\"}" : "{\"event\": \"load\"}";
            loaded = !loaded;
            break;
        case 1:
            event = asleep ? "{\"event\": \"resume\"}" : "{\"event\": \"sleep\"}";
            asleep = !asleep;
            break;
        default: {
            std::string loads;
            for (unsigned i = 0, together = 1 + bytes.Below(MaxLoadsTogether); i < together; ++i) {
                unsigned slot = bytes.Below(OffsetSlots);
                std::string name = "i" + std::to_string(names++) + ".sys";
                loads += std::string(i ? ", " : "") + "{\"path\": \"\\\\x\\\\" + name +
                         "\", \"offset\": " + std::to_string(0x100000 + 0x10000 * slot) +
                         ", \"size\": 4096, \"processor\": " +
                         std::to_string(bytes.Below(processors)) + "}";
                // Loads that happen together list in an order the seed picks:
                // of two at one offset, either may be the one listed.
                built.Listed[slot] = built.Listed.count(slot) && i > 0 ? "" : name;
            }
            event = "{\"event\": \"image-load\", \"images\": [" + loads + "]}";
            break;
        }
        }
        if (!event.empty()) {
            events += (events.empty() ? "" : ", ") + event;
        }
    }
    if (asleep) {
        events += ", {\"event\": \"resume\"}";
    }
    if (bytes.Below(4) != 0) {
        built.BugCheck = true;
        events += std::string(events.empty() ? "" : ", ") +
                  "{\"event\": \"bugcheck\", \"code\": \"0xD1\", \"processor\": " +
                  std::to_string(bytes.Below(processors)) +
                  ", \"secondary_dump_passes\": " + std::to_string(1 + bytes.Below(2)) + "}";
    }
    built.Json = "{\"seed\": " + std::to_string(bytes.Below(256)) + ", \"machine\": {" + machine +
                 "}, \"events\": [" + events + "]}";
    return built;
}

}  // namespace

#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
#ifdef VEK_SYS_IMAGE
    Bytes bytes(data, size);
    Built built = Build(bytes);
    sim::Scenario scenario;
    std::string error;
    if (!sim::ParseScenario(built.Json, &scenario, &error)) {
        std::abort();  // every scenario built here is valid
    }
    std::ostringstream log;
    sim::RunResult result = sim::RunScenario(scenario, [](std::string* openError) {
        return runner::OpenSysImage(VEK_SYS_IMAGE, openError);
    }, log);
    if (result.ImageError || !result.Violations.empty()) {
        std::abort();
    }
    bool loadedAtBugCheck = result.Console.find("BUGCHECK DUMP STARTS") != std::string::npos;
    if (loadedAtBugCheck) {
        if (result.Console.find("BUGCHECK DUMP ENDS") == std::string::npos) {
            std::abort();
        }
        for (const auto& [slot, name] : built.Listed) {
            (void)slot;
            if (!name.empty() && result.Console.find("\n" + name + "\t") == std::string::npos) {
                std::abort();  // a row lost
            }
        }
    }
#else
    (void)data, (void)size;
#endif
    return 0;
}
