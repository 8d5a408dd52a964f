// How a machine is described: its processors, devices, firmware tables,
// memory, images, hypervisor and the failures to inject, as a scenario or
// a test sets them before the machine starts.
#pragma once

#include "model/loaded_images.h"
#include "ntmodel/ntmodel.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace model {

class DriverImage;
class Uart16550;

// ---------------------------------------------------------------------------
// Description of a machine
// ---------------------------------------------------------------------------
struct OsVersion {
    ULONG Major = 10;
    ULONG Minor = 0;
    ULONG Build = 19045;
    ULONG PlatformId = 2;
    std::u16string CsdVersion;
    USHORT ServicePackMajor = 0;
    USHORT ServicePackMinor = 0;
    USHORT SuiteMask = 0x0100;
    UCHAR ProductType = 1;
};

// What the kernel answers to the pool zeroing query.
enum class PoolZeroing {
    Supported,         // blocks asked for with the zero flag come zeroed
    NotSupported,      // the query answers 0; the flag is ignored
    QueryUnsupported,  // the information class is unknown to this kernel
};

// The firmware's SPCR table.
enum class SpcrKind {
    Absent,    // no such table
    Memory,    // base address in system memory (address space 0)
    Io,        // base address in I/O space (address space 1)
    TooLarge,  // a table longer than the driver's 80-byte buffer
};

struct SpcrTable {
    SpcrKind Kind = SpcrKind::Absent;
    uint64_t Address = 0;
};

// A 16550 UART: at an I/O port base or a physical memory address.
struct UartConfig {
    bool MemoryMapped = false;
    uint64_t Address = 0x3F8;
    // After each transmitted byte the holding register reads busy for this
    // many line status reads.
    uint64_t BusyReads = 0;
    // The transmitter never becomes ready.
    bool BusyForever = false;
    // Line control register as the firmware left it.
    UCHAR InitialLineControl = 0x03;
};

// A range of physical RAM that a driver may map with MmMapIoSpace, such as
// a page the hypervisor shares with the guest (a reference TSC page). Host
// memory stands for it; every mapping of it sees the same bytes.
struct PhysicalRam {
    uint64_t Address = 0;
    size_t Size = 0;
};

// A Hyper-V compatible hypervisor, as Microsoft's published Hyper-V TLFS
// (Top-Level Functional document) shows it to a guest: CPUID leaves
// 0x40000000 to 0x40000004 and the synthetic MSRs (hypervisor.cpp).
// An MSR that is not offered raises #GP when read or written.
struct SyntheticMsr {
    bool Offered = true;
    uint64_t Value = 0;
};
struct HypervisorConfig {
    bool Present = false;  // CPUID 1 ECX bit 31, and the leaves above
    std::string Vendor = "Microsoft Hv";  // 12 bytes: EBX, ECX, EDX of 0x40000000
    ULONG HighestLeaf = 0x40000006;       // EAX of 0x40000000
    ULONG Interface = 0x31237648;         // EAX of 0x40000001: "Hv#1"
    ULONG Features = 0x00002E7F;          // EAX of 0x40000003: privilege flags
    // EDX of 0x40000003: feature flags; bit 8, the frequency MSRs exist.
    ULONG FeatureFlags = 0x00000100;
    // The frequency MSRs answer only where FeatureFlags bit 8 says they
    // exist (Hyper-V, KVM); Xen answers them with the privilege alone and
    // never sets the bit (viridian.c).
    bool FrequencyMsrsNeedFlag = true;
    ULONG Recommendations = 0x00000020;   // EAX of 0x40000004
    // What the time stamp counter runs at: the scale the hypervisor writes
    // into the reference TSC page, and what HV_X64_MSR_TSC_FREQUENCY reads.
    uint64_t TscFrequency = 2500000000;
    SyntheticMsr GuestOsId;     // 0x40000000
    SyntheticMsr Hypercall;     // 0x40000001
    SyntheticMsr ReferenceTsc;  // 0x40000021
    // 0x40000073, one per processor: slot i is processor i's value, a
    // missing slot 0.
    bool VpAssistPageOffered = true;
    std::vector<uint64_t> VpAssistPage;
};

