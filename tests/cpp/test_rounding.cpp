// Decimal rounding of safe_float: on the shortest decimal form, ties away from zero, sign kept.
#include "check.hpp"
#include "pure/rounding.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

using kavno::round_decimal;

namespace {

struct Row {
    double value;
    std::uint32_t decimals;
    double expected;
};

const Row rows[] = {
    {2.675, 2, 2.68},              // 2.675 is 2.67499999... in binary; its decimal form rounds up
    {1.005, 2, 1.01},              // scaling by 100 would give 100.49999999999999
    {0.1 + 0.2, 2, 0.3},
    {-1.5, 0, -2.0},               // away from zero
    {2.5, 0, 3.0},
    {0.5, 0, 1.0},                 // nothing kept before the point, rounds up to one unit
    {0.4, 0, 0.0},
    {1234.5678, 0, 1235.0},
    {1234.5678, 2, 1234.57},
    {1.5e-07, 7, 2e-07},
    {9.995, 2, 10.0},              // carry through every digit
    {-9.995, 2, -10.0},
    {0.000123, 2, 0.0},            // far below half a unit
    {123.456, 4294967295u, 123.456},
    {1.7976931348623157e308, 0, 1.7976931348623157e308},
    {5e-324, 400, 5e-324},
    {5e-324, 300, 0.0},
    {-1.0, 2, -1.0},
    {12345678901234567.0, 3, 12345678901234567.0},
};

}  // namespace

TEST(rounding_table) {
    for (const Row& row : rows) CHECK_EQ(round_decimal(row.value, row.decimals), row.expected);
}

TEST(sign_of_zero_and_non_finite_values_pass_through) {
    CHECK(std::signbit(round_decimal(-0.004, 2)) && round_decimal(-0.004, 2) == 0.0);
    CHECK(std::signbit(round_decimal(-0.0, 2)));
    CHECK(!std::signbit(round_decimal(0.004, 2)));
    CHECK(std::isnan(round_decimal(std::numeric_limits<double>::quiet_NaN(), 2)));
    CHECK(round_decimal(std::numeric_limits<double>::infinity(), 0) == std::numeric_limits<double>::infinity());
    CHECK(round_decimal(-std::numeric_limits<double>::infinity(), 3) == -std::numeric_limits<double>::infinity());
}

TEST(the_quick_way_agrees_with_the_text_way) {
    // Prices, quantities and rates as strategies hold them: a few significant digits at every magnitude, and
    // ties written out exactly, across every count of places the quick way takes.
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&state] {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1Du;
    };
    int mismatches = 0;
    for (int i = 0; i < 2'000'000 && mismatches < 5; ++i) {
        const std::uint64_t bits = next();
        const double digits = static_cast<double>(bits % 100'000'000);
        const double value = (bits & 1 ? -1 : 1) * digits / std::pow(10.0, static_cast<double>((bits >> 40) % 16)) +
                             ((bits >> 44) % 2 ? 0.0 : 0.5 / std::pow(10.0, static_cast<double>((bits >> 45) % 12)));
        const auto decimals = static_cast<std::uint32_t>((bits >> 50) % 21);
        const double quick = round_decimal(value, decimals);
        const double exact = kavno::round_decimal_exact(value, decimals);
        if (std::memcmp(&quick, &exact, sizeof quick) != 0) {
            ++mismatches;
            CHECK_EQ(quick, exact);
            std::fprintf(stderr, "  for %.17g to %u places\n", value, decimals);
        }
    }
    CHECK_EQ(mismatches, 0);
}
