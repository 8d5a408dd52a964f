// A stand-in driver image whose entry, unload and bug check callback run
// the test's own code, so the model's bookkeeping can be exercised without
// the real driver.
#pragma once

#include "model_test.h"

#include <functional>
#include <string>

namespace vektest {

class FakeDriver;

// The fake whose routines run now: the model calls the routines below
// natively, as it calls the host image's, and they hand over to it. Each
// thread has its own: free-running processors call in at once.
inline FakeDriver*& CurrentFake()
{
    static thread_local FakeDriver* fake = nullptr;
    return fake;
}

NTSTATUS NTAPI FakeEntryRoutine(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
VOID NTAPI FakeUnloadRoutine(PDRIVER_OBJECT driverObject);
VOID NTAPI FakeCallbackRoutine(KBUGCHECK_CALLBACK_REASON reason,
                               PKBUGCHECK_REASON_CALLBACK_RECORD record, PVOID data,
                               ULONG dataLength);

class FakeDriver : public model::DriverImage {
public:
    std::function<NTSTATUS(PDRIVER_OBJECT)> Entry = [](PDRIVER_OBJECT driver) {
        driver->DriverUnload = FakeUnloadRoutine;
        return STATUS_SUCCESS;
    };
    std::function<void(PDRIVER_OBJECT)> Unload = [](PDRIVER_OBJECT) {};
    std::function<void(PKBUGCHECK_SECONDARY_DUMP_DATA)> OnBugCheck = [](auto) {};

    PDRIVER_OBJECT Driver = nullptr;
    std::vector<PKBUGCHECK_REASON_CALLBACK_RECORD> CalledRecords;

    std::string Name() const override { return "fake"; }
    const void* EntryRoutine() const override
    {
        return reinterpret_cast<const void*>(FakeEntryRoutine);
    }
    uint64_t Call(const model::DriverCall& call) override
    {
        // Restored also when a kernel routine's fault ends the call.
        struct Turn {
            FakeDriver* Caller = CurrentFake();
            ~Turn() { CurrentFake() = Caller; }
        } turn;
        CurrentFake() = this;
        return model::CallNativeRoutine(call);
    }
};

inline NTSTATUS NTAPI FakeEntryRoutine(PDRIVER_OBJECT driverObject, PUNICODE_STRING)
{
    CurrentFake()->Driver = driverObject;
    return CurrentFake()->Entry(driverObject);
}

inline VOID NTAPI FakeUnloadRoutine(PDRIVER_OBJECT driverObject)
{
    CurrentFake()->Unload(driverObject);
}

inline VOID NTAPI FakeCallbackRoutine(KBUGCHECK_CALLBACK_REASON reason,
                                      PKBUGCHECK_REASON_CALLBACK_RECORD record, PVOID data,
                                      ULONG dataLength)
{
    FakeDriver& fake = *CurrentFake();
    fake.CalledRecords.push_back(record);
    EXPECT_EQ(reinterpret_cast<const void*>(FakeCallbackRoutine),
              reinterpret_cast<const void*>(record->CallbackRoutine));
    EXPECT_EQ(reason, KbCallbackSecondaryDumpData);
    EXPECT_EQ(dataLength, sizeof(KBUGCHECK_SECONDARY_DUMP_DATA));
    fake.OnBugCheck(static_cast<PKBUGCHECK_SECONDARY_DUMP_DATA>(data));
}

// A fresh machine per test, and the fake driver to load into it.
class ModelFixture : public ModelTest {
protected:
    void SetUp() override { StartMachine(); }

    PDRIVER_OBJECT LoadFake()
    {
        EXPECT_EQ(model::LoadDriver(fake_), STATUS_SUCCESS);
        return fake_.Driver;
    }

    // The violations taken, joined, for checks on their wording.
    std::string TakenText()
    {
        std::string text;
        for (const std::string& violation : TakeViolations()) {
            text += violation + "\n";
        }
        return text;
    }

    FakeDriver fake_;
};

// A counted string over a literal.
inline UNICODE_STRING Name(const char16_t* text)
{
    auto bytes = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * sizeof(WCHAR));
    return UNICODE_STRING{bytes, bytes, const_cast<PWSTR>(text)};
}

inline bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

inline PHYSICAL_ADDRESS Physical(uint64_t address)
{
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = static_cast<LONGLONG>(address);
    return physical;
}

}  // namespace vektest
