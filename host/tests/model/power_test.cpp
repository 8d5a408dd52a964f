// The power-state callback object and work items: opening
// "\Callback\PowerState", registering, the notifications of a sleep and a
// resume at PASSIVE_LEVEL, work items run afterwards on a worker, the
// leaks named at unload, and RtlCompareMemory.
#include "fake_driver.h"

namespace vektest {
namespace {

using PowerTest = ModelFixture;

struct Heard {
    uint64_t Argument1, Argument2;
    KIRQL Irql;
    PVOID Context;
};
std::vector<Heard>* TheHeard = nullptr;
std::vector<std::string>* TheOrder = nullptr;
PIO_WORKITEM TheItem = nullptr;

VOID NTAPI Worker(PDEVICE_OBJECT device, PVOID context)
{
    TheOrder->push_back("worker " + std::to_string(KeGetCurrentIrql()) + " " +
                        (device != nullptr && context == device ? "device" : "?"));
    IoFreeWorkItem(TheItem);  // a routine may free its own item
}

VOID NTAPI PowerCallback(PVOID context, PVOID argument1, PVOID argument2)
{
    TheHeard->push_back({reinterpret_cast<uintptr_t>(argument1),
                         reinterpret_cast<uintptr_t>(argument2), KeGetCurrentIrql(), context});
    TheOrder->push_back("callback");
    if (argument2 != nullptr) {
        auto* device = static_cast<PDEVICE_OBJECT>(context);
        TheItem = IoAllocateWorkItem(device);
        if (TheItem != nullptr) {
            IoQueueWorkItem(TheItem, Worker, DelayedWorkQueue, device);
        }
    }
}

NTSTATUS OpenPowerState(const char16_t* name, PCALLBACK_OBJECT* object)
{
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr,
                               nullptr);
    return ExCreateCallback(object, &attributes, FALSE, FALSE);
}

// The whole registration of a driver, with its undo in the unload.
struct Registration {
    PVOID Handle = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    bool Unregister = true;
    bool Dereference = true;
};
Registration* TheRegistration = nullptr;

NTSTATUS RegisterEntry(PDRIVER_OBJECT driver)
{
    driver->DriverUnload = [](PDRIVER_OBJECT) {
        if (TheRegistration->Unregister && TheRegistration->Handle != nullptr) {
            ExUnregisterCallback(TheRegistration->Handle);
        }
        IoDeleteDevice(TheRegistration->Device);
    };
    // Out arguments in the driver's own memory: its stack.
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    TheRegistration->Device = device;
    PCALLBACK_OBJECT object = nullptr;
    status = OpenPowerState(u"\\callback\\powerstate", &object);
    if (status != STATUS_SUCCESS) {
        IoDeleteDevice(TheRegistration->Device);
        return status;
    }
    TheRegistration->Handle = ExRegisterCallback(object, PowerCallback, TheRegistration->Device);
    if (TheRegistration->Dereference) {
        ObfDereferenceObject(object);
    }
    return STATUS_SUCCESS;
}

class PowerFixture : public PowerTest {
protected:
    void SetUp() override
    {
        PowerTest::SetUp();
        TheHeard = &heard_;
        TheOrder = &order_;
        TheRegistration = &registration_;
        fake_.Entry = RegisterEntry;
    }
    void TearDown() override
    {
        PowerTest::TearDown();
        TheHeard = nullptr;
        TheOrder = nullptr;
        TheRegistration = nullptr;
    }
    std::vector<Heard> heard_;
    std::vector<std::string> order_;
    Registration registration_;
};

TEST_F(PowerFixture, SleepAndResumeNotifyAtPassiveLevelThenTheWorkItemRuns)
{
    LoadFake();
    ASSERT_NE(registration_.Handle, nullptr);
    EXPECT_EQ(model::PowerStateRegistrations(), 1u);
    model::EnterSleep();
    model::Resume({});
    model::NotifyPowerState(PO_CB_AC_STATUS, 0);
    ASSERT_EQ(heard_.size(), 3u);
    EXPECT_EQ(heard_[0].Argument1, uint64_t{PO_CB_SYSTEM_STATE_LOCK});
    EXPECT_EQ(heard_[0].Argument2, 0u);
    EXPECT_EQ(heard_[1].Argument2, 1u);
    EXPECT_EQ(heard_[2].Argument1, uint64_t{PO_CB_AC_STATUS});
    for (const Heard& heard : heard_) {
        EXPECT_EQ(heard.Irql, PASSIVE_LEVEL);
        EXPECT_EQ(heard.Context, registration_.Device);
    }
    EXPECT_EQ(order_, (std::vector<std::string>{"callback", "callback", "worker 0 device",
                                                "callback"}));
    EXPECT_EQ(model::LiveWorkItems(), 0u);
    model::UnloadDriver();
    EXPECT_EQ(model::PowerStateRegistrations(), 0u);
}

TEST_F(PowerFixture, WhatTheDriverStillHoldsAtUnloadIsNamed)
{
    struct Row {
        const char* What;
        bool Unregister, Dereference;
        const char* Violation;
    };
    const Row rows[] = {
        {"registration left", false, true,
         "1 callback registration(s) on \\Callback\\PowerState still exist after unload"},
        {"reference left", true, false,
         "callback object \\Callback\\PowerState still referenced 1 time(s) after unload"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.What);
        StartMachine();
        registration_ = {};
        registration_.Unregister = row.Unregister;
        registration_.Dereference = row.Dereference;
        LoadFake();
        model::UnloadDriver();
        EXPECT_EQ(TakenText(), std::string(row.Violation) + "\n");
        EXPECT_EQ(model::PowerStateRegistrations(), 0u);
    }
}

TEST_F(PowerFixture, AWorkItemNeverFreedIsALeak)
{
    fake_.Entry = [](PDRIVER_OBJECT driver) {
        driver->DriverUnload = [](PDRIVER_OBJECT) { IoDeleteDevice(TheRegistration->Device); };
        PDEVICE_OBJECT device = nullptr;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        TheRegistration->Device = device;
        EXPECT_NE(IoAllocateWorkItem(TheRegistration->Device), nullptr);
        return STATUS_SUCCESS;
    };
    LoadFake();
    model::UnloadDriver();
    EXPECT_EQ(TakenText(), "1 work item(s) still allocated after unload\n");
}

TEST_F(PowerFixture, OpeningFailsForAnUnknownNameOrAnInjectedFault)
{
    fake_.Entry = [](PDRIVER_OBJECT driver) {
        driver->DriverUnload = FakeUnloadRoutine;
        PCALLBACK_OBJECT object = nullptr;
        EXPECT_EQ(OpenPowerState(u"\\Callback\\NoSuchObject", &object),
                  STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(OpenPowerState(u"\\Callback\\PowerState", &object), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(OpenPowerState(u"\\Callback\\PowerState", &object), STATUS_SUCCESS);
        EXPECT_EQ(ExRegisterCallback(object, PowerCallback, nullptr), nullptr);  // injected
        ObfDereferenceObject(object);
        ObfDereferenceObject(object);  // one too many
        return STATUS_SUCCESS;
    };
    std::string error;
    ASSERT_TRUE(model::InjectFault({"ExCreateCallback", 2, STATUS_INSUFFICIENT_RESOURCES}, &error))
        << error;
    ASSERT_TRUE(model::InjectFault({"ExRegisterCallback", 1}, &error)) << error;
    LoadFake();
    EXPECT_NE(TakenText().find("ObfDereferenceObject on "), std::string::npos);
    model::UnloadDriver();
}

TEST_F(PowerFixture, AWorkItemQueuedAtLoadRunsOnceTheLoadIsDone)
{
    fake_.Entry = [](PDRIVER_OBJECT driver) {
        driver->DriverUnload = [](PDRIVER_OBJECT) { IoDeleteDevice(TheRegistration->Device); };
        PDEVICE_OBJECT device = nullptr;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        TheRegistration->Device = device;
        TheItem = IoAllocateWorkItem(device);
        IoQueueWorkItem(TheItem, Worker, DelayedWorkQueue, device);
        TheOrder->push_back("entry");
        return STATUS_SUCCESS;
    };
    LoadFake();
    EXPECT_EQ(order_, (std::vector<std::string>{"entry", "worker 0 device"}));
    model::UnloadDriver();
}

TEST_F(PowerTest, RtlCompareMemoryCountsTheMatchingPrefix)
{
    const char a[] = "GHz rest";
    const char b[] = "GHz Rest";
    EXPECT_EQ(RtlCompareMemory(a, b, 3), 3u);
    EXPECT_EQ(RtlCompareMemory(a, b, 8), 4u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

}  // namespace
}  // namespace vektest
