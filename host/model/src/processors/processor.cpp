// The processor's own instructions that the driver may execute: CPUID
// (the hypervisor's leaves take sub-leaf 0 only),
// RDMSR/WRMSR, CR8 (the IRQL on x64) and PAUSE. The hypervisor's leaves
// and synthetic MSRs are answered by hypervisor.cpp; the processor has no
// MSRs of its own of interest, and an unknown MSR raises #GP, as on
// hardware. RDMSR and WRMSR are logged as calls ("rdmsr", "wrmsr") with the
// register, value and processor, so the order of writes can be read back. Their out arguments stand for processor
// registers, filled by the caller's shim or the emulator's hook, never a
// pointer the driver chose: they are not checked against the address space.
#include "core/machine_state.h"
#include "model/driver_call.h"
#include "core/model_lock.h"
#include "processors/scheduler.h"

#include <cstring>

namespace model {

namespace {

constexpr ULONG HighestBasicLeaf = 0x0D;
constexpr ULONG FirstExtendedLeaf = 0x80000000;
constexpr ULONG FirstBrandLeaf = 0x80000002;
constexpr ULONG LastBrandLeaf = 0x80000004;
constexpr size_t BrandBytes = 48;
constexpr ULONG HypervisorPresentBit = 0x80000000;  // CPUID 1 ECX bit 31

void LogMsr(const char* access, ULONG msr, ULONG64 value)
{
    MachineState& s = State();
    s.Calls.push_back(KernelCall{access, Hex(msr) + "=" + Hex(value) + " cpu=" +
                                              std::to_string(static_cast<unsigned>(s.Current))});
}

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
    std::memset(Registers, 0, 4 * sizeof(ULONG));
    if (HypervisorCpuid(Leaf, Registers)) {
        // The TLFS gives no hypervisor leaf a sub-leaf: ECX must be 0, or a
        // later hypervisor that gives them one answers something else.
        if (Subleaf != 0) {
            Violation("CPUID leaf 0x%X queried with sub-leaf 0x%X in ECX; hypervisor leaves are "
                      "queried with sub-leaf 0",
                      Leaf, Subleaf);
        }
        return;
    }
    if (Leaf > State().Config.HighestExtendedLeaf && Leaf >= FirstExtendedLeaf) {
        // An extended leaf beyond the highest answers as the highest basic
        // leaf does, which here is all zero (no XSAVE state is described).
        Leaf = HighestBasicLeaf;
    }
    if (Leaf == 0) {
        Registers[0] = HighestBasicLeaf;
        SetSignature(Registers, "GenuineIntel");
    } else if (Leaf == 1) {
        Registers[0] = 0x000906EA;  // family 6 model 158
        Registers[2] = 0x00000201;  // SSE3, SSSE3
        if (State().Config.Hypervisor.Present) {
            Registers[2] |= HypervisorPresentBit;
        }
        Registers[3] = 0x178BFBFF;  // FPU ... SSE2, TSC, MSR
    } else if (Leaf == FirstExtendedLeaf) {
        Registers[0] = State().Config.HighestExtendedLeaf;
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
    *Value = 0;
    bool offered = HypervisorReadMsr(Msr, Value);
    LogMsr(offered ? "rdmsr" : "rdmsr #GP", Msr, *Value);
    return offered ? TRUE : FALSE;
}

extern "C" BOOLEAN ModelWriteMsr(ULONG Msr, ULONG64 Value)
{
    KernelScope kernel;
    bool offered = HypervisorWriteMsr(Msr, Value);
    LogMsr(offered ? "wrmsr" : "wrmsr #GP", Msr, Value);
    return offered ? TRUE : FALSE;
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
    // A bug check on another processor stopped the machine meanwhile: what
    // this processor waits for will never come, so its call from the
    // kernel ends here (the shipped image's emulation simply stops).
    bool stopped = false;
    {
        KernelScope kernel;
        stopped = State().Stopped && !State().InBugCheck && InKernelCall();
    }
    if (stopped) {
        throw LaneAbandoned{};
    }
}

extern "C" void ModelRefusedInstruction(void)
{
    // Before the model lock: the return address is the driver's.
    auto rip = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    {
        KernelScope kernel;
        RaiseDriverFault(DriverFault{DriverFaultKind::PrivilegedInstruction, 0, rip});
    }
    // The driver's call ends here, or during the bug check its callback.
    throw DriverCallEnd{};
}
