// Operations on the UTC date-time beyond its fields, and the offset date-time that text with an offset reads
// as. Pure: no Python header.
#pragma once

#include "kavno/datetime.hpp"

#include <cstdint>

namespace kavno {

// A local wall-clock reading with a fixed offset east of UTC; |offset_seconds| < 86400.
struct OffsetDateTime {
    UtcDateTime local;
    std::int32_t offset_seconds = 0;
};

// The instant `nanoseconds` earlier. The caller keeps the result inside the representable years; a leap second
// moved by a non-zero duration becomes an ordinary reading.
constexpr UtcDateTime subtract_nanoseconds(const UtcDateTime& value, std::int64_t nanoseconds) noexcept {
    if (nanoseconds == 0) return value;
    const std::int64_t whole = floor_div(nanoseconds, nanos_per_second);
    const std::int64_t part = nanoseconds - whole * nanos_per_second;  // [0, 1e9)
    std::int64_t fraction = static_cast<std::int64_t>(value.nanosecond) - part;  // (-1e9, 2e9)
    std::int64_t seconds = unix_seconds(value) - whole + floor_div(fraction, nanos_per_second);
    fraction = floor_mod(fraction, nanos_per_second);
    return *from_unix(seconds, static_cast<std::uint32_t>(fraction));
}

// The same instant read in UTC. A leap second stays a leap second: a whole-minute offset keeps second 59 of the
// local minute second 59 of the UTC minute. Offsets are below a day, so a whole-minute one moves the date by at
// most one day, which is done on the fields; any other offset goes through Unix seconds.
constexpr UtcDateTime to_utc(const OffsetDateTime& value) noexcept {
    if (value.offset_seconds == 0) return value.local;
    if (value.offset_seconds % 60 != 0) {
        return *from_unix(unix_seconds(value.local) - value.offset_seconds, value.local.nanosecond);
    }
    UtcDateTime utc = value.local;
    int minute_of_day = utc.hour * 60 + utc.minute - value.offset_seconds / 60;  // (-1440, 2880)
    if (minute_of_day < 0) {
        minute_of_day += 1440;
        if (--utc.day == 0) {
            if (--utc.month == 0) {
                utc.month = 12;
                --utc.year;
            }
            utc.day = static_cast<std::uint8_t>(days_in_month(utc.year, utc.month));
        }
    } else if (minute_of_day >= 1440) {
        minute_of_day -= 1440;
        if (++utc.day > days_in_month(utc.year, utc.month)) {
            utc.day = 1;
            if (++utc.month == 13) {
                utc.month = 1;
                ++utc.year;
            }
        }
    }
    utc.hour = static_cast<std::uint8_t>(minute_of_day / 60);
    utc.minute = static_cast<std::uint8_t>(minute_of_day % 60);
    return utc;
}

}  // namespace kavno
