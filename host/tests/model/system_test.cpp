// Time, version, the firmware table query and routine lookup.
#include "fake_driver.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

namespace vektest {
namespace {

using ModelTimeTest = ModelFixture;
using ModelSystemInformationTest = ModelFixture;

auto Fields(const TIME_FIELDS& t)
{
    return std::make_tuple(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second, t.Milliseconds,
                           t.Weekday);
}

TEST_F(ModelTimeTest, CalendarAndTimeFieldsRoundTrip)
{
    constexpr int64_t TicksPerDay = 864'000'000'000;
    const struct {
        TIME_FIELDS Fields;  // Year, Month, Day, Hour, Minute, Second, Milliseconds, Weekday
        int64_t Days;        // since 1601-01-01, counted independently
    } cases[] = {
        {{1601, 1, 1, 0, 0, 0, 0, 1}, 0},       // the epoch, a Monday
        {{1900, 3, 1, 0, 0, 0, 0, 4}, 109266},  // 1900 was no leap year
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
        EXPECT_EQ(Fields(back), Fields(f));
    }
}

// A field of the shared user data page; a time is checked whole (both high
// parts the same).
template <typename T>
T SharedField(size_t offset)
{
    T value;
    std::memcpy(&value, const_cast<const UCHAR*>(ModelSharedUserData()) + offset, sizeof(value));
    return value;
}

int64_t SharedTime(size_t offset)
{
    auto time = SharedField<KSYSTEM_TIME>(offset);
    EXPECT_EQ(time.High1Time, time.High2Time) << "at 0x" << std::hex << offset;
    return static_cast<int64_t>(uint64_t{static_cast<uint32_t>(time.High1Time)} << 32 | time.LowPart);
}

// The page holds what a kernel keeps there, at the offsets of the kit's
// KUSER_SHARED_DATA, as the last clock interrupt (every 15.625 ms) stored
// it, and moves with the machine's clock.
TEST_F(ModelTimeTest, SharedUserDataFollowsTheClock)
{
    constexpr int64_t Interval = 156250;
    constexpr int64_t Tick = Interval * 850'000'000'000;  // in 2022
    constexpr int64_t Start = Tick + 100'000;
    const struct {
        ULONG Major, Minor;
        int64_t Elapsed;  // since the machine started
        int64_t SystemTime, InterruptTime, TickCount;
    } cases[] = {
        {6, 1, 0, Tick, 0, 0},
        {6, 1, Interval - 100'001, Tick, 0, 0},
        {6, 2, Interval - 100'000, Tick + Interval, 0, 0},  // the day's next interrupt
        {10, 0, 3 * Interval + 7, Tick + 3 * Interval, 3 * Interval, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Major << "." << c.Minor << " +" << c.Elapsed);
        model::MachineConfig config;
        config.Version.Major = c.Major;
        config.Version.Minor = c.Minor;
        config.SystemTime = Start;
        StartMachine(config);
        model::SetSystemTime(Start + c.Elapsed);
        EXPECT_EQ(SharedTime(0x14), c.SystemTime);
        EXPECT_EQ(SharedTime(0x08), c.InterruptTime);
        EXPECT_EQ(SharedTime(0x320), c.TickCount);
        EXPECT_EQ(SharedField<ULONG>(0x26C), c.Major);
        EXPECT_EQ(SharedField<ULONG>(0x270), c.Minor);
    }
}

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
        // Provider 'ACPI', action "get table", table "SPCR", room for 80 bytes.
        struct {
            ULONG Header[4] = {0x41435049, 1, 0x52435053, 80};
            UCHAR Table[80];
        } request;
        ULONG returned = 0;
        ASSERT_EQ(ZwQuerySystemInformation(SystemFirmwareTableInformation, &request,
                                           sizeof(request), &returned),
                  c.Status);
        if (c.Status == STATUS_BUFFER_TOO_SMALL) {
            EXPECT_GT(request.Header[3], 80u);  // the length it needs
        } else if (c.Status == STATUS_SUCCESS) {
            uint64_t address;
            std::memcpy(&address, request.Table + 44, 8);
            EXPECT_EQ(std::memcmp(request.Table, "SPCR", 4), 0);
            EXPECT_EQ(request.Table[40], c.AddressSpace);
            EXPECT_EQ(address, c.Address);
        }
    }
}

TEST_F(ModelSystemInformationTest, RtlGetVersionFillsExtendedFieldsOnlyWhenAskedFor)
{
    model::MachineConfig config;
    config.Version.Build = 22631;
    config.Version.CsdVersion = u"Service Pack 9";
    config.Version.ServicePackMajor = 9;
    StartMachine(config);
    RTL_OSVERSIONINFOEXW info;
    std::memset(&info, 0xCC, sizeof(info));
    auto* plain = reinterpret_cast<PRTL_OSVERSIONINFOW>(&info);
    for (ULONG size : {sizeof(RTL_OSVERSIONINFOW), sizeof(RTL_OSVERSIONINFOEXW)}) {
        info.dwOSVersionInfoSize = size;
        ASSERT_EQ(RtlGetVersion(plain), STATUS_SUCCESS);
        EXPECT_EQ(info.dwBuildNumber, 22631u);
        EXPECT_EQ(std::u16string(info.szCSDVersion), u"Service Pack 9");
        // Nothing is written beyond the size the caller gave.
        EXPECT_EQ(info.wServicePackMajor, size == sizeof(info) ? 9 : 0xCCCC) << size;
        EXPECT_EQ(info.wProductType, size == sizeof(info) ? 1 : 0xCC) << size;
    }
    info.dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOW) - 1;
    EXPECT_EQ(RtlGetVersion(plain), STATUS_INVALID_PARAMETER);
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

// An injected failure returns only a status the routine's reference page
// gives; one that fails without a status takes none to return.
TEST_F(ModelSystemInformationTest, InjectedFailuresReturnOnlyDocumentedStatuses)
{
    for (const model::RoutineInfo& routine : model::ExportedRoutines()) {
        bool withStatus = routine.FailsAs == model::RoutineInfo::Failure::Status;
        EXPECT_EQ(routine.Statuses.empty(), !withStatus) << routine.Name;
        for (const model::FailureStatus& status : routine.Statuses) {
            EXPECT_FALSE(NT_SUCCESS(status.Code)) << routine.Name << " " << status.Name;
        }
    }
    const struct {
        model::Fault Fault;
        bool Injected;
    } cases[] = {
        {{"KeGetProcessorNumberFromIndex", 1, STATUS_INSUFFICIENT_RESOURCES}, false},
        // Statuses only a caller's error causes: the routine's own answers.
        {{"KeGetProcessorNumberFromIndex", 1, STATUS_INVALID_PARAMETER}, false},
        {{"KeSetTargetProcessorDpcEx"}, false},
        {{"ZwQuerySystemInformation", 1, STATUS_INVALID_INFO_CLASS}, false},
        {{"RtlCreateSecurityDescriptor"}, false},
        {{"RtlAbsoluteToSelfRelativeSD", 1, STATUS_BAD_DESCRIPTOR_FORMAT}, false},
        {{"RtlGetDaclSecurityDescriptor"}, false},
        {{"ZwSetSecurityObject", 1, STATUS_UNKNOWN_REVISION}, false},
        {{"IoCreateSymbolicLink", 1, STATUS_OBJECT_NAME_COLLISION}, true},
        {{"RtlGetVersion", 1, STATUS_UNSUCCESSFUL}, false},
        {{"RtlGetVersion"}, false},
        {{"ExAllocatePoolWithTag", 1, STATUS_NO_MEMORY}, true},  // returns null all the same
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(model::InjectFault(c.Fault, &error), c.Injected) << c.Fault.Routine;
        EXPECT_EQ(error.find(c.Fault.Routine) != std::string::npos, !c.Injected) << error;
    }
    // Without a status, a fault returns the routine's first.
    std::string error;
    ASSERT_TRUE(model::InjectFault({"RtlUnicodeStringToAnsiString"}, &error)) << error;
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, u"x");
    ANSI_STRING ansi = {};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &text, TRUE), STATUS_NO_MEMORY);
}

