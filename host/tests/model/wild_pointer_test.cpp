// Wild pointers and impossible sizes handed to kernel routines by driver
// code in the host build: the bug check the kernel raises, with its
// callbacks run nested, and the driver's call ended; never a host crash.
// Also the address space map the routines answer from.
#include "fake_driver.h"

#include "model/address_space.h"
#include "model/driver_call.h"

#include <cstring>
#include <functional>
#include <vector>

extern "C" NTSTATUS NativeQueryTime(PLARGE_INTEGER time, volatile int* reached);

namespace vektest {
namespace {

constexpr ULONG PageFaultInNonPagedArea = 0x50;
constexpr ULONG IrqlNotLessOrEqual = 0x0A;
constexpr ULONG AttemptedWriteToReadonlyMemory = 0xBE;
constexpr ULONG_PTR Read = 0;
constexpr ULONG_PTR Write = 2;  // PAGE_FAULT_IN_NONPAGED_AREA's write on x64
constexpr ULONG Tag = 0x646C6957;  // 'Wild' in a pool dump
constexpr SIZE_T BlockSize = 64;

template <typename Routine>
Routine Exported(const char* name)
{
    return reinterpret_cast<Routine>(model::FindRoutine(name)->Address);
}

using Memset = void* (*)(void*, int, size_t);
using Memcpy = void* (*)(void*, const void*, size_t);

template <typename T = void>
T* Wild(uintptr_t address)
{
    return reinterpret_cast<T*>(address);
}

UCHAR WildComponent[] = "wild";
// The test program's static data is valid kernel memory to the model (it
// stands for the driver image); a fixture member lives on the host heap.
KBUGCHECK_REASON_CALLBACK_RECORD Record;
// Constant data of the test program: present, but read-only.
const UNICODE_STRING ReadOnlyString = {};

class WildPointerTest : public ModelFixture {
protected:
    // Loads the fake driver, whose entry registers a callback and then
    // runs the call at the given IRQL. False when the call ended the entry.
    bool LoadAndRun(const std::function<void(PDRIVER_OBJECT)>& call, KIRQL irql = PASSIVE_LEVEL)
    {
        bool reached = false;
        fake_.Entry = [&](PDRIVER_OBJECT driver) {
            Record = {};
            EXPECT_TRUE(KeRegisterBugCheckReasonCallback(&Record, FakeCallbackRoutine,
                                                         KbCallbackSecondaryDumpData, WildComponent));
            KIRQL old = KfRaiseIrql(irql);
            call(driver);
            KeLowerIrql(old);
            reached = true;
            KeDeregisterBugCheckReasonCallback(&Record);
            return STATUS_UNSUCCESSFUL;
        };
        fake_.OnBugCheck = [&](PKBUGCHECK_SECONDARY_DUMP_DATA) {
            seenByCallback_.assign(KiBugCheckData, KiBugCheckData + 5);
        };
        EXPECT_NE(model::LoadDriver(fake_), STATUS_SUCCESS);
        return reached;
    }

