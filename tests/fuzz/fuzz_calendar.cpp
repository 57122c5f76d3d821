// Calendar arithmetic: day counts and millisecond timestamps convert there and back without loss.
#include "datetime/utc.hpp"
#include "fuzz.hpp"

using namespace kavno;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto milliseconds = take<std::int64_t>(data, size);
    if (const auto value = from_unix_ms(milliseconds)) {
        FUZZ_ASSERT(is_valid(*value));
        FUZZ_ASSERT(unix_seconds(*value) * 1000 + value->nanosecond / 1'000'000 == milliseconds);
        // Moving by under five seconds stays representable away from the last and first years.
        if (value->year > min_year && value->year < max_year) {
            const auto step = static_cast<std::int64_t>(take<std::uint32_t>(data, size));
            const auto later = subtract_nanoseconds(*value, -step);
            FUZZ_ASSERT(is_valid(later));
            FUZZ_ASSERT(subtract_nanoseconds(later, step) == *value || value->nanosecond >= nanos_per_second);
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
