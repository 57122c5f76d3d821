// Rounding on decimal digits, two ways to one result. The exact way writes the shortest form with <charconv>,
// rounds it as text and reads it back. The quick way decides the same question in 128-bit integers, for the
// values and places where that is possible, and hands everything else to the exact way.
#include "pure/rounding.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace kavno {

namespace {

constexpr std::uint64_t powers_of_ten[] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull, 1000000000ull,
    10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull, 100000000000000ull, 1000000000000000ull,
    10000000000000000ull, 100000000000000000ull, 1000000000000000000ull, 10000000000000000000ull,
};

enum class Quick : std::uint8_t { Unchanged, Rounded, Declined };

// The value is m * 2^-s exactly, and every decimal that reads back as it lies in its rounding interval: half a
// unit of the last place either side, the ends included when m is even. Scaled by 10^n and then by 2^(s+1), all
// of it is integers: the value is 2 * m * 10^n, the half-width 10^n, an integer j is j * 2^(s+1), and the
// half-way point j + 1/2 is (2j + 1) * 2^s.
//   - An integer in the interval means a decimal of at most n places reads back as the value: the shortest form
//     has no more places than that, and the value comes back unchanged.
//   - Otherwise, with the interval narrower than a tenth (one decimal of n + 1 places at most in it), the
//     shortest form is the half-way point if that lies in the interval (rounded away from zero), and else lies
//     on the same side of it as the value itself.
// Declined: a power of two (its interval is lopsided), values below 2^-22 or of 2^52 units of 10^-n and more,
// n above 19, and intervals a tenth wide or wider.
Quick round_quickly(double magnitude, std::uint32_t decimals, std::uint64_t& units) noexcept {
    if (decimals > 19) return Quick::Declined;
    const auto bits = std::bit_cast<std::uint64_t>(magnitude);
    const auto exponent = static_cast<int>(bits >> 52);                    // biased; 0 for subnormals
    const std::uint64_t fraction_bits = bits & ((std::uint64_t{1} << 52) - 1);
    if (exponent == 0 || fraction_bits == 0) return Quick::Declined;      // subnormal, or a power of two
    const std::uint64_t m = fraction_bits | (std::uint64_t{1} << 52);     // [2^52, 2^53)
    const int shift = 1075 - exponent;                                     // value = m * 2^-shift
    if (shift <= 0) return Quick::Unchanged;                               // a whole number: no places at all
    if (shift > 74) return Quick::Declined;                                // below 2^-22
    using u128 = unsigned __int128;
    const std::uint64_t ten_n = powers_of_ten[decimals];
    const u128 scaled = static_cast<u128>(m) * ten_n;                      // value * 10^n * 2^shift, < 2^117
    const u128 whole = scaled >> shift;                                    // floor(value * 10^n)
    if (whole >= (std::uint64_t{1} << 52)) return Quick::Declined;
    const u128 unit = static_cast<u128>(1) << (shift + 1);                 // an integer, in the doubled scale
    if (static_cast<u128>(ten_n) * 20 >= unit) return Quick::Declined;     // the interval is a tenth wide or more
    const u128 centre = 2 * scaled;
    const bool ends_included = (m & 1) == 0;
    const auto inside = [&](u128 point) {
        const u128 distance = point > centre ? point - centre : centre - point;
        return ends_included ? distance <= ten_n : distance < ten_n;
    };
    if (inside(whole * unit) || inside((whole + 1) * unit)) return Quick::Unchanged;
    const u128 half_way = (2 * whole + 1) * (unit / 2);
    units = static_cast<std::uint64_t>(inside(half_way) || centre > half_way ? whole + 1 : whole);
    return Quick::Rounded;
}

}  // namespace

double round_decimal(double value, std::uint32_t decimals) noexcept {
    if (!std::isfinite(value) || value == 0.0) return value;
    std::uint64_t units = 0;
    switch (round_quickly(std::fabs(value), decimals, units)) {
        case Quick::Unchanged: return value;
        case Quick::Rounded: {
            // Both exact in a double (units < 2^53, 10^n for n <= 22), so the division is correctly rounded.
            const double rounded = static_cast<double>(units) / static_cast<double>(powers_of_ten[decimals]);
            return std::copysign(rounded, value);
        }
        case Quick::Declined: break;
    }
    return round_decimal_exact(value, decimals);
}

double round_decimal_exact(double value, std::uint32_t decimals) noexcept {
    if (!std::isfinite(value) || value == 0.0) return value;
    // Shortest scientific form: [-]d[.ddd]e±XX, at most 17 significant digits.
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    const char* cursor = text;
    const bool negative = *cursor == '-';
    cursor += negative;
    char digits[24];
    int count = 0;
    for (; *cursor != 'e'; ++cursor) {
        if (*cursor != '.') digits[count++] = *cursor;
    }
    int exponent = 0;  // value = d.ddd × 10^exponent
    std::from_chars(cursor + 1 + (cursor[1] == '+'), written.ptr, exponent);

    // Fraction digits of the shortest form; enough requested places means nothing to round.
    const std::int64_t fraction_digits = static_cast<std::int64_t>(count) - 1 - exponent;
    if (fraction_digits <= static_cast<std::int64_t>(decimals)) return value;

    // Significant digits kept: those before the point plus the requested places. [< count]
    const std::int64_t keep = static_cast<std::int64_t>(exponent) + 1 + decimals;
    if (keep < 0) return negative ? -0.0 : 0.0;  // below half a unit of the last place
    int kept = static_cast<int>(keep);
    int result_exponent = exponent;  // exponent of digits[0]
    if (digits[kept] >= '5') {
        int i = kept - 1;
        for (; i >= 0 && digits[i] == '9'; --i) digits[i] = '0';
        if (i >= 0) {
            ++digits[i];
        } else {  // 9.99 → 10.0, or nothing kept and the next digit rounds up to one unit
            std::memmove(digits + 1, digits, static_cast<size_t>(kept));
            digits[0] = '1';
            ++kept;
            ++result_exponent;
        }
    }
    if (kept == 0) return negative ? -0.0 : 0.0;

    // digits[0..kept) × 10^(result_exponent - kept + 1)
    char rounded[48];
    char* out = rounded;
    if (negative) *out++ = '-';
    std::memcpy(out, digits, static_cast<size_t>(kept));
    out += kept;
    *out++ = 'e';
    out = std::to_chars(out, rounded + sizeof rounded, result_exponent - kept + 1).ptr;
    double result = 0.0;
    std::from_chars(rounded, out, result);
    return result;
}

}  // namespace kavno