    std::vector<ULONG_PTR> seenByCallback_;
};

TEST_F(WildPointerTest, WildPointerIsTheKernelsBugCheckAndEndsTheDriversCall)
{
    std::vector<uint8_t> hostHeap(BlockSize);
    UCHAR buffer[BlockSize] = {};
    struct Case {
        const char* Routine;
        // Makes the call, first telling the address that must fault.
        std::function<void(PDRIVER_OBJECT, uintptr_t& fault)> Call;
        KIRQL Irql;
        ULONG Code;
        ULONG_PTR Operation;  // parameter 2 (0x50) or 3 (0x0A)
    };
    const Case cases[] = {
        {"memset", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0x10;
             Exported<Memset>("memset")(Wild(0x10), 0, BlockSize);
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Write},
        {"memcpy", [&](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0x10;
             Exported<Memcpy>("memcpy")(Wild(0x10), buffer, BlockSize);
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Write},
        {"memcpy", [&](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0x10;
             Exported<Memcpy>("memcpy")(buffer, Wild(0x10), BlockSize);
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Read},
        {"memmove", [&](PDRIVER_OBJECT, uintptr_t& fault) {
             // A freed pool block is gone from the address space.
             void* block = ExAllocatePoolWithTag(NonPagedPoolNx, BlockSize, Tag);
             ExFreePoolWithTag(block, Tag);
             fault = reinterpret_cast<uintptr_t>(block);
             Exported<Memcpy>("memmove")(buffer, block, BlockSize);
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Read},
        {"RtlInitUnicodeString", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0x20;
             RtlInitUnicodeString(Wild<UNICODE_STRING>(0x20), u"text");
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Write},
        {"RtlInitUnicodeString", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0x30;
             UNICODE_STRING text;
             RtlInitUnicodeString(&text, Wild<const WCHAR>(0x30));
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Read},
        {"RtlInitUnicodeString", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = reinterpret_cast<uintptr_t>(&ReadOnlyString);
             RtlInitUnicodeString(const_cast<UNICODE_STRING*>(&ReadOnlyString), u"text");
         }, PASSIVE_LEVEL, AttemptedWriteToReadonlyMemory, 0},
        {"KeQuerySystemTimePrecise", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0x40;
             KeQuerySystemTimePrecise(Wild<LARGE_INTEGER>(0x40));
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Write},
        {"KeQuerySystemTimePrecise", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0x40;
             KeQuerySystemTimePrecise(Wild<LARGE_INTEGER>(0x40));
         }, DISPATCH_LEVEL, IrqlNotLessOrEqual, 1},
        {"KeQuerySystemTimePrecise", [&](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = reinterpret_cast<uintptr_t>(hostHeap.data());
             // Host heap memory the kernel never handed out is not valid.
             KeQuerySystemTimePrecise(reinterpret_cast<PLARGE_INTEGER>(hostHeap.data()));
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Write},
        {"KeRegisterBugCheckReasonCallback", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0x50;
             KeRegisterBugCheckReasonCallback(Wild<KBUGCHECK_REASON_CALLBACK_RECORD>(0x50),
                                              FakeCallbackRoutine, KbCallbackSecondaryDumpData,
                                              WildComponent);
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Read},
        {"IoDeleteDevice", [](PDRIVER_OBJECT driver, uintptr_t& fault) {
             PDEVICE_OBJECT device = nullptr;
             EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                       STATUS_SUCCESS);
             device->DriverObject = Wild<DRIVER_OBJECT>(0x60);  // a stray write
             fault = 0x60 + offsetof(DRIVER_OBJECT, DeviceObject);
             IoDeleteDevice(device);
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Read},
        {"IoCreateDevice", [](PDRIVER_OBJECT driver, uintptr_t& fault) {
             fault = 0x70;
             IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            Wild<PDEVICE_OBJECT>(0x70));
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Write},
        {"RtlGetVersion", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0x80;
             RtlGetVersion(Wild<RTL_OSVERSIONINFOW>(0x80));
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Read},
        {"ZwQuerySystemInformation", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0x90;
             ZwQuerySystemInformation(SystemFirmwareTableInformation, Wild(0x90), 100, nullptr);
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Write},
        {"RtlTimeToTimeFields", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0xA0;
             LARGE_INTEGER time = {};
             RtlTimeToTimeFields(&time, Wild<TIME_FIELDS>(0xA0));
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Write},
        {"KeInitializeDpc", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0xC0;
             KeInitializeDpc(Wild<KDPC>(0xC0), nullptr, nullptr);
         }, DISPATCH_LEVEL, IrqlNotLessOrEqual, 1},
        {"KeGetCurrentProcessorNumberEx", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0xD0;
             KeGetCurrentProcessorNumberEx(Wild<PROCESSOR_NUMBER>(0xD0));
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Write},
        {"MmGetSystemRoutineAddress", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0xB0;
             UNICODE_STRING name = {8, 8, Wild<WCHAR>(0xB0)};
             MmGetSystemRoutineAddress(&name);
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Read},
        {"PsGetVersion", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0xE0;
             PsGetVersion(Wild<ULONG>(0xE0), nullptr, nullptr, nullptr);
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Write},
        {"RtlQueryModuleInformation", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0xE8;
             RtlQueryModuleInformation(Wild<ULONG>(0xE8), sizeof(RTL_MODULE_EXTENDED_INFO), nullptr);
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Read},
        {"RtlUnicodeStringToAnsiString", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0xF0;
             UNICODE_STRING source = {2, 2, const_cast<PWSTR>(u"x")};
             RtlUnicodeStringToAnsiString(Wild<ANSI_STRING>(0xF0), &source, TRUE);
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Read},
        {"RtlFreeAnsiString", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0xF8;
             RtlFreeAnsiString(Wild<ANSI_STRING>(0xF8));
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Read},
        {"ZwQuerySystemInformation", [](PDRIVER_OBJECT, uintptr_t& fault) {
             fault = 0x100;
             ZwQuerySystemInformation(SystemModuleInformation, Wild(0x100), 304, nullptr);
         }, PASSIVE_LEVEL, PageFaultInNonPagedArea, Write},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Routine);
        StartMachine();
        uintptr_t fault = 0;
        EXPECT_FALSE(LoadAndRun([&](PDRIVER_OBJECT driver) { c.Call(driver, fault); }, c.Irql));
        EXPECT_TRUE(model::Stopped());
        EXPECT_EQ(KiBugCheckData[0], c.Code);
        EXPECT_EQ(KiBugCheckData[1], fault);
        if (c.Code == IrqlNotLessOrEqual) {
            EXPECT_EQ(KiBugCheckData[2], c.Irql);
            EXPECT_EQ(KiBugCheckData[3], c.Operation);
        } else if (c.Code == PageFaultInNonPagedArea) {
            EXPECT_EQ(KiBugCheckData[2], c.Operation);
            EXPECT_EQ(KiBugCheckData[3],
                      reinterpret_cast<ULONG_PTR>(model::FindRoutine(c.Routine)->Address));
        }
        // The callbacks ran inside the faulting call, before it ended.
        EXPECT_EQ(seenByCallback_.size(), 5u);
        EXPECT_EQ(seenByCallback_.empty() ? 0 : seenByCallback_[0], c.Code);
        EXPECT_TRUE(Contains(TakenText(), c.Routine)) << "the violation names the routine";
    }
}

// The fault unwinds through frames built without exceptions, as the host
// image's are, and never returns into them.
TEST_F(WildPointerTest, FaultUnwindsThroughDriverCodeBuiltWithoutExceptions)
{
    volatile int reached = 0;
    EXPECT_FALSE(LoadAndRun([&](PDRIVER_OBJECT) {
        NativeQueryTime(Wild<LARGE_INTEGER>(0x10), &reached);
    }));
    EXPECT_EQ(reached, 0);
    EXPECT_EQ(KiBugCheckData[0], PageFaultInNonPagedArea);
    TakeViolations();

    StartMachine();
    static LARGE_INTEGER time;
    EXPECT_TRUE(LoadAndRun([&](PDRIVER_OBJECT) { NativeQueryTime(&time, &reached); }));
    EXPECT_EQ(reached, 2);
}

// A kernel routine's page fault at HIGH_LEVEL inside the bug check is not
// an exception: it is a second bug check, which stops the machine there.
// The callbacks not yet run never run; the first bug check's data stays.
TEST_F(WildPointerTest, WildPointerInABugCheckCallbackIsANestedStop)
{
    static KBUGCHECK_REASON_CALLBACK_RECORD first;
    static KBUGCHECK_REASON_CALLBACK_RECORD second;
    LoadFake();
    first = {};
    second = {};
    ASSERT_TRUE(KeRegisterBugCheckReasonCallback(&first, FakeCallbackRoutine,
                                                 KbCallbackSecondaryDumpData, WildComponent));
    ASSERT_TRUE(KeRegisterBugCheckReasonCallback(&second, FakeCallbackRoutine,
                                                 KbCallbackSecondaryDumpData, WildComponent));
    int calls = 0;
    int finished = 0;
    fake_.OnBugCheck = [&](PKBUGCHECK_SECONDARY_DUMP_DATA) {
        if (++calls == 1) {
            KeQuerySystemTimePrecise(Wild<LARGE_INTEGER>(0x10));
        }
        ++finished;
    };
    model::BugCheck(0xD1, {1, 2, 3, 4});
    EXPECT_TRUE(model::Stopped());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(finished, 0);
    EXPECT_EQ(KiBugCheckData[0], 0xD1u);
    std::string text = TakenText();
    EXPECT_TRUE(Contains(text, "KeQuerySystemTimePrecise wrote to 0x10")) << text;
    EXPECT_TRUE(Contains(text, "nested bug check 0xA IRQL_NOT_LESS_OR_EQUAL during the bug check"))
        << text;
}

VOID NTAPI NeverRunDpc(PKDPC, PVOID, PVOID, PVOID)
{
    ADD_FAILURE() << "a freed DPC ran";
}

// A DPC freed while queued is not run from freed memory.
TEST_F(WildPointerTest, DpcFreedWhileQueuedIsReportedNotRun)
{
    model::MachineConfig config;
    config.Processors = 2;
    StartMachine(config);
    fake_.Entry = [](PDRIVER_OBJECT driver) {
        driver->DriverUnload = FakeUnloadRoutine;
        auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KDPC), Tag));
        KeInitializeDpc(dpc, NeverRunDpc, nullptr);
        PROCESSOR_NUMBER other = {0, 1, 0};
        EXPECT_EQ(KeSetTargetProcessorDpcEx(dpc, &other), STATUS_SUCCESS);
        EXPECT_TRUE(KeInsertQueueDpc(dpc, nullptr, nullptr));
        ExFreePoolWithTag(dpc, Tag);
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(model::LoadDriver(fake_), STATUS_SUCCESS);
    std::string text = TakenText();
    EXPECT_TRUE(Contains(text, "a queued DPC at")) << text;
    EXPECT_TRUE(Contains(text, "is no longer valid memory")) << text;
}

