// The writer: every valid value of the years 0 to 9999 is written as snprintf writes it, at the length announced
// beforehand, and scans back to itself.
#include "datetime/rfc3339.hpp"
#include "fuzz.hpp"

#include <cstdio>
#include <string_view>

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
    FUZZ_ASSERT(length == rfc3339_length(value));
    const bool leap = value.nanosecond >= nanos_per_second;
    const std::uint32_t fraction = value.nanosecond % nanos_per_second;
    char expected[64];
    int written = std::snprintf(expected, sizeof expected, "%04d-%02u-%02uT%02u:%02u:%02u", value.year, value.month,
                             value.day, value.hour, value.minute, leap ? 60u : value.second);
    if (fraction % 1'000'000 == 0 && fraction != 0) {
        written += std::snprintf(expected + written, sizeof expected - written, ".%03u", fraction / 1'000'000);
    } else if (fraction % 1000 == 0 && fraction != 0) {
        written += std::snprintf(expected + written, sizeof expected - written, ".%06u", fraction / 1000);
    } else if (fraction != 0) {
        written += std::snprintf(expected + written, sizeof expected - written, ".%09u", fraction);
    }
    written += std::snprintf(expected + written, sizeof expected - written, "+00:00");
    FUZZ_ASSERT(std::string_view(buffer, length) == std::string_view(expected, static_cast<std::size_t>(written)));
    const auto parsed = parse_rfc3339({buffer, length});
    FUZZ_ASSERT(parsed.ok() && *parsed == value);
    return 0;
}
