// Two scanners and a writer, none of which allocates. The exact scanner reads left to right without backtracking
// and reports the first fault met in that order. The common scanner checks the usual shapes whole fields at a
// time (eight bytes as one word) and gives up on anything else, which the exact scanner then reads again; so a
// text either scans the same way through both or is reported by the exact one, fault for fault.
#include "datetime/rfc3339.hpp"

#include "pure/fatal.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace kavno {

namespace {

constexpr ParseError ok{};  // a step that succeeded

constexpr bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') <= 9; }

// The cursor over the text. Every step inlines: a successful scan is straight-line code over the bytes.
class Scanner {
public:
    explicit Scanner(std::string_view text) noexcept : cursor_(text.data()), end_(text.data() + text.size()) {}

    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - cursor_); }
    bool at_end() const noexcept { return cursor_ == end_; }
    char peek() const noexcept { return *cursor_; }
    const char* here() const noexcept { return cursor_; }
    void skip(std::size_t count = 1) noexcept { cursor_ += count; }

    // A digit field: too few bytes is TooShort whatever they are, a non-digit is Invalid.
    template <int Width>
    [[gnu::always_inline]] ParseError digits(unsigned& value) noexcept {
        if (remaining() < Width) return ParseError::TooShort;
        unsigned result = 0;
        for (int i = 0; i < Width; ++i) {
            const auto digit = static_cast<unsigned>(static_cast<unsigned char>(cursor_[i]) - '0');
            if (digit > 9) return ParseError::Invalid;
            result = result * 10 + digit;
        }
        cursor_ += Width;
        value = result;
        return ok;
    }

    // A digit field whose value must lie in [low, high], checked as soon as it is read.
    template <int Width>
    [[gnu::always_inline]] ParseError field(unsigned& value, unsigned low, unsigned high) noexcept {
        const ParseError step = digits<Width>(value);
        if (step != ok) return step;
        return value >= low && value <= high ? ok : ParseError::OutOfRange;
    }

    [[gnu::always_inline]] ParseError literal(char expected) noexcept {
        if (at_end()) return ParseError::TooShort;
        if (*cursor_ != expected) return ParseError::Invalid;
        ++cursor_;
        return ok;
    }

private:
    const char* cursor_;
    const char* end_;
};

#define KAVNO_STEP(expression)                                        \
    do {                                                              \
        if (const ParseError step = (expression); step != ok) return step; \
    } while (0)

// The offset after the seconds and fraction, in seconds east of UTC.
[[gnu::always_inline]] inline ParseError scan_offset(Scanner& scanner, std::int32_t& offset) noexcept {
    if (scanner.at_end()) return ParseError::TooShort;
    const char first = scanner.peek();
    if (first == 'Z' || first == 'z') {
        scanner.skip();
        offset = 0;
        return ok;
    }
    int sign = 0;
    if (first == '+') {
        sign = 1;
        scanner.skip();
    } else if (first == '-') {
        sign = -1;
        scanner.skip();
    } else if (scanner.remaining() >= 3 && scanner.here()[0] == '\xE2' && scanner.here()[1] == '\x88' &&
               scanner.here()[2] == '\x92') {  // U+2212 MINUS SIGN
        sign = -1;
        scanner.skip(3);
    } else {
        return ParseError::Invalid;
    }
    unsigned hours = 0;
    KAVNO_STEP(scanner.digits<2>(hours));
    KAVNO_STEP(scanner.literal(':'));
    if (scanner.remaining() < 2) return ParseError::TooShort;
    const char tens = scanner.here()[0];
    const char units = scanner.here()[1];
    if (!is_digit(tens) || !is_digit(units)) return ParseError::Invalid;
    if (tens > '5') return ParseError::OutOfRange;
    scanner.skip(2);
    const auto magnitude = static_cast<std::int32_t>(hours * 3600 + static_cast<unsigned>(tens - '0') * 600 +
                                                     static_cast<unsigned>(units - '0') * 60);
    if (magnitude > 86340) return ParseError::OutOfRange;  // beyond 23:59
    offset = sign * magnitude;
    return ok;
}

// The value of fields both scanners have read and checked. A leap second (60, at any hour and minute) is kept
// as second 59 with a second's worth of nanoseconds more.
constexpr OffsetDateTime checked_fields(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                                        unsigned second, std::uint32_t nanosecond, std::int32_t offset) noexcept {
    const bool leap_second = second == 60;
    return OffsetDateTime{
        LocalDateTime{static_cast<std::int32_t>(year), static_cast<std::uint8_t>(month), static_cast<std::uint8_t>(day),
                      static_cast<std::uint8_t>(hour), static_cast<std::uint8_t>(minute),
                      static_cast<std::uint8_t>(leap_second ? 59 : second),
                      leap_second ? nanosecond + nanos_per_second : nanosecond},
        offset};
}

