// kavno_host: an engine in miniature. It links kavno into its own executable, registers it as a built-in module
// before starting CPython, loads a strategy from examples/strategy.py, feeds it candles (a generated series or a
// CSV file), fills the orders it asks for at the bar's close, hands it Order and Position records, and reports.
//
//   kavno_host [--candles N] [--csv FILE] [--strategy FILE] [--log N]
//
// CSV: one bar per line, "open_time_ms,open,high,low,close,volume"; a first line that does not start with a digit
// is taken as a header. Bars are one minute long.
#include "kavno/producer.hpp"

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" PyObject* PyInit_kavno();

namespace {

struct Bar {
    std::int64_t open_ms;
    double open, high, low, close, volume;
};

struct Options {
    std::size_t candles = 100'000;
    std::string csv;
    std::string strategy = KAVNO_EXAMPLES_DIR "/strategy.py";
    std::size_t log_lines = 6;
};

[[noreturn]] void die(const std::string& message) {
    if (Py_IsInitialized() && PyErr_Occurred()) PyErr_Print();
    std::fprintf(stderr, "kavno_host: %s\n", message.c_str());
    std::exit(1);
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) die("missing value after " + arg);
            return argv[++i];
        };
        if (arg == "--candles") {
            options.candles = std::stoul(value());
        } else if (arg == "--csv") {
            options.csv = value();
        } else if (arg == "--strategy") {
            options.strategy = value();
        } else if (arg == "--log") {
            options.log_lines = std::stoul(value());
        } else {
            die("unknown argument " + arg + " (see the comment at the top of examples/host.cpp)");
        }
    }
    return options;
}

