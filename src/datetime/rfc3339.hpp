// The date text profile: an RFC 3339 date-time read in one pass, and written into one fixed buffer. Pure.
#pragma once

#include "datetime/arithmetic.hpp"
#include "pure/result.hpp"

#include <cstddef>
#include <string_view>

namespace kavno {

// The four ways a scan can fail. As with std::errc, the value-initialised ParseError{} means no failure: each
// step of the scanner gives it when it succeeds.
enum class ParseError : std::uint8_t { OutOfRange = 1, Invalid, TooShort, TooLong };

constexpr std::string_view message(ParseError error) noexcept {
    switch (error) {
        case ParseError::OutOfRange: return "input is out of range";
        case ParseError::TooShort: return "premature end of input";
        case ParseError::TooLong: return "trailing input";
        default: return "input contains invalid characters";
    }
}

// Scans "YYYY-MM-DD(T|t| )hh:mm:ss[.f+](Z|z|±hh:mm)", each range checked as soon as its field is read, the
// calendar date checked last. A second of 60 is held as 59 with one more second of fraction.
Result<OffsetDateTime, ParseError> scan_rfc3339(std::string_view text) noexcept;

// The two halves of scan_rfc3339, apart for the tests. The common scanner takes the usual shapes whole fields at
// a time and declines anything else (false); the exact scanner reads byte by byte and finds the first fault.
bool scan_rfc3339_common(std::string_view text, OffsetDateTime& result) noexcept;
Result<OffsetDateTime, ParseError> scan_rfc3339_exact(std::string_view text) noexcept;

// scan_rfc3339, then the same instant in UTC.
Result<UtcDateTime, ParseError> parse_rfc3339(std::string_view text) noexcept;

// The longest text a Python datetime gives is 32 bytes ("2024-01-02T03:04:05.123456+00:00"); nine fraction
// digits, which only native values can carry, need 35.
inline constexpr std::size_t rfc3339_capacity = 35;

// The length of the text write_rfc3339 gives for `value`: 25, 29, 32 or 35 bytes.
std::size_t rfc3339_length(const UtcDateTime& value) noexcept;

// Writes "YYYY-MM-DDThh:mm:ss[.fff|.ffffff|.fffffffff]+00:00" (a leap second as second 60) into `out`, which has
// room for rfc3339_length(value) bytes, and gives that length. The year must lie in [0, 9999].
std::size_t write_rfc3339(const UtcDateTime& value, char* out) noexcept;

}  // namespace kavno