ParseError scan(std::string_view text, OffsetDateTime& result) noexcept {
    Scanner scanner(text);
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    KAVNO_STEP(scanner.digits<4>(year));  // 0000 to 9999, all accepted
    KAVNO_STEP(scanner.literal('-'));
    KAVNO_STEP(scanner.field<2>(month, 1, 12));
    KAVNO_STEP(scanner.literal('-'));
    KAVNO_STEP(scanner.field<2>(day, 1, 31));
    if (scanner.at_end()) return ParseError::TooShort;
    if (const char separator = scanner.peek(); separator != 'T' && separator != 't' && separator != ' ') {
        return ParseError::Invalid;
    }
    scanner.skip();
    KAVNO_STEP(scanner.field<2>(hour, 0, 23));
    KAVNO_STEP(scanner.literal(':'));
    KAVNO_STEP(scanner.field<2>(minute, 0, 59));
    KAVNO_STEP(scanner.literal(':'));
    KAVNO_STEP(scanner.field<2>(second, 0, 60));

    std::uint32_t nanosecond = 0;
    if (!scanner.at_end() && scanner.peek() == '.') {
        scanner.skip();
        if (scanner.at_end()) return ParseError::TooShort;
        if (!is_digit(scanner.peek())) return ParseError::Invalid;
        int read = 0;
        for (; read < 9 && !scanner.at_end() && is_digit(scanner.peek()); ++read, scanner.skip()) {
            nanosecond = nanosecond * 10 + static_cast<std::uint32_t>(scanner.peek() - '0');
        }
        for (int pad = read; pad < 9; ++pad) nanosecond *= 10;
        while (!scanner.at_end() && is_digit(scanner.peek())) scanner.skip();  // cut, never rounded
    }

    std::int32_t offset = 0;
    KAVNO_STEP(scan_offset(scanner, offset));
    if (!scanner.at_end()) return ParseError::TooLong;
    if (day > days_in_month(year, month)) return ParseError::OutOfRange;  // the calendar date, once all is read

    result = checked_fields(year, month, day, hour, minute, second, nanosecond, offset);
    return ok;
}

#undef KAVNO_STEP

// --- the common scanner ----------------------------------------------------------------------------------------

// Eight bytes as one word, the first byte lowest.
std::uint64_t load8(const char* bytes) noexcept {
    std::uint64_t word;
    std::memcpy(&word, bytes, 8);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

constexpr std::uint64_t each(std::uint8_t byte) noexcept { return 0x0101010101010101ull * byte; }

// One 0xFF byte per position listed, the positions counted from the first (lowest) byte.
constexpr std::uint64_t bytes_at(std::initializer_list<int> positions) noexcept {
    std::uint64_t mask = 0;
    for (int position : positions) mask |= std::uint64_t{0xFF} << (8 * position);
    return mask;
}

// Bit 7 of each byte that is an ASCII digit. Worked on seven-bit values, so no byte carries into the next.
constexpr std::uint64_t digit_bits(std::uint64_t word) noexcept {
    const std::uint64_t low = word & each(0x7F);
    const std::uint64_t at_least_0 = low + each(0x80 - '0');  // bit 7 set where low >= '0'
    const std::uint64_t above_9 = low + each(0x80 - '9' - 1);  // bit 7 set where low > '9'
    return at_least_0 & ~above_9 & ~word & each(0x80);
}

// Non-zero unless the bytes selected by `digits` are digits and those selected by `literals` equal `expected`. A
// byte is a digit when neither b - '0' nor b + (0x80 - ':') sets its bit 7. Only the selected bytes take part, so
// the separators between them borrow nothing; a byte that is no digit may borrow or carry into the next one, but
// it fails the test itself. Faults of several words are or-ed together and tested once.
constexpr std::uint64_t mismatch(std::uint64_t word, std::uint64_t digits, std::uint64_t literals,
                                 std::uint64_t expected) noexcept {
    const std::uint64_t selected = word & digits;
    const std::uint64_t below = selected - (each('0') & digits);
    const std::uint64_t above = selected + (each(0x80 - ':') & digits);
    return ((below | above | selected) & each(0x80)) | ((word & literals) ^ expected);
}

// The two-digit numbers that start at each byte of a word of digit values (bytes not selected are zero, so
// nothing carries): byte i of the result is 10 * d[i] + d[i + 1].
constexpr std::uint64_t pairs(std::uint64_t word, std::uint64_t digits) noexcept {
    const std::uint64_t values = (word & digits) - (each('0') & digits);  // digits only: nothing borrows
    return values * 10 + (values >> 8);
}

constexpr unsigned byte_of(std::uint64_t word, int position) noexcept {
    return static_cast<unsigned>(word >> (8 * position)) & 0xFF;
}

// Eight digit values (first digit lowest, zero bytes standing for trailing zeros) as one number.
constexpr std::uint32_t eight_digits(std::uint64_t values) noexcept {
    values = values * 10 + (values >> 8);                                              // pairs in bytes 0, 2, 4, 6
    values = ((values & 0x000000FF000000FF) * (100 + (1000000ull << 32)) +
              ((values >> 16) & 0x000000FF000000FF) * (1 + (10000ull << 32))) >> 32;  // the whole number
    return static_cast<std::uint32_t>(values);
}

constexpr bool is_digit_byte(char c) noexcept { return is_digit(c); }

}  // namespace

