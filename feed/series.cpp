// CandleSeries: an immutable sequence of candles over columns, and its iterator. It holds the columns and nothing
// per bar; every access makes a new Candle through kavno's producer API, as every kavno attribute read makes a new
// object. Slices are views over the same columns.
#include "series.hpp"

#include "columns.hpp"
#include "export.hpp"
#include "boundary/ref.hpp"

#include "boundary/entry.hpp"
#include "boundary/lock.hpp"

#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace feed {

namespace {

PyTypeObject* series_type = nullptr;
PyTypeObject* iterator_type = nullptr;

struct SeriesObject {
    PyObject_HEAD
    // Constructed in place after the object is allocated, destroyed in series_dealloc.
    std::shared_ptr<const Table> table;
    // For one instrument of a split table: the table row of each of its bars; null when the series' rows are the
    // table's own.
    std::shared_ptr<const std::vector<std::int64_t>> rows;
    std::string code;
    kavno::TradeKind kind;
    kavno::CandleInterval interval;
    std::int64_t start;   // the table row of item 0
    std::int64_t length;  // items
    std::int64_t step;    // table rows from one item to the next (negative for reversed slices)
};

struct IteratorObject {
    PyObject_HEAD
    SeriesObject* series;  // strong
    std::int64_t next;     // the next item
    // The chunk that held the last row read: consecutive rows mostly lie in it.
    const Chunk* chunk;
    std::int64_t chunk_start;
};

SeriesObject* as_series(PyObject* object) { return reinterpret_cast<SeriesObject*>(object); }

// The table row of a position among the rows the series counts in.
std::int64_t table_row(const SeriesObject& series, std::int64_t position) {
    return series.rows ? (*series.rows)[static_cast<std::size_t>(position)] : position;
}

PyObject* candle_of(const SeriesObject& series, const Chunk& chunk, std::int64_t row) {
    const Timepoint opened = chunk[BarField::OpenTime].time(row);
    const Timepoint closed = chunk[BarField::CloseTime].present
                                 ? chunk[BarField::CloseTime].time(row)
                                 : opened.plus_milliseconds(interval_milliseconds(series.interval) - 1);
    return kavno::make_candle({
        .kind = series.kind,
        .code = series.code,
        .interval = series.interval,
        .open_time = instant_of(opened),
        .close_time = instant_of(closed),
        .open = chunk[BarField::Open].number(row),
        .high = chunk[BarField::High].number(row),
        .low = chunk[BarField::Low].number(row),
        .close = chunk[BarField::Close].number(row),
        .volume = chunk[BarField::Volume].number(row),
        .amount = chunk[BarField::Amount].present ? chunk[BarField::Amount].number(row) : 0.0,
        .trades = chunk[BarField::Trades].present ? chunk[BarField::Trades].integer(row) : 0,
    });
}

PyObject* item_at(const SeriesObject& series, std::int64_t index) {
    std::int64_t within = 0;
    const Chunk& chunk = series.table->locate(table_row(series, series.start + index * series.step), within);
    return candle_of(series, chunk, within);
}

PyObject* make_view(const SeriesObject& of, std::int64_t start, std::int64_t length, std::int64_t step) {
    auto* view = reinterpret_cast<SeriesObject*>(series_type->tp_alloc(series_type, 0));
    if (view == nullptr) return nullptr;
    new (&view->table) std::shared_ptr<const Table>(of.table);
    new (&view->rows) std::shared_ptr<const std::vector<std::int64_t>>(of.rows);
    new (&view->code) std::string(of.code);
    view->kind = of.kind;
    view->interval = of.interval;
    view->start = start;
    view->length = length;
    view->step = step;
    return reinterpret_cast<PyObject*>(view);
}

void series_dealloc(PyObject* self) {
    SeriesObject* series = as_series(self);
    series->table.~shared_ptr();  // the last view of a table releases its Arrow arrays and buffers, once
    series->rows.~shared_ptr();
    series->code.~basic_string();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t series_length(PyObject* self) { return static_cast<Py_ssize_t>(as_series(self)->length); }

// The sequence protocol's item: CPython has already added the length to a negative index (PySequence_GetItem),
// so one still negative is out of range, not counted again from the end.
PyObject* series_item(PyObject* self, Py_ssize_t index) {
    const SeriesObject& series = *as_series(self);
    if (index < 0 || index >= series.length) {
        PyErr_SetString(PyExc_IndexError, "CandleSeries index out of range");
        return nullptr;
    }
    return item_at(series, index);
}

PyObject* series_subscript(PyObject* self, PyObject* key) {
    const SeriesObject& series = *as_series(self);
    if (PySlice_Check(key)) {
        Py_ssize_t start = 0, stop = 0, step = 0;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
        const Py_ssize_t length = PySlice_AdjustIndices(static_cast<Py_ssize_t>(series.length), &start, &stop, step);
        // A view of fewer than two items never steps, and any step would do; one of more steps by less than this
        // series' length, so the product below cannot overflow (a huge step could, s[::2][::sys.maxsize]).
        const std::int64_t view_step = length < 2 ? 1 : series.step * step;
        return make_view(series, series.start + (length == 0 ? 0 : start * series.step), length, view_step);
    }
    const Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "CandleSeries indices must be integers or slices, not %.200s",
                         Py_TYPE(key)->tp_name);
        }
        return nullptr;
    }
    return series_item(self, index < 0 ? index + static_cast<Py_ssize_t>(series.length) : index);
}

