// Decimal rounding of a double, done on its shortest round-trip decimal form so that what the user sees
// (repr) is what is rounded: 2.675 rounds to 2.68 and 1.005 to 1.01, where scaling by 10**n would not.
#pragma once

#include <cstdint>

namespace kavno {

// Rounds the shortest decimal form of `value` to `decimals` places after the point, ties away from zero, and
// gives the nearest double to the result. NaN, infinities and values with no more than `decimals` fraction
// digits come back unchanged; the sign of a result that rounds to zero is kept.
double round_decimal(double value, std::uint32_t decimals) noexcept;

// The same, always through the shortest decimal text: what round_decimal falls back to, and what the tests hold
// its quicker way against.
double round_decimal_exact(double value, std::uint32_t decimals) noexcept;

}  // namespace kavno