// Host code calling a routine itself takes the fault in a guarded section:
// the guarded work ends and the caller goes on.
TEST_F(WildPointerTest, GuardedSectionEndsTheWorkAndTheCallerGoesOn)
{
    bool after = false;
    EXPECT_FALSE(model::Guarded([&] {
        KeQuerySystemTimePrecise(Wild<LARGE_INTEGER>(0x10));
        after = true;
    }));
    EXPECT_FALSE(after);
    EXPECT_TRUE(model::Stopped());
    EXPECT_EQ(KiBugCheckData[0], PageFaultInNonPagedArea);
    EXPECT_TRUE(model::DriverCallEnding());
    TakeViolations();

    LARGE_INTEGER time;
    EXPECT_TRUE(model::Guarded([&] { KeQuerySystemTimePrecise(&time); }));
}

// Once an image claims the process, only entered memory counts: the test
// program's own stack is no longer the kernel's to touch.
TEST_F(WildPointerTest, RestrictedProcessAcceptsOnlyEnteredMemory)
{
    LARGE_INTEGER time;
    auto address = reinterpret_cast<uintptr_t>(&time);
    EXPECT_EQ(MmIsAddressValid(&time), TRUE);
    model::RestrictToEnteredMemory();
    EXPECT_EQ(MmIsAddressValid(&time), FALSE);
    model::MemoryRangeId id = model::EnterHostMemory(address, sizeof(time), true, "test");
    EXPECT_TRUE(model::Guarded([&] { KeQuerySystemTimePrecise(&time); }));
    model::RemoveMemory(id);
    EXPECT_FALSE(model::Guarded([&] { KeQuerySystemTimePrecise(&time); }));
    model::UnrestrictEnteredMemory();
    EXPECT_EQ(KiBugCheckData[1], address);
    TakeViolations();
}