PyObject* series_iter(PyObject* self) {
    auto* iterator = PyObject_New(IteratorObject, iterator_type);
    if (iterator == nullptr) return nullptr;
    iterator->series = reinterpret_cast<SeriesObject*>(Py_NewRef(self));
    iterator->next = 0;
    iterator->chunk = nullptr;
    iterator->chunk_start = 0;
    return reinterpret_cast<PyObject*>(iterator);
}

PyObject* get_code(PyObject* self, void*);

PyObject* series_repr(PyObject* self) {
    const SeriesObject& series = *as_series(self);
    Ref code = Ref::steal(get_code(self, nullptr));
    if (!code) return nullptr;
    return PyUnicode_FromFormat("CandleSeries(code=%R, interval=CandleInterval.%s, kind=TradeKind.%s, %lld candles)",
                                code.get(),
                                kavno::enumerations[static_cast<std::size_t>(kavno::EnumerationId::CandleInterval)]
                                    .members[static_cast<std::size_t>(series.interval)],
                                kavno::enumerations[static_cast<std::size_t>(kavno::EnumerationId::TradeKind)]
                                    .members[static_cast<std::size_t>(series.kind)],
                                static_cast<long long>(series.length));
}

// Sequence's count() and index(): candles compare by identity and every access makes a new one, so nothing
// taken from elsewhere is ever found.
PyObject* series_count(PyObject*, PyObject*) { return PyLong_FromLong(0); }

PyObject* series_index(PyObject*, PyObject* const*, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "index expected 1 to 3 arguments, got %zd", nargs);
        return nullptr;
    }
    PyErr_SetString(PyExc_ValueError, "CandleSeries.index(x): x not in series");
    return nullptr;
}

PyObject* get_code(PyObject* self, void*) {
    const SeriesObject& series = *as_series(self);
    return PyUnicode_FromStringAndSize(series.code.data(), static_cast<Py_ssize_t>(series.code.size()));
}

PyObject* enumeration_member(kavno::EnumerationId which, std::uint8_t value) {
    const auto& enumeration = kavno::enumerations[static_cast<std::size_t>(which)];
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(enumeration_class(which)), enumeration.members[value]);
}

PyObject* get_interval(PyObject* self, void*) {
    return enumeration_member(kavno::EnumerationId::CandleInterval, static_cast<std::uint8_t>(as_series(self)->interval));
}

