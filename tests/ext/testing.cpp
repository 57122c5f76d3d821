// _kavno_testing: a test-only extension that makes records exactly as a third-party producer would, through
// the public headers; plus a no-op entry (the floor for benchmarks), a way to drive the fatal stop (kavno's own
// pure/fatal.hpp) and Arrow arrays made by hand for the feed's tests (feed/arrow.hpp). Texts are taken as bytes so that invalid UTF-8 can be offered; enumeration values as
// plain ints so that out-of-range ones can be; dates as an int (milliseconds) or a 7-tuple of UTC fields.
#define PY_SSIZE_T_CLEAN  // the "#" formats of PyArg_Parse take Py_ssize_t lengths
#include "kavno/producer.hpp"

#include "pure/fatal.hpp"
#include "../../feed/arrow.hpp"

#include <datetime.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

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

// --- an Arrow exporter whose release callbacks are counted -----------------------------------------------------
// Tables built from Python lists, exported as a stream of record batches (struct arrays), so that the tests can
// see kavno_feed call each release callback exactly once, whatever happens to the data in between.

struct Counts {
    std::atomic<long> schemas = 0, arrays = 0, streams = 0;
};
Counts exported, released;

struct ColumnSpec {
    std::string name, format;
    std::vector<std::int64_t> bits;   // each value's 8 bytes (int64, or a double's bits)
    std::vector<bool> valid;
};

struct BatchData {  // owns what one exported struct array points at
    std::vector<std::vector<std::uint8_t>> buffers;
    std::vector<std::vector<const void*>> buffer_lists;
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_pointers;
    const void* struct_buffers[1] = {nullptr};
};

void release_array(ArrowArray* array) {
    delete static_cast<BatchData*>(array->private_data);
    array->release = nullptr;
    ++released.arrays;
}

void release_child(ArrowArray* array) { array->release = nullptr; }

void export_batch(const std::vector<ColumnSpec>& columns, std::size_t from, std::size_t to, ArrowArray* out) {
    auto* data = new BatchData;
    const auto rows = static_cast<std::int64_t>(to - from);
    data->children.resize(columns.size());
    data->buffers.resize(2 * columns.size());
    data->buffer_lists.resize(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
        std::vector<std::uint8_t>& validity = data->buffers[2 * c];
        std::vector<std::uint8_t>& values = data->buffers[2 * c + 1];
        validity.assign((rows + 7) / 8 + 1, 0);
        const int width = columns[c].format == "g" || columns[c].format == "l" || columns[c].format == "L" ||
                                  columns[c].format.starts_with("ts")
                              ? 8
                              : 4;
        values.resize(static_cast<std::size_t>(rows * width) + 8);
        std::int64_t nulls = 0;
        for (std::int64_t r = 0; r < rows; ++r) {
            const std::int64_t bits = columns[c].bits[from + static_cast<std::size_t>(r)];
            if (width == 8) {
                std::memcpy(&values[static_cast<std::size_t>(r * 8)], &bits, 8);
            } else if (columns[c].format == "f") {
                double wide;
                std::memcpy(&wide, &bits, 8);
                const auto narrow = static_cast<float>(wide);
                std::memcpy(&values[static_cast<std::size_t>(r * 4)], &narrow, 4);
            } else {
                const auto narrow = static_cast<std::int32_t>(bits);
                std::memcpy(&values[static_cast<std::size_t>(r * 4)], &narrow, 4);
            }
            if (columns[c].valid[from + static_cast<std::size_t>(r)]) {
                validity[static_cast<std::size_t>(r / 8)] |= static_cast<std::uint8_t>(1u << (r % 8));
            } else {
                ++nulls;
            }
        }
        data->buffer_lists[c] = {nulls ? validity.data() : nullptr, values.data()};
        data->children[c] = ArrowArray{rows, nulls, 0, 2, 0, data->buffer_lists[c].data(), nullptr, nullptr,
                                       release_child, nullptr};
    }
    for (ArrowArray& child : data->children) data->child_pointers.push_back(&child);
    *out = ArrowArray{rows, 0, 0, 1, static_cast<std::int64_t>(columns.size()), data->struct_buffers,
                      data->child_pointers.data(), nullptr, release_array, data};
    ++exported.arrays;
}

struct SchemaData {
    std::vector<std::string> names, formats;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_pointers;
};

void release_child_schema(ArrowSchema* schema) { schema->release = nullptr; }

