// The scanner reads left to right without backtracking and reports the first fault met in that order; the
// writer fills a fixed buffer. Neither allocates.
#include "datetime/rfc3339.hpp"

#include "boundary/fatal.hpp"

namespace kavno {

namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool within(unsigned value, unsigned low, unsigned high) noexcept { return value >= low && value <= high; }

class Scanner {
public:
    explicit Scanner(std::string_view text) noexcept : cursor_(text.data()), end_(text.data() + text.size()) {}

    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - cursor_); }
    bool at_end() const noexcept { return cursor_ == end_; }
    char peek() const noexcept { return *cursor_; }
    void skip(std::size_t count = 1) noexcept { cursor_ += count; }
    const char* here() const noexcept { return cursor_; }

    // A digit field: too few bytes is TooShort whatever they are, a non-digit is Invalid.
    template <int Width>
    Result<unsigned, ParseError> digits() noexcept {
        if (remaining() < Width) return Unexpected(ParseError::TooShort);
        unsigned value = 0;
        for (int i = 0; i < Width; ++i) {
            if (!is_digit(cursor_[i])) return Unexpected(ParseError::Invalid);
            value = value * 10 + static_cast<unsigned>(cursor_[i] - '0');
        }
        cursor_ += Width;
        return value;
    }

    Result<Done, ParseError> literal(char expected) noexcept {
        if (at_end()) return Unexpected(ParseError::TooShort);
        if (*cursor_ != expected) return Unexpected(ParseError::Invalid);
        ++cursor_;
        return Done{};
    }

private:
    const char* cursor_;
    const char* end_;
};

#define KAVNO_TRY(target, expression)                                  \
    auto target##_result = (expression);                               \
    if (!target##_result) return Unexpected(target##_result.error());  \
    [[maybe_unused]] const auto target = *target##_result

#define KAVNO_TRY_FIELD(target, width, low, high)                 \
    KAVNO_TRY(target, scanner.digits<width>());                   \
    if (!within(target, low, high)) return Unexpected(ParseError::OutOfRange)

// The offset after the seconds and fraction, in seconds east of UTC.
Result<std::int32_t, ParseError> scan_offset(Scanner& scanner) noexcept {
    if (scanner.at_end()) return Unexpected(ParseError::TooShort);
    const char first = scanner.peek();
    if (first == 'Z' || first == 'z') {
        scanner.skip();
        return 0;
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
        return Unexpected(ParseError::Invalid);
    }
    KAVNO_TRY(hours, scanner.digits<2>());
    KAVNO_TRY(colon, scanner.literal(':'));
    if (scanner.remaining() < 2) return Unexpected(ParseError::TooShort);
    const char tens = scanner.here()[0];
    const char units = scanner.here()[1];
    if (!is_digit(tens) || !is_digit(units)) return Unexpected(ParseError::Invalid);
    if (tens > '5') return Unexpected(ParseError::OutOfRange);
    scanner.skip(2);
    const auto magnitude = static_cast<std::int32_t>(hours * 3600 + static_cast<unsigned>(tens - '0') * 600 +
                                                     static_cast<unsigned>(units - '0') * 60);
    if (magnitude > 86340) return Unexpected(ParseError::OutOfRange);  // beyond 23:59
    return sign * magnitude;
}

}  // namespace