PyObject* get_kind(PyObject* self, void*) {
    return enumeration_member(kavno::EnumerationId::TradeKind, static_cast<std::uint8_t>(as_series(self)->kind));
}

void iterator_dealloc(PyObject* self) {
    auto* iterator = reinterpret_cast<IteratorObject*>(self);
    Py_DECREF(reinterpret_cast<PyObject*>(iterator->series));
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* iterator_next(PyObject* self) {
    auto* iterator = reinterpret_cast<IteratorObject*>(self);
    const SeriesObject& series = *iterator->series;
    const Chunk* chunk = nullptr;
    std::int64_t within = 0;
    // Threads that share one iterator each take a row of their own.
    Py_BEGIN_CRITICAL_SECTION(self);
    if (iterator->next < series.length) {
        const std::int64_t row = table_row(series, series.start + iterator->next * series.step);
        ++iterator->next;
        chunk = iterator->chunk;
        if (chunk == nullptr || row < iterator->chunk_start || row >= iterator->chunk_start + chunk->rows) {
            chunk = &series.table->locate(row, within);
            iterator->chunk = chunk;
            iterator->chunk_start = row - within;
        }
        within = row - iterator->chunk_start;
    }
    Py_END_CRITICAL_SECTION();
    if (chunk == nullptr) return nullptr;  // exhausted, no exception: StopIteration
    return candle_of(series, *chunk, within);
}

PyObject* iterator_length_hint(PyObject* self, PyObject*) {
    auto* iterator = reinterpret_cast<IteratorObject*>(self);
    return PyLong_FromLongLong(iterator->series->length - iterator->next);
}

Timepoint open_time_of(const SeriesObject& series, std::int64_t item) {
    std::int64_t within = 0;
    const Chunk& chunk = series.table->locate(table_row(series, series.start + item * series.step), within);
    return chunk[BarField::OpenTime].time(within);
}

// The first item whose open time is at or after `bound` (items rise in time for a positive step, fall for a
// negative one: the first item at or before it then).
std::int64_t first_from(const SeriesObject& series, Timepoint bound, bool rising) {
    std::int64_t low = 0, high = series.length;
    while (low < high) {
        const std::int64_t middle = low + (high - low) / 2;
        const Timepoint time = open_time_of(series, middle);
        if (rising ? time < bound : time >= bound) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

// between(start, end): the view of the candles whose open times lie in [start, end), found by binary search.
PyObject* series_between(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const SeriesObject& series = *as_series(self);
    PyObject* given[2] = {nullptr, nullptr};
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "between() takes 2 arguments (start, end) but %zd were given", nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = args[i];
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        const int index = PyUnicode_CompareWithASCIIString(name, "start") == 0 ? 0
                          : PyUnicode_CompareWithASCIIString(name, "end") == 0 ? 1
                                                                                : -1;
        if (index < 0 || given[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "between() got an unexpected or repeated argument '%U'", name);
            return nullptr;
        }
        given[index] = args[nargs + k];
    }
    if (given[0] == nullptr || given[1] == nullptr) {
        PyErr_SetString(PyExc_TypeError, "between() takes 2 arguments: start and end");
        return nullptr;
    }
    Timepoint start, end;
    if (!as_timepoint({"between", "start"}, given[0], start) || !as_timepoint({"between", "end"}, given[1], end)) {
        return nullptr;
    }
    // Rising items: from the first at or after start to the first at or after end. Falling ones (a reversed
    // view): from the first before end to the first before start.
    const bool rising = series.step > 0;
    const std::int64_t first = rising ? first_from(series, start, true) : first_from(series, end, false);
    const std::int64_t last = rising ? first_from(series, end, true) : first_from(series, start, false);
    const std::int64_t length = std::max<std::int64_t>(last - first, 0);
    return make_view(series, series.start + (length == 0 ? 0 : first * series.step), length,
                     length < 2 ? 1 : series.step);
}

SeriesRows rows_of(const SeriesObject& series) {
    return SeriesRows{series.table, series.rows,  series.code,   series.interval,
                      series.kind,  series.start, series.length, series.step};
}

PyObject* series_arrow_schema(PyObject* self, PyObject*) { return export_schema(rows_of(*as_series(self))); }

PyObject* series_arrow_stream(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!takes_requested_schema(nargs, kwnames)) return nullptr;
    return export_stream(rows_of(*as_series(self)));
}

PyObject* series_reduce_ex(PyObject* self, PyObject* protocol);

// A series is immutable: its copies are itself.
PyObject* series_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyMethodDef series_methods[] = {
    {"__reduce_ex__", kavno::method_entry<series_reduce_ex>(), METH_O,
     "Pickles the series as its columns (open and close times in microseconds, the rest as they read), each one "
     "buffer, out of band with protocol 5; unpickled, its bars are checked again."},
    {"__copy__", kavno::method_entry<series_copy>(), METH_NOARGS, "The series itself: it is immutable."},
    {"__deepcopy__", kavno::method_entry<series_copy>(), METH_O, "The series itself: it is immutable."},
    {"between", kavno::method_entry<series_between>(),
     METH_FASTCALL | METH_KEYWORDS,
     "between(start, end) -> CandleSeries: the candles whose open times lie in [start, end) (aware UTC datetimes or "
     "milliseconds since the epoch), a view found by binary search; nothing is copied."},
    {"__arrow_c_schema__", kavno::method_entry<series_arrow_schema>(), METH_NOARGS,
     "__arrow_c_schema__() -> PyCapsule: the Arrow schema of the series' columns."},
    {"__arrow_c_stream__", kavno::method_entry<series_arrow_stream>(),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__(requested_schema=None) -> PyCapsule: the series' rows as an Arrow stream: open_time and "
     "close_time (UTC timestamps in milliseconds), open, high, low, close, volume, amount (float64), trades (int64), "
     "with kavno.code, kavno.interval and kavno.kind in the schema's metadata. Columns already in that layout are "
     "handed out without a copy."},
    {"count", kavno::method_entry<series_count>(), METH_O, "count(value) -> int: how often value occurs; a candle from elsewhere never does."},
    {"index", kavno::method_entry<series_index>(), METH_FASTCALL,
     "index(value, start=0, stop=...) -> int: raises ValueError: a candle from elsewhere is never in a series."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef series_getset[] = {
    {"code", kavno::getter_entry<get_code>(), nullptr, "The trading code of every candle.", nullptr},
    {"interval", kavno::getter_entry<get_interval>(), nullptr, "The CandleInterval of every candle.", nullptr},
    {"kind", kavno::getter_entry<get_kind>(), nullptr, "The TradeKind of every candle.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef iterator_methods[] = {
    {"__length_hint__", kavno::method_entry<iterator_length_hint>(), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot series_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "An immutable sequence of Candle records read from columns (made by kavno_feed.candles()).\n\n"
                    "len(), indexing (negative indices too), slicing (a view over the same columns, nothing "
                    "copied) and iteration. Every access makes a new Candle; the series holds only the columns.")},
    {Py_tp_dealloc, kavno::slot_entry<series_dealloc>()},
    {Py_tp_repr, kavno::slot_entry<series_repr>()},
    {Py_tp_iter, kavno::slot_entry<series_iter>()},
    {Py_sq_length, kavno::slot_entry<series_length>()},
    {Py_sq_item, kavno::slot_entry<series_item>()},
    {Py_mp_length, kavno::slot_entry<series_length>()},
    {Py_mp_subscript, kavno::slot_entry<series_subscript>()},
    {Py_tp_methods, series_methods},
    {Py_tp_getset, series_getset},
    {0, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_dealloc, kavno::slot_entry<iterator_dealloc>()},
    {Py_tp_iter, kavno::slot_entry<PyObject_SelfIter>()},
    {Py_tp_iternext, kavno::slot_entry<iterator_next>()},
    {Py_tp_methods, iterator_methods},
    {0, nullptr},
};

PyType_Spec series_spec = {"kavno_feed.CandleSeries", sizeof(SeriesObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_SEQUENCE | Py_TPFLAGS_IMMUTABLETYPE |
                               Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           series_slots};
PyType_Spec iterator_spec = {"kavno_feed.CandleSeriesIterator", sizeof(IteratorObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             iterator_slots};

}  // namespace

bool add_series_types(PyObject* module) {
    // Each step only after the one before succeeded: a call made with an exception pending could lose it.
    series_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &series_spec, nullptr));
    if (series_type == nullptr) return false;
    iterator_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &iterator_spec, nullptr));
    if (iterator_type == nullptr) return false;
    if (PyModule_AddObjectRef(module, "CandleSeries", reinterpret_cast<PyObject*>(series_type)) < 0) return false;
    // A registered virtual subclass: isinstance(series, collections.abc.Sequence) is true.
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    Ref sequence = abc ? Ref::steal(PyObject_GetAttrString(abc.get(), "Sequence")) : Ref();
    Ref registered = sequence ? Ref::steal(PyObject_CallMethod(sequence.get(), "register", "O", series_type)) : Ref();
    return static_cast<bool>(registered);
}

