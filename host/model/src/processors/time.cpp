// System time (100 ns units since 1601-01-01, UTC) and its calendar split,
// in the proleptic Gregorian calendar the kernel uses.
#include "memory/guest_memory.h"
#include "core/model_lock.h"

namespace model {

namespace {

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

}  // namespace model

using namespace model;

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    KernelScope kernel;
    EnterRoutine("KeQuerySystemTime", HIGH_LEVEL, AtBugCheck::Allowed);
    // The coarse clock moves only at the clock interrupt: the default
    // interval of 15.625 ms (KeQueryTimeIncrement's 156250).
    constexpr int64_t ClockInterval = 156250;
    LARGE_INTEGER now;
    now.QuadPart = State().SystemTime - State().SystemTime % ClockInterval;
    WriteToDriver("KeQuerySystemTime", CurrentTime, now);
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