// Scans "YYYY-MM-DD(T|t| )hh:mm:ss[.f+](Z|z|(+|-)hh:mm)" with every field in range and a real calendar date;
// false for anything else, which the exact scanner then reads.
bool scan_rfc3339_common(std::string_view text, OffsetDateTime& result) noexcept {
    const std::size_t size = text.size();
    if (size < 20) return false;  // the shortest accepted text, "YYYY-MM-DDThh:mm:ssZ"
    const char* p = text.data();
    const std::uint64_t date = load8(p);        // YYYY-MM-
    const std::uint64_t clock = load8(p + 8);   // DD?hh:mm
    const std::uint64_t second_word = load8(p + 12);  // bytes 12 to 19: "mm:ss" and what follows, in bytes 4 to 6
    constexpr std::uint64_t date_digits = bytes_at({0, 1, 2, 3, 5, 6});
    constexpr std::uint64_t clock_digits = bytes_at({0, 1, 3, 4, 6, 7});
    constexpr std::uint64_t second_digits = bytes_at({5, 6});
    const std::uint64_t faults =
        mismatch(date, date_digits, bytes_at({4, 7}), (std::uint64_t{'-'} << 32) | (std::uint64_t{'-'} << 56)) |
        mismatch(clock, clock_digits, bytes_at({5}), std::uint64_t{':'} << 40) |
        mismatch(second_word, second_digits, bytes_at({4}), std::uint64_t{':'} << 32);
    if (faults != 0) return false;
    if (const char separator = p[10]; (separator | 0x20) != 't' && separator != ' ') return false;
    const std::uint64_t date_pairs = pairs(date, date_digits);
    const std::uint64_t clock_pairs = pairs(clock, clock_digits);
    const unsigned year = byte_of(date_pairs, 0) * 100 + byte_of(date_pairs, 2);
    const unsigned month = byte_of(date_pairs, 5);
    const unsigned day = byte_of(clock_pairs, 0);
    const unsigned hour = byte_of(clock_pairs, 3);
    const unsigned minute = byte_of(clock_pairs, 6);
    const unsigned second = byte_of(pairs(second_word, second_digits), 5);
    if (month - 1 > 11 || day - 1 > 30 || hour > 23 || minute > 59 || second > 60) return false;

    std::size_t at = 19;
    std::uint32_t nanosecond = 0;
    if (p[at] == '.') {
        ++at;
        char tail[8] = {};  // zeros are no digits: the fraction ends there
        const std::uint64_t window = size - at >= 8 ? load8(p + at) : (std::memcpy(tail, p + at, size - at), load8(tail));
        const std::uint64_t non_digits = ~digit_bits(window) & each(0x80);
        const int count = non_digits == 0 ? 8 : std::countr_zero(non_digits) / 8;  // leading digits, [0, 8]
        if (count == 0) return false;
        const std::uint64_t kept = count == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * count)) - 1;
        nanosecond = eight_digits((window & kept) - (each('0') & kept)) * 10;  // nine digits, the missing ones zero
        at += static_cast<std::size_t>(count);
        if (count == 8 && at < size && is_digit_byte(p[at])) nanosecond += static_cast<std::uint32_t>(p[at++] - '0');
        while (at < size && is_digit_byte(p[at])) ++at;  // digits beyond the ninth are cut, never rounded
    }

    std::int32_t offset = 0;
    const std::size_t rest = size - at;
    if (rest == 1 && (p[at] | 0x20) == 'z') {
        // offset 0
    } else if (rest == 6 && (p[at] == '+' || p[at] == '-')) {
        // The last eight bytes hold the offset in bytes 2 to 7: sign, hh, ':', mm.
        const std::uint64_t tail = load8(p + size - 8);
        constexpr std::uint64_t offset_digits = bytes_at({3, 4, 6, 7});
        if (mismatch(tail, offset_digits, bytes_at({5}), std::uint64_t{':'} << 40) != 0 || p[at + 4] > '5') return false;
        const std::uint64_t offset_pairs = pairs(tail, offset_digits);
        const auto magnitude = static_cast<std::int32_t>(byte_of(offset_pairs, 3) * 3600 + byte_of(offset_pairs, 6) * 60);
        if (magnitude > 86340) return false;  // beyond 23:59
        offset = p[at] == '-' ? -magnitude : magnitude;
    } else {
        return false;
    }
    if (day > 28 && day > days_in_month(year, month)) return false;

    result = checked_fields(year, month, day, hour, minute, second, nanosecond, offset);
    return true;
}