namespace {

kavno::KeywordSignature candles_signature("candles", {"data"},
                                          {{"code", true}, {"interval", true}, {"kind", false}, {"time_unit", false},
                                           {"columns", false}, {"check_high_low", false}});
kavno::KeywordSignature candles_by_signature("candles_by", {"data"},
                                             {{"by", true}, {"interval", true}, {"kind", false}, {"time_unit", false},
                                              {"columns", false}, {"check_high_low", false}});

}  // namespace

const Signed candles_signed{
    &candles_signature,
    "A CandleSeries over the bars of data: anything with __arrow_c_stream__ or __arrow_c_array__ (a pyarrow Table "
    "or RecordBatch, a polars or pandas DataFrame, a DuckDB result, ...), a mapping of column names to "
    "one-dimensional buffers (NumPy arrays), or the path of a CSV file of bars (open_time_ms,open,high,low,close,"
    "volume). Columns open_time, open, high, low, close and volume are required; close_time, amount and trades are "
    "optional; columns={\"open_time\": \"ts\", ...} names the data's columns. Times are Arrow timestamps of any "
    "zone, dates, or integers in time_unit (\"s\", \"ms\" by default, \"us\", \"ns\"). Every bar is checked when the "
    "series is made: prices finite, volume and amount finite and not negative, trades not negative, close_time not "
    "before open_time, each bar opening after the bar before has closed, low and high bounding open and close "
    "(check_high_low=False relaxes this rule only), every date in the years 1 to 9999. kind defaults to "
    "TradeKind.Spot."};
