// _kavno_testing: a test-only extension that makes records exactly as a third-party producer would, through
// the public header and nothing else of kavno's; plus a no-op entry (the floor for benchmarks) and a way to
// drive the fatal stop. Texts are taken as bytes so that invalid UTF-8 can be offered; enumeration values as
// plain ints so that out-of-range ones can be; dates as an int (milliseconds) or a 7-tuple of UTC fields.
#define PY_SSIZE_T_CLEAN  // the "#" formats of PyArg_Parse take Py_ssize_t lengths
#include "kavno/producer.hpp"

#include "pure/fatal.hpp"

#include <datetime.h>

namespace {

bool to_instant(PyObject* object, kavno::Instant& out) {
    if (PyLong_Check(object)) {
        const long long ms = PyLong_AsLongLong(object);
        if (ms == -1 && PyErr_Occurred()) return false;
        out = kavno::Milliseconds{ms};
        return true;
    }
    int year, month, day, hour, minute, second;
    unsigned int nanosecond;
    if (!PyArg_ParseTuple(object, "iiiiiiI;a date is an int of milliseconds or (y, m, d, h, mi, s, ns)", &year,
                          &month, &day, &hour, &minute, &second, &nanosecond)) {
        return false;
    }
    auto byte = [](int v) { return static_cast<std::uint8_t>(v); };
    out = kavno::UtcDateTime{year, byte(month), byte(day), byte(hour), byte(minute), byte(second), nanosecond};
    return true;
}

std::string_view view(const char* data, Py_ssize_t size) { return {data, static_cast<std::size_t>(size)}; }

PyObject* make_pair(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"kind", "code", "base", "quote", "min_volume", "min_price", "min_amount", nullptr};
    int kind;
    const char *code, *base, *quote;
    Py_ssize_t code_size, base_size, quote_size;
    double min_volume, min_price, min_amount;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iy#y#y#ddd", const_cast<char**>(names), &kind, &code, &code_size,
                                     &base, &base_size, &quote, &quote_size, &min_volume, &min_price, &min_amount)) {
        return nullptr;
    }
    return kavno::make_pair({static_cast<kavno::TradeKind>(kind), view(code, code_size), view(base, base_size),
                             view(quote, quote_size), min_volume, min_price, min_amount});
}

PyObject* make_candle(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"kind",  "code", "interval", "open_time", "close_time", "open", "high",
                                  "low",   "close", "volume",  "amount",    "trades",     nullptr};
    int kind, interval;
    const char* code;
    Py_ssize_t code_size;
    PyObject *open_time, *close_time;
    double open, high, low, close, volume, amount;
    long long trades;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iy#iOOddddddL", const_cast<char**>(names), &kind, &code,
                                     &code_size, &interval, &open_time, &close_time, &open, &high, &low, &close,
                                     &volume, &amount, &trades)) {
        return nullptr;
    }
    kavno::Instant open_at, close_at;
    if (!to_instant(open_time, open_at) || !to_instant(close_time, close_at)) return nullptr;
    return kavno::make_candle({static_cast<kavno::TradeKind>(kind), view(code, code_size),
                               static_cast<kavno::CandleInterval>(interval), open_at, close_at, open, high, low, close,
                               volume, amount, trades});
}

PyObject* make_order(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"id",     "kind",  "type",          "side",         "code", "status",
                                  "volume", "price", "filled_volume", "filled_price", "fee",  "create_time",
                                  nullptr};
    const char *id, *code;
    Py_ssize_t id_size, code_size;
    int kind, type, side, status;
    double volume, price, filled_volume, filled_price, fee;
    PyObject* create_time;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y#iiiy#idddddO", const_cast<char**>(names), &id, &id_size, &kind,
                                     &type, &side, &code, &code_size, &status, &volume, &price, &filled_volume,
                                     &filled_price, &fee, &create_time)) {
        return nullptr;
    }
    kavno::Instant created;
    if (!to_instant(create_time, created)) return nullptr;
    return kavno::make_order({view(id, id_size), static_cast<kavno::TradeKind>(kind),
                              static_cast<kavno::TradeType>(type), static_cast<kavno::TradeSide>(side),
                              view(code, code_size), static_cast<kavno::OrderStatus>(status), volume, price,
                              filled_volume, filled_price, fee, created});
}

PyObject* make_position(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"kind", "code", "side", "volume", "price", "leverage", nullptr};
    int kind, side, leverage;
    const char* code;
    Py_ssize_t code_size;
    double volume, price;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iy#iddi", const_cast<char**>(names), &kind, &code, &code_size,
                                     &side, &volume, &price, &leverage)) {
        return nullptr;
    }
    return kavno::make_position({static_cast<kavno::TradeKind>(kind), view(code, code_size),
                                 static_cast<kavno::TradeSide>(side), volume, price, leverage});
}

// Makes and drops `count` candles through the producer API, for timing record creation natively.
PyObject* create_candles(PyObject*, PyObject* count_object) {
    const Py_ssize_t count = PyLong_AsSsize_t(count_object);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* candle = kavno::make_candle({kavno::TradeKind::Spot, "BTCUSDT", kavno::CandleInterval::Min1,
                                               kavno::Milliseconds{1'710'498'600'000 + i * 60'000},
                                               kavno::Milliseconds{1'710'498'659'999 + i * 60'000}, 71'000.0, 71'250.5,
                                               70'990.0, 71'200.0, 12.5, 889'000.0, 1'204});
        if (candle == nullptr) return nullptr;
        Py_DECREF(candle);
    }
    Py_RETURN_NONE;
}

// The floor of a module function call: same calling convention, no work.
PyObject* noop(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { Py_RETURN_NONE; }

// The floor of an entry that returns a datetime: the same call, then the datetime C API's constructor alone.
PyObject* utc_datetime(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) return nullptr;
    }
    return PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(2024, 3, 15, 10, 30, 0, 0, PyDateTimeAPI->TimeZone_UTC, 0,
                                                          PyDateTimeAPI->DateTimeType);
}

// A make_* body that runs out of memory while it composes a refusal: what the caller sees is a MemoryError.
PyObject* bad_alloc_in_producer(PyObject*, PyObject*) {
    return kavno::producer_detail::guarded([]() -> PyObject* { throw std::bad_alloc(); });
}

PyObject* fatal(PyObject*, PyObject* message) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(message, &size);
    if (text == nullptr) return nullptr;
    kavno::fatal(view(text, size));
}

PyMethodDef methods[] = {
    {"make_pair", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make_pair)), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"make_candle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make_candle)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"make_order", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make_order)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"make_position", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make_position)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"noop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop)), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"create_candles", create_candles, METH_O, nullptr},
    {"utc_datetime", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(utc_datetime)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"fatal", fatal, METH_O, nullptr},
    {"bad_alloc_in_producer", bad_alloc_in_producer, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_kavno_testing", "Test-only producer of kavno records.", -1,
                          methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__kavno_testing() { return PyModule_Create(&definition); }
