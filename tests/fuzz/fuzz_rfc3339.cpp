// The scanner: the two scanners agree; any input ends in a value or one of the four failure kinds; the UTC value
// agrees with the local reading moved by its offset on the fields (an independent day roll); a value that can be
// written is written and scanned again to the same value.
#include "datetime/rfc3339.hpp"
#include "fuzz.hpp"

using namespace kavno;

namespace {

// The offset applied minute by minute on the fields, rolling the date by hand: the reference for to_utc.
UtcDateTime rolled(const OffsetDateTime& value) {
    const LocalDateTime& local = value.local;
    UtcDateTime utc{local.year, local.month, local.day, local.hour, local.minute, local.second, local.nanosecond};
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // The word-at-a-time scanner and the byte-by-byte one agree on every text, value for value, fault for fault.
    const auto fast = scan_rfc3339(text);
    const auto exact = scan_rfc3339_exact(text);
    FUZZ_ASSERT(fast.ok() == exact.ok());
    if (fast.ok()) {
        FUZZ_ASSERT(fast->local == exact->local && fast->offset_seconds == exact->offset_seconds);
    } else {
        FUZZ_ASSERT(fast.error() == exact.error());
    }
    const auto parsed = parse_rfc3339(text);
    if (!parsed) {
        const ParseError kind = parsed.error();
        FUZZ_ASSERT(kind == ParseError::OutOfRange || kind == ParseError::Invalid || kind == ParseError::TooShort ||
                    kind == ParseError::TooLong);
        return 0;
    }
    FUZZ_ASSERT(is_valid(*parsed));
    const auto scanned = scan_rfc3339(text);
    FUZZ_ASSERT(scanned.ok() && scanned->offset_seconds % 60 == 0);
    FUZZ_ASSERT(rolled(*scanned) == *parsed);
    if (parsed->year >= 0 && parsed->year <= 9999) {
        char buffer[rfc3339_capacity];
        const std::size_t length = write_rfc3339(*parsed, buffer);
        FUZZ_ASSERT(length <= rfc3339_capacity);
        const auto again = parse_rfc3339({buffer, length});
        FUZZ_ASSERT(again.ok() && *again == *parsed);
    }
    return 0;
}
