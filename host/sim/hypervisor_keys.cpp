// The hypervisor's scenario keys (hypervisor_keys.h).
#include "sim/hypervisor_keys.h"

#include "model/hypervisor.h"

#include <cstdio>

namespace sim {

namespace {

constexpr size_t VendorLength = 12;
constexpr size_t MaxBrandLength = 47;  // 48 bytes of CPUID, one NUL at least
constexpr unsigned MaxProcessors = 64;
// TSC frequencies a real hypervisor reports: x86 processors with an
// invariant TSC run it from about 1 GHz to 5 GHz; 100 MHz to 10 GHz leaves
// room either side, and keeps the page's scale (10^7 * 2^64 / f) in 64 bits,
// which needs more than 10 MHz.
constexpr uint64_t MinTscFrequency = 100000000;
constexpr uint64_t MaxTscFrequency = 10000000000;

std::optional<model::SyntheticMsr> ReadMsr(JsonObject& reader, const char* key)
{
    JsonValue value = reader.Value();
    if (!reader.Find(key, &value)) {
        return std::nullopt;
    }
    if (value.IsString("absent")) {
        return model::SyntheticMsr{false, 0};
    }
    return model::SyntheticMsr{true, value.Unsigned(UINT64_MAX)};
}

std::string PrintableAscii(const JsonValue& value, size_t min, size_t max)
{
    std::string text = value.String();
    bool printable = text.size() >= min && text.size() <= max;
    for (char c : text) {
        printable = printable && c >= 0x20 && c <= 0x7E;
    }
    if (!printable) {
        value.Fail(min == max ? "expected exactly " + std::to_string(max) +
                                    " printable ASCII characters"
                              : "expected at most " + std::to_string(max) +
                                    " printable ASCII characters");
    }
    return text;
}

}  // namespace

void ReadSyntheticMsrs(const JsonValue& value, model::ResumeChanges* msrs)
{
    JsonObject reader(value);
    msrs->GuestOsId = ReadMsr(reader, "guest_os_id");
    msrs->Hypercall = ReadMsr(reader, "hypercall");
    msrs->ReferenceTsc = ReadMsr(reader, "reference_tsc");
    JsonValue field = value;
    if (reader.Find("vp_assist_page", &field)) {
        if (field.IsString("absent")) {
            msrs->VpAssistPageOffered = false;
        } else {
            const char* expected = "expected \"absent\" or a list of at most 64 values, one per "
                                   "processor";
            std::vector<JsonValue> slots = field.List(expected);
            if (slots.size() > MaxProcessors) {
                field.Fail(expected);
            }
            msrs->VpAssistPageOffered = true;
            msrs->VpAssistPage.emplace();
            for (const JsonValue& slot : slots) {
                msrs->VpAssistPage->push_back(slot.Unsigned(UINT64_MAX));
            }
        }
    }
    reader.RejectUnknownKeys();
}

uint64_t ReadTscFrequency(const JsonValue& value)
{
    return value.Unsigned(MaxTscFrequency, MinTscFrequency);
}

void ReadHypervisorIdentity(JsonObject& reader, model::ResumeChanges* changes)
{
    JsonValue field = reader.Value();
    if (reader.Find("vendor", &field)) {
        changes->Vendor = PrintableAscii(field, VendorLength, VendorLength);
    }
    if (reader.Find("highest_leaf", &field)) {
        changes->HighestLeaf = static_cast<ULONG>(field.Unsigned(UINT32_MAX));
    }
    if (reader.Find("interface", &field)) {
        changes->Interface = static_cast<ULONG>(field.Unsigned(UINT32_MAX));
    }
    if (reader.Find("features", &field)) {
        changes->Features = static_cast<ULONG>(field.Unsigned(UINT32_MAX));
    }
    if (reader.Find("feature_flags", &field)) {
        changes->FeatureFlags = static_cast<ULONG>(field.Unsigned(UINT32_MAX));
    }
    if (reader.Find("tsc_frequency", &field)) {
        changes->TscFrequency = ReadTscFrequency(field);
    }
}

void CheckOfferedMsrs(const JsonValue& where, const model::HypervisorConfig& hv)
{
    struct Register {
        const char* Key;
        ULONG Msr;
        bool Offered;
    };
    const Register registers[] = {
        {"guest_os_id", model::HvMsrGuestOsId, hv.GuestOsId.Offered},
        {"hypercall", model::HvMsrHypercall, hv.Hypercall.Offered},
        {"reference_tsc", model::HvMsrReferenceTsc, hv.ReferenceTsc.Offered},
        {"vp_assist_page", model::HvMsrVpAssistPage, hv.VpAssistPageOffered},
    };
    for (const Register& item : registers) {
        ULONG privilege = model::HvMsrPrivilege(item.Msr);
        if (hv.Present && !item.Offered && (hv.Features & privilege) != 0) {
            char bit[16];
            std::snprintf(bit, sizeof(bit), "0x%X", static_cast<unsigned>(privilege));
            where.Fail(std::string("msrs.") + item.Key + " is \"absent\" while features grant it (" +
                       bit + "); clear that bit or offer the register");
        }
    }
}

void ReadHypervisor(const JsonValue& value, model::HypervisorConfig* hypervisor)
{
    *hypervisor = model::HypervisorConfig{};
    if (value.IsString("absent")) {
        return;
    }
    JsonObject reader(value, "expected \"absent\" or an object");
    JsonValue field = value;
    // A hypervisor by name; the keys beside it override its fields.
    if (reader.Find("preset", &field)) {
        std::string name = field.String();
        const model::HypervisorPreset* preset = model::FindHypervisorPreset(name);
        if (preset == nullptr) {
            std::string known;
            for (const model::HypervisorPreset& item : model::HypervisorPresets()) {
                known += std::string(known.empty() ? "" : ", ") + "\"" + item.Name + "\"";
            }
            field.Fail("expected one of " + known);
        }
        *hypervisor = preset->Config;
    }
    model::ResumeChanges changes;
    changes.HypervisorPresent = true;
    ReadHypervisorIdentity(reader, &changes);
    if (reader.Find("recommendations", &field)) {
        hypervisor->Recommendations = static_cast<ULONG>(field.Unsigned(UINT32_MAX));
    }
    if (reader.Find("msrs", &field)) {
        ReadSyntheticMsrs(field, &changes);
    }
    reader.RejectUnknownKeys();
    *hypervisor = model::HypervisorAfterResume(*hypervisor, changes);
    CheckOfferedMsrs(value, *hypervisor);
}

std::vector<unsigned> ReadProcessorGroups(const JsonValue& value,
                                          std::optional<unsigned>* processors)
{
    const char* expected = "expected a non-empty list of processor counts, one per group";
    std::vector<JsonValue> items = value.List(expected);
    if (items.empty()) {
        value.Fail(expected);
    }
    std::vector<unsigned> groups;
    unsigned total = 0;
    for (const JsonValue& item : items) {
        groups.push_back(static_cast<unsigned>(item.Unsigned(model::MaxGroupProcessors, 1)));
        total += groups.back();
    }
    if (total > MaxProcessors) {
        value.Fail("the groups hold " + std::to_string(total) + " processors; at most " +
                   std::to_string(MaxProcessors));
    }
    if (processors->has_value() && **processors != total) {
        value.Fail("the groups hold " + std::to_string(total) + " processors, \"processors\" says " +
                   std::to_string(**processors));
    }
    *processors = total;
    return groups;
}

std::string ReadProcessorBrand(const JsonValue& value)
{
    return PrintableAscii(value, 0, MaxBrandLength);
}

}  // namespace sim