// Each routine appears in the kernel version its reference page names:
// what MmGetSystemRoutineAddress finds, and what an image may import.
TEST_F(ModelSystemInformationTest, RoutinesAppearInTheirFirstWindowsVersion)
{
    const struct {
        ULONG Major, Minor;
        const char16_t* Routine;
        bool Exported;
    } cases[] = {
        {6, 1, u"KeQuerySystemTimePrecise", false}, {6, 2, u"KeQuerySystemTimePrecise", true},
        // The x64 kit reads these from the shared user data page: no x64
        // kernel exports them, on any version.
        {6, 1, u"KeQuerySystemTime", false},        {10, 0, u"KeQuerySystemTime", false},
        {6, 1, u"KeQueryTickCount", false},         {10, 0, u"KeQueryInterruptTime", false},
        {6, 3, u"MmMapIoSpaceEx", false},
        {10, 0, u"MmMapIoSpaceEx", true},           {6, 0, u"KeQueryActiveProcessorCountEx", false},
        {6, 1, u"KeQueryActiveProcessorCountEx", true}, {6, 1, u"KeSetTargetProcessorDpcEx", true},
        {5, 2, u"RtlQueryModuleInformation", false}, {6, 0, u"RtlQueryModuleInformation", true},
        // Inbox Windows 10 drivers import the converter from the kernel.
        {6, 3, u"SeConvertStringSecurityDescriptorToSecurityDescriptor", false},
        {10, 0, u"SeConvertStringSecurityDescriptorToSecurityDescriptor", true},
        {10, 0, u"IoCreateDeviceSecure", false},
    };
    for (const auto& c : cases) {
        std::string narrow(c.Routine, c.Routine + std::char_traits<char16_t>::length(c.Routine));
        SCOPED_TRACE(testing::Message() << narrow << " on " << c.Major << "." << c.Minor);
        model::MachineConfig config;
        config.Version.Major = c.Major;
        config.Version.Minor = c.Minor;
        StartMachine(config);
        UNICODE_STRING name = Name(c.Routine);
        EXPECT_EQ(MmGetSystemRoutineAddress(&name) != nullptr, c.Exported);
        std::string refusal = model::UnresolvedImport(narrow);
        EXPECT_EQ(refusal.empty(), c.Exported) << refusal;
        if (!c.Exported) {
            EXPECT_NE(refusal.find("status 0xC0000263"), std::string::npos) << refusal;
        }
    }
}