const Signed candles_by_signed{
    &candles_by_signature,
    "A dict from each value of the column `by` (strings or integers) to the CandleSeries of its rows, in one pass "
    "over Arrow data, keys in the order they first appear; each series' code is its key, and its bars are checked "
    "as candles() checks them."};

namespace {

// The keywords candles() and candles_by() share, after their first.
enum { interval_slot = 1, kind_slot, time_unit_slot, columns_slot, check_high_low_slot, slot_count };

struct Options {
    Request request;
    kavno::CandleInterval interval{};
    kavno::TradeKind kind{};
};

bool read_time_unit(PyObject* given, Unit& out) {
    if (!PyUnicode_Check(given)) {
        PyErr_Format(PyExc_TypeError, "time_unit: expected a str (\"s\", \"ms\", \"us\" or \"ns\"), not %.200s",
                     Py_TYPE(given)->tp_name);
        return false;
    }
    for (std::size_t unit = 0; unit < 4; ++unit) {
        if (PyUnicode_CompareWithASCIIString(given, std::string(bars::unit_names[unit]).c_str()) == 0) {
            out = static_cast<Unit>(unit);
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "time_unit: %R is not one of \"s\", \"ms\", \"us\", \"ns\"", given);
    return false;
}

// columns={"open_time": "ts", ...}: kavno's names to the data's.
bool read_column_names(PyObject* given, Request& request) {
    if (!PyDict_Check(given)) {
        PyErr_Format(PyExc_TypeError, "columns: expected a dict of kavno's column names to the data's, not %.200s",
                     Py_TYPE(given)->tp_name);
        return false;
    }
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(given, &position, &key, &value)) {
        std::size_t field = bars::field_count;
        for (std::size_t f = 0; f < bars::field_count && PyUnicode_Check(key); ++f) {
            if (PyUnicode_CompareWithASCIIString(key, bars::field_names[f]) == 0) field = f;
        }
        if (field == bars::field_count) {
            PyErr_Format(PyExc_ValueError,
                         "columns: %R is no column of a candle (open_time, close_time, open, high, low, close, volume, "
                         "amount, trades)",
                         key);
            return false;
        }
        Py_ssize_t size = 0;
        const char* name = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
        if (name == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_TypeError, "columns: the name of %R must be a str, not %.200s", key,
                             Py_TYPE(value)->tp_name);
            }
            return false;
        }
        request.names[field].assign(name, static_cast<std::size_t>(size));
    }
    return true;
}

