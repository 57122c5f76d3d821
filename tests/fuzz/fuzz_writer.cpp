// The writer: every valid value of the years 0 to 9999 fits the buffer and scans back to itself.
#include "datetime/rfc3339.hpp"
#include "fuzz.hpp"

using namespace kavno;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    UtcDateTime value;
    value.year = static_cast<std::int32_t>(take<std::uint16_t>(data, size) % 10000);
    value.month = static_cast<std::uint8_t>(take<std::uint8_t>(data, size) % 12 + 1);
    value.day = static_cast<std::uint8_t>(take<std::uint8_t>(data, size) % days_in_month(value.year, value.month) + 1);
    value.hour = static_cast<std::uint8_t>(take<std::uint8_t>(data, size) % 24);
    value.minute = static_cast<std::uint8_t>(take<std::uint8_t>(data, size) % 60);
    value.second = static_cast<std::uint8_t>(take<std::uint8_t>(data, size) % 60);
    value.nanosecond = take<std::uint32_t>(data, size) % (value.second == 59 ? 2 * nanos_per_second : nanos_per_second);
    FUZZ_ASSERT(is_valid(value));
    char buffer[rfc3339_capacity];
    const std::size_t length = write_rfc3339(value, buffer);
    FUZZ_ASSERT(length >= 25 && length <= rfc3339_capacity);
    const auto parsed = parse_rfc3339({buffer, length});
    FUZZ_ASSERT(parsed.ok() && *parsed == value);
    return 0;
}
