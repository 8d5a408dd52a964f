// The machine's final state as JSON (state_file.h). Read after the run, from
// the model as the events left it; 64-bit values are hex strings, as in the
// scenario format, since many JSON tools cannot hold them exactly.
#include "sim/state_file.h"

#include "model/machine.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace sim {

namespace {

using nlohmann::ordered_json;

// The reference time a page gives is read after this many seconds of TSC
// ticks at the hypervisor's true TSC frequency: 10^8 (in 100 ns units) for
// an exact page.
constexpr uint64_t ReadAfterSeconds = 10;
constexpr uint64_t PageNumberMask = ~uint64_t{0xFFF};
constexpr uint64_t EnableBit = 1;

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += c >= 0x20 && c <= 0x7E ? c : '.';
    }
    return text;
}

ordered_json SyntheticMsrs(unsigned processor)
{
    const std::pair<const char*, ULONG> registers[] = {
        {"guest_os_id", model::HvMsrGuestOsId},
        {"hypercall", model::HvMsrHypercall},
        {"vp_index", model::HvMsrVpIndex},
        {"time_ref_count", model::HvMsrTimeRefCount},
        {"reference_tsc", model::HvMsrReferenceTsc},
        {"tsc_frequency", model::HvMsrTscFrequency},
        {"apic_frequency", model::HvMsrApicFrequency},
        {"vp_assist_page", model::HvMsrVpAssistPage},
    };
    ordered_json msrs = ordered_json::object();
    for (const auto& [name, msr] : registers) {
        std::optional<uint64_t> value = model::SyntheticMsrValue(msr, processor);
        msrs[name] = value ? Hex(*value) : "absent";
    }
    return msrs;
}

// The page the register enables now, else the one the hypervisor last
// wrote (a restore may have rebuilt it after the register went).
ordered_json ReferenceTscPage()
{
    std::optional<uint64_t> address = model::ReferenceTscPageAddress();
    std::optional<uint64_t> reg = model::SyntheticMsrValue(model::HvMsrReferenceTsc, 0);
    if (reg && (*reg & EnableBit) != 0) {
        address = *reg & PageNumberMask;
    }
    std::optional<model::ReferenceTscPageFields> page;
    if (address) {
        page = model::ReadReferenceTscPage(*address);
    }
    if (!page) {
        return nullptr;
    }
    uint64_t ticks = ReadAfterSeconds * model::Config().Hypervisor.TscFrequency;
    std::optional<uint64_t> time = model::ReferenceTimeFromPage(*address, ticks);
    ordered_json fields;
    fields["address"] = Hex(*address);
    fields["sequence"] = page->Sequence;
    fields["scale"] = Hex(page->Scale);
    fields["offset"] = page->Offset;
    fields["time_after_10s"] = time ? ordered_json(*time) : ordered_json(nullptr);
    return fields;
}

}  // namespace

std::string MachineStateJson()
{
    ordered_json state;
    ordered_json processors = ordered_json::array();
    for (unsigned i = 0; i < model::ActiveProcessors(); ++i) {
        PROCESSOR_NUMBER number = model::ProcessorNumberOf(i);
        processors.push_back({{"index", i},
                              {"group", number.Group},
                              {"number", number.Number},
                              {"synthetic_msrs", SyntheticMsrs(i)}});
    }
    state["processors"] = processors;
    state["reference_tsc_page"] = ReferenceTscPage();
    ordered_json pool = ordered_json::array();
    for (const auto& [tag, count] : model::LivePoolBlocks()) {
        if (count != 0) {
            pool.push_back({{"tag", TagText(tag)}, {"blocks", count}});
        }
    }
    state["pool_blocks"] = pool;
    state["open_handles"] = model::OpenHandles();
    return state.dump(2) + "\n";
}

}  // namespace sim
