// kavno_feed: kavno's records from Python data, for strategy tests and Python-driven backtests. A producer like any
// other: it uses kavno's public headers only and makes every record through the producer API.
#include "factories.hpp"
#include "arguments.hpp"
#include "series.hpp"
#include "table.hpp"

#include "boundary/lock.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace {

template <auto Function>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

constexpr int keywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"make_pair", fastcall<feed::make_pair>(), keywords,
     "make_pair($module, /, *, code, base, quote, kind=None, min_volume=None, min_price=None, min_amount=None)\n--\n\n"
     "A Pair. kind defaults to TradeKind.Spot, the minimums to 0.0."},
    {"make_candle", fastcall<feed::make_candle>(), keywords,
     "make_candle($module, /, *, code, open_time, close, open=None, high=None, low=None, volume=None, amount=None, "
     "trades=None, kind=None, interval=None, close_time=None)\n--\n\n"
     "A Candle. open defaults to close, high to max(open, close), low to min(open, close), volume and amount to "
     "0.0, trades to 0, kind to TradeKind.Spot, interval to CandleInterval.Min1, close_time to open_time + interval "
     "- 1 ms."},
    {"make_order", fastcall<feed::make_order>(), keywords,
     "make_order($module, /, *, id, code, side, price, volume, create_time, kind=None, type=None, status=None, "
     "filled_volume=None, filled_price=None, fee=None)\n--\n\n"
     "An Order. kind defaults to TradeKind.Spot, type to TradeType.Limit, status to OrderStatus.Created, the fill "
     "and the fee to 0.0."},
    {"make_position", fastcall<feed::make_position>(), keywords,
     "make_position($module, /, *, code, side, volume, price, kind=None, leverage=None)\n--\n\n"
     "A Position. kind defaults to TradeKind.Spot, leverage to 1."},
    {"fields", feed::fields, METH_O,
     "fields($module, record, /)\n--\n\n"
     "A dict of a kavno record's fields (Pair, Candle, Order or Position), in their order: what a test prints or "
     "compares, as dataclasses.asdict does for a dataclass."},
    {"same", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(feed::same)), METH_FASTCALL,
     "same($module, a, b, /)\n--\n\n"
     "Whether two kavno records are of one class and hold the same value in every field (two NaNs are the same). "
     "Records compare by identity, as kavno's records must: a test that means their values asserts same(a, b)."},
    {"_series", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(feed::rebuild_series)), METH_FASTCALL,
     "_series($module, columns, code, interval, kind, reversed, /)\n--\n\nA CandleSeries unpickled (what __reduce_ex__ gives)."},
    {"table", feed::table, METH_O,
     "table($module, records, /)\n--\n\n"
     "A RecordTable of records of one class (Pairs, Candles, Orders or Positions), one Arrow column per field: texts "
     "as strings, dates as UTC timestamps in microseconds, enumerations as dictionary-encoded member names "
     "(\"OrderStatus.Filled\"). It speaks the Arrow PyCapsule interface: pa.table(t), pl.DataFrame(pa.table(t)), "
     "duckdb.sql(\"SELECT * FROM t\")."},
    {"candles", fastcall<feed::candles>(), keywords,
     "candles($module, data, /, *, code, interval, kind=None, time_unit=None, columns=None, check_high_low=None)\n--\n\n"
     "A CandleSeries over the bars of data: anything with __arrow_c_stream__ or __arrow_c_array__ (a pyarrow Table "
     "or RecordBatch, a polars or pandas DataFrame, a DuckDB result, ...), a mapping of column names to "
     "one-dimensional buffers (NumPy arrays), or the path of a CSV file of bars (open_time_ms,open,high,low,close,"
     "volume). Columns open_time, open, high, low, close and volume are required; close_time, amount and trades are "
     "optional; columns={\"open_time\": \"ts\", ...} names the data's columns. Times are Arrow timestamps of any "
     "zone, dates, or integers in time_unit (\"s\", \"ms\" by default, \"us\", \"ns\"). Every bar is checked when the "
     "series is made: prices finite, volume and amount finite and not negative, trades not negative, close_time not "
     "before open_time, each bar opening after the bar before has closed, low and high bounding open and close "
     "(check_high_low=False relaxes this rule only), every date in the years 1 to 9999. kind defaults to "
     "TradeKind.Spot."},
    {"candles_by", fastcall<feed::candles_by>(), keywords,
     "candles_by($module, data, /, *, by, interval, kind=None, time_unit=None, columns=None, check_high_low=None)\n"
     "--\n\n"
     "A dict from each value of the column `by` (strings or integers) to the CandleSeries of its rows, in one pass "
     "over Arrow data, keys in the order they first appear; each series' code is its key, and its bars are checked "
     "as candles() checks them."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "kavno_feed",
    "kavno's records from Python data: factories for tests (make_pair, make_candle, make_order, make_position) and "
    "candles(), a sequence of Candle records over columnar data for backtests.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// kavno_feed belongs to the interpreter that first imports it, as kavno does: its classes and what it fetched from
// kavno live for the process. Built once; importing it again gives the same module.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* stored_module = nullptr;
// Set when the runtime that imported kavno_feed is finalized: its module and classes went with it.
std::atomic<bool> runtime_finalized{false};

void remember_finalization() { runtime_finalized.store(true); }

bool prepare_keywords() {
    for (feed::Keywords* keywords : {&feed::pair_keywords, &feed::candle_keywords, &feed::order_keywords,
                                     &feed::position_keywords, &feed::candles_keywords,
                                     &feed::candles_by_keywords}) {
        if (!keywords->intern()) return false;
    }
    return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_kavno_feed() {
    if (runtime_finalized.load()) {
        PyErr_SetString(PyExc_ImportError,
                        "kavno_feed: the interpreter that imported kavno_feed was finalized; kavno_feed cannot be "
                        "imported again in this process (re-initialisation is not supported)");
        return nullptr;
    }
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, current) && expected != current) {
        PyErr_SetString(PyExc_ImportError,
                        "kavno_feed: modules do not yet support subinterpreters, see "
                        "https://docs.python.org/3/c-api/init.html#sub-interpreter-support");
        return nullptr;
    }
    static kavno::BlockingLock lock;  // held while it imports kavno, which lets other threads run
    std::lock_guard guard(lock);
    if (stored_module != nullptr) return Py_NewRef(stored_module);
    PyObject* module = PyModule_Create(&definition);
    if (module == nullptr) return nullptr;
#ifdef Py_GIL_DISABLED
    // What kavno_feed shares is made here, once, and only read afterwards; a series and its columns never change,
    // and an iterator steps under its own critical section.
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
#endif
    if (!prepare_keywords() || !feed::load_dependencies() || !feed::add_series_types(module) ||
        !feed::add_table_type(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    stored_module = module;  // kept for the process
    (void)Py_AtExit(remember_finalization);
    return Py_NewRef(module);
}
