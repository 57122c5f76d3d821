// Date arithmetic beyond the UTC date-time's own fields: a local reading with an offset and the UTC instant it
// denotes, and the truncation of a UTC date-time to its day, allowed only where its 64-bit nanosecond timestamp
// exists. Dates move only through day counts (kavno/calendar.hpp), never by rolling months and years on the
// fields. Pure: no Python.
#pragma once

#include "kavno/datetime.hpp"
#include "pure/result.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace kavno {

// A wall-clock reading with no zone of its own, as date-time text gives it before its offset is applied: the
// fields of the UTC date-time, years [0, 9999] as scanned.
struct Local {};
using LocalDateTime = WallClock<Local>;

// A local reading and its offset east of UTC: whole minutes, at most 23:59 either way.
struct OffsetDateTime {
    LocalDateTime local;
    std::int32_t offset_seconds = 0;  // [-86340, 86340], a multiple of 60
};

// The same instant read in UTC: the local reading less the offset. The offset is whole minutes below a day, so
// it moves the time of day and carries the date by at most one day, through the day count like every other date
// move. A leap second stays one: second 59 of the local minute is second 59 of the UTC minute.
constexpr UtcDateTime to_utc(const OffsetDateTime& value) noexcept {
    const LocalDateTime& local = value.local;
    UtcDateTime utc{local.year, local.month, local.day, local.hour, local.minute, local.second, local.nanosecond};
    if (value.offset_seconds == 0) return utc;  // "Z": the reading is already UTC
    int minute = local.hour * 60 + local.minute - value.offset_seconds / 60;  // (-1440, 2880)
    const int carry = minute < 0 ? -1 : minute >= 1440 ? 1 : 0;             // the days the date moves
    minute -= carry * 1440;                                                   // [0, 1439]
    utc.hour = static_cast<std::uint8_t>(minute / 60);
    utc.minute = static_cast<std::uint8_t>(minute % 60);
    if (carry != 0) {
        const CivilDate date = civil_from_days(days_from_civil(local.year, local.month, local.day) + carry);
        utc.year = static_cast<std::int32_t>(date.year);
        utc.month = static_cast<std::uint8_t>(date.month);
        utc.day = static_cast<std::uint8_t>(date.day);
    }
    return utc;
}

// The failure of the day truncation.
enum class TruncationError : std::uint8_t { TimestampExceedsLimit };

constexpr std::string_view message(TruncationError) noexcept { return "timestamp exceeds num_nanoseconds limit"; }

// Nanoseconds since 1970-01-01T00:00:00 UTC, or nothing when that count does not fit in 64 bits (outside
// 1677-09-21T00:12:43.145224192 to 2262-04-11T23:47:16.854775807). Before 1970 one second is borrowed, so that
// only the final value has to fit.
constexpr std::optional<std::int64_t> nanosecond_timestamp(const UtcDateTime& value) noexcept {
    const std::int64_t seconds = unix_seconds(value);
    const auto fraction = static_cast<std::int64_t>(value.nanosecond);  // [0, 2e9)
    constexpr std::int64_t second = nanos_per_second;
    std::int64_t scaled = 0;
    std::int64_t total = 0;
    const bool overflow = seconds < 0 ? __builtin_mul_overflow(seconds + 1, second, &scaled) ||
                                            __builtin_add_overflow(scaled, fraction - second, &total)
                                      : __builtin_mul_overflow(seconds, second, &scaled) ||
                                            __builtin_add_overflow(scaled, fraction, &total);
    if (overflow) return std::nullopt;
    return total;
}

// Midnight at the start of the value's UTC day, for a value whose nanosecond timestamp fits in 64 bits. Rounds
// down, before 1970 as well; the result may lie before the first nanosecond timestamp (1677-09-21T05:00 gives
// 1677-09-21T00:00), since the day, not the timestamp, is what is kept.
constexpr Result<UtcDateTime, TruncationError> truncate_to_day(const UtcDateTime& value) noexcept {
    // The years 1678 to 2261 lie wholly inside the nanosecond timestamps: no count to check there.
    const bool inside = value.year >= 1678 && value.year <= 2261;
    if (!inside && !nanosecond_timestamp(value)) return Unexpected(TruncationError::TimestampExceedsLimit);
    return UtcDateTime{value.year, value.month, value.day};
}

}  // namespace kavno