void release_schema(ArrowSchema* schema) {
    delete static_cast<SchemaData*>(schema->private_data);
    schema->release = nullptr;
    ++released.schemas;
}

void export_schema(const std::vector<ColumnSpec>& columns, ArrowSchema* out) {
    auto* data = new SchemaData;
    for (const ColumnSpec& column : columns) {
        data->names.push_back(column.name);
        data->formats.push_back(column.format);
    }
    for (std::size_t c = 0; c < columns.size(); ++c) {
        data->children.push_back(ArrowSchema{data->formats[c].c_str(), data->names[c].c_str(), nullptr,
                                             ARROW_FLAG_NULLABLE, 0, nullptr, nullptr, release_child_schema, nullptr});
    }
    for (ArrowSchema& child : data->children) data->child_pointers.push_back(&child);
    *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<std::int64_t>(columns.size()), data->child_pointers.data(),
                       nullptr, release_schema, data};
    ++exported.schemas;
}

struct StreamData {
    std::vector<ColumnSpec> columns;
    std::size_t rows = 0, chunk = 1, next = 0;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    export_schema(static_cast<StreamData*>(stream->private_data)->columns, out);
    return 0;
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* data = static_cast<StreamData*>(stream->private_data);
    if (data->next >= data->rows) {
        out->release = nullptr;  // the end
        return 0;
    }
    const std::size_t to = std::min(data->rows, data->next + data->chunk);
    export_batch(data->columns, data->next, to, out);
    data->next = to;
    return 0;
}

const char* stream_error(ArrowArrayStream*) { return "no error"; }

void release_stream(ArrowArrayStream* stream) {
    delete static_cast<StreamData*>(stream->private_data);
    stream->release = nullptr;
    ++released.streams;
}

void destroy_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (stream->release != nullptr) stream->release(stream);  // not taken by a consumer
    delete stream;
}

// arrow_stream(columns, chunk): columns is a list of (name, format, values) with formats "g" (float64), "f"
// (float32), "l" (int64), "i" (int32), "L" (uint64) or "ts<unit>:<zone>"; None is a null.
PyObject* arrow_stream(PyObject*, PyObject* args) {
    PyObject* columns_object;
    Py_ssize_t chunk = 1;
    if (!PyArg_ParseTuple(args, "O!n", &PyList_Type, &columns_object, &chunk)) return nullptr;
    auto data = std::make_unique<StreamData>();
    data->chunk = static_cast<std::size_t>(std::max<Py_ssize_t>(chunk, 1));
    for (Py_ssize_t c = 0; c < PyList_GET_SIZE(columns_object); ++c) {
        const char *name, *format;
        PyObject* values;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(columns_object, c), "ssO!", &name, &format, &PyList_Type, &values)) {
            return nullptr;
        }
        ColumnSpec column{name, format, {}, {}};
        for (Py_ssize_t r = 0; r < PyList_GET_SIZE(values); ++r) {
            PyObject* value = PyList_GET_ITEM(values, r);
            std::int64_t bits = 0;
            if (value != Py_None && PyFloat_Check(value)) {
                const double number = PyFloat_AS_DOUBLE(value);
                std::memcpy(&bits, &number, 8);
            } else if (value != Py_None) {
                bits = static_cast<std::int64_t>(PyLong_AsUnsignedLongLongMask(value));
                if (PyErr_Occurred()) return nullptr;
            }
            column.bits.push_back(bits);
            column.valid.push_back(value != Py_None);
        }
        data->rows = column.bits.size();
        data->columns.push_back(std::move(column));
    }
    auto* stream = new ArrowArrayStream{stream_schema, stream_next, stream_error, release_stream, data.release()};
    ++exported.streams;
    return PyCapsule_New(stream, "arrow_array_stream", destroy_stream_capsule);
}

PyObject* arrow_counts(PyObject*, PyObject*) {
    return Py_BuildValue("{s:(lll),s:(lll)}", "exported", exported.schemas.load(), exported.arrays.load(),
                         exported.streams.load(), "released", released.schemas.load(), released.arrays.load(),
                         released.streams.load());
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
    {"arrow_stream", arrow_stream, METH_VARARGS, nullptr},
    {"arrow_counts", arrow_counts, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_kavno_testing", "Test-only producer of kavno records.", -1,
                          methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__kavno_testing() {
    PyObject* module = PyModule_Create(&definition);
#ifdef Py_GIL_DISABLED
    // Its counters are atomic; everything else it does is the producer API's.
    if (module != nullptr && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) Py_CLEAR(module);
#endif
    return module;
}
