// The UTC date-time: the one date value that crosses between kavno and Python. A plain value with the
// wall-clock fields of a UTC reading; a nanosecond of 1000000000 or more marks a leap second on second 59.
#pragma once

#include "kavno/calendar.hpp"

#include <cstdint>
#include <optional>

#pragma GCC visibility push(hidden)  // one copy per binary (producer.hpp says why)

namespace kavno {

inline constexpr std::int32_t min_year = -262143;
inline constexpr std::int32_t max_year = 262142;
inline constexpr std::uint32_t nanos_per_second = 1'000'000'000;
inline constexpr std::int64_t seconds_per_day = 86'400;

// The seven fields of a wall-clock reading. `Zone` only tells readings apart, so that one cannot be passed for
// another: a UtcDateTime is read in UTC; the date-time scanner also has local readings, whose offset is applied
// apart from them.
template <class Zone>
struct WallClock {
    std::int32_t year = 1970;      // [min_year, max_year]
    std::uint8_t month = 1;        // [1, 12]
    std::uint8_t day = 1;          // [1, days_in_month]
    std::uint8_t hour = 0;         // [0, 23]
    std::uint8_t minute = 0;       // [0, 59]
    std::uint8_t second = 0;       // [0, 59]
    std::uint32_t nanosecond = 0;  // [0, 1999999999]; >= 1e9 only on second 59

    friend constexpr bool operator==(const WallClock&, const WallClock&) = default;
};

struct Utc {};
using UtcDateTime = WallClock<Utc>;

// Whether every field lies in its range, the leap-second rule included.
constexpr bool is_valid(const UtcDateTime& value) noexcept {
    return value.year >= min_year && value.year <= max_year && value.month >= 1 && value.month <= 12 &&
           value.day >= 1 && value.day <= days_in_month(value.year, value.month) && value.hour <= 23 &&
           value.minute <= 59 && value.second <= 59 && value.nanosecond < 2 * nanos_per_second &&
           (value.nanosecond < nanos_per_second || value.second == 59);
}

// Seconds since 1970-01-01T00:00:00; the fraction is dropped and a leap second counts as second 59.
constexpr std::int64_t unix_seconds(const UtcDateTime& value) noexcept {
    return seconds_from_civil(value.year, value.month, value.day, value.hour, value.minute, value.second);
}

// The first and last Unix seconds of the representable years.
inline constexpr std::int64_t first_unix_second = days_from_civil(min_year, 1, 1) * seconds_per_day;
inline constexpr std::int64_t last_unix_second = (days_from_civil(max_year, 12, 31) + 1) * seconds_per_day - 1;

// The UTC date-time `second_of_day` ([0, 86399]) seconds into the day `days` days after 1970-01-01.
constexpr UtcDateTime at_second_of_day(std::int64_t days, std::uint32_t second_of_day,
                                       std::uint32_t nanosecond) noexcept {
    const CivilDate date = civil_from_days(days);
    return UtcDateTime{static_cast<std::int32_t>(date.year),      static_cast<std::uint8_t>(date.month),
                       static_cast<std::uint8_t>(date.day),        static_cast<std::uint8_t>(second_of_day / 3600),
                       static_cast<std::uint8_t>(second_of_day / 60 % 60), static_cast<std::uint8_t>(second_of_day % 60),
                       nanosecond};
}

// The UTC date-time of Unix seconds and a fraction in [0, 2e9); nothing outside the representable years.
constexpr std::optional<UtcDateTime> from_unix(std::int64_t seconds, std::uint32_t nanosecond) noexcept {
    if (seconds < first_unix_second || seconds > last_unix_second) return std::nullopt;
    const std::int64_t days = floor_div(seconds, seconds_per_day);
    return at_second_of_day(days, static_cast<std::uint32_t>(seconds - days * seconds_per_day), nanosecond);
}

// The UTC date-time of a millisecond timestamp (floor division: -1 is 1969-12-31T23:59:59.999).
constexpr std::optional<UtcDateTime> from_unix_ms(std::int64_t milliseconds) noexcept {
    // Counted from the first representable day, every accepted timestamp is a number from 0 to `span`, and one
    // unsigned comparison refuses both sides: a timestamp before that day wraps around to a huge count. The floor
    // division is then an unsigned one, with no sign to correct.
    constexpr std::int64_t per_day = seconds_per_day * 1000;
    static_assert(first_unix_second % seconds_per_day == 0);
    constexpr std::int64_t first_day = first_unix_second / seconds_per_day;  // negative
    constexpr auto first_millisecond = static_cast<std::uint64_t>(first_day * per_day);
    constexpr auto span = static_cast<std::uint64_t>(last_unix_second * 1000 + 999 - first_day * per_day);
    const std::uint64_t since_first_day = static_cast<std::uint64_t>(milliseconds) - first_millisecond;
    if (since_first_day > span) return std::nullopt;
    const std::uint64_t whole_days = since_first_day / per_day;
    const auto of_day = static_cast<std::uint32_t>(since_first_day - whole_days * per_day);  // [0, 86399999]
    return at_second_of_day(static_cast<std::int64_t>(whole_days) + first_day, of_day / 1000, of_day % 1000 * 1'000'000);
}

}  // namespace kavno

#pragma GCC visibility pop
