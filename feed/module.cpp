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
#include <string>
#include <vector>

namespace {

constexpr int keywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"make_pair", kavno::method_entry<feed::make_pair>(), keywords, nullptr},
    {"make_candle", kavno::method_entry<feed::make_candle>(), keywords, nullptr},
    {"make_order", kavno::method_entry<feed::make_order>(), keywords, nullptr},
    {"make_position", kavno::method_entry<feed::make_position>(), keywords, nullptr},
    {"fields", kavno::method_entry<feed::fields>(), METH_O,
     "fields($module, record, /)\n--\n\n"
     "A dict of a kavno record's fields (Pair, Candle, Order or Position), in their order: what a test prints or "
     "compares, as dataclasses.asdict does for a dataclass."},
    {"same", kavno::method_entry<feed::same>(), METH_FASTCALL,
     "same($module, a, b, /)\n--\n\n"
     "Whether two kavno records are of one class and hold the same value in every field (two NaNs are the same). "
     "Records compare by identity, as kavno's records must: a test that means their values asserts same(a, b)."},
    {"_series", kavno::method_entry<feed::rebuild_series>(), METH_FASTCALL,
     "_series($module, columns, code, interval, kind, reversed, /)\n--\n\nA CandleSeries unpickled (what __reduce_ex__ gives)."},
    {"table", kavno::method_entry<feed::table>(), METH_O,
     "table($module, records, /)\n--\n\n"
     "A RecordTable of records of one class (Pairs, Candles, Orders or Positions), one Arrow column per field: texts "
     "as strings, dates as UTC timestamps in microseconds, enumerations as dictionary-encoded member names "
     "(\"OrderStatus.Filled\"). It speaks the Arrow PyCapsule interface: pa.table(t), pl.DataFrame(pa.table(t)), "
     "duckdb.sql(\"SELECT * FROM t\")."},
    {"candles", kavno::method_entry<feed::candles>(), keywords, nullptr},
    {"candles_by", kavno::method_entry<feed::candles_by>(), keywords, nullptr},
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

// Interns the keywords of the functions that take them and gives each its docstring, signature first (their
// entries above have none until then); once, at the first import.
bool prepare_signatures() {
    static std::vector<std::string> docs;  // the entries point into these, for the process
    if (!docs.empty()) return true;
    std::vector<feed::Signed> functions = feed::factory_signatures();
    functions.push_back(feed::candles_signed);
    functions.push_back(feed::candles_by_signed);
    std::vector<std::string> made;
    for (const feed::Signed& function : functions) {
        if (auto interned = function.signature->intern(); !interned) return kavno::raise(std::move(interned)), false;
        made.push_back(function.signature->doc_with_signature(function.doc));
    }
    docs = std::move(made);
    for (std::size_t f = 0; f < functions.size(); ++f) {
        for (PyMethodDef& method : methods) {
            if (method.ml_name != nullptr && functions[f].signature->function() == method.ml_name) {
                method.ml_doc = docs[f].c_str();
            }
        }
    }
    return true;
}

PyObject* initialise() {
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
    if (!prepare_signatures()) return nullptr;
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
    if (!feed::load_dependencies() || !feed::add_series_types(module) ||
        !feed::add_table_type(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    stored_module = module;  // kept for the process
    (void)Py_AtExit(remember_finalization);
    return Py_NewRef(module);
}

}  // namespace

PyMODINIT_FUNC PyInit_kavno_feed() { return kavno::Guarded<initialise>::call(); }
