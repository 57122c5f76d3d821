// An engine's extension module: market data and fills as kavno records, made through kavno's producer API and
// handed to Python with nanobind. Nothing of kavno is linked in; the records are kavno's own classes.
#include <kavno/producer.hpp>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// A make_* result as a Python object: a new reference, or the exception the producer set.
nb::object take(PyObject* made) {
    if (made == nullptr) throw nb::python_error();
    return nb::steal(made);
}

constexpr std::int64_t minute_ms = 60'000;

nb::object candle(const std::string& code, std::int64_t open_time_ms, double open, double high, double low,
                  double close, double volume) {
    return take(kavno::make_candle({
        .kind = kavno::TradeKind::Spot,
        .code = code,
        .interval = kavno::CandleInterval::Min1,
        .open_time = kavno::Milliseconds{open_time_ms},
        .close_time = kavno::Milliseconds{open_time_ms + minute_ms - 1},
        .open = open,
        .high = high,
        .low = low,
        .close = close,
        .volume = volume,
        .amount = volume * close,
    }));
}

// One-minute candles of a series of closes, each opening at the close before it.
std::vector<nb::object> candles(const std::string& code, std::int64_t start_ms, const std::vector<double>& closes) {
    std::vector<nb::object> made;
    made.reserve(closes.size());
    double open = closes.empty() ? 0.0 : closes.front();
    for (std::size_t i = 0; i < closes.size(); ++i) {
        const double close = closes[i];
        made.push_back(candle(code, start_ms + static_cast<std::int64_t>(i) * minute_ms, open, std::max(open, close),
                              std::min(open, close), close, 1.0));
        open = close;
    }
    return made;
}

nb::object filled_order(const std::string& id, const std::string& code, bool buy, double volume, double price,
                        std::int64_t time_ms) {
    return take(kavno::make_order({
        .id = id,
        .kind = kavno::TradeKind::Spot,
        .type = kavno::TradeType::Market,
        .side = buy ? kavno::TradeSide::Long : kavno::TradeSide::Short,
        .code = code,
        .status = kavno::OrderStatus::Filled,
        .volume = volume,
        .price = price,
        .filled_volume = volume,
        .filled_price = price,
        .fee = volume * price * 0.001,
        .create_time = kavno::Milliseconds{time_ms},
    }));
}

nb::object position(const std::string& code, double volume, double price, std::int32_t leverage) {
    return take(kavno::make_position({.kind = kavno::TradeKind::Future, .code = code, .side = kavno::TradeSide::Long,
                                      .volume = volume, .price = price, .leverage = leverage}));
}

}  // namespace

NB_MODULE(kavno_engine_example, module) {
    module.doc() = "An engine's records, made through kavno's producer API.";
    module.def("candle", &candle, "code"_a, "open_time_ms"_a, "open"_a, "high"_a, "low"_a, "close"_a, "volume"_a,
               "A one-minute Spot candle.");
    module.def("candles", &candles, "code"_a, "start_ms"_a, "closes"_a, "One-minute candles of a series of closes.");
    module.def("filled_order", &filled_order, "id"_a, "code"_a, "buy"_a, "volume"_a, "price"_a, "time_ms"_a,
               "A market order filled at `price`, fee 0.1%.");
    module.def("position", &position, "code"_a, "volume"_a, "price"_a, "leverage"_a, "A long Future position.");
}
