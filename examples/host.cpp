// kavno_host: an engine in miniature. It starts CPython, loads a strategy (examples/strategy.py by default), feeds
// it candles (a generated series or a CSV file), fills the orders it asks for at the bar's close, hands it Order
// and Position records, and reports. Bad input, bad options and a failing strategy end it with a message and a
// non-zero exit status: 2 for input and options, 1 for the strategy.
//
// Built two ways from this one file: kavno_host links kavno in and registers it with PyImport_AppendInittab;
// kavno_host_installed (KAVNO_HOST_INSTALLED) links nothing of kavno's and imports the kavno installed in the
// Python environment given with --python, as any other engine embedding CPython would.
#include "bars.hpp"
#include "kavno/producer.hpp"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifndef KAVNO_HOST_INSTALLED
extern "C" PyObject* PyInit_kavno();
#endif

namespace {

constexpr const char* usage =
    "usage: kavno_host [--candles N | --csv FILE] [--code CODE] [--interval Min1|Min5|Min15|Hour1|Day1]\n"
    "                  [--strategy FILE] [--log N] [--python PATH]\n"
    "  --candles N     replay N generated bars (1 to 10000000; 100000 by default)\n"
    "  --csv FILE      replay the bars of FILE: open_time_ms,open,high,low,close,volume per line\n"
    "  --code CODE     the trading code the bars are of (BTCUSDT by default)\n"
    "  --interval I    the bars' period (Min1 by default); close_time is open_time + I - 1 ms\n"
    "  --strategy FILE the strategy module (examples/strategy.py by default)\n"
    "  --log N         print the first N lines of the strategy's log (6 by default)\n"
    "  --python PATH   the Python executable whose environment to run in (its venv, its installed kavno)\n";

// The member of CandleInterval named `name`, as kavno's list of enumerations names them.
std::optional<kavno::CandleInterval> interval_named(std::string_view name) {
    const kavno::EnumerationDescription& intervals =
        kavno::enumerations[static_cast<std::size_t>(kavno::EnumerationId::CandleInterval)];
    for (std::uint8_t member = 0; member < intervals.member_count; ++member) {
        if (name == intervals.members[member]) return static_cast<kavno::CandleInterval>(member);
    }
    return std::nullopt;
}

struct Options {
    std::optional<std::size_t> candles;
    std::optional<std::string> csv;  // a file of bars, or none for generated bars
    std::string code = "BTCUSDT";
    kavno::CandleInterval interval = kavno::CandleInterval::Min1;
    std::string strategy = KAVNO_EXAMPLES_DIR "/strategy.py";
    std::size_t log_lines = 6;
    std::string python;
};

[[noreturn]] void bad_input(const std::string& message) {
    std::fprintf(stderr, "kavno_host: %s\n", message.c_str());
    std::exit(2);
}

std::size_t count_option(std::string_view name, std::string_view text, std::size_t low, std::size_t high) {
    std::size_t value = 0;
    if (!bars::parse_whole(text, value) || value < low || value > high) {
        bad_input(std::string(name) + ": " + bars::shown(text) + " is not a count from " + std::to_string(low) +
                  " to " + std::to_string(high));
    }
    return value;
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) bad_input(std::string(arg) + " needs a value (kavno_host --help lists the options)");
        const std::string_view value = argv[++i];
        if (arg == "--candles") {
            options.candles = count_option(arg, value, 1, 10'000'000);
        } else if (arg == "--csv") {
            if (value.empty()) bad_input("--csv: '' names no file");
            options.csv = value;
        } else if (arg == "--code") {
            if (value.empty() || !kavno::is_utf8(value)) bad_input("--code: " + bars::shown(value) + " is no code");
            options.code = value;
        } else if (arg == "--interval") {
            const std::optional<kavno::CandleInterval> known = interval_named(value);
            if (!known) bad_input("--interval: " + bars::shown(value) + " is not one of Min1, Min5, Min15, Hour1, Day1");
            options.interval = *known;
        } else if (arg == "--strategy") {
            options.strategy = value;
        } else if (arg == "--log") {
            options.log_lines = count_option(arg, value, 0, 1'000'000);
        } else if (arg == "--python") {
            options.python = value;
        } else {
            bad_input("unknown option " + bars::shown(arg) + " (kavno_host --help lists the options)");
        }
    }
    if (options.candles && options.csv) bad_input("--candles and --csv exclude each other");
    return options;
}

