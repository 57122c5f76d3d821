// safe_float's rounding: within half a unit of the last kept place, idempotent, sign and non-finite values kept.
#include "fuzz.hpp"
#include "pure/rounding.hpp"

#include <cmath>

using kavno::round_decimal;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto value = take<double>(data, size);
    const auto decimals = static_cast<std::uint32_t>(take<std::uint16_t>(data, size) % 400);
    const double rounded = round_decimal(value, decimals);
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
