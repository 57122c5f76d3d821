// Calendar arithmetic: day counts and millisecond timestamps convert there and back without loss, and the day
// truncation agrees with the nanosecond timestamp computed in 128 bits.
#include "datetime/arithmetic.hpp"
#include "fuzz.hpp"

using namespace kavno;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto milliseconds = take<std::int64_t>(data, size);
    if (const auto value = from_unix_ms(milliseconds)) {
        FUZZ_ASSERT(is_valid(*value));
        FUZZ_ASSERT(unix_seconds(*value) * 1000 + value->nanosecond / 1'000'000 == milliseconds);
        UtcDateTime reading = *value;
        reading.nanosecond += take<std::uint32_t>(data, size) % 1'000'000;  // below the milliseconds
        const __int128 exact = static_cast<__int128>(unix_seconds(reading)) * nanos_per_second + reading.nanosecond;
        const bool fits = exact >= INT64_MIN && exact <= INT64_MAX;
        FUZZ_ASSERT(nanosecond_timestamp(reading).has_value() == fits);
        FUZZ_ASSERT(!fits || *nanosecond_timestamp(reading) == static_cast<std::int64_t>(exact));
        const auto midnight = truncate_to_day(reading);
        FUZZ_ASSERT(midnight.ok() == fits);
        if (fits) {
            const std::int64_t day_start = floor_div(unix_seconds(reading), seconds_per_day) * seconds_per_day;
            FUZZ_ASSERT(*midnight == *from_unix(day_start, 0));
        }
    }
    const std::int64_t first = days_from_civil(min_year, 1, 1);
    const std::int64_t span = days_from_civil(max_year, 12, 31) - first + 1;
    const std::int64_t day = first + static_cast<std::int64_t>(take<std::uint64_t>(data, size) % span);
    const CivilDate date = civil_from_days(day);
    FUZZ_ASSERT(date.month >= 1 && date.month <= 12 && date.day >= 1 && date.day <= days_in_month(date.year, date.month));
    FUZZ_ASSERT(days_from_civil(date.year, date.month, date.day) == day);
    return 0;
}