// Sizes no kernel can satisfy fail the call instead of wrapping.
TEST_F(WildPointerTest, ImpossibleSizesFailTheCall)
{
    PDRIVER_OBJECT driver = LoadFake();
    for (SIZE_T size : {~SIZE_T{0}, ~SIZE_T{0} - 15, SIZE_T{1} << 40}) {
        EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, size, Tag), nullptr) << size;
        // Asked to fail with null: without the bit a failed quota
        // allocation raises.
        constexpr ULONG FailInsteadOfRaise = 0x8;
        EXPECT_EQ(ExAllocatePoolWithQuotaTag(static_cast<POOL_TYPE>(NonPagedPoolNx | FailInsteadOfRaise),
                                             size, Tag),
                  nullptr)
            << size;
    }
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0xFFFFFFFF, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_TRUE(model::DeviceNames().empty());

    using MapEx = PVOID (*)(PHYSICAL_ADDRESS, SIZE_T, ULONG);
    auto mapEx = Exported<MapEx>("MmMapIoSpaceEx");
    for (SIZE_T size : {~SIZE_T{0}, ~SIZE_T{0} - 0x800, SIZE_T{1} << 62}) {
        EXPECT_EQ(MmMapIoSpace(Physical(0x1000), size, MmNonCached), nullptr) << size;
        EXPECT_EQ(mapEx(Physical(0x1000), size, PAGE_READWRITE | PAGE_NOCACHE), nullptr) << size;
    }
    EXPECT_EQ(MmMapIoSpace(Physical(~uint64_t{0} - 0xFFF), 0x2000, MmNonCached), nullptr);
    EXPECT_EQ(model::LiveIoMappings(), 0u);
    EXPECT_TRUE(model::LivePoolBlocks().empty());
}

