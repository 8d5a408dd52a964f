// The crash report's own lines and the order of its sections, for the
// report callback called the way the kernel calls it.
#include "driver_test.h"

#include "console/report_print.h"
#include "report/bugcheck_report.h"

namespace vektest {
namespace {

class BugCheckReportTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        BugCheckRegistration = BugCheckRegistrationRecord{};
        version_ = {};
        version_.dwOSVersionInfoSize = sizeof(version_);
        version_.dwMajorVersion = 10;
        version_.dwBuildNumber = 17763;
        version_.dwPlatformId = 2;
        version_.wSuiteMask = 0x0010;
        version_.wProductType = 3;
    }

    // Runs the report as the kernel does: at HIGH_LEVEL, with the bug check
    // data filled in.
    std::string Report(ULONG_PTR code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                       int64_t time)
    {
        model::SetSystemTime(time);
        KiBugCheckData[0] = code;
        KiBugCheckData[1] = p1;
        KiBugCheckData[2] = p2;
        KiBugCheckData[3] = p3;
        KiBugCheckData[4] = p4;
        KIRQL old = KfRaiseIrql(HIGH_LEVEL);
        KBUGCHECK_SECONDARY_DUMP_DATA data = {};
        BugCheckReportCallback(KbCallbackSecondaryDumpData, &BugCheckRegistration.CallbackRecord,
                               &data, sizeof(data));
        KeLowerIrql(old);
        EXPECT_EQ(data.OutBuffer, nullptr);
        EXPECT_EQ(data.OutBufferLength, 0u);
        return WithoutContextAndStack(Console());
    }

    // The context and stack section shows this host's registers and stack
    // (its own tests check it); here it stands as one marker line.
    static std::string WithoutContextAndStack(const std::string& report)
    {
        size_t start = report.find("CONTEXT (");
        size_t stack = report.find("STACK:\n", start);
        size_t end = report.find("BUGCHECK DUMP ENDS\n", stack);
        if (start == std::string::npos || stack == std::string::npos ||
            end == std::string::npos) {
            return report;
        }
        return report.substr(0, start) + ContextAndStack + report.substr(end);
    }

    static constexpr const char* ContextAndStack = "(context and stack)\n";

    RTL_OSVERSIONINFOEXW version_;
};

const int64_t SampleTime = model::SystemTimeFromCalendar(2024, 3, 5, 7, 8, 9, 42);

TEST_F(BugCheckReportTest, ReportIsFramedAndOrdered)
{
    ASSERT_EQ(RegisterBugCheckReport(&version_, sizeof(version_)), STATUS_SUCCESS);
    std::string report = Report(0x0A, 0x10, 0x2, 0x0, 0xFFFFF8054A2B1C3D, SampleTime);
    EXPECT_EQ(report,
              "\nBUGCHECK DUMP STARTS\n"
              "OUTPUT FORMAT: 2\n"
              "CRASHED ON: 2024-03-05 07:08:09:42\n"
              "KERNEL: 10.0 (BUILD 17763) PLATFORM WIN32_NT (x64)\n"
              "SUITES:\n"
              "- TERMINAL\n"
              "TYPE: SERVER\n"
              "Module\tPdbName\tGuid\tPdbAge\n"
              "BUGCHECK CODE 0000000A: 0000000000000010 0000000000000002 0000000000000000 "
              "FFFFF8054A2B1C3D\n"
              "(context and stack)\n"
              "BUGCHECK DUMP ENDS\n");
    DeregisterBugCheckReport();
}

TEST_F(BugCheckReportTest, EveryCodeGivesTheSameSectionsAndOnlyLow32BitsOfTheCode)
{
    const std::string reference = [&] {
        RegisterBugCheckReport(&version_, sizeof(version_));
        return Report(0xD1, 1, 2, 3, 4, SampleTime);
    }();
    struct Case {
        ULONG_PTR Code;
        const char* CodeText;
    };
    const Case cases[] = {
        {0x1000007E, "1000007E"}, {0xDEADBEEF00000050ull, "00000050"}, {0x0, "00000000"},
        {0xFFFFFFFF, "FFFFFFFF"},
    };
    for (const Case& item : cases) {
        UseMachine(DefaultMachine());
        std::string report = Report(item.Code, 1, 2, 3, 4, SampleTime);
        std::string expected = reference;
        expected.replace(expected.find("000000D1"), 8, item.CodeText);
        EXPECT_EQ(report, expected) << item.CodeText;
    }
    DeregisterBugCheckReport();
}