#ifdef VEK_KERNEL_IMPORT_LIBRARY
// What mingw-w64's x64 libntoskrnl.a lets an image import, as nm lists it:
// "0000000000000000 T Name" a routine, "... I __imp_Name" any import slot.
std::set<std::string> IndependentExports()
{
    std::set<std::string> names;
    FILE* pipe = popen((std::string(VEK_NM) + " '" VEK_KERNEL_IMPORT_LIBRARY "'").c_str(), "r");
    char line[512], kind = 0, name[256];
    while (pipe != nullptr && std::fgets(line, sizeof(line), pipe) != nullptr) {
        if (std::sscanf(line, "%*s %c %255s", &kind, name) == 2 && (kind == 'T' || kind == 'I')) {
            std::string text(name);
            if (kind == 'T' || text.rfind("__imp_", 0) == 0) {
                names.insert(kind == 'T' ? text : text.substr(6));
            }
        }
    }
    if (pipe != nullptr) {
        pclose(pipe);
    }
    return names;
}

// later_exports.txt: routine -> first version ("6.2"); # starts a comment.
std::map<std::string, std::string> LaterExports()
{
    std::map<std::string, std::string> later;
    std::ifstream listing(VEK_LATER_EXPORTS);
    std::string line, name, version;
    while (std::getline(listing, line)) {
        if (std::istringstream(line.substr(0, line.find('#'))) >> name >> version) {
            later[name] = version;
        }
    }
    return later;
}