TEST_F(WildPointerTest, AddressValidityFollowsWhatTheKernelHandsOutAndTakesBack)
{
    model::MachineConfig config;
    config.Uarts = {model::UartConfig{true, 0xFE000000}};
    StartMachine(config);
    PDRIVER_OBJECT driver = LoadFake();
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, BlockSize, Tag);
    PVOID registers = MmMapIoSpace(Physical(0xFE000000), 8, MmNonCached);
    std::vector<uint8_t> paged(BlockSize);
    model::MemoryRange range;
    range.Start = reinterpret_cast<uintptr_t>(paged.data());
    range.Size = paged.size();
    range.Resident = false;
    model::MemoryRangeId pagedId = model::EnterMemory(range, model::MemoryOwner::Host);

    const struct {
        const char* What;
        const void* Address;
        BOOLEAN Valid;
    } cases[] = {
        {"a pool block", block, TRUE},
        {"the pool block's last byte", static_cast<uint8_t*>(block) + BlockSize - 1, TRUE},
        {"past the pool block", static_cast<uint8_t*>(block) + BlockSize, FALSE},
        {"the driver object", driver, TRUE},
        {"device registers", registers, TRUE},
        {"a low address", Wild(0x10), FALSE},
        {"null", nullptr, FALSE},
        {"a paged-out page", paged.data(), FALSE},
        {"the bug check data", KiBugCheckData, TRUE},
    };
    // Callable at any IRQL and during the bug check.
    KIRQL old = KfRaiseIrql(HIGH_LEVEL);
    for (const auto& c : cases) {
        EXPECT_EQ(MmIsAddressValid(const_cast<void*>(c.Address)), c.Valid) << c.What;
    }
    KeLowerIrql(old);

    ExFreePoolWithTag(block, Tag);
    MmUnmapIoSpace(registers, 8);
    EXPECT_EQ(MmIsAddressValid(block), FALSE);
    EXPECT_EQ(MmIsAddressValid(registers), FALSE);
    EXPECT_TRUE(TakeViolations().empty());

    // Paged out: a routine below DISPATCH_LEVEL pages it in; at DISPATCH_LEVEL
    // it is a bug check.
    auto* time = reinterpret_cast<PLARGE_INTEGER>(paged.data());
    EXPECT_TRUE(model::Guarded([&] { KeQuerySystemTimePrecise(time); }));
    old = KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_FALSE(model::Guarded([&] { KeQuerySystemTimePrecise(time); }));
    EXPECT_EQ(KiBugCheckData[0], IrqlNotLessOrEqual);
    EXPECT_EQ(KiBugCheckData[1], reinterpret_cast<ULONG_PTR>(paged.data()));
    model::RemoveMemory(pagedId);
    TakeViolations();
}

