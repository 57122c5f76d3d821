// Proleptic Gregorian calendar arithmetic on day counts (day 0 is 1970-01-01). Pure and constexpr: no Python,
// no allocation, usable by any native producer.
//
// Why not <chrono>'s civil calendar: std::chrono::year holds -32767 to 32767, and the date-times here reach the
// years -262143 to 262142, so the day counts are done on plain integers here.
#pragma once

#include <cstdint>

#pragma GCC visibility push(hidden)  // one copy per binary (producer.hpp says why)

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

namespace calendar_detail {

// The arithmetic below works on unsigned 32-bit counts from the 1st of March of a year far enough back: 700 whole
// 400-year cycles (146097 days each) before year 0, so that every year it covers counts from zero.
inline constexpr std::int64_t shifted_years = 400 * 700;
inline constexpr std::int64_t shifted_days = 146097 * 700 + 719468;  // from that 1st of March to 1970-01-01

}  // namespace calendar_detail

// The day counts below hold for the years -262144 to 262143: one beyond the date-times' own years at either end,
// for arithmetic that carries a date across the first or last of them. (Neri and Schneider's algorithms, on
// Euclidean affine functions: a few multiplications where the textbook ones divide.)

// Days from 1970-01-01 to the given date; month in [1, 12], day in [1, 31].
constexpr std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept {
    using namespace calendar_detail;
    const bool january_or_february = month <= 2;  // counted with the year before: years start in March
    const auto shifted = static_cast<std::uint32_t>(year + shifted_years) - january_or_february;  // [0, 542143]
    const std::uint32_t month_from_zero = january_or_february ? month + 12 : month;  // [3, 14], March is 3
    const std::uint32_t century = shifted / 100;
    const std::uint32_t year_days = 1461 * shifted / 4 - century + century / 4;      // days before its 1st of March
    const std::uint32_t month_days = (979 * month_from_zero - 2919) / 32;           // [0, 337], days before the month
    return static_cast<std::int64_t>(year_days + month_days + day - 1) - shifted_days;
}

// The date `days` days after 1970-01-01 (before it for a negative count).
constexpr CivilDate civil_from_days(std::int64_t days) noexcept {
    using namespace calendar_detail;
    const auto shifted = static_cast<std::uint32_t>(days + shifted_days);  // day 0 is a 1st of March
    const std::uint32_t quarter_days = 4 * shifted + 3;
    const std::uint32_t century = quarter_days / 146097;
    const std::uint32_t day_of_century = quarter_days % 146097 / 4;                   // [0, 36524]
    const std::uint64_t scaled = std::uint64_t{2939745} * (4 * day_of_century + 3);
    const auto year_of_century = static_cast<std::uint32_t>(scaled >> 32);             // [0, 99]
    const std::uint32_t day_of_year = static_cast<std::uint32_t>(scaled) / 2939745 / 4;  // [0, 365], from March
    const std::uint32_t month_and_day = 2141 * day_of_year + 197913;
    const std::uint32_t month = month_and_day >> 16;                                   // [3, 14]
    const std::uint32_t day = (month_and_day & 0xFFFF) / 2141 + 1;                     // [1, 31]
    const bool january_or_february = day_of_year >= 306;
    const std::int64_t year = static_cast<std::int64_t>(100 * century + year_of_century) + january_or_february;
    return {year - shifted_years, january_or_february ? month - 12 : month, day};
}

// Seconds from 1970-01-01T00:00:00 to the given wall-clock reading of the same calendar; the fields as for
// days_from_civil, hour [0, 23], minute [0, 59], second [0, 59].
constexpr std::int64_t seconds_from_civil(std::int64_t year, unsigned month, unsigned day, unsigned hour,
                                          unsigned minute, unsigned second) noexcept {
    return days_from_civil(year, month, day) * 86'400 + static_cast<std::int64_t>(hour * 3600 + minute * 60 + second);
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

#pragma GCC visibility pop
