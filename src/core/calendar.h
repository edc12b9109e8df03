// UTC calendar fields of a Unix time, by arithmetic alone: no time zone, no
// locale and no shared buffer of the C library, so any thread may use it
// under the engine lock.
#pragma once

#include <cstdint>

namespace vue {

struct utc_time {
    int64_t year;
    int month;   // 1..12
    int day;     // 1..31
    int hour;    // 0..23
    int minute;  // 0..59
    int second;  // 0..59
};

// The proleptic Gregorian date of a day number (days since 1970-01-01),
// valid for every day number a 64-bit Unix time can name.
constexpr utc_time utc_date_of_day(int64_t day_number) {
    // Days are counted from 0000-03-01, so a leap day ends its year, in eras
    // of 400 years that repeat exactly.
    const int64_t z = day_number + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t day_of_era = z - era * 146097;
    const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t month_from_march = (5 * day_of_year + 2) / 153;
    utc_time t{};
    t.day = static_cast<int>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
    t.month = static_cast<int>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
    t.year = year_of_era + era * 400 + (t.month <= 2 ? 1 : 0);
    return t;
}

constexpr utc_time utc_time_of(int64_t unix_seconds) {
    int64_t day_number = unix_seconds / 86400;
    int64_t second_of_day = unix_seconds % 86400;
    if (second_of_day < 0) {
        second_of_day += 86400;
        day_number -= 1;
    }
    utc_time t = utc_date_of_day(day_number);
    t.hour = static_cast<int>(second_of_day / 3600);
    t.minute = static_cast<int>(second_of_day / 60 % 60);
    t.second = static_cast<int>(second_of_day % 60);
    return t;
}

static_assert(utc_date_of_day(0).year == 1970 && utc_date_of_day(0).month == 1 && utc_date_of_day(0).day == 1);
static_assert(utc_date_of_day(11016).year == 2000 && utc_date_of_day(11016).month == 2 &&
              utc_date_of_day(11016).day == 29);
static_assert(utc_time_of(-1).year == 1969 && utc_time_of(-1).hour == 23 && utc_time_of(-1).second == 59);

}  // namespace vue