// Physical RAM (a page the hypervisor shares) maps to memory: every mapping
// sees the same bytes, and a mapping is valid only while it lives.
TEST_F(WildPointerTest, MappedPhysicalRamIsSharedMemory)
{
    constexpr uint64_t SharedPage = 0x7F000000;
    model::MachineConfig config;
    config.Ram = {model::PhysicalRam{SharedPage, 4096}};
    StartMachine(config);
    auto* whole = static_cast<uint8_t*>(MmMapIoSpace(Physical(SharedPage), 4096, MmCached));
    auto* part = static_cast<uint8_t*>(MmMapIoSpace(Physical(SharedPage + 16), 16, MmCached));
    ASSERT_NE(whole, nullptr);
    ASSERT_NE(part, nullptr);
    const UCHAR sequence[] = {1, 2, 3, 4};
    Exported<Memcpy>("memcpy")(part, sequence, sizeof(sequence));
    EXPECT_EQ(std::memcmp(whole + 16, sequence, sizeof(sequence)), 0);
    EXPECT_EQ(MmIsAddressValid(part), TRUE);
    MmUnmapIoSpace(part, 16);
    MmUnmapIoSpace(whole, 4096);
    EXPECT_EQ(MmIsAddressValid(whole), FALSE);
    EXPECT_EQ(model::LiveIoMappings(), 0u);
    EXPECT_EQ(model::KernelMemoryRanges(), 0u);
}

// A routine handed mapped device registers reaches the device model.
TEST_F(WildPointerTest, RoutineWritingDeviceRegistersReachesTheDevice)
{
    constexpr uint64_t UartPhysical = 0xFE000000;
    model::MachineConfig config;
    config.Uarts = {model::UartConfig{true, UartPhysical}};
    StartMachine(config);
    auto* registers = static_cast<UCHAR*>(MmMapIoSpace(Physical(UartPhysical), 8, MmNonCached));
    Exported<Memset>("memset")(registers, 'V', 1);  // the transmit holding register
    EXPECT_EQ(model::ConsoleBytes(), "V");
    MmUnmapIoSpace(registers, 8);
}

// The host places its build of the driver anew on every run: a message
// names an address in it by the image's offset, so that stderr reads the
// same run to run.
using HostAddressTest = ModelFixture;

TEST_F(HostAddressTest, MessagesNameAddressesInTheHostBuildByOffset)
{
    std::unique_ptr<model::DriverImage> image = OpenDriverImage();
    ASSERT_NE(image, nullptr);
    auto entry = reinterpret_cast<uintptr_t>(image->EntryRoutine());
    ExFreePoolWithTag(reinterpret_cast<PVOID>(entry), Tag);
    std::string taken = TakenText();
    EXPECT_TRUE(Contains(taken, "ExFreePoolWithTag on vekcrashdmp_host.so+0x")) << taken;
}

}  // namespace
}  // namespace vektest
