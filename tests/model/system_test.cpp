// Time, version, system information queries and routine lookup.
#include "fake_driver.h"

#include <cstring>
#include <vector>

namespace vektest {
namespace {

using ModelTimeTest = ModelFixture;
using ModelSystemInformationTest = ModelFixture;

TEST_F(ModelTimeTest, CalendarAndTimeFieldsRoundTrip)
{
    constexpr int64_t TicksPerDay = 864'000'000'000;
    const struct {
        TIME_FIELDS Fields;  // Year, Month, Day, Hour, Minute, Second, Milliseconds, Weekday
        int64_t Days;        // since 1601-01-01, counted independently
    } cases[] = {
        {{1601, 1, 1, 0, 0, 0, 0, 1}, 0},  // the epoch, a Monday
        {{1601, 1, 1, 0, 0, 1, 1, 1}, 0},
        {{1900, 3, 1, 0, 0, 0, 0, 4}, 109266},  // 1900 was no leap year
        {{1970, 1, 1, 0, 0, 0, 0, 4}, 134774},
        {{1999, 12, 31, 23, 59, 59, 999, 5}, 145730},
        {{2000, 2, 29, 12, 30, 45, 500, 2}, 145790},
        {{2023, 12, 31, 23, 59, 59, 0, 0}, 154496},
        {{2024, 2, 29, 8, 1, 2, 3, 4}, 154556},
        {{2024, 12, 31, 23, 59, 59, 999, 2}, 154862},
    };
    for (const auto& c : cases) {
        const TIME_FIELDS& f = c.Fields;
        SCOPED_TRACE(testing::Message() << f.Year << "-" << f.Month << "-" << f.Day);
        LARGE_INTEGER time;
        time.QuadPart = model::SystemTimeFromCalendar(f.Year, f.Month, f.Day, f.Hour, f.Minute,
                                                      f.Second, f.Milliseconds);
        int64_t ms = ((f.Hour * 60 + f.Minute) * 60 + f.Second) * 1000 + f.Milliseconds;
        EXPECT_EQ(time.QuadPart, c.Days * TicksPerDay + ms * 10'000);
        TIME_FIELDS back = {};
        RtlTimeToTimeFields(&time, &back);
        EXPECT_EQ(std::memcmp(&back, &f, sizeof(f)), 0)
            << back.Year << "-" << back.Month << "-" << back.Day << " " << back.Hour << ":"
            << back.Minute << ":" << back.Second << "." << back.Milliseconds << " day "
            << back.Weekday;
    }
}

struct FirmwareRequest {
    ULONG Provider = 0x41435049;  // 'ACPI'
    ULONG Action = 1;             // get table
    ULONG TableId = 0x52435053;   // "SPCR" in memory order
    ULONG TableBufferLength;
    UCHAR Table[88];
};

TEST_F(ModelSystemInformationTest, SpcrTableIsReturnedForEachKind)
{
    const struct {
        model::SpcrKind Kind;
        uint64_t Address;
        NTSTATUS Status;
        UCHAR AddressSpace;
    } cases[] = {
        {model::SpcrKind::Absent, 0x3F8, STATUS_NOT_FOUND, 0},
        {model::SpcrKind::Memory, 0xFEDC'BA98'7654'3210, STATUS_SUCCESS, 0},
        {model::SpcrKind::Io, 0x2F8, STATUS_SUCCESS, 1},
        {model::SpcrKind::TooLarge, 0x3F8, STATUS_BUFFER_TOO_SMALL, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.Kind));
        model::MachineConfig config;
        config.Spcr = {c.Kind, c.Address};
        StartMachine(config);
        // The driver's buffer: header and an 80-byte table.
        FirmwareRequest request = {};
        request.TableBufferLength = 80;
        ULONG returned = 0;
        EXPECT_EQ(ZwQuerySystemInformation(SystemFirmwareTableInformation, &request, 16 + 80,
                                           &returned),
                  c.Status);
        if (c.Status == STATUS_BUFFER_TOO_SMALL) {
            // The needed length comes back; asking again with it succeeds.
            ULONG needed = request.TableBufferLength;
            EXPECT_GT(needed, 80u);
            ASSERT_LE(needed, sizeof(request.Table));
            EXPECT_EQ(ZwQuerySystemInformation(SystemFirmwareTableInformation, &request,
                                               16 + needed, &returned),
                      STATUS_SUCCESS);
        }
        if (c.Status == STATUS_NOT_FOUND) {
            continue;
        }
        ULONG length = request.TableBufferLength;
        EXPECT_EQ(returned, 16 + length);
        EXPECT_EQ(std::memcmp(request.Table, "SPCR", 4), 0);
        ULONG tableLength;
        uint64_t address;
        std::memcpy(&tableLength, request.Table + 4, 4);
        std::memcpy(&address, request.Table + 44, 8);
        EXPECT_EQ(tableLength, length);
        EXPECT_EQ(request.Table[40], c.AddressSpace);
        EXPECT_EQ(address, c.Address);
        UCHAR sum = 0;
        for (ULONG i = 0; i < length; ++i) {
            sum = static_cast<UCHAR>(sum + request.Table[i]);
        }
        EXPECT_EQ(sum, 0) << "checksum";
    }
}

TEST_F(ModelSystemInformationTest, PoolZeroingQueryAnswersForEachKernel)
{
    const struct {
        model::PoolZeroing Zeroing;
        NTSTATUS Status;
        UCHAR Answer;
    } cases[] = {{model::PoolZeroing::Supported, STATUS_SUCCESS, 1},
                 {model::PoolZeroing::NotSupported, STATUS_SUCCESS, 0},
                 {model::PoolZeroing::QueryUnsupported, STATUS_INVALID_INFO_CLASS, 0xEE}};
    for (const auto& c : cases) {
        model::MachineConfig config;
        config.Zeroing = c.Zeroing;
        StartMachine(config);
        UCHAR answer = 0xEE;
        EXPECT_EQ(ZwQuerySystemInformation(SystemPoolZeroingInformation, &answer, 1, nullptr),
                  c.Status);
        EXPECT_EQ(answer, c.Answer);
    }
    UCHAR answer = 0;
    EXPECT_EQ(ZwQuerySystemInformation(12345, &answer, 1, nullptr), STATUS_INVALID_INFO_CLASS);
}

TEST_F(ModelSystemInformationTest, RtlGetVersionFillsExtendedFieldsOnlyWhenAskedFor)
{
    model::MachineConfig config;
    config.Version.Build = 22631;
    config.Version.CsdVersion = u"Service Pack 9";
    config.Version.ServicePackMajor = 9;
    config.Version.SuiteMask = 0x0110;
    config.Version.ProductType = 3;
    StartMachine(config);

    RTL_OSVERSIONINFOEXW info;
    std::memset(&info, 0xCC, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOW);
    ASSERT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)), STATUS_SUCCESS);
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwBuildNumber, 22631u);
    EXPECT_EQ(std::u16string(info.szCSDVersion), u"Service Pack 9");
    EXPECT_EQ(info.wServicePackMajor, 0xCCCC);  // beyond the caller's 276 bytes
    EXPECT_EQ(info.wProductType, 0xCC);

    info.dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOEXW);
    ASSERT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)), STATUS_SUCCESS);
    EXPECT_EQ(info.wServicePackMajor, 9);
    EXPECT_EQ(info.wServicePackMinor, 0);
    EXPECT_EQ(info.wSuiteMask, 0x0110);
    EXPECT_EQ(info.wProductType, 3);

    info.dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOW) - 1;
    EXPECT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)),
              STATUS_INVALID_PARAMETER);
}

TEST_F(ModelSystemInformationTest, RoutineLookupFindsOnlyPresentExports)
{
    model::MachineConfig config;
    config.Routines["MmMapIoSpaceEx"] = false;
    StartMachine(config);
    const std::pair<const char16_t*, void*> cases[] = {
        {u"ExAllocatePoolWithTag", reinterpret_cast<void*>(ExAllocatePoolWithTag)},
        {u"NtQuerySystemInformation", model::FindRoutine("NtQuerySystemInformation")->Address},
        {u"MmMapIoSpaceEx", nullptr},  // configured absent
        {u"ExAllocatePool3", nullptr},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        UNICODE_STRING name = Name(cases[i].first);
        EXPECT_EQ(MmGetSystemRoutineAddress(&name), cases[i].second) << "case " << i;
    }
}

}  // namespace
}  // namespace vektest