bool read_options(PyObject* const* slot, Options& options) {
    if (!as_enum({"Candle", "interval"}, slot[interval_slot], options.interval) ||
        (slot[kind_slot] && !as_enum({"Candle", "kind"}, slot[kind_slot], options.kind)) ||
        (slot[time_unit_slot] && !read_time_unit(slot[time_unit_slot], options.request.integer_unit)) ||
        (slot[columns_slot] && !read_column_names(slot[columns_slot], options.request))) {
        return false;
    }
    if (slot[check_high_low_slot]) {
        const int check = PyObject_IsTrue(slot[check_high_low_slot]);
        if (check < 0) return false;
        options.request.check_high_low = check == 1;
    }
    options.request.close_after_ms = interval_milliseconds(options.interval) - 1;
    return true;
}

PyObject* new_series(std::shared_ptr<const Table> table, std::shared_ptr<const std::vector<std::int64_t>> rows,
                     std::string_view code, const Options& options) {
    auto* series = reinterpret_cast<SeriesObject*>(series_type->tp_alloc(series_type, 0));
    if (series == nullptr) return nullptr;
    new (&series->table) std::shared_ptr<const Table>(std::move(table));
    new (&series->rows) std::shared_ptr<const std::vector<std::int64_t>>(std::move(rows));
    new (&series->code) std::string(code);
    series->kind = options.kind;
    series->interval = options.interval;
    series->start = 0;
    series->length = series->rows ? static_cast<std::int64_t>(series->rows->size()) : series->table->rows;
    series->step = 1;
    return reinterpret_cast<PyObject*>(series);
}

}  // namespace

PyObject* candles(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1 + slot_count];
    if (auto done = candles_signature.bind(args, nargs, kwnames, bound); !done) return kavno::raise(std::move(done));
    PyObject* data = bound[0];
    PyObject* const* slot = bound + 1;
    std::string_view code_text;
    Options options;
    if (!as_text({"Candle", "code"}, slot[0], code_text) || !read_options(slot, options)) return nullptr;
    if ((slot[time_unit_slot] || slot[columns_slot]) && (PyUnicode_Check(data) || PyBytes_Check(data) ||
                                                        PyObject_HasAttrString(data, "__fspath__"))) {
        PyErr_SetString(PyExc_TypeError,
                        "candles(): time_unit and columns apply to columnar data; a CSV file of bars has its own "
                        "columns (open_time_ms,open,high,low,close,volume)");
        return nullptr;
    }
    std::shared_ptr<Table> table = read_table(data, options.request, nullptr);
    if (table == nullptr) return nullptr;
    if (Outcome problem = check_rows(*table, options.request)) return raise(*problem), nullptr;
    return new_series(std::move(table), nullptr, code_text, options);
}

