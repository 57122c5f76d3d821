// The date text scanner and writer: every failure kind at every field, the range boundaries, and round trips.
#include "check.hpp"
#include "datetime/rfc3339.hpp"
#include "describe.hpp"

#include <string>

using namespace kavno;

namespace {

constexpr auto OutOfRange = ParseError::OutOfRange;
constexpr auto Invalid = ParseError::Invalid;
constexpr auto TooShort = ParseError::TooShort;
constexpr auto TooLong = ParseError::TooLong;

struct Refusal {
    const char* text;
    ParseError error;
};

const Refusal refusals[] = {
    {"", TooShort},                                   // year
    {"202", TooShort},                                // year shorter than its width, whatever the bytes
    {"20x", TooShort},
    {"20x4-03-15T10:30:00Z", Invalid},
    {"2024", TooShort},                               // first dash
    {"2024/03-15T10:30:00Z", Invalid},
    {"2024-3", TooShort},                             // month
    {"2024-x3-15T10:30:00Z", Invalid},
    {"2024-00-15T10:30:00Z", OutOfRange},
    {"2024-13-01T00:00:00Z", OutOfRange},
    {"2024-13-xx", OutOfRange},                       // checked before the rest is scanned
    {"2024-03", TooShort},                            // second dash
    {"2024-03/15T10:30:00Z", Invalid},
    {"2024-03-1", TooShort},                          // day
    {"2024-03-00T10:30:00Z", OutOfRange},
    {"2024-03-32T10:30:00Z", OutOfRange},
    {"2024-03-15", TooShort},                         // separator
    {"2024-03-15X10:30:00Z", Invalid},
    {"2024-03-15T1", TooShort},                       // hour
    {"2024-03-15T24:00:00Z", OutOfRange},
    {"2024-03-15T1a:30:00Z", Invalid},
    {"2024-03-15T10", TooShort},                      // colon
    {"2024-03-15T10:30Z", Invalid},
    {"2024-03-15T10:60:00Z", OutOfRange},             // minute
    {"2024-03-15T10:30:61Z", OutOfRange},             // second
    {"2024-03-15T10:30:0", TooShort},
    {"2024-03-15T10:30:00", TooShort},                // offset
    {"2024-03-15T10:30:00.", TooShort},               // fraction needs a digit
    {"2024-03-15T10:30:00.Z", Invalid},
    {"2024-03-15T10:30:00+08", TooShort},
    {"2024-03-15T10:30:00+0800", Invalid},
    {"2024-03-15T10:30:00+08:6", TooShort},
    {"2024-03-15T10:30:00+08:60", OutOfRange},        // offset minutes 60 to 99
    {"2024-03-15T10:30:00+08:99", OutOfRange},
    {"2024-03-15T10:30:00+08:a0", Invalid},
    {"2024-03-15T10:30:00+08:0a", Invalid},
    {"2024-03-15T10:30:00+24:00", OutOfRange},        // beyond 23:59
    {"2024-03-15T10:30:00+x8:00", Invalid},
    {"2024-03-15T10:30:00*08:00", Invalid},
    {"2024-03-15T10:30:00\xE2\x88", Invalid},         // a cut-off minus sign is no sign
    {"2024-03-15T10:30:00Z ", TooLong},
    {"2024-03-15T10:30:00+08:00:00", TooLong},
    {" 2024-03-15T10:30:00Z", Invalid},
    {"2023-02-29T00:00:00Z", OutOfRange},             // the calendar date is checked last
    {"1900-02-29T00:00:00Z", OutOfRange},
    {"2024-04-31T00:00:00Z", OutOfRange},
    {"2024-02-30Tgarbage", Invalid},
    {"2023-02-29T00:00:00Z!", TooLong},
};

struct Reading {
    const char* text;
    UtcDateTime expected;
};

const Reading readings[] = {
    {"2024-03-15T10:30:00+08:00", {2024, 3, 15, 2, 30, 0, 0}},
    {"2024-03-15 10:30:00Z", {2024, 3, 15, 10, 30, 0, 0}},
    {"2024-03-15t10:30:00z", {2024, 3, 15, 10, 30, 0, 0}},
    {"2024-03-15T10:30:00-00:00", {2024, 3, 15, 10, 30, 0, 0}},
    {"2024-03-15T10:30:00\xE2\x88\x92" "05:00", {2024, 3, 15, 15, 30, 0, 0}},  // U+2212 minus
    {"2024-03-15T10:30:00.1234567891Z", {2024, 3, 15, 10, 30, 0, 123'456'789}},  // cut, not rounded
    {"2024-03-15T10:30:00.5Z", {2024, 3, 15, 10, 30, 0, 500'000'000}},
    {"2024-03-15T10:30:00.000123Z", {2024, 3, 15, 10, 30, 0, 123'000}},
    {"2024-03-15T00:30:00+01:00", {2024, 3, 14, 23, 30, 0, 0}},
    {"2016-12-31T23:59:60Z", {2016, 12, 31, 23, 59, 59, 1'000'000'000}},
    {"2016-06-30T12:34:60.5Z", {2016, 6, 30, 12, 34, 59, 1'500'000'000}},  // a leap second at any minute
    {"2024-02-29T00:00:00Z", {2024, 2, 29, 0, 0, 0, 0}},
    {"2000-02-29T00:00:00Z", {2000, 2, 29, 0, 0, 0, 0}},
    {"0000-01-01T00:00:00Z", {0, 1, 1, 0, 0, 0, 0}},
    {"0000-01-01T00:00:00+00:01", {-1, 12, 31, 23, 59, 0, 0}},
    {"9999-12-31T23:59:59-23:59", {10000, 1, 1, 23, 58, 59, 0}},
    {"2024-03-15T10:30:00+23:59", {2024, 3, 14, 10, 31, 0, 0}},
};

}  // namespace

TEST(every_refusal_reports_the_first_fault_in_scanning_order) {
    for (const Refusal& row : refusals) CHECK_EQ(scanned(row.text), scanned_as(row.text, row.error));
}

TEST(usual_texts_take_the_word_at_a_time_path) {
    // Every accepted reading but the one with U+2212 (left to the exact scanner) is read without falling back.
    for (const Reading& row : readings) {
        const std::string text = row.text;
        if (text.find("\xE2\x88\x92") != std::string::npos) continue;
        OffsetDateTime common;
        const bool taken = scan_rfc3339_common(text, common);
        CHECK_EQ(text + (taken ? ": word at a time" : ": declined"), text + ": word at a time");
    }
    OffsetDateTime common;
    CHECK(scan_rfc3339_common("2024-03-05T01:02:03.000000001-00:00", common));
    CHECK_EQ(common.local.nanosecond, std::uint32_t{1});
}

TEST(accepted_texts_give_the_utc_instant) {
    for (const Reading& row : readings) CHECK_EQ(scanned(row.text), scanned_as(row.text, row.expected));
}

TEST(a_megabyte_of_fraction_digits_is_skipped) {
    std::string text = "2024-03-15T10:30:00.";
    text.append(1 << 20, '7');
    text += "Z";
    CHECK_EQ(scanned(text), scanned_as(text, UtcDateTime{2024, 3, 15, 10, 30, 0, 777'777'777}));
    text.back() = '\0';  // an embedded NUL is an ordinary byte
    CHECK_EQ(scanned(text), scanned_as(text, Invalid));
}

namespace {

std::string written(const UtcDateTime& value) {
    char buffer[rfc3339_capacity];
    const std::size_t length = write_rfc3339(value, buffer);
    CHECK_EQ(length, rfc3339_length(value));
    return std::string(buffer, length);
}

}  // namespace

TEST(writer_uses_zero_three_six_or_nine_fraction_digits) {
    CHECK_EQ(written({2024, 1, 2, 3, 4, 5, 0}), "2024-01-02T03:04:05+00:00");
    CHECK_EQ(written({2024, 1, 2, 3, 4, 5, 120'000'000}), "2024-01-02T03:04:05.120+00:00");
    CHECK_EQ(written({2024, 1, 2, 3, 4, 5, 123'456'000}), "2024-01-02T03:04:05.123456+00:00");
    CHECK_EQ(written({2024, 1, 2, 3, 4, 5, 1000}), "2024-01-02T03:04:05.000001+00:00");
    CHECK_EQ(written({2024, 1, 2, 3, 4, 5, 1}), "2024-01-02T03:04:05.000000001+00:00");
    CHECK_EQ(written({2024, 1, 2, 3, 4, 5, 987'654'321}), "2024-01-02T03:04:05.987654321+00:00");
    CHECK_EQ(written({2024, 1, 2, 3, 4, 5, 5'000'000}), "2024-01-02T03:04:05.005+00:00");
    CHECK_EQ(written({0, 12, 31, 23, 59, 59, 999'999'000}), "0000-12-31T23:59:59.999999+00:00");
    CHECK_EQ(written({5, 1, 2, 3, 4, 5, 0}), "0005-01-02T03:04:05+00:00");
    CHECK_EQ(written({2016, 12, 31, 23, 59, 59, 1'500'000'000}), "2016-12-31T23:59:60.500+00:00");
    CHECK_EQ(written({9999, 12, 31, 23, 59, 60 - 1, 1'999'999'999}).size(), std::size_t{35});
}

TEST(written_text_scans_back_to_the_same_value) {
    const UtcDateTime values[] = {
        {2024, 1, 2, 3, 4, 5, 0},          {1, 1, 1, 0, 0, 0, 0},          {9999, 12, 31, 23, 59, 59, 999'999'999},
        {2016, 12, 31, 23, 59, 59, 1'000'000'000}, {1969, 12, 31, 23, 59, 59, 999'000'000},
    };
    for (const UtcDateTime& value : values) CHECK_EQ(scanned(written(value)), scanned_as(written(value), value));
}
