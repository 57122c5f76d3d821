// The bars the demo engine replays: read from a CSV file by the reader kavno's tools share (which checks every bar
// by the shared bar rules), or generated. Nothing here knows Python.
#pragma once

#include "bars/csv.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace bars {

// A deterministic random walk of `count` bars `interval_ms` apart from 2024-01-01T00:00:00Z.
inline std::vector<CsvBar> generated(std::size_t count, std::int64_t interval_ms) {
    std::vector<CsvBar> series;
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