PyObject* candles_by(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1 + slot_count];
    if (auto done = candles_by_signature.bind(args, nargs, kwnames, bound); !done) return kavno::raise(std::move(done));
    PyObject* data = bound[0];
    PyObject* const* slot = bound + 1;
    Options options;
    Py_ssize_t by_size = 0;
    const char* by = PyUnicode_Check(slot[0]) ? PyUnicode_AsUTF8AndSize(slot[0], &by_size) : nullptr;
    if (by == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "by: expected a column name (str), not %.200s", Py_TYPE(slot[0])->tp_name);
        }
        return nullptr;
    }
    if (!read_options(slot, options)) return nullptr;
    options.request.by.assign(by, static_cast<std::size_t>(by_size));
    Groups groups;
    std::shared_ptr<Table> table = read_table(data, options.request, &groups);
    if (table == nullptr) return nullptr;
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    for (Groups::Group& group : groups.groups) {
        if (Outcome problem = check_rows(*table, options.request, group.rows)) {
            return raise(Problem{problem->kind, problem->message + " (in the bars of " + options.request.by + " " +
                                                    group.text + ")"}),
                   nullptr;
        }
        if (groups.kind == Groups::KeyKind::Text && !kavno::is_utf8(group.text)) {
            PyErr_Format(PyExc_ValueError, "column '%s': a value is not valid UTF-8", by);
            return nullptr;
        }
        Ref key = Ref::steal(groups.kind == Groups::KeyKind::Integer
                            ? PyLong_FromString(group.text.c_str(), nullptr, 10)
                            : PyUnicode_FromStringAndSize(group.text.data(), static_cast<Py_ssize_t>(group.text.size())));
        if (!key) return nullptr;
        auto rows = std::make_shared<const std::vector<std::int64_t>>(std::move(group.rows));
        Ref series = Ref::steal(new_series(table, std::move(rows), group.text, options));
        if (!series || PyDict_SetItem(result.get(), key.get(), series.get()) < 0) return nullptr;
    }
    return result.release();
}

}  // namespace feed

namespace feed {

namespace {

// The columns of a series as contiguous bytes: the times in microseconds, the numbers as float64, trades as int64.
PyObject* column_bytes(const SeriesObject& series, BarField field) {
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(series.length * 8)));
    if (!bytes) return nullptr;
    char* into = PyBytes_AS_STRING(bytes.get());
    const Chunk* chunk = nullptr;
    std::int64_t chunk_start = 0;
    const std::int64_t close_after = interval_milliseconds(series.interval) - 1;
    // A falling series (a reversed view) is written rising, as its bars' rules read them, and reversed again on
    // the way back.
    const bool falling = series.step < 0;
    for (std::int64_t item = 0; item < series.length; ++item) {
        const std::int64_t of = falling ? series.length - 1 - item : item;
        const std::int64_t row = table_row(series, series.start + of * series.step);
        if (chunk == nullptr || row < chunk_start || row >= chunk_start + chunk->rows) {
            std::int64_t within = 0;
            chunk = &series.table->locate(row, within);
            chunk_start = row - within;
        }
        // times in microseconds
        chunk->write_field(reinterpret_cast<std::byte*>(into) + item * 8, field, row - chunk_start, close_after, 1'000'000);
    }
    return bytes.release();
}

