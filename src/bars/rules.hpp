// What makes a sequence of bars one that a backtest can trust, for every reader of bars (kavno_feed's columns and
// CSV files, the demo engine): prices finite, volumes and counts not negative, each bar closing no earlier than it
// opens and starting after the bar before has closed, low and high bounding open and close, and every date one a
// Python datetime can hold. A fault is reported as the column, the row, the value and what to do about it. Nothing
// here knows Python.
#pragma once

#include "kavno/calendar.hpp"
#include "kavno/datetime.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace bars {

// An instant: seconds since 1970-01-01T00:00:00 UTC (floor division before it) and a fraction.
struct Time {
    std::int64_t seconds = 0;
    std::uint32_t nanosecond = 0;  // [0, 1e9)

    friend constexpr auto operator<=>(const Time&, const Time&) = default;

    // This instant plus a whole number of milliseconds (in the years a bar may hold, nothing overflows).
    constexpr Time plus_milliseconds(std::int64_t milliseconds) const noexcept {
        Time later{seconds + kavno::floor_div(milliseconds, 1000),
                   nanosecond + static_cast<std::uint32_t>(kavno::floor_mod(milliseconds, 1000)) * 1'000'000};
        if (later.nanosecond >= kavno::nanos_per_second) {
            later.nanosecond -= kavno::nanos_per_second;
            ++later.seconds;
        }
        return later;
    }
};

// The years a Python datetime holds, 1 to 9999: a bar's dates are refused when the series is made, not when a
// strategy first reads them.
inline constexpr std::int64_t first_second = kavno::days_from_civil(1, 1, 1) * kavno::seconds_per_day;
inline constexpr std::int64_t last_second = kavno::days_from_civil(10000, 1, 1) * kavno::seconds_per_day - 1;
inline constexpr std::string_view years_text = "outside the years 1 to 9999 that a datetime holds";

constexpr bool within_years(Time time) noexcept { return time.seconds >= first_second && time.seconds <= last_second; }

// A unit of integer time values, and its instant; nothing when the value lies outside the years.
enum class Unit : std::uint8_t { Seconds, Milliseconds, Microseconds, Nanoseconds, Days };
inline constexpr std::array<std::string_view, 5> unit_names = {"s", "ms", "us", "ns", "days"};

