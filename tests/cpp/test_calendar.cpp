// Calendar arithmetic: fixed points at compile time, the whole supported range day by day at run time.
#include "check.hpp"
#include "datetime/arithmetic.hpp"
#include "describe.hpp"

using namespace kavno;

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2000, 3, 1) == 11017);
static_assert(days_from_civil(1969, 12, 31) == -1);
static_assert(days_from_civil(1, 1, 1) == -719162);  // day 1 of the Python ordinal count is 719163 before 1970
static_assert(civil_from_days(-719162).year == 1 && civil_from_days(-719162).month == 1);
static_assert(is_leap_year(2000) && is_leap_year(2024) && !is_leap_year(1900) && !is_leap_year(2023));
static_assert(is_leap_year(0) && is_leap_year(-4) && !is_leap_year(-100));
static_assert(days_in_month(2024, 2) == 29 && days_in_month(2023, 2) == 28 && days_in_month(2024, 4) == 30);
static_assert(floor_div(-1, 1000) == -1 && floor_mod(-1, 1000) == 999 && floor_div(1999, 1000) == 1);
static_assert(floor_mod(INT64_MIN, 1000) == 192 && floor_div(INT64_MIN, 1000) == -9223372036854776);

TEST(every_day_round_trips_across_the_supported_years) {
    const std::int64_t first = days_from_civil(min_year, 1, 1);
    const std::int64_t last = days_from_civil(max_year, 12, 31);
    CivilDate expected{min_year, 1, 1};
    int mismatches = 0;
    for (std::int64_t day = first; day <= last && mismatches < 5; ++day) {
        const CivilDate date = civil_from_days(day);
        if (date.year != expected.year || date.month != expected.month || date.day != expected.day ||
            days_from_civil(date.year, date.month, date.day) != day) {
            ++mismatches;
            CHECK(!"civil_from_days and days_from_civil disagree");
        }
        // The next date, counted independently of the arithmetic under test.
        if (++expected.day > days_in_month(expected.year, expected.month)) {
            expected.day = 1;
            if (++expected.month > 12) {
                expected.month = 1;
                ++expected.year;
            }
        }
    }
    CHECK_EQ(expected.year, std::int64_t{max_year} + 1);
}

