// The hypervisor's scenario keys (hypervisor_keys.h).
#include "sim/hypervisor_keys.h"

namespace sim {

namespace {

constexpr size_t VendorLength = 12;
constexpr size_t MaxBrandLength = 47;  // 48 bytes of CPUID, one NUL at least
constexpr unsigned MaxProcessors = 64;

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

void ReadHypervisor(const JsonValue& value, model::HypervisorConfig* hypervisor)
{
    *hypervisor = model::HypervisorConfig{};
    if (value.IsString("absent")) {
        return;
    }
    JsonObject reader(value, "expected \"absent\" or an object");
    hypervisor->Present = true;
    JsonValue field = value;
    if (reader.Find("vendor", &field)) {
        hypervisor->Vendor = PrintableAscii(field, VendorLength, VendorLength);
    }
    if (reader.Find("highest_leaf", &field)) {
        hypervisor->HighestLeaf = static_cast<ULONG>(field.Unsigned(UINT32_MAX));
    }
    if (reader.Find("interface", &field)) {
        hypervisor->Interface = static_cast<ULONG>(field.Unsigned(UINT32_MAX));
    }
    if (reader.Find("features", &field)) {
        hypervisor->Features = static_cast<ULONG>(field.Unsigned(UINT32_MAX));
    }
    if (reader.Find("recommendations", &field)) {
        hypervisor->Recommendations = static_cast<ULONG>(field.Unsigned(UINT32_MAX));
    }
    if (reader.Find("tsc_frequency", &field)) {
        hypervisor->TscFrequency = field.Unsigned(UINT64_MAX, 1);
    }
    if (reader.Find("msrs", &field)) {
        model::ResumeChanges msrs;
        ReadSyntheticMsrs(field, &msrs);
        hypervisor->GuestOsId = msrs.GuestOsId.value_or(hypervisor->GuestOsId);
        hypervisor->Hypercall = msrs.Hypercall.value_or(hypervisor->Hypercall);
        hypervisor->ReferenceTsc = msrs.ReferenceTsc.value_or(hypervisor->ReferenceTsc);
        hypervisor->VpAssistPageOffered =
            msrs.VpAssistPageOffered.value_or(hypervisor->VpAssistPageOffered);
        hypervisor->VpAssistPage = msrs.VpAssistPage.value_or(hypervisor->VpAssistPage);
    }
    reader.RejectUnknownKeys();
}

std::string ReadProcessorBrand(const JsonValue& value)
{
    return PrintableAscii(value, 0, MaxBrandLength);
}

}  // namespace sim
