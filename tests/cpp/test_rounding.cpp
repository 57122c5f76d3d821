// Decimal rounding of safe_float: on the shortest decimal form, ties away from zero, sign kept.
#include "check.hpp"
#include "pure/rounding.hpp"

#include <cmath>
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