// The model's table holds only what a real x64 kernel exports: each routine
// and variable is in the independent list, or is a later version's from the
// version the list gives, or its row names its reference page and a machine
// lacks it unless told otherwise. What the x64 kit reads from the shared
// user data page is none of these.
TEST_F(ModelSystemInformationTest, ExportTableHoldsOnlyWhatARealX64KernelExports)
{
    const std::set<std::string> exports = IndependentExports();
    ASSERT_GT(exports.size(), 1000u) << "cannot read " << VEK_KERNEL_IMPORT_LIBRARY;
    const std::map<std::string, std::string> later = LaterExports();
    ASSERT_FALSE(later.empty()) << "cannot read " << VEK_LATER_EXPORTS;
    for (const model::RoutineInfo& routine : model::ExportedRoutines()) {
        SCOPED_TRACE(routine.Name);
        // Every row's contract names the page it was taken from.
        ASSERT_NE(routine.Reference, nullptr) << "its row names no reference page";
        EXPECT_EQ(std::string(routine.Reference).rfind("https://learn.microsoft.com/", 0), 0u)
            << routine.Reference;
        if (exports.count(routine.Name) != 0) {
            continue;
        }
        auto found = later.find(routine.Name);
        if (found != later.end()) {
            const std::string since =
                std::to_string(routine.Since >> 8) + "." + std::to_string(routine.Since & 0xFF);
            EXPECT_EQ(since, found->second);
            continue;
        }
        EXPECT_NE(routine.Reference, nullptr)
            << "no x64 export list names it, and its row names no reference page";
        EXPECT_FALSE(routine.DefaultPresent) << "a kernel has it unless a machine says otherwise";
    }
    for (const model::DataExport& data : model::ExportedData()) {
        EXPECT_EQ(exports.count(data.Name), 1u) << data.Name;
    }
    for (const char* name : {"KeQuerySystemTime", "KeQueryTickCount", "KeQueryInterruptTime"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(exports.count(name), 0u);
        EXPECT_TRUE(model::ExportedOnlyBy32BitKernels(name));
    }
}
#endif

#ifdef VEK_PRECISE_TIME_IMAGE
// The host build's imports are its undefined kernel symbols: an image
// calling KeQuerySystemTimePrecise directly does not load on 6.1, and one
// calling KeQuerySystemTime loads nowhere.
TEST_F(ModelSystemInformationTest, HostImageImportingANewerRoutineIsRefused)
{
    const struct {
        const char* Image;
        ULONG Major, Minor;
        const char* Refusal;  // nullptr: the image loads
    } cases[] = {
        {VEK_PRECISE_TIME_IMAGE, 6, 1, "it imports KeQuerySystemTimePrecise"},
        {VEK_PRECISE_TIME_IMAGE, 6, 2, nullptr},
        {VEK_SYSTEM_TIME_IMAGE, 6, 1, "it imports KeQuerySystemTime, which no x64 kernel"},
        {VEK_SYSTEM_TIME_IMAGE, 10, 0, "it imports KeQuerySystemTime, which no x64 kernel"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Image << " on " << c.Major << "." << c.Minor);
        model::MachineConfig config;
        config.Version.Major = c.Major;
        config.Version.Minor = c.Minor;
        StartMachine(config);
        std::string error;
        bool opened = model::OpenHostImage(c.Image, &error) != nullptr;
        EXPECT_EQ(opened, c.Refusal == nullptr) << error;
        if (c.Refusal != nullptr) {
            EXPECT_NE(error.find("0xC0000263"), std::string::npos) << error;
            EXPECT_NE(error.find(c.Refusal), std::string::npos) << error;
        }
    }
}
#endif

}  // namespace
}  // namespace vektest
