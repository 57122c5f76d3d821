// Calendar arithmetic: fixed points at compile time, the whole supported range day by day at run time.
#include "check.hpp"
#include "datetime/utc.hpp"

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
        if (value && row.representable) CHECK(*value == row.expected);
    }
}

TEST(subtraction_crosses_midnight_month_and_year) {
    const UtcDateTime start{2024, 1, 1, 0, 30, 0, 250'000'000};
    CHECK(subtract_nanoseconds(start, 0) == start);
    CHECK(subtract_nanoseconds(start, 3600LL * nanos_per_second) == (UtcDateTime{2023, 12, 31, 23, 30, 0, 250'000'000}));
    CHECK(subtract_nanoseconds(start, 500'000'000) == (UtcDateTime{2024, 1, 1, 0, 29, 59, 750'000'000}));
    CHECK(subtract_nanoseconds(start, -1'000'000'000) == (UtcDateTime{2024, 1, 1, 0, 30, 1, 250'000'000}));
    const OffsetDateTime local{{2024, 3, 15, 0, 30, 0, 0}, 3600};
    CHECK(to_utc(local) == (UtcDateTime{2024, 3, 14, 23, 30, 0, 0}));
    const OffsetDateTime leap{{2016, 12, 31, 23, 59, 59, 1'000'000'000}, -3600};
    CHECK(to_utc(leap) == (UtcDateTime{2017, 1, 1, 0, 59, 59, 1'000'000'000}));  // stays a leap second
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

TEST(offset_conversion_on_fields_agrees_with_unix_seconds) {
    const UtcDateTime locals[] = {
        {2024, 3, 1, 0, 0, 0, 0},        {2024, 2, 29, 23, 59, 59, 999'999'999}, {2023, 12, 31, 23, 30, 0, 0},
        {2024, 1, 1, 0, 1, 0, 5},         {0, 1, 1, 0, 0, 0, 0},                  {9999, 12, 31, 23, 59, 59, 1'500'000'000},
        {1900, 2, 28, 12, 0, 0, 0},       {2000, 2, 29, 0, 0, 0, 0},
    };
    int mismatches = 0;
    for (const UtcDateTime& local : locals) {
        for (std::int32_t minutes = -1439; minutes <= 1439; ++minutes) {
            const OffsetDateTime value{local, minutes * 60};
            const UtcDateTime expected = *from_unix(unix_seconds(local) - minutes * 60, local.nanosecond);
            mismatches += !(to_utc(value) == expected);
        }
    }
    CHECK_EQ(mismatches, 0);
}