TEST_F(BugCheckReportTest, CrashTimeFieldsArePaddedButMillisecondsAreNot)
{
    ASSERT_EQ(RegisterBugCheckReport(&version_, sizeof(version_)), STATUS_SUCCESS);
    struct Case {
        int64_t Time;
        const char* Line;
    };
    const Case cases[] = {
        {model::SystemTimeFromCalendar(2024, 3, 5, 7, 8, 9, 5), "CRASHED ON: 2024-03-05 07:08:09:5\n"},
        {model::SystemTimeFromCalendar(2024, 3, 5, 7, 8, 9, 0), "CRASHED ON: 2024-03-05 07:08:09:0\n"},
        {model::SystemTimeFromCalendar(1999, 12, 31, 23, 59, 59, 999),
         "CRASHED ON: 1999-12-31 23:59:59:999\n"},
        {0, "CRASHED ON: 1601-01-01 00:00:00:0\n"},
        {model::SystemTimeFromCalendar(2024, 2, 29, 0, 0, 0, 100), "CRASHED ON: 2024-02-29 00:00:00:100\n"},
    };
    for (const Case& item : cases) {
        UseMachine(DefaultMachine());
        std::string report = Report(0xD1, 0, 0, 0, 0, item.Time);
        EXPECT_NE(report.find(std::string("OUTPUT FORMAT: 2\n") + item.Line), std::string::npos)
            << item.Line;
    }
    DeregisterBugCheckReport();
}

TEST_F(BugCheckReportTest, UnusableVersionBlockGivesOneAlternativeLine)
{
    struct Case {
        const RTL_OSVERSIONINFOEXW* Block;
        ULONG Size;
        std::string Line;
    };
    char pointerText[17];
    std::snprintf(pointerText, sizeof(pointerText), "%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&version_)));
    const Case cases[] = {
        {&version_, 276, std::string("NO OS VERSION AVAILABLE: 276 284 ") + pointerText + "\n"},
        {nullptr, 284, "NO OS VERSION AVAILABLE: 284 284 0000000000000000\n"},
        {&version_, 0, std::string("NO OS VERSION AVAILABLE: 0 284 ") + pointerText + "\n"},
    };
    for (const Case& item : cases) {
        UseMachine(DefaultMachine());
        BugCheckRegistration = BugCheckRegistrationRecord{};
        ASSERT_EQ(RegisterBugCheckReport(item.Block, item.Size), STATUS_SUCCESS);
        std::string report = Report(0xD1, 0, 0, 0, 0, SampleTime);
        EXPECT_NE(report.find("CRASHED ON: 2024-03-05 07:08:09:42\n" + item.Line +
                              "Module\tPdbName\tGuid\tPdbAge\nBUGCHECK CODE 000000D1"),
                  std::string::npos)
            << report;
        EXPECT_EQ(report.find("KERNEL:"), std::string::npos);
        DeregisterBugCheckReport();
    }
}

TEST_F(BugCheckReportTest, RegistrationNamesTheComponentAndReason)
{
    ASSERT_EQ(RegisterBugCheckReport(&version_, sizeof(version_)), STATUS_SUCCESS);
    auto calls = model::CallsTo({"KeRegisterBugCheckReasonCallback"});
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Detail, "reason=2 component=Kelvaro");
    EXPECT_EQ(model::RegisteredBugCheckCallbacks(), 1u);
    DeregisterBugCheckReport();
    EXPECT_EQ(model::RegisteredBugCheckCallbacks(), 0u);
    EXPECT_EQ(BugCheckRegistration.CallbackRecord.State, BufferEmpty);

    // Registration works again after deregistration: the record was reset.
    ASSERT_EQ(RegisterBugCheckReport(&version_, sizeof(version_)), STATUS_SUCCESS);
    DeregisterBugCheckReport();
}

TEST_F(BugCheckReportTest, RefusedRegistrationIsUnsuccessful)
{
    std::string error;
    ASSERT_TRUE(model::InjectFault({"KeRegisterBugCheckReasonCallback", 1, 0}, &error));
    EXPECT_EQ(RegisterBugCheckReport(&version_, sizeof(version_)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(model::RegisteredBugCheckCallbacks(), 0u);
}

TEST_F(BugCheckReportTest, WithoutConsoleTheReportRunsAndIsLost)
{
    ConsolePort = ConsolePortRecord{};
    ASSERT_EQ(RegisterBugCheckReport(&version_, sizeof(version_)), STATUS_SUCCESS);
    EXPECT_EQ(Report(0xD1, 0, 0, 0, 0, SampleTime), "");
    EXPECT_TRUE(model::UartAt(0).Accesses().empty());
    DeregisterBugCheckReport();
}

}  // namespace
}  // namespace vektest