// A Python failure ends the run: what failed, then the exception with its traceback. A SystemExit raised by the
// strategy is a failure like any other, not a way to end the engine quietly.
[[noreturn]] void strategy_failed(const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "kavno_host: %s\n", what.c_str());
    if (PyObject* error = PyErr_GetRaisedException()) {
        if (PyErr_GivenExceptionMatches(error, PyExc_SystemExit)) {
            std::fprintf(stderr, "kavno_host: the strategy called sys.exit(); the run is incomplete\n");
        }
        PyErr_DisplayException(error);
        Py_DECREF(error);
    }
    std::fflush(stderr);
    std::exit(1);
}

// Calls a method of the strategy with one argument (stolen) and gives its result.
// A method of the strategy, by name: the name made once, not for every bar.
struct Method {
    const char* text;
    PyObject* name = nullptr;  // interned when Python has started; kept for the run

    PyObject* get() {
        if (name == nullptr && (name = PyUnicode_InternFromString(text)) == nullptr) {
            strategy_failed(std::string("cannot name the method ") + text);
        }
        return name;
    }
};
Method on_candle{"on_candle"}, on_order{"on_order"}, on_position{"on_position"};

// kavno.TradeSide, looked up once for the run.
PyTypeObject* trade_side_class() {
    static PyObject* found = nullptr;
    if (found == nullptr) {
        PyObject* kavno_module = PyImport_ImportModule("kavno");
        found = kavno_module ? PyObject_GetAttrString(kavno_module, "TradeSide") : nullptr;
        Py_XDECREF(kavno_module);
        if (found == nullptr || !PyType_Check(found)) strategy_failed("kavno.TradeSide is not a class");
    }
    return reinterpret_cast<PyTypeObject*>(found);
}

std::string at_bar(std::size_t index) { return "at bar " + std::to_string(index + 1); }

// Calls a method of the strategy with one argument (stolen) and gives its result; `index` says where, on failure.
PyObject* call(PyObject* strategy, Method& method, PyObject* argument, std::size_t index) {
    if (argument == nullptr) {
        strategy_failed(std::string("could not make the record for ") + method.text + " " + at_bar(index));
    }
    PyObject* result = PyObject_CallMethodOneArg(strategy, method.get(), argument);
    Py_DECREF(argument);
    if (result == nullptr) strategy_failed(std::string("strategy.") + method.text + " failed " + at_bar(index));
    return result;
}

// The strategy file, loaded by its path under a name of its own (a file named os.py is not the standard os), with
// its folder on sys.path for the modules beside it.
PyObject* load_strategy(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    PyObject* sys_path = PySys_GetObject("path");  // borrowed
    PyObject* entry = PyUnicode_DecodeFSDefault(directory.c_str());
    if (sys_path == nullptr || entry == nullptr || PyList_Insert(sys_path, 0, entry) < 0) {
        strategy_failed("cannot put " + directory + " on sys.path");
    }
    Py_DECREF(entry);
    static constexpr const char* loader =
        "import importlib.util, sys\n"
        "def load(path):\n"
        "    spec = importlib.util.spec_from_file_location('kavno_strategy', path)\n"
        "    if spec is None or spec.loader is None:\n"
        "        raise ImportError(f'{path} is no Python file')\n"
        "    module = importlib.util.module_from_spec(spec)\n"
        "    sys.modules['kavno_strategy'] = module\n"
        "    spec.loader.exec_module(module)\n"
        "    return module\n";
    PyObject* globals = PyDict_New();
    PyObject* ran = globals ? PyRun_String(loader, Py_file_input, globals, globals) : nullptr;
    Py_XDECREF(ran);
    PyObject* load = globals ? PyDict_GetItemString(globals, "load") : nullptr;  // borrowed
    PyObject* loaded = load ? PyObject_CallFunction(load, "s", path.c_str()) : nullptr;
    Py_XDECREF(globals);
    if (loaded == nullptr) strategy_failed("cannot import the strategy " + path);
    PyObject* strategy = PyObject_CallMethod(loaded, "create", nullptr);
    Py_DECREF(loaded);
    if (strategy == nullptr) strategy_failed("strategy.create() failed");
    return strategy;
}