TEST(unix_seconds_fixed_points) {
    CHECK_EQ(unix_seconds(UtcDateTime{1970, 1, 1, 0, 0, 0, 0}), 0);
    CHECK_EQ(unix_seconds(UtcDateTime{1969, 12, 31, 23, 59, 59, 500'000'000}), -1);
    CHECK_EQ(unix_seconds(UtcDateTime{2000, 1, 1, 0, 0, 0, 0}), 946684800);
    CHECK_EQ(unix_seconds(UtcDateTime{2016, 12, 31, 23, 59, 59, 1'500'000'000}), 1483228799);  // leap second as 59
}

TEST(millisecond_timestamps_floor_and_stop_at_the_supported_years) {
    struct Row {
        std::int64_t ms;
        bool representable;
        UtcDateTime expected;
    };
    const Row rows[] = {
        {0, true, {1970, 1, 1, 0, 0, 0, 0}},
        {-1, true, {1969, 12, 31, 23, 59, 59, 999'000'000}},  // floor division
        {1700000000123, true, {2023, 11, 14, 22, 13, 20, 123'000'000}},
        {253402300799999, true, {9999, 12, 31, 23, 59, 59, 999'000'000}},
        {-62135596800000, true, {1, 1, 1, 0, 0, 0, 0}},
        {8210266876799999, true, {262142, 12, 31, 23, 59, 59, 999'000'000}},   // last representable
        {8210266876800000, false, {}},                                          // year 262143
        {-8334601228800000, true, {-262143, 1, 1, 0, 0, 0, 0}},                 // first representable
        {-8334601228800001, false, {}},                                         // year -262144
        {INT64_MIN, false, {}},
        {INT64_MIN + 33, false, {}},  // found by fuzzing: the split into seconds once overflowed here
        {INT64_MAX, false, {}},
    };
    for (const Row& row : rows) {
        const auto value = from_unix_ms(row.ms);
        CHECK_EQ(value.has_value(), row.representable);
        if (value && row.representable) CHECK_EQ(*value, row.expected);
    }
}

TEST(offsets_carry_the_reading_across_midnight_month_and_year) {
    struct Row {
        LocalDateTime local;
        std::int32_t offset_seconds;
        UtcDateTime expected;
    };
    const Row rows[] = {
        {{2024, 3, 15, 10, 30, 0, 0}, 8 * 3600, {2024, 3, 15, 2, 30, 0, 0}},
        {{2024, 3, 15, 0, 30, 0, 0}, 3600, {2024, 3, 14, 23, 30, 0, 0}},             // back across midnight
        {{2024, 3, 1, 0, 0, 0, 0}, 60, {2024, 2, 29, 23, 59, 0, 0}},                 // into a leap day
        {{2023, 3, 1, 0, 0, 0, 5}, 60, {2023, 2, 28, 23, 59, 0, 5}},                 // the fraction is kept
        {{2024, 1, 1, 0, 30, 0, 250'000'000}, 3600, {2023, 12, 31, 23, 30, 0, 250'000'000}},  // into the last year
        {{2023, 12, 31, 23, 30, 0, 0}, -3600, {2024, 1, 1, 0, 30, 0, 0}},           // forward into the next year
        {{2024, 2, 28, 23, 59, 0, 0}, -86340, {2024, 2, 29, 23, 58, 0, 0}},         // -23:59
        {{0, 1, 1, 0, 0, 0, 0}, 60, {-1, 12, 31, 23, 59, 0, 0}},                    // before year 0
        {{9999, 12, 31, 23, 59, 0, 0}, -86340, {10000, 1, 1, 23, 58, 0, 0}},        // after year 9999
        {{2016, 12, 31, 23, 59, 59, 1'000'000'000}, -3600, {2017, 1, 1, 0, 59, 59, 1'000'000'000}},  // stays a leap second
        {{2024, 3, 15, 10, 30, 0, 0}, 0, {2024, 3, 15, 10, 30, 0, 0}},
    };
    for (const Row& row : rows) CHECK_EQ(to_utc({row.local, row.offset_seconds}), row.expected);
}

TEST(day_truncation_rounds_down_inside_the_nanosecond_timestamps) {
    struct Row {
        UtcDateTime value;
        bool fits;
        UtcDateTime midnight;
    };
    const Row rows[] = {
        {{2024, 5, 17, 13, 45, 12, 345'678'000}, true, {2024, 5, 17, 0, 0, 0, 0}},
        {{1969, 12, 31, 23, 59, 59, 999'999'999}, true, {1969, 12, 31, 0, 0, 0, 0}},   // down, not toward zero
        {{2024, 5, 17, 0, 0, 0, 0}, true, {2024, 5, 17, 0, 0, 0, 0}},
        {{1677, 9, 21, 0, 12, 43, 145'224'192}, true, {1677, 9, 21, 0, 0, 0, 0}},      // INT64_MIN nanoseconds
        {{1677, 9, 21, 0, 12, 43, 145'224'191}, false, {}},
        {{1677, 9, 21, 5, 0, 0, 0}, true, {1677, 9, 21, 0, 0, 0, 0}},                  // before the first timestamp
        {{2262, 4, 11, 23, 47, 16, 854'775'807}, true, {2262, 4, 11, 0, 0, 0, 0}},     // INT64_MAX nanoseconds
        {{2262, 4, 11, 23, 47, 16, 854'775'808}, false, {}},
        {{1, 1, 1, 0, 0, 0, 0}, false, {}},
        {{2016, 12, 31, 23, 59, 59, 1'500'000'000}, true, {2016, 12, 31, 0, 0, 0, 0}},  // a leap second: same day
    };
    for (const Row& row : rows) {
        const auto midnight = truncate_to_day(row.value);
        CHECK_EQ(midnight.ok(), row.fits);
        CHECK_EQ(nanosecond_timestamp(row.value).has_value(), row.fits);
        if (midnight && row.fits) CHECK_EQ(*midnight, row.midnight);
    }
    CHECK_EQ(*nanosecond_timestamp({1677, 9, 21, 0, 12, 43, 145'224'192}), INT64_MIN);
    CHECK_EQ(*nanosecond_timestamp({1969, 12, 31, 23, 59, 59, 500'000'000}), -500'000'000);
}

TEST(validity_of_fields) {
    CHECK(is_valid(UtcDateTime{2024, 2, 29, 23, 59, 59, 1'999'999'999}));
    CHECK(!is_valid(UtcDateTime{2023, 2, 29, 0, 0, 0, 0}));
    CHECK(!is_valid(UtcDateTime{2024, 1, 1, 0, 0, 58, 1'000'000'000}));  // leap fraction off second 59
    CHECK(!is_valid(UtcDateTime{max_year + 1, 1, 1, 0, 0, 0, 0}));
    CHECK(is_valid(UtcDateTime{0, 1, 1, 0, 0, 0, 0}));
    CHECK(!is_valid(UtcDateTime{2024, 13, 1, 0, 0, 0, 0}));
    CHECK(!is_valid(UtcDateTime{2024, 1, 1, 24, 0, 0, 0}));
}
