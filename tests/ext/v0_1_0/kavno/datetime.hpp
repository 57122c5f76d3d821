// The UTC date-time: the one date value that crosses between kavno and Python. A plain value with the
// wall-clock fields of a UTC reading; a nanosecond of 1000000000 or more marks a leap second on second 59.
#pragma once

#include "kavno/calendar.hpp"

#include <cstdint>
#include <optional>

namespace kavno {

inline constexpr std::int32_t min_year = -262143;
inline constexpr std::int32_t max_year = 262142;
inline constexpr std::uint32_t nanos_per_second = 1'000'000'000;
inline constexpr std::int64_t seconds_per_day = 86'400;

struct UtcDateTime {
    std::int32_t year = 1970;  // [min_year, max_year]
    std::uint8_t month = 1;    // [1, 12]
    std::uint8_t day = 1;      // [1, days_in_month]
    std::uint8_t hour = 0;     // [0, 23]
    std::uint8_t minute = 0;   // [0, 59]
    std::uint8_t second = 0;   // [0, 59]
    std::uint32_t nanosecond = 0;  // [0, 1999999999]; >= 1e9 only on second 59

    friend constexpr bool operator==(const UtcDateTime&, const UtcDateTime&) = default;
};

// Whether every field lies in its range, the leap-second rule included.
constexpr bool is_valid(const UtcDateTime& value) noexcept {
    return value.year >= min_year && value.year <= max_year && value.month >= 1 && value.month <= 12 &&
           value.day >= 1 && value.day <= days_in_month(value.year, value.month) && value.hour <= 23 &&
           value.minute <= 59 && value.second <= 59 && value.nanosecond < 2 * nanos_per_second &&
           (value.nanosecond < nanos_per_second || value.second == 59);
}

// Seconds since 1970-01-01T00:00:00; the fraction is dropped and a leap second counts as second 59.
constexpr std::int64_t unix_seconds(const UtcDateTime& value) noexcept {
    return days_from_civil(value.year, value.month, value.day) * seconds_per_day + value.hour * 3600 +
           value.minute * 60 + value.second;
}

// The UTC date-time of Unix seconds and a fraction in [0, 2e9); nothing outside the representable years.
constexpr std::optional<UtcDateTime> from_unix(std::int64_t seconds, std::uint32_t nanosecond) noexcept {
    // Beyond this the day count below cannot overflow and the year is out of range anyway.
    constexpr std::int64_t limit = std::int64_t{1} << 50;
    if (seconds < -limit || seconds > limit) return std::nullopt;
    const std::int64_t days = floor_div(seconds, seconds_per_day);
    const auto second_of_day = static_cast<unsigned>(floor_mod(seconds, seconds_per_day));  // [0, 86399]
    const CivilDate date = civil_from_days(days);
    if (date.year < min_year || date.year > max_year) return std::nullopt;
    return UtcDateTime{static_cast<std::int32_t>(date.year),      static_cast<std::uint8_t>(date.month),
                       static_cast<std::uint8_t>(date.day),        static_cast<std::uint8_t>(second_of_day / 3600),
                       static_cast<std::uint8_t>(second_of_day / 60 % 60), static_cast<std::uint8_t>(second_of_day % 60),
                       nanosecond};
}

// The UTC date-time of a millisecond timestamp (floor division: -1 is 1969-12-31T23:59:59.999).
constexpr std::optional<UtcDateTime> from_unix_ms(std::int64_t milliseconds) noexcept {
    const std::int64_t seconds = floor_div(milliseconds, 1000);
    const auto millis = static_cast<std::uint32_t>(floor_mod(milliseconds, 1000));  // [0, 999]
    return from_unix(seconds, millis * 1'000'000);
}

}  // namespace kavno