// Where the strategy's method is written, "FILE:LINE", for messages about what it gave.
std::string defined_at(PyObject* strategy, const char* method) {
    PyObject* saved = PyErr_GetRaisedException();
    std::string where;
    PyObject* bound = PyObject_GetAttrString(strategy, method);
    PyObject* function = bound ? PyObject_GetAttrString(bound, "__func__") : nullptr;
    PyObject* code = function ? PyObject_GetAttrString(function, "__code__") : nullptr;
    PyObject* file = code ? PyObject_GetAttrString(code, "co_filename") : nullptr;
    PyObject* line = code ? PyObject_GetAttrString(code, "co_firstlineno") : nullptr;
    const char* file_text = file && PyUnicode_Check(file) ? PyUnicode_AsUTF8(file) : nullptr;
    if (file_text != nullptr && line != nullptr && PyLong_Check(line)) {
        where = std::string(file_text) + ":" + std::to_string(PyLong_AsLong(line));
    }
    for (PyObject* held : {bound, function, code, file, line}) Py_XDECREF(held);
    PyErr_Clear();
    PyErr_SetRaisedException(saved);
    return where.empty() ? std::string("the strategy") : where;
}

void start_python(const Options& options) {
#ifndef KAVNO_HOST_INSTALLED
    if (PyImport_AppendInittab("kavno", PyInit_kavno) < 0) bad_input("cannot register kavno");
#endif
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    PyStatus status = PyStatus_Ok();
    if (!options.python.empty()) {
        // As if that executable ran: its prefix, and its venv (pyvenv.cfg beside it) with the site-packages.
        status = PyConfig_SetBytesString(&config, &config.program_name, options.python.c_str());
    } else if (std::getenv("PYTHONHOME") == nullptr) {
        status = PyConfig_SetBytesString(&config, &config.home, KAVNO_PYTHON_HOME);
    }
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
}

struct Run {
    double cash = 0.0, holding = 0.0, fees = 0.0, entry_price = 0.0;
    std::size_t trades = 0;
};

// Hands one bar to the strategy and fills what it asks for at the bar's close (0.1% fee; no short selling).
void replay(PyObject* strategy, const Options& options, const bars::CsvBar& bar, std::size_t index, Run& run) {
    const kavno::Milliseconds close_time{bar.open_ms + kavno::interval_milliseconds(options.interval) - 1};
    PyObject* signal = call(strategy, on_candle,
                            kavno::make_candle({kavno::TradeKind::Spot, options.code, options.interval,
                                                kavno::Milliseconds{bar.open_ms}, close_time, bar.open, bar.high,
                                                bar.low, bar.close, bar.volume, bar.volume * bar.close, 100}),
                            index);
    if (signal != Py_None) {
        PyObject* side_object = nullptr;
        double volume = 0.0;
        if (!PyArg_ParseTuple(signal, "Od;on_candle gives None or (TradeSide, volume)", &side_object, &volume)) {
            strategy_failed("strategy.on_candle gave something else " + at_bar(index));
        }
        // A side is what kavno's comparisons take for one: a TradeSide member, or the int of one.
        const bool is_side = Py_IS_TYPE(side_object, trade_side_class()) || PyLong_Check(side_object);
        PyObject* side_number = is_side ? PyNumber_Long(side_object) : nullptr;  // int(TradeSide)
        const long side_value = side_number ? PyLong_AsLong(side_number) : -1;
        Py_XDECREF(side_number);
        if (side_value < 0 || side_value > 1 || PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%R (%.200s) is no side: a TradeSide member, 0 or 1", side_object,
                         Py_TYPE(side_object)->tp_name);
            strategy_failed("strategy.on_candle gave a side that is no TradeSide " + at_bar(index) + " (on_candle is at " +
                            defined_at(strategy, "on_candle") + ")");
        }
        const auto side = static_cast<kavno::TradeSide>(side_value);
        if (side == kavno::TradeSide::Short) volume = std::min(volume, run.holding);
        if (volume > 0.0) {
            const double fee = volume * bar.close * 0.001;
            const double signed_volume = side == kavno::TradeSide::Long ? volume : -volume;
            if (side == kavno::TradeSide::Long) run.entry_price = bar.close;
            run.cash -= signed_volume * bar.close + fee;
            run.holding += signed_volume;
            run.fees += fee;
            ++run.trades;
            const std::string id = "order-" + std::to_string(run.trades);
            Py_DECREF(call(strategy, on_order,
                           kavno::make_order({id, kavno::TradeKind::Spot, kavno::TradeType::Market, side, options.code,
                                              kavno::OrderStatus::Filled, volume, bar.close, volume, bar.close, fee,
                                              close_time}),
                           index));
            Py_DECREF(call(strategy, on_position,
                           kavno::make_position({kavno::TradeKind::Spot, options.code, kavno::TradeSide::Long,
                                                 run.holding, run.holding > 0.0 ? run.entry_price : 0.0, 1}),
                           index));
        }
    }
    Py_DECREF(signal);
}