// Windows puts at most this many processors in a group.
constexpr unsigned MaxGroupProcessors = 64;

struct MachineConfig {
    unsigned Processors = 1;
    // How many of the processors each group holds, group 0 first, in the
    // order of their system-wide indexes; the counts add up to Processors.
    // Empty: Windows' own layout, groups of up to 64.
    std::vector<unsigned> Groups;
    // What CPUID leaves 0x80000002 to 0x80000004 spell (at most 47 bytes).
    std::string ProcessorBrand = "Vek Virtual Processor @ 2.50GHz";
    // What CPUID 0x80000000 gives as the highest extended leaf. Below
    // 0x80000004 the brand leaves are not there: they answer as a leaf out
    // of range does, with the highest basic leaf's data (Intel SDM, CPUID).
    uint32_t HighestExtendedLeaf = 0x80000008;
    OsVersion Version;
    PoolZeroing Zeroing = PoolZeroing::Supported;
    SpcrTable Spcr;
    // Sized, not brace-listed: g++ 12 at -O3 takes the list's hidden array for
    // uninitialized in every default-constructed machine.
    std::vector<UartConfig> Uarts = std::vector<UartConfig>(1);
    // Optional kernel routines by name; absent ones are not found by
    // MmGetSystemRoutineAddress. Unlisted names keep their default.
    std::map<std::string, bool> Routines;
    // System time, 100 ns units since 1601-01-01 UTC.
    int64_t SystemTime = 0;
    // Physical RAM the driver may map; any other physical range without a
    // device maps to nothing (reads float, writes vanish).
    std::vector<PhysicalRam> Ram;
    // The most processors a resume may bring online (0: Processors); the
    // machine starts with Processors active.
    unsigned MaxProcessors = 0;
    HypervisorConfig Hypervisor;
    // Picks which processor runs next wherever more than one can: the same
    // seed gives the same run.
    uint64_t Seed = 0;
    // PAUSEs executed with no DPC starting or finishing anywhere before the
    // machine counts as deadlocked and stops.
    uint64_t SpinLimit = 1000000;
    // Images listed from the start, after the kernel's own.
    std::vector<ImageSpec> Images;
    // Images that load between module list queries: each is listed once
    // AfterQueries queries (class 11 or RtlQueryModuleInformation, counted
    // together) have been answered, so that a size query and the data query
    // after it see different lists.
    struct ListGrowth {
        unsigned AfterQueries = 1;
        ImageSpec Image;
    };
    std::vector<ListGrowth> GrowingList;
    // Test drivers the machine loads before anything else, beside the
    // driver, by name ("crasher"): images built with the tools, listed and
    // mapped by a runner for the shipped image (the host build cannot run
    // them). The model itself only calls into them (CallTestDriver).
    std::vector<std::string> TestDrivers;
    // Processors run truly in parallel, each DPC lane on its own thread with
    // no baton and no seed: for ThreadSanitizer runs of the driver's
    // cross-processor code. Kernel routines stay serialized; driver code
    // does not. The deadlock stop counts PAUSEs per processor.
    bool FreeRunning = false;
};

// The Nth call (1-based) among the calls of a routine that match the
// selector fails: routines returning a status return Status, those
// returning a pointer return null, those returning a BOOLEAN return FALSE.
// With no Tag and no Detail every call of the routine matches. Selecting
// by tag or detail keeps a fault on its call when the driver adds calls
// elsewhere.
struct Fault {
    std::string Routine;
    unsigned Call = 1;
    // Failure::Status routines only: one of the routine's documented
    // statuses (RoutineInfo::Statuses); none: its first.
    std::optional<NTSTATUS> Status = {};
    // Pool allocations only: the tag as a pool dump shows it ("MODU").
    std::string Tag = {};
    // Text the call's logged detail (KernelCall::Detail) must contain.
    std::string Detail = {};
    // Matching calls seen so far; the machine counts them in its own copy.
    unsigned Matched = 0;
};

}  // namespace model
