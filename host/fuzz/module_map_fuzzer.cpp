// Sequences of inserts, removals (an image loaded over others evicts them)
// and lookups on the module map, checked after every step against the small
// reference model of its rules; at the end the table must list the
// reference's modules in order and nothing may be left in the pool.
//
// Input: operations of 9 bytes each. Byte 0: the kind (low bits) and the
// name's case; bytes 1-4: the start; bytes 5-8: the size. Starts and sizes
// are scaled into a small range so that images meet, except when the kind
// asks for full 64-bit values near the top of the address space.
#include "model/machine.h"
#include "model/uart16550.h"
#include "module_map_reference.h"

#include "console/serial_console.h"
#include "modules/module_map.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t OperationSize = 9;

uint32_t Read32(const uint8_t* data)
{
    uint32_t value;
    std::memcpy(&value, data, 4);
    return value;
}

ModuleEntry* EntryAt(PLIST_ENTRY links)
{
    return reinterpret_cast<ModuleEntry*>(reinterpret_cast<char*>(links) -
                                          offsetof(ModuleEntry, Links));
}

void Check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

void CheckAgainst(const vektest::ReferenceModuleMap& reference)
{
    auto modules = reference.Modules();
    PLIST_ENTRY head = &ModuleMap.Entries;
    size_t i = 0;
    for (PLIST_ENTRY at = head->Flink; at != head; at = at->Flink, ++i) {
        Check(at->Flink->Blink == at && at->Blink->Flink == at);
        Check(i < modules.size());
        const ModuleEntry* entry = EntryAt(at);
        Check(entry->ImageStart == modules[i].Start && entry->ImageEnd == modules[i].End);
        Check(modules[i].Name == entry->ModuleName);
    }
    Check(i == modules.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    model::MachineConfig config;
    model::ResetMachine(config);
    model::UartAt(0).SetLogging(false);
    ConsolePort = ConsolePortRecord{};
    ConsolePort.Base = 0x3F8;
    ConsolePort.Mode = ConsolePortIo;
    ModuleMap = ModuleMapRecord{};
    ModuleMap.Entries.Flink = ModuleMap.Entries.Blink = &ModuleMap.Entries;
    ModuleMap.Cursor = &ModuleMap.Entries;

    vektest::ReferenceModuleMap reference;
    for (size_t at = 0; at + OperationSize <= size; at += OperationSize) {
        const uint8_t* op = data + at;
        uint64_t start = Read32(op + 1);
        uint64_t length = Read32(op + 5);
        bool wide = (op[0] & 0x4) != 0;
        if (wide) {
            start = ~uint64_t{0} - (start & 0xFFFF);
            length &= 0x1FFFF;
        } else {
            start &= 0xFFF;
            length = (op[0] & 0x8) != 0 ? length & 0xFFF : length & 0x3F;
        }
        if ((op[0] & 0x3) == 3) {
            PCSTR name = nullptr;
            ULONG64 offset = 0;
            KIRQL previous = KfRaiseIrql(HIGH_LEVEL);
            LookupModuleByAddress(start, &name, &offset);
            KeLowerIrql(previous);
            const vektest::ReferenceModule* expected = reference.Lookup(start);
            Check((name != nullptr) == (expected != nullptr));
            if (expected != nullptr) {
                Check(expected->Name == name && offset == start - expected->Start);
            } else {
                Check(offset == 0);
            }
            continue;
        }
        std::string name = "Mod" + std::to_string(at) + ((op[0] & 0x10) ? ".SYS" : ".\xC9xe");
        Check(InsertModuleEntry(&ModuleMap, name.c_str(), start, length) == STATUS_SUCCESS);
        reference.Insert(start, length, name);
        CheckAgainst(reference);
        Check(ModuleMap.Cursor != nullptr);
    }

    KIRQL previous = KfRaiseIrql(HIGH_LEVEL);
    PrintModuleTable();
    KeLowerIrql(previous);
    std::string expected = "Module\tPdbName\tGuid\tPdbAge\n";
    for (const auto& module : reference.Modules()) {
        expected += module.Name + "\t\t00000000000000000000000000000000\t0\n";
    }
    Check(model::ConsoleBytes() == expected);

    PLIST_ENTRY head = &ModuleMap.Entries;
    while (head->Flink != head) {
        PLIST_ENTRY first = head->Flink;
        head->Flink = first->Flink;
        first->Flink->Blink = head;
        ExFreePoolWithTag(EntryAt(first), ModuleMapTag);
    }
    Check(model::LivePoolBlocks().empty());
    Check(model::Violations().empty());
    ModuleMap = ModuleMapRecord{};
    return 0;
}