Result<OffsetDateTime, ParseError> scan_rfc3339(std::string_view text) noexcept {
    Scanner scanner(text);
    KAVNO_TRY(year, scanner.digits<4>());
    KAVNO_TRY(dash1, scanner.literal('-'));
    KAVNO_TRY_FIELD(month, 2, 1u, 12u);
    KAVNO_TRY(dash2, scanner.literal('-'));
    KAVNO_TRY_FIELD(day, 2, 1u, 31u);
    if (scanner.at_end()) return Unexpected(ParseError::TooShort);
    if (const char separator = scanner.peek(); separator != 'T' && separator != 't' && separator != ' ') {
        return Unexpected(ParseError::Invalid);
    }
    scanner.skip();
    KAVNO_TRY_FIELD(hour, 2, 0u, 23u);
    KAVNO_TRY(colon1, scanner.literal(':'));
    KAVNO_TRY_FIELD(minute, 2, 0u, 59u);
    KAVNO_TRY(colon2, scanner.literal(':'));
    KAVNO_TRY_FIELD(second, 2, 0u, 60u);

    std::uint32_t nanosecond = 0;
    if (!scanner.at_end() && scanner.peek() == '.') {
        scanner.skip();
        if (scanner.at_end()) return Unexpected(ParseError::TooShort);
        if (!is_digit(scanner.peek())) return Unexpected(ParseError::Invalid);
        int read = 0;
        for (; read < 9 && !scanner.at_end() && is_digit(scanner.peek()); ++read, scanner.skip()) {
            nanosecond = nanosecond * 10 + static_cast<std::uint32_t>(scanner.peek() - '0');
        }
        for (int pad = read; pad < 9; ++pad) nanosecond *= 10;
        while (!scanner.at_end() && is_digit(scanner.peek())) scanner.skip();  // cut, never rounded
    }

    KAVNO_TRY(offset, scan_offset(scanner));
    if (!scanner.at_end()) return Unexpected(ParseError::TooLong);
    if (day > days_in_month(year, month)) return Unexpected(ParseError::OutOfRange);

    OffsetDateTime result;
    result.local = UtcDateTime{static_cast<std::int32_t>(year), static_cast<std::uint8_t>(month),
                               static_cast<std::uint8_t>(day),  static_cast<std::uint8_t>(hour),
                               static_cast<std::uint8_t>(minute), static_cast<std::uint8_t>(second), nanosecond};
    if (second == 60) {  // a leap second, at any hour and minute
        result.local.second = 59;
        result.local.nanosecond += nanos_per_second;
    }
    result.offset_seconds = offset;
    return result;
}

#undef KAVNO_TRY_FIELD
#undef KAVNO_TRY

Result<UtcDateTime, ParseError> parse_rfc3339(std::string_view text) noexcept {
    auto scanned = scan_rfc3339(text);
    if (!scanned) return Unexpected(scanned.error());
    return to_utc(*scanned);
}

namespace {

template <int Width>
char* put_digits(char* out, std::uint32_t value) noexcept {
    for (int i = Width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + Width;
}

}  // namespace

std::size_t write_rfc3339(const UtcDateTime& value, char (&out)[rfc3339_capacity]) noexcept {
    if (value.year < 0 || value.year > 9999) fatal("date text can only be written for years 0 to 9999");
    std::uint32_t second = value.second;
    std::uint32_t fraction = value.nanosecond;
    if (fraction >= nanos_per_second) {  // a leap second is written as second 60
        second = 60;
        fraction -= nanos_per_second;
    }
    char* cursor = out;
    cursor = put_digits<4>(cursor, static_cast<std::uint32_t>(value.year));
    *cursor++ = '-';
    cursor = put_digits<2>(cursor, value.month);
    *cursor++ = '-';
    cursor = put_digits<2>(cursor, value.day);
    *cursor++ = 'T';
    cursor = put_digits<2>(cursor, value.hour);
    *cursor++ = ':';
    cursor = put_digits<2>(cursor, value.minute);
    *cursor++ = ':';
    cursor = put_digits<2>(cursor, second);
    if (fraction != 0) {
        *cursor++ = '.';
        if (fraction % 1'000'000 == 0) {
            cursor = put_digits<3>(cursor, fraction / 1'000'000);
        } else if (fraction % 1000 == 0) {
            cursor = put_digits<6>(cursor, fraction / 1000);
        } else {
            cursor = put_digits<9>(cursor, fraction);
        }
    }
    for (char c : {'+', '0', '0', ':', '0', '0'}) *cursor++ = c;
    return static_cast<std::size_t>(cursor - out);
}

}  // namespace kavno