// A deterministic random walk of one-minute bars from 2024-01-01T00:00:00Z.
std::vector<Bar> generated_series(std::size_t count) {
    std::vector<Bar> bars;
    bars.reserve(count);
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
        bars.push_back({start_ms + static_cast<std::int64_t>(i) * 60'000, open, high, low, close, 1.0 + uniform() * 20});
        price = close;
    }
    return bars;
}

std::vector<Bar> csv_series(const std::string& path) {
    std::ifstream file(path);
    if (!file) die("cannot read " + path);
    std::vector<Bar> bars;
    std::string line;
    for (std::size_t number = 1; std::getline(file, line); ++number) {
        if (line.empty() || (number == 1 && !(line[0] >= '0' && line[0] <= '9') && line[0] != '-')) continue;
        std::istringstream fields(line);
        Bar bar{};
        char comma = 0;
        if (!(fields >> bar.open_ms >> comma >> bar.open >> comma >> bar.high >> comma >> bar.low >> comma >>
              bar.close >> comma >> bar.volume)) {
            die(path + ":" + std::to_string(number) + ": expected open_time_ms,open,high,low,close,volume");
        }
        bars.push_back(bar);
    }
    return bars;
}

// Calls a method of the strategy with one argument (stolen) and gives its result.
PyObject* call(PyObject* strategy, const char* method, PyObject* argument) {
    if (argument == nullptr) die(std::string("could not make the record for ") + method);
    PyObject* name = PyUnicode_InternFromString(method);
    PyObject* result = PyObject_CallMethodOneArg(strategy, name, argument);
    Py_DECREF(name);
    Py_DECREF(argument);
    if (result == nullptr) die(std::string("strategy.") + method + " failed");
    return result;
}

PyObject* load_strategy(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string module = slash == std::string::npos ? path : path.substr(slash + 1);
    if (module.size() > 3 && module.ends_with(".py")) module.resize(module.size() - 3);
    PyObject* sys_path = PySys_GetObject("path");  // borrowed
    PyObject* entry = PyUnicode_FromString(directory.c_str());
    if (sys_path == nullptr || entry == nullptr || PyList_Insert(sys_path, 0, entry) < 0) die("cannot set sys.path");
    Py_DECREF(entry);
    PyObject* loaded = PyImport_ImportModule(module.c_str());
    if (loaded == nullptr) die("cannot import the strategy " + path);
    PyObject* strategy = PyObject_CallMethod(loaded, "create", nullptr);
    Py_DECREF(loaded);
    if (strategy == nullptr) die("strategy.create() failed");
    return strategy;
}

void start_python() {
    if (PyImport_AppendInittab("kavno", PyInit_kavno) < 0) die("cannot register kavno");
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    PyStatus status = PyStatus_Ok();
    if (std::getenv("PYTHONHOME") == nullptr) {
        status = PyConfig_SetBytesString(&config, &config.home, KAVNO_PYTHON_HOME);
    }
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    const std::vector<Bar> bars = options.csv.empty() ? generated_series(options.candles) : csv_series(options.csv);
    start_python();
    PyObject* strategy = load_strategy(options.strategy);

    double cash = 0.0, holding = 0.0, fees = 0.0, entry_price = 0.0;
    std::size_t trades = 0;
    const auto started = std::chrono::steady_clock::now();
    for (const Bar& bar : bars) {
        PyObject* signal = call(strategy, "on_candle",
                                kavno::make_candle({kavno::TradeKind::Spot, "BTCUSDT", kavno::CandleInterval::Min1,
                                                    kavno::Milliseconds{bar.open_ms},
                                                    kavno::Milliseconds{bar.open_ms + 59'999}, bar.open, bar.high,
                                                    bar.low, bar.close, bar.volume, bar.volume * bar.close, 100}));
        if (signal != Py_None) {
            PyObject* side_object = nullptr;
            double volume = 0.0;
            if (!PyArg_ParseTuple(signal, "Od;on_candle gives None or (TradeSide, volume)", &side_object, &volume)) {
                die("strategy.on_candle gave something else");
            }
            PyObject* side_number = PyNumber_Long(side_object);  // int(TradeSide)
            const long side_value = side_number ? PyLong_AsLong(side_number) : -1;
            Py_XDECREF(side_number);
            if (side_value < 0 || side_value > 1) die("the side is not a TradeSide");
            const auto side = static_cast<kavno::TradeSide>(side_value);
            if (side == kavno::TradeSide::Short) volume = std::min(volume, holding);  // no short selling here
            if (volume > 0.0) {
                const double fee = volume * bar.close * 0.001;
                const double signed_volume = side == kavno::TradeSide::Long ? volume : -volume;
                if (side == kavno::TradeSide::Long) entry_price = bar.close;
                cash -= signed_volume * bar.close + fee;
                holding += signed_volume;
                fees += fee;
                ++trades;
                const std::string id = "order-" + std::to_string(trades);
                Py_DECREF(call(strategy, "on_order",
                               kavno::make_order({id, kavno::TradeKind::Spot, kavno::TradeType::Market, side, "BTCUSDT",
                                                  kavno::OrderStatus::Filled, volume, bar.close, volume, bar.close, fee,
                                                  kavno::Milliseconds{bar.open_ms + 59'999}})));
                Py_DECREF(call(strategy, "on_position",
                               kavno::make_position({kavno::TradeKind::Spot, "BTCUSDT", kavno::TradeSide::Long,
                                                     holding, holding > 0.0 ? entry_price : 0.0, 1})));
            }
        }
        Py_DECREF(signal);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double last_close = bars.empty() ? 0.0 : bars.back().close;

    PyObject* log = PyObject_GetAttrString(strategy, "log");
    if (log == nullptr || !PyList_Check(log)) die("strategy.log is not a list");
    std::printf("kavno host: %zu candles through %s\n", bars.size(), options.strategy.c_str());
    const Py_ssize_t lines = PyList_GET_SIZE(log);
    for (Py_ssize_t i = 0; i < lines && static_cast<std::size_t>(i) < options.log_lines; ++i) {
        std::printf("  %s\n", PyUnicode_AsUTF8(PyList_GET_ITEM(log, i)));
    }
    if (static_cast<std::size_t>(lines) > options.log_lines) {
        std::printf("  ... %zd more\n", lines - static_cast<Py_ssize_t>(options.log_lines));
    }
    std::printf("trades: %zu\n", trades);
    std::printf("final position: %.4f BTCUSDT at %.2f\n", holding, last_close);
    std::printf("fees: %.2f\n", fees);
    std::printf("PnL: %.2f\n", cash + holding * last_close);
    std::printf("candles per second: %.0f\n", seconds > 0 ? static_cast<double>(bars.size()) / seconds : 0.0);
    Py_DECREF(log);
    Py_DECREF(strategy);
    return Py_FinalizeEx() < 0 ? 1 : 0;
}
