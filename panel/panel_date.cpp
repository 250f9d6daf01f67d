#include <ctime>
#include <cstdint>

#include "panel/points.h"

namespace {
constexpr int DaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
}

std::int32_t TrkDateToTime(std::uint8_t low, std::uint8_t high) {
    int n = low + 256 * high;
    int d = n - 1;
    int cycle = d / 1461;
    int r = d % 1461;
    int y = r / 365;
    int year = 1977 + 4 * cycle + (y <= 2 ? y : 3);
    bool leapYear = y >= 3;
    int month = 0;
    int day = 0;
    if (y == 4) {
        month = 11;
        day = 31;
    } else {
        int k = (r % 365) + 1;
        if (leapYear && k == 60) {
            month = 1;
            day = 29;
        } else {
            if (leapYear && k > 60) --k;
            while (month < 11 && k > DaysInMonth[month]) {
                k -= DaysInMonth[month];
                ++month;
            }
            day = k;
        }
    }

    std::tm local = {};
    local.tm_year = year - 1900;
    local.tm_mon = month;
    local.tm_mday = day;
    local.tm_isdst = -1;
    std::time_t seconds = std::mktime(&local);
    if (seconds == static_cast<std::time_t>(-1)) return -1;
    auto wide = static_cast<std::int64_t>(seconds);
    if (wide < INT32_MIN || wide > INT32_MAX) return -1;
    return static_cast<std::int32_t>(seconds);
}
