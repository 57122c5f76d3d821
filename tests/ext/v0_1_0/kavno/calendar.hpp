// Proleptic Gregorian calendar arithmetic on day counts (day 0 is 1970-01-01). Pure and constexpr: no Python,
// no allocation, usable by any native producer.
#pragma once

#include <cstdint>

namespace kavno {

// A civil date as produced by civil_from_days: always a valid date.
struct CivilDate {
    std::int64_t year;
    unsigned month;  // [1, 12]
    unsigned day;    // [1, days_in_month]
};

constexpr bool is_leap_year(std::int64_t year) noexcept {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr unsigned days_in_month(std::int64_t year, unsigned month) noexcept {
    constexpr unsigned char lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29u : lengths[month - 1];
}

// Days from 1970-01-01 to the given date; month in [1, 12], day in [1, 31].
constexpr std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept {
    year -= month <= 2;                                                    // years start in March
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;        // floor division
    const auto year_of_era = static_cast<unsigned>(year - era * 400);      // [0, 399]
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;  // [0, 365]
    const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;  // [0, 146096]
    return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

// The date `days` days after 1970-01-01 (before it for a negative count).
constexpr CivilDate civil_from_days(std::int64_t days) noexcept {
    days += 719468;                                                        // day 0 is 0000-03-01
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;  // floor division
    const auto day_of_era = static_cast<unsigned>(days - era * 146097);    // [0, 146096]
    const unsigned year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;  // [0, 399]
    const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);  // [0, 365]
    const unsigned month_from_march = (5 * day_of_year + 2) / 153;                                       // [0, 11]
    const unsigned day = day_of_year - (153 * month_from_march + 2) / 5 + 1;                             // [1, 31]
    const unsigned month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;          // [1, 12]
    const std::int64_t year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2);
    return {year, month, day};
}

// Floor division and its non-negative remainder (divisor > 0), for timestamps before the epoch. Neither
// multiplies back, so both hold for the whole int64 range.
constexpr std::int64_t floor_div(std::int64_t value, std::int64_t divisor) noexcept {
    const std::int64_t quotient = value / divisor;
    return quotient - ((value % divisor) < 0);
}

constexpr std::int64_t floor_mod(std::int64_t value, std::int64_t divisor) noexcept {
    const std::int64_t remainder = value % divisor;  // (-divisor, divisor)
    return remainder < 0 ? remainder + divisor : remainder;
}

}  // namespace kavno
