// What a run leaves for tests and the simulator to read: violations, the
// call log, the console's bytes, objects that exist, and text forms.
#include "core/machine_state.h"
#include "core/model_lock.h"
#include "processors/scheduler.h"

#include "model/address_space.h"
#include "model/driver_call.h"
#include "model/kernel_memory.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace model {

const std::vector<std::string>& Violations()
{
    return State().Violations;
}

const std::vector<KernelCall>& Calls()
{
    return State().Calls;
}

std::vector<KernelCall> CallsTo(const std::vector<std::string>& routines)
{
    std::vector<KernelCall> selected;
    for (const KernelCall& call : State().Calls) {
        if (std::find(routines.begin(), routines.end(), call.Routine) != routines.end()) {
            selected.push_back(call);
        }
    }
    return selected;
}

std::string ConsoleBytes()
{
    MachineState& s = State();
    return s.Uarts.empty() ? std::string() : s.Uarts.front()->Transmitted();
}

Uart16550& UartAt(size_t index)
{
    return *State().Uarts.at(index);
}

size_t UartCount()
{
    return State().Uarts.size();
}

std::vector<std::string> DeviceNames()
{
    std::vector<std::string> names;
    for (const DeviceRecord& device : State().Devices) {
        names.push_back(Narrow(device.Name));
    }
    return names;
}

std::vector<std::string> SymbolicLinks()
{
    std::vector<std::string> links;
    for (const LinkRecord& link : State().Links) {
        links.push_back(Narrow(link.Name) + " -> " + Narrow(link.Target));
    }
    return links;
}

size_t RegisteredBugCheckCallbacks()
{
    return State().BugCheckCallbacks.size();
}

size_t LiveIoMappings()
{
    return State().Mappings.size();
}

const DRIVER_OBJECT* LoadedDriverObject()
{
    return State().Load != nullptr ? &State().Load->DriverObject : nullptr;
}

std::vector<std::string> DriverObjectChanges()
{
    return State().DriverObjectChanges;
}

const KBUGCHECK_SECONDARY_DUMP_DATA& LastSecondaryDumpData()
{
    return State().LastDumpData;
}

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 0x20 && c < 0x7F ? c : '.');
    }
    return text;
}

std::string Narrow(const std::u16string& text)
{
    std::string narrow;
    for (char16_t c : text) {
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

namespace {
uint64_t HostDriverStart = 0;
uint64_t HostDriverEnd = 0;
}  // namespace

void NoteHostDriverImage(uint64_t start, uint64_t end)
{
    HostDriverStart = start;
    HostDriverEnd = end;
}

bool InHostDriverImage(uint64_t address)
{
    return address >= HostDriverStart && address < HostDriverEnd;
}

std::string AddressText(uint64_t address)
{
    if (address >= HostDriverStart && address < HostDriverEnd) {
        return "vekcrashdmp_host.so+" + Hex(address - HostDriverStart);
    }
    return Hex(address);
}

}  // namespace model
