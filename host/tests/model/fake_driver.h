// A stand-in driver image whose entry, unload and bug check callback run
// the test's own code, so the model's bookkeeping can be exercised without
// the real driver.
#pragma once

#include "model_test.h"

#include <functional>
#include <string>

namespace vektest {

inline VOID NTAPI FakeUnloadRoutine(PDRIVER_OBJECT) {}
inline VOID NTAPI FakeCallbackRoutine(KBUGCHECK_CALLBACK_REASON, PKBUGCHECK_REASON_CALLBACK_RECORD,
                                      PVOID, ULONG)
{
}

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
    NTSTATUS CallEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING) override
    {
        Driver = driverObject;
        return Entry(driverObject);
    }
    void CallUnload(PDRIVER_UNLOAD, PDRIVER_OBJECT driverObject) override { Unload(driverObject); }
    void CallBugCheckCallback(PKBUGCHECK_REASON_CALLBACK_ROUTINE routine,
                              KBUGCHECK_CALLBACK_REASON reason,
                              PKBUGCHECK_REASON_CALLBACK_RECORD record, PVOID data,
                              ULONG dataLength) override
    {
        CalledRecords.push_back(record);
        EXPECT_EQ(routine, record->CallbackRoutine);
        EXPECT_EQ(reason, KbCallbackSecondaryDumpData);
        EXPECT_EQ(dataLength, sizeof(KBUGCHECK_SECONDARY_DUMP_DATA));
        OnBugCheck(static_cast<PKBUGCHECK_SECONDARY_DUMP_DATA>(data));
    }
};

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
