// The scanner reads left to right without backtracking and reports the first fault met in that order; the
// writer fills a fixed buffer. Neither allocates.
#include "datetime/rfc3339.hpp"

#include "pure/fatal.hpp"

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

    result.local = LocalDateTime{static_cast<std::int32_t>(year), static_cast<std::uint8_t>(month),
                               static_cast<std::uint8_t>(day),  static_cast<std::uint8_t>(hour),
                               static_cast<std::uint8_t>(minute), static_cast<std::uint8_t>(second), nanosecond};
    if (second == 60) {  // a leap second, at any hour and minute
        result.local.second = 59;
        result.local.nanosecond += nanos_per_second;
    }
    result.offset_seconds = offset;
    return ok;
}

#undef KAVNO_STEP

}  // namespace

Result<OffsetDateTime, ParseError> scan_rfc3339(std::string_view text) noexcept {
    OffsetDateTime result;
    if (const ParseError step = scan(text, result); step != ok) return Unexpected(step);
    return result;
}

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
