// The processor's own instructions that the driver may execute: CPUID,
// RDMSR/WRMSR, CR8 (the IRQL on x64) and PAUSE. The processor has no
// hypervisor and no model-specific registers of interest yet; an unknown
// MSR raises #GP, as on hardware. Their out arguments stand for processor
// registers, filled by the caller's shim or the emulator's hook, never a
// pointer the driver chose: they are not checked against the address space.
#include "machine_state.h"
#include "model_lock.h"
#include "scheduler.h"

#include <cstring>

namespace model {

namespace {

constexpr ULONG HighestBasicLeaf = 0x0D;
constexpr ULONG HighestExtendedLeaf = 0x80000008;
constexpr ULONG FirstBrandLeaf = 0x80000002;
constexpr ULONG LastBrandLeaf = 0x80000004;
constexpr size_t BrandBytes = 48;

void SetSignature(ULONG registers[4], const char (&text)[13])
{
    // Leaf 0 spells its vendor in EBX, EDX, ECX order.
    std::memcpy(&registers[1], text, 4);
    std::memcpy(&registers[3], text + 4, 4);
    std::memcpy(&registers[2], text + 8, 4);
}

}  // namespace

}  // namespace model

using namespace model;

extern "C" void ModelCpuid(ULONG Leaf, ULONG Subleaf, ULONG Registers[4])
{
    KernelScope kernel;
    (void)Subleaf;
    std::memset(Registers, 0, 4 * sizeof(ULONG));
    if (Leaf == 0) {
        Registers[0] = HighestBasicLeaf;
        SetSignature(Registers, "GenuineIntel");
    } else if (Leaf == 1) {
        Registers[0] = 0x000906EA;  // family 6 model 158
        Registers[2] = 0x00000201;  // SSE3, SSSE3; bit 31 (hypervisor) clear
        Registers[3] = 0x178BFBFF;  // FPU ... SSE2, TSC, MSR
    } else if (Leaf == 0x80000000) {
        Registers[0] = HighestExtendedLeaf;
    } else if (Leaf >= FirstBrandLeaf && Leaf <= LastBrandLeaf) {
        char brand[BrandBytes] = {};
        const std::string& configured = State().Config.ProcessorBrand;
        std::memcpy(brand, configured.data(), std::min(configured.size(), BrandBytes - 1));
        std::memcpy(Registers, brand + (Leaf - FirstBrandLeaf) * 16, 16);
    }
}

extern "C" BOOLEAN ModelReadMsr(ULONG Msr, ULONG64* Value)
{
    KernelScope kernel;
    (void)Msr;
    *Value = 0;
    return FALSE;
}

extern "C" BOOLEAN ModelWriteMsr(ULONG Msr, ULONG64 Value)
{
    KernelScope kernel;
    (void)Msr;
    (void)Value;
    return FALSE;
}

extern "C" KIRQL ModelReadCr8(void)
{
    KernelScope kernel;
    return CurrentIrql();
}

extern "C" void ModelWriteCr8(KIRQL Irql)
{
    KernelScope kernel;
    if (Irql > HIGH_LEVEL) {
        Violation("CR8 written with %u, above HIGH_LEVEL", unsigned{Irql});
        return;
    }
    MachineState& s = State();
    s.Processors[s.Current].Irql = Irql;
    DeliverDpcs();
}

extern "C" void ModelPause(void)
{
    // A spinning processor: the others take their turns here.
    SwitchPoint(SwitchReason::Pause);
}
