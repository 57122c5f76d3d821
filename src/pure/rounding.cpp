// Rounding on decimal digits: the shortest form from <charconv>, rounded as text, read back by <charconv>.
#include "pure/rounding.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace kavno {

double round_decimal(double value, std::uint32_t decimals) noexcept {
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
