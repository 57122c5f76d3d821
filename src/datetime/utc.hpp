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

// The same instant read in UTC. A leap second stays a leap second: offsets are whole minutes, so second 59 of
// the local minute is second 59 of the UTC minute.
constexpr UtcDateTime to_utc(const OffsetDateTime& value) noexcept {
    return *from_unix(unix_seconds(value.local) - value.offset_seconds, value.local.nanosecond);
}

}  // namespace kavno
