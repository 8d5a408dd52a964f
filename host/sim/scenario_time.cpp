// Scenario times, checked field by field: real calendar dates only.
#include "sim/scenario_time.h"

#include "model/machine.h"

#include <cstdio>

namespace sim {

int64_t ReadTime(const JsonValue& value)
{
    const std::string expected =
        "expected a UTC time such as \"2024-03-05T07:08:09.042Z\" (years 1601 to 9999)";
    std::string text = value.String();
    // sscanf alone would take a sign or spaces inside a field ("2024- 3-05").
    static const char shape[] = "dddd-dd-ddTdd:dd:dd";
    for (size_t i = 0; i + 1 < sizeof(shape); ++i) {
        bool digit = i < text.size() && text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : (i >= text.size() || text[i] != shape[i])) {
            value.Fail(expected);
        }
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour,
                    &minute, &second, &consumed) != 6 ||
        consumed != 19) {
        value.Fail(expected);
    }
    std::string rest = text.substr(static_cast<size_t>(consumed));
    if (rest.size() == 5 && rest[0] == '.' && rest[4] == 'Z') {
        for (size_t i = 1; i <= 3; ++i) {
            if (rest[i] < '0' || rest[i] > '9') {
                value.Fail(expected);
            }
            millisecond = millisecond * 10 + (rest[i] - '0');
        }
    } else if (rest != "Z") {
        value.Fail(expected);
    }
    static const int daysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1601 || month < 1 || month > 12 || day < 1 ||
        day > daysInMonth[month - 1] + ((month == 2 && leap) ? 1 : 0) || hour > 23 ||
        minute > 59 || second > 59) {
        value.Fail(expected);
    }
    return model::SystemTimeFromCalendar(year, month, day, hour, minute, second, millisecond);
}

}  // namespace sim