PyObject* series_reduce_ex(PyObject* self, PyObject* protocol_object) {
    const SeriesObject& series = *as_series(self);
    const long protocol = PyLong_AsLong(protocol_object);
    if (protocol == -1 && PyErr_Occurred()) return nullptr;
    Ref module = Ref::steal(Py_XNewRef(PyType_GetModule(Py_TYPE(self))));
    Ref rebuild = module ? Ref::steal(PyObject_GetAttrString(module.get(), "_series")) : Ref();
    Ref pickle = rebuild && protocol >= 5 ? Ref::steal(PyImport_ImportModule("pickle")) : Ref();
    Ref pickle_buffer = pickle ? Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleBuffer")) : Ref();
    if (!rebuild || (protocol >= 5 && !pickle_buffer)) return nullptr;
    Ref columns = Ref::steal(PyDict_New());
    if (!columns) return nullptr;
    for (std::size_t f = 0; f < bars::field_count; ++f) {
        Ref bytes = Ref::steal(column_bytes(series, static_cast<BarField>(f)));
        // Protocol 5 hands each column to the pickler as a buffer it may send out of band, not copied again.
        Ref value = bytes && pickle_buffer ? Ref::steal(PyObject_CallOneArg(pickle_buffer.get(), bytes.get())) : std::move(bytes);
        if (!value || PyDict_SetItemString(columns.get(), bars::field_names[f], value.get()) < 0) return nullptr;
    }
    Ref code = Ref::steal(PyUnicode_FromStringAndSize(series.code.data(), static_cast<Py_ssize_t>(series.code.size())));
    if (!code) return nullptr;
    return Py_BuildValue("(O(OOiiO))", rebuild.get(), columns.get(), code.get(), static_cast<int>(series.interval),
                         static_cast<int>(series.kind), series.step < 0 ? Py_True : Py_False);
}

}  // namespace

// _series(columns, code, interval, kind): a series from the columns __reduce_ex__ gave, checked again.
PyObject* rebuild_series(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5 || !PyDict_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError,
                        "_series() takes the columns, code, interval, kind and direction of a pickled series");
        return nullptr;
    }
    Ref mapping = Ref::steal(PyDict_New());
    if (!mapping) return nullptr;
    for (std::size_t f = 0; f < bars::field_count; ++f) {
        PyObject* given = PyDict_GetItemString(args[0], bars::field_names[f]);  // borrowed
        if (given == nullptr) {
            PyErr_Format(PyExc_ValueError, "_series(): no column '%s'", bars::field_names[f]);
            return nullptr;
        }
        Ref view = Ref::steal(PyMemoryView_FromObject(given));
        const char* format = f <= 1 || f == 8 ? "q" : "d";
        Ref cast = view ? Ref::steal(PyObject_CallMethod(view.get(), "cast", "s", format)) : Ref();
        if (!cast || PyDict_SetItemString(mapping.get(), bars::field_names[f], cast.get()) < 0) return nullptr;
    }
    std::string_view code;
    Options options;
    options.request.integer_unit = Unit::Microseconds;
    if (!as_text({"Candle", "code"}, args[1], code) || !as_enum({"Candle", "interval"}, args[2], options.interval) ||
        !as_enum({"Candle", "kind"}, args[3], options.kind)) {
        return nullptr;
    }
    options.request.close_after_ms = interval_milliseconds(options.interval) - 1;
    options.request.check_high_low = false;  // what the series held, as it held it (it may have been relaxed)
    std::shared_ptr<Table> table = read_table(mapping.get(), options.request, nullptr);
    if (table == nullptr) return nullptr;
    if (Outcome problem = check_rows(*table, options.request)) return raise(*problem), nullptr;
    Ref rising = Ref::steal(new_series(std::move(table), nullptr, code, options));
    if (!rising || PyObject_IsTrue(args[4]) != 1 || as_series(rising.get())->length < 2) return rising.release();
    const SeriesObject& series = *as_series(rising.get());
    return make_view(series, series.length - 1, series.length, series.length < 2 ? 1 : -1);
}

}  // namespace feed