// Kept out of line: the common scanner's callers stay small, and this runs only for unusual or faulty text.
[[gnu::noinline, gnu::cold]] Result<OffsetDateTime, ParseError> scan_rfc3339_exact(std::string_view text) noexcept {
    OffsetDateTime result;
    if (const ParseError step = scan(text, result); step != ok) return Unexpected(step);
    return result;
}

Result<OffsetDateTime, ParseError> scan_rfc3339(std::string_view text) noexcept {
    OffsetDateTime result;
    if (scan_rfc3339_common(text, result)) [[likely]] return result;
    return scan_rfc3339_exact(text);
}

Result<UtcDateTime, ParseError> parse_rfc3339(std::string_view text) noexcept {
    OffsetDateTime scanned;
    if (scan_rfc3339_common(text, scanned)) [[likely]] return to_utc(scanned);
    const auto exact = scan_rfc3339_exact(text);
    if (!exact) return Unexpected(exact.error());
    return to_utc(*exact);
}

namespace {

// "00" to "99": two digits a step, where a digit a step costs a division each.
constexpr auto digit_pairs = [] {
    std::array<char, 200> table{};
    for (int i = 0; i < 100; ++i) {
        table[2 * i] = static_cast<char>('0' + i / 10);
        table[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return table;
}();

char* put2(char* out, std::uint32_t value) noexcept {  // value in [0, 99]
    std::memcpy(out, &digit_pairs[2 * value], 2);
    return out + 2;
}

char* put1(char* out, std::uint32_t value) noexcept {  // value in [0, 9]
    *out = static_cast<char>('0' + value);
    return out + 1;
}

}  // namespace

std::size_t rfc3339_length(const UtcDateTime& value) noexcept {
    const std::uint32_t fraction = value.nanosecond % nanos_per_second;
    if (fraction == 0) return 25;
    if (fraction % 1'000'000 == 0) return 29;
    return fraction % 1000 == 0 ? 32 : 35;
}

std::size_t write_rfc3339(const UtcDateTime& value, char* out) noexcept {
    if (value.year < 0 || value.year > 9999) fatal("date text can only be written for years 0 to 9999");
    std::uint32_t second = value.second;
    std::uint32_t fraction = value.nanosecond;
    if (fraction >= nanos_per_second) {  // a leap second is written as second 60
        second = 60;
        fraction -= nanos_per_second;
    }
    const auto year = static_cast<std::uint32_t>(value.year);
    char* cursor = put2(out, year / 100);
    cursor = put2(cursor, year % 100);
    *cursor++ = '-';
    cursor = put2(cursor, value.month);
    *cursor++ = '-';
    cursor = put2(cursor, value.day);
    *cursor++ = 'T';
    cursor = put2(cursor, value.hour);
    *cursor++ = ':';
    cursor = put2(cursor, value.minute);
    *cursor++ = ':';
    cursor = put2(cursor, second);
    if (fraction != 0) {
        *cursor++ = '.';
        if (fraction % 1'000'000 == 0) {  // .fff
            const std::uint32_t millis = fraction / 1'000'000;
            cursor = put2(put1(cursor, millis / 100), millis % 100);
        } else if (fraction % 1000 == 0) {  // .ffffff
            const std::uint32_t micros = fraction / 1000;
            cursor = put2(put2(put2(cursor, micros / 10'000), micros / 100 % 100), micros % 100);
        } else {  // .fffffffff
            const std::uint32_t rest = fraction % 100'000'000;
            cursor = put1(cursor, fraction / 100'000'000);
            cursor = put2(put2(put2(put2(cursor, rest / 1'000'000), rest / 10'000 % 100), rest / 100 % 100), rest % 100);
        }
    }
    std::memcpy(cursor, "+00:00", 6);
    return static_cast<std::size_t>(cursor + 6 - out);
}

}  // namespace kavno