// The strategy's log, a list of str, read whole before anything of the report is printed.
std::vector<std::string> read_log(PyObject* strategy) {
    PyObject* log = PyObject_GetAttrString(strategy, "log");
    if (log == nullptr) strategy_failed("the strategy has no log");
    if (!PyList_Check(log)) strategy_failed("strategy.log is not a list");
    std::vector<std::string> lines;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(log); ++i) {
        PyObject* line = PyList_GET_ITEM(log, i);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(line) ? PyUnicode_AsUTF8AndSize(line, &size) : nullptr;
        if (text == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_TypeError, "strategy.log[%zd] is a %.100s, not a str", i, Py_TYPE(line)->tp_name);
            }
            strategy_failed("the strategy's log cannot be printed");
        }
        lines.emplace_back(text, static_cast<std::size_t>(size));
    }
    Py_DECREF(log);
    return lines;
}

int run_engine(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    std::vector<bars::CsvBar> series;
    try {
        const std::int64_t interval_ms = kavno::interval_milliseconds(options.interval);
        series = options.csv ? bars::read_csv(*options.csv, interval_ms)
                             : bars::generated(options.candles.value_or(100'000), interval_ms);
    } catch (const bars::BadInput& error) {
        bad_input(error.what());
    } catch (const std::bad_alloc&) {
        bad_input(*options.csv + ": too many bars to hold in memory");
    }
    start_python(options);
    PyObject* strategy = load_strategy(options.strategy);

    Run run;
    const auto started = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < series.size(); ++i) replay(strategy, options, series[i], i, run);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double last_close = series.back().close;

    const std::vector<std::string> log = read_log(strategy);
    std::printf("kavno host: %zu candles through %s\n", series.size(), options.strategy.c_str());
    for (std::size_t i = 0; i < log.size() && i < options.log_lines; ++i) std::printf("  %s\n", log[i].c_str());
    if (log.size() > options.log_lines) std::printf("  ... %zu more\n", log.size() - options.log_lines);
    std::printf("trades: %zu\n", run.trades);
    std::printf("final position: %.4f %s at %.2f\n", run.holding, options.code.c_str(), last_close);
    std::printf("fees: %.2f\n", run.fees);
    std::printf("PnL: %.2f\n", run.cash + run.holding * last_close);
    std::printf("candles per second: %.0f\n", seconds > 0 ? static_cast<double>(series.size()) / seconds : 0.0);
    Py_DECREF(strategy);
    return Py_FinalizeEx() < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing may leave main as an exception: whatever escapes the run is reported, never a std::terminate.
    try {
        return run_engine(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "kavno_host: out of memory\n");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kavno_host: %s\n", error.what());
    }
    return 70;
}
