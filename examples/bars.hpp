// The bars the demo engine replays: read strictly from a CSV file, or generated. Nothing here knows Python. A bad
// row is never skipped: reading stops at the first fault with "FILE:LINE: what is wrong".
#pragma once

#include "kavno/datetime.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace bars {

struct Bar {
    std::int64_t open_ms;
    double open, high, low, close, volume;
};

// What is wrong with the input, as the user is to read it.
struct BadInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline constexpr std::string_view header = "open_time_ms,open,high,low,close,volume";

// A field as the message shows it: quoted, with bytes that would not print written as \xNN.
inline std::string shown(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "'";
    for (const char c : text.substr(0, 40)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '\'') {
            out += c;
        } else {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out + (text.size() > 40 ? "...'" : "'");
}

// The whole field as a number of type T, or nothing: no sign but '-', no spaces, no trailing bytes.
template <class T>
bool parse_whole(std::string_view field, T& value) {
    const char* end = field.data() + field.size();
    const auto [stop, error] = std::from_chars(field.data(), end, value);
    return error == std::errc() && stop == end && !field.empty();
}

// Whether the bar's open and close times (open + interval - 1 ms) are dates kavno's records can hold.
inline bool representable(std::int64_t open_ms, std::int64_t interval_ms) {
    std::int64_t close_ms = 0;
    return !__builtin_add_overflow(open_ms, interval_ms - 1, &close_ms) && kavno::from_unix_ms(open_ms) &&
           kavno::from_unix_ms(close_ms);
}

// Reads "open_time_ms,open,high,low,close,volume" rows, with an optional header row of exactly those names and
// an optional UTF-8 byte order mark. Times must rise from bar to bar; prices must be finite and volumes finite and
// not negative.
inline std::vector<Bar> read_csv(const std::string& path, std::int64_t interval_ms) {
    std::error_code status;
    if (!std::filesystem::is_regular_file(path, status)) {
        throw BadInput(path + ": " + (std::filesystem::exists(path, status) ? "not a regular file" : "no such file"));
    }
    std::ifstream file(path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (!file && !file.eof()) throw BadInput(path + ": cannot be read");
    std::string_view rest = text;
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);

    std::vector<Bar> bars;
    for (std::size_t number = 1; !rest.empty(); ++number) {
        const std::size_t newline = rest.find('\n');
        std::string_view line = rest.substr(0, newline);
        rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (number == 1 && line == header) continue;
        if (line.empty()) throw BadInput(where + "an empty line");

        std::string_view fields[6];
        std::size_t count = 0;
        for (std::string_view remaining = line;; ++count) {
            const std::size_t comma = remaining.find(',');
            if (count < 6) fields[count] = remaining.substr(0, comma);
            if (comma == std::string_view::npos) {
                ++count;
                break;
            }
            remaining.remove_prefix(comma + 1);
        }
        if (count != 6) {
            throw BadInput(where + "expected 6 comma-separated fields (" + std::string(header) + "), found " +
                           std::to_string(count));
        }
        Bar bar{};
        if (!parse_whole(fields[0], bar.open_ms)) {
            throw BadInput(where + "open_time_ms: " + shown(fields[0]) + " is not a whole number of milliseconds");
        }
        if (!representable(bar.open_ms, interval_ms)) {
            throw BadInput(where + "open_time_ms: " + std::to_string(bar.open_ms) +
                           " is outside the dates a record can hold");
        }
        if (!bars.empty() && bar.open_ms <= bars.back().open_ms) {
            throw BadInput(where + "open_time_ms: " + std::to_string(bar.open_ms) + " does not come after the bar before (" +
                           std::to_string(bars.back().open_ms) + ")");
        }
        static constexpr const char* names[] = {"open", "high", "low", "close", "volume"};
        double* values[] = {&bar.open, &bar.high, &bar.low, &bar.close, &bar.volume};
        for (int i = 0; i < 5; ++i) {
            if (!parse_whole(fields[i + 1], *values[i]) || !std::isfinite(*values[i])) {
                throw BadInput(where + names[i] + ": " + shown(fields[i + 1]) + " is not a finite number");
            }
        }
        if (bar.volume < 0) throw BadInput(where + "volume: " + shown(fields[5]) + " is negative");
        bars.push_back(bar);
    }
    if (bars.empty()) throw BadInput(path + ": no bars");
    return bars;
}

// A deterministic random walk of `count` bars `interval_ms` apart from 2024-01-01T00:00:00Z.
inline std::vector<Bar> generated(std::size_t count, std::int64_t interval_ms) {
    std::vector<Bar> series;
    series.reserve(count);
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto uniform = [&state] {  // xorshift64*, in [0, 1)
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return static_cast<double>((state * 0x2545F4914F6CDD1Du) >> 11) / 9007199254740992.0;
    };
    double price = 42'000.0;
    const std::int64_t start_ms = 1'704'067'200'000;
    for (std::size_t i = 0; i < count; ++i) {
        const double drift = std::sin(static_cast<double>(i) / 900.0) * 0.0004;
        const double open = price;
        const double close = open * (1.0 + drift + (uniform() + uniform() + uniform() - 1.5) * 0.002);
        const double high = std::max(open, close) * (1.0 + uniform() * 0.0008);
        const double low = std::min(open, close) * (1.0 - uniform() * 0.0008);
        series.push_back({start_ms + static_cast<std::int64_t>(i) * interval_ms, open, high, low, close,
                          1.0 + uniform() * 20});
        price = close;
    }
    return series;
}

}  // namespace bars
