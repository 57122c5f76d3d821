// The scanner: any input ends in a value or one of the four failure kinds; a value that can be written is
// written and scanned again to the same value.
#include "datetime/rfc3339.hpp"
#include "fuzz.hpp"

using namespace kavno;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = parse_rfc3339(text);
    if (!parsed) {
        const auto kind = static_cast<int>(parsed.error());
        FUZZ_ASSERT(kind >= 0 && kind <= 3);
        return 0;
    }
    FUZZ_ASSERT(is_valid(*parsed));
    // The conversion on fields agrees with the one through Unix seconds.
    const auto scanned = scan_rfc3339(text);
    FUZZ_ASSERT(scanned.ok());
    FUZZ_ASSERT(*from_unix(unix_seconds(scanned->local) - scanned->offset_seconds, scanned->local.nanosecond) == *parsed);
    if (parsed->year >= 0 && parsed->year <= 9999) {
        char buffer[rfc3339_capacity];
        const std::size_t length = write_rfc3339(*parsed, buffer);
        FUZZ_ASSERT(length <= rfc3339_capacity);
        const auto again = parse_rfc3339({buffer, length});
        FUZZ_ASSERT(again.ok() && *again == *parsed);
    }
    return 0;
}