constexpr bool to_time(std::int64_t value, Unit unit, Time& out) noexcept {
    if (unit == Unit::Days) {
        // A day count outside a few million is outside the years anyway, and multiplying it could overflow.
        if (value < first_second / kavno::seconds_per_day || value > last_second / kavno::seconds_per_day) return false;
        out = Time{value * kavno::seconds_per_day, 0};
        return true;
    }
    constexpr std::int64_t per_second[] = {1, 1000, 1'000'000, 1'000'000'000};
    const std::int64_t units = per_second[static_cast<std::size_t>(unit)];
    out = Time{kavno::floor_div(value, units),
               static_cast<std::uint32_t>(kavno::floor_mod(value, units) * (1'000'000'000 / units))};
    return within_years(out);
}

// The fields of a bar, in the order messages and tables name them.
enum class Field : std::uint8_t { OpenTime, CloseTime, Open, High, Low, Close, Volume, Amount, Trades };
inline constexpr std::size_t field_count = 9;
inline constexpr std::array<const char*, field_count> field_names = {
    "open_time", "close_time", "open", "high", "low", "close", "volume", "amount", "trades"};

struct Bar {
    Time open_time, close_time;
    double open = 0, high = 0, low = 0, close = 0, volume = 0, amount = 0;
    std::int64_t trades = 0;
};

// A number as a message shows it: the shortest text that reads back as the same double ("nan", "-inf", "0.1").
inline std::string number_text(double value) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string("?");
}

// An instant in the years as RFC 3339 text in UTC, with as many fraction digits as it needs (0, 3, 6 or 9).
inline std::string time_text(Time time) {
    if (!within_years(time)) return std::to_string(time.seconds) + " s since 1970";
    const std::int64_t days = kavno::floor_div(time.seconds, kavno::seconds_per_day);
    const auto of_day = static_cast<std::uint32_t>(time.seconds - days * kavno::seconds_per_day);
    const kavno::CivilDate date = kavno::civil_from_days(days);
    char text[48];
    int length = std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02u", static_cast<int>(date.year),
                               static_cast<unsigned>(date.month), static_cast<unsigned>(date.day), of_day / 3600,
                               of_day / 60 % 60, of_day % 60);
    if (time.nanosecond != 0) {
        int digits = 9;
        std::uint32_t fraction = time.nanosecond;
        while (digits > 3 && fraction % 1000 == 0) {
            fraction /= 1000;
            digits -= 3;
        }
        length += std::snprintf(text + length, sizeof text - length, ".%0*u", digits, fraction);
    }
    return std::string(text, length) + "Z";
}

// What is wrong with one bar: its field, the value as text, and the rest of the sentence.
struct Fault {
    Field field;
    std::string value;
    std::string problem;
};

// "column 'close', row 12: nan is not a finite number; ..." with the column named as the data names it.
inline std::string describe(const Fault& fault, std::string_view column, std::int64_t row) {
    return "column '" + std::string(column) + "', row " + std::to_string(row) + ": " + fault.value + " " + fault.problem;
}

// Checks bars in the order a series holds them. `accept` is the cheap test of every row; `fault` says, for a bar
// that `accept` refused, what is wrong with it. Order and finiteness are never relaxed; `check_high_low` may be
// turned off for vendors' adjusted series, which break it.
class Checker {
public:
    explicit Checker(bool check_high_low = true) noexcept : check_high_low_(check_high_low) {}

    bool accept(const Bar& bar) noexcept {
        const bool sound =
            std::isfinite(bar.open) && std::isfinite(bar.high) && std::isfinite(bar.low) && std::isfinite(bar.close) &&
            std::isfinite(bar.volume) && bar.volume >= 0 && std::isfinite(bar.amount) && bar.amount >= 0 &&
            bar.trades >= 0 && bar.close_time >= bar.open_time && (!has_previous_ || bar.open_time > previous_close_) &&
            (!check_high_low_ || (bar.low <= std::min(bar.open, bar.close) && std::max(bar.open, bar.close) <= bar.high));
        if (sound) {
            previous_close_ = bar.close_time;
            has_previous_ = true;
        }
        return sound;
    }

    Fault fault(const Bar& bar) const {
        const std::pair<Field, double> prices[] = {
            {Field::Open, bar.open}, {Field::High, bar.high}, {Field::Low, bar.low}, {Field::Close, bar.close}};
        for (const auto& [field, value] : prices) {
            if (!std::isfinite(value)) {
                return {field, number_text(value), "is not a finite number; drop or fill such bars before reading them"};
            }
        }
        for (const auto& [field, value] : {std::pair{Field::Volume, bar.volume}, std::pair{Field::Amount, bar.amount}}) {
            if (!std::isfinite(value) || value < 0) {
                return {field, number_text(value), "is not a finite number of at least 0"};
            }
        }
        if (bar.trades < 0) return {Field::Trades, std::to_string(bar.trades), "is negative; trades counts the bar's trades"};
        if (bar.close_time < bar.open_time) {
            return {Field::CloseTime, time_text(bar.close_time),
                    "comes before the bar's open_time " + time_text(bar.open_time)};
        }
        if (has_previous_ && bar.open_time <= previous_close_) {
            return {Field::OpenTime, time_text(bar.open_time),
                    "does not come after the bar before, which closes at " + time_text(previous_close_) +
                        "; sort the bars by time and drop repeated rows, read a table of several instruments with "
                        "candles_by(), and check that interval and time_unit are the data's"};
        }
        if (bar.low > std::min(bar.open, bar.close)) {
            return {Field::Low, number_text(bar.low),
                    "is above min(open, close) = " + number_text(std::min(bar.open, bar.close))};
        }
        return {Field::High, number_text(bar.high),
                "is below max(open, close) = " + number_text(std::max(bar.open, bar.close))};
    }

private:
    bool check_high_low_;
    bool has_previous_ = false;
    Time previous_close_{};
};

}  // namespace bars
