// System time (100 ns units since 1601-01-01, UTC) and its calendar split,
// in the proleptic Gregorian calendar the kernel uses; the shared user data
// page, where the kernel keeps the clock for readers that call nothing.
#include "memory/guest_memory.h"
#include "core/model_lock.h"

#include <cstddef>
#include <cstring>

namespace model {

namespace {

// The clock interrupt's default interval, 15.625 ms (KeQueryTimeIncrement's
// 156250): the shared page's times move only at it.
constexpr int64_t ClockInterval = 156250;

// Offsets in KUSER_SHARED_DATA, the same in every x64 kernel from Windows 7
// on (the kit's ntddk.h record): InterruptTime and SystemTime are
// KSYSTEM_TIMEs; TickCount is one too on x64 (the 32-bit TickCountLow at 0
// is deprecated).
constexpr size_t InterruptTimeOffset = 0x08;
constexpr size_t SystemTimeOffset = 0x14;
constexpr size_t NtMajorVersionOffset = 0x26C;
constexpr size_t NtMinorVersionOffset = 0x270;
constexpr size_t TickCountOffset = 0x320;

struct alignas(SharedUserDataSize) SharedUserData {
    uint8_t Bytes[SharedUserDataSize];
};
SharedUserData ThePage;

void StoreUlong(size_t offset, ULONG value)
{
    std::memcpy(ThePage.Bytes + offset, &value, sizeof(value));
}

// The kernel's writer order, which a reader's High1Time / LowPart /
// High2Time retry relies on: High2Time, LowPart, then High1Time, each a
// release store, so a reader on another processor sees them in that order.
void StoreSystemTime(size_t offset, int64_t value)
{
    auto word = [offset](size_t field) {
        return reinterpret_cast<uint32_t*>(ThePage.Bytes + offset + field);
    };
    const auto high = static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32);
    const auto low = static_cast<uint32_t>(static_cast<uint64_t>(value));
    __atomic_store_n(word(offsetof(KSYSTEM_TIME, High2Time)), high, __ATOMIC_RELEASE);
    __atomic_store_n(word(offsetof(KSYSTEM_TIME, LowPart)), low, __ATOMIC_RELEASE);
    __atomic_store_n(word(offsetof(KSYSTEM_TIME, High1Time)), high, __ATOMIC_RELEASE);
}

constexpr int64_t TicksPerMillisecond = 10000;
constexpr int64_t TicksPerSecond = 1000 * TicksPerMillisecond;
constexpr int64_t SecondsPerDay = 86400;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t DaysFrom1601To1970 = 134774;

// Days since 1970-01-01 of a civil date (Howard Hinnant's algorithm).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2);
}

}  // namespace

int64_t SystemTimeFromCalendar(int year, int month, int day, int hour, int minute, int second,
                               int millisecond)
{
    int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
                   DaysFrom1601To1970;
    int64_t seconds = days * SecondsPerDay + hour * 3600 + minute * 60 + second;
    return seconds * TicksPerSecond + millisecond * TicksPerMillisecond;
}

void* SharedUserDataPage()
{
    return ThePage.Bytes;
}

void UpdateSharedUserData(const MachineState& state)
{
    // The time of day as the last clock interrupt stored it; the interrupt
    // time and tick count from power-on, which the machine's first clock
    // reading marks (as the hypervisor's reference counter counts it).
    const int64_t coarse = state.SystemTime - state.SystemTime % ClockInterval;
    const int64_t sinceStart =
        state.SystemTime > state.Config.SystemTime ? state.SystemTime - state.Config.SystemTime : 0;
    const int64_t ticks = sinceStart / ClockInterval;
    StoreSystemTime(SystemTimeOffset, coarse);
    StoreSystemTime(InterruptTimeOffset, ticks * ClockInterval);
    StoreSystemTime(TickCountOffset, ticks);
    StoreUlong(NtMajorVersionOffset, state.Config.Version.Major);
    StoreUlong(NtMinorVersionOffset, state.Config.Version.Minor);
}

}  // namespace model

using namespace model;

extern "C" const volatile UCHAR* ModelSharedUserData(void)
{
    return ThePage.Bytes;
}

extern "C" VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime)
{
    KernelScope kernel;
    EnterRoutine("KeQuerySystemTimePrecise", HIGH_LEVEL, AtBugCheck::Allowed);
    LARGE_INTEGER now;
    now.QuadPart = State().SystemTime;
    WriteToDriver("KeQuerySystemTimePrecise", CurrentTime, now);
}

extern "C" VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields)
{
    KernelScope kernel;
    constexpr const char* Routine = "RtlTimeToTimeFields";
    EnterRoutine(Routine, HIGH_LEVEL, AtBugCheck::Allowed);
    int64_t ticks = ReadFromDriver(Routine, Time).QuadPart;
    int64_t totalSeconds = ticks / TicksPerSecond;
    int64_t days = totalSeconds / SecondsPerDay;
    int64_t secondOfDay = totalSeconds % SecondsPerDay;

    int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days - DaysFrom1601To1970, &year, &month, &day);
    TIME_FIELDS fields;
    fields.Year = static_cast<CSHORT>(year);
    fields.Month = static_cast<CSHORT>(month);
    fields.Day = static_cast<CSHORT>(day);
    fields.Hour = static_cast<CSHORT>(secondOfDay / 3600);
    fields.Minute = static_cast<CSHORT>(secondOfDay / 60 % 60);
    fields.Second = static_cast<CSHORT>(secondOfDay % 60);
    fields.Milliseconds = static_cast<CSHORT>(ticks % TicksPerSecond / TicksPerMillisecond);
    // 1601-01-01 was a Monday; Sunday is 0.
    fields.Weekday = static_cast<CSHORT>((days + 1) % 7);
    WriteToDriver(Routine, TimeFields, fields);
}
