// How failed checks show the date values of the code under test.
#pragma once

#include "datetime/arithmetic.hpp"
#include "datetime/rfc3339.hpp"

#include <cstdio>
#include <string>

namespace kavno {

inline std::string describe(const UtcDateTime& value) {
    char text[64];
    std::snprintf(text, sizeof text, "UtcDateTime{%d-%02u-%02uT%02u:%02u:%02u + %uns}", value.year, value.month,
                  value.day, value.hour, value.minute, value.second, value.nanosecond);
    return text;
}

inline std::string describe(const LocalDateTime& value) {
    return "Local" + describe(UtcDateTime{value.year, value.month, value.day, value.hour, value.minute, value.second,
                                          value.nanosecond});
}

inline std::string describe(ParseError error) { return "ParseError \"" + std::string(message(error)) + '"'; }

// What scanning `text` gives, with the text, so that a failed row says which input it was.
inline std::string scanned(std::string_view text) {
    const auto parsed = parse_rfc3339(text);
    return '"' + std::string(text) + "\" reads as " + (parsed ? describe(*parsed) : describe(parsed.error()));
}

inline std::string scanned_as(std::string_view text, const UtcDateTime& value) {
    return '"' + std::string(text) + "\" reads as " + describe(value);
}

inline std::string scanned_as(std::string_view text, ParseError error) {
    return '"' + std::string(text) + "\" reads as " + describe(error);
}

}  // namespace kavno
