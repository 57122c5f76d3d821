// safe_float's rounding: the quick way agrees with the exact way bit for bit; within half a unit of the last
// kept place, idempotent, sign and non-finite values kept.
#include "fuzz.hpp"
#include "pure/rounding.hpp"

#include <cmath>
#include <cstring>

using kavno::round_decimal;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Either any double, or (with the first byte odd) a decimal of up to 17 digits and up to 25 places, the
    // shape of the prices and quantities that strategies round.
    const auto shape = take<std::uint8_t>(data, size);
    double value = take<double>(data, size);
    if (shape & 1) {
        const auto digits = static_cast<double>(take<std::uint64_t>(data, size) % 100'000'000'000'000'000ull);
        value = std::copysign(digits / std::pow(10.0, static_cast<double>(shape >> 3)), value);
    }
    const auto decimals = static_cast<std::uint32_t>(take<std::uint16_t>(data, size) % 400);
    const double rounded = round_decimal(value, decimals);
    const double exact = kavno::round_decimal_exact(value, decimals);
    FUZZ_ASSERT(std::memcmp(&rounded, &exact, sizeof rounded) == 0 || (std::isnan(rounded) && std::isnan(exact)));
    if (!std::isfinite(value)) {
        FUZZ_ASSERT(std::isnan(value) ? std::isnan(rounded) : rounded == value);
        return 0;
    }
    FUZZ_ASSERT(std::isfinite(rounded));
    FUZZ_ASSERT(std::signbit(rounded) == std::signbit(value));
    FUZZ_ASSERT(round_decimal(rounded, decimals) == rounded);
    // Within half a unit of the last place (and a little for the double nearest to the decimal result).
    const double unit = std::pow(10.0, -static_cast<double>(decimals));
    FUZZ_ASSERT(std::fabs(rounded - value) <= unit / 2 + std::fabs(value) * 1e-15 + 1e-300 || unit == 0.0);
    return 0;
}
