// CandleSeries: an immutable sequence of candles over columns, and its iterator. It holds the columns and nothing
// per bar; every access makes a new Candle through kavno's producer API, as every kavno attribute read makes a new
// object. Slices are views over the same columns.
#include "series.hpp"

#include "columns.hpp"
#include "owned.hpp"

#include "boundary/lock.hpp"

#include <cstddef>
#include <new>
#include <string>

namespace feed {

namespace {

PyTypeObject* series_type = nullptr;
PyTypeObject* iterator_type = nullptr;

struct SeriesObject {
    PyObject_HEAD
    // Constructed in place after the object is allocated, destroyed in series_dealloc.
    std::shared_ptr<const Table> table;
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

SeriesObject* as_series(PyObject* object) noexcept { return reinterpret_cast<SeriesObject*>(object); }

PyObject* candle_of(const SeriesObject& series, const Chunk& chunk, std::int64_t row) {
    const Timepoint opened = chunk.open_time.time(row);
    const Timepoint closed = chunk.close_time.present
                                 ? chunk.close_time.time(row)
                                 : opened.plus_milliseconds(interval_milliseconds(series.interval) - 1);
    return kavno::make_candle({
        .kind = series.kind,
        .code = series.code,
        .interval = series.interval,
        .open_time = opened.instant(),
        .close_time = closed.instant(),
        .open = chunk.open.number(row),
        .high = chunk.high.number(row),
        .low = chunk.low.number(row),
        .close = chunk.close.number(row),
        .volume = chunk.volume.number(row),
        .amount = chunk.amount.present ? chunk.amount.number(row) : 0.0,
        .trades = chunk.trades.present ? chunk.trades.integer(row) : 0,
    });
}

PyObject* item_at(const SeriesObject& series, std::int64_t index) {
    std::int64_t within = 0;
    const Chunk& chunk = series.table->locate(series.start + index * series.step, within);
    return candle_of(series, chunk, within);
}

PyObject* make_view(const SeriesObject& of, std::int64_t start, std::int64_t length, std::int64_t step) {
    auto* view = reinterpret_cast<SeriesObject*>(series_type->tp_alloc(series_type, 0));
    if (view == nullptr) return nullptr;
    new (&view->table) std::shared_ptr<const Table>(of.table);
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
    Owned code = own(get_code(self, nullptr));
    if (!code) return nullptr;
    return PyUnicode_FromFormat("CandleSeries(code=%R, interval=CandleInterval.%s, kind=TradeKind.%s, %lld candles)",
                                code.get(),
                                kavno::enumerations[static_cast<std::size_t>(kavno::EnumClass::CandleInterval)]
                                    .members[static_cast<std::size_t>(series.interval)],
                                kavno::enumerations[static_cast<std::size_t>(kavno::EnumClass::TradeKind)]
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

PyObject* enumeration_member(kavno::EnumClass which, std::uint8_t value) {
    const auto& enumeration = kavno::enumerations[static_cast<std::size_t>(which)];
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(enumeration_class(which)), enumeration.members[value]);
}

PyObject* get_interval(PyObject* self, void*) {
    return enumeration_member(kavno::EnumClass::CandleInterval, static_cast<std::uint8_t>(as_series(self)->interval));
}

PyObject* get_kind(PyObject* self, void*) {
    return enumeration_member(kavno::EnumClass::TradeKind, static_cast<std::uint8_t>(as_series(self)->kind));
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
        const std::int64_t row = series.start + iterator->next * series.step;
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

PyMethodDef series_methods[] = {
    {"count", series_count, METH_O, "count(value) -> int: how often value occurs; a candle from elsewhere never does."},
    {"index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(series_index)), METH_FASTCALL,
     "index(value, start=0, stop=...) -> int: raises ValueError: a candle from elsewhere is never in a series."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef series_getset[] = {
    {"code", get_code, nullptr, "The trading code of every candle.", nullptr},
    {"interval", get_interval, nullptr, "The CandleInterval of every candle.", nullptr},
    {"kind", get_kind, nullptr, "The TradeKind of every candle.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef iterator_methods[] = {
    {"__length_hint__", iterator_length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void* slot(auto function) noexcept { return reinterpret_cast<void*>(function); }

PyType_Slot series_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "An immutable sequence of Candle records read from columns (made by kavno_feed.candles()).\n\n"
                    "len(), indexing (negative indices too), slicing (a view over the same columns, nothing "
                    "copied) and iteration. Every access makes a new Candle; the series holds only the columns.")},
    {Py_tp_dealloc, slot(series_dealloc)},
    {Py_tp_repr, slot(series_repr)},
    {Py_tp_iter, slot(series_iter)},
    {Py_sq_length, slot(series_length)},
    {Py_sq_item, slot(series_item)},
    {Py_mp_length, slot(series_length)},
    {Py_mp_subscript, slot(series_subscript)},
    {Py_tp_methods, series_methods},
    {Py_tp_getset, series_getset},
    {0, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_dealloc, slot(iterator_dealloc)},
    {Py_tp_iter, slot(PyObject_SelfIter)},
    {Py_tp_iternext, slot(iterator_next)},
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
    series_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &series_spec, nullptr));
    iterator_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &iterator_spec, nullptr));
    if (series_type == nullptr || iterator_type == nullptr) return false;
    if (PyModule_AddObjectRef(module, "CandleSeries", reinterpret_cast<PyObject*>(series_type)) < 0) return false;
    // A registered virtual subclass: isinstance(series, collections.abc.Sequence) is true.
    Owned abc = own(PyImport_ImportModule("collections.abc"));
    Owned sequence = abc ? own(PyObject_GetAttrString(abc.get(), "Sequence")) : Owned();
    Owned registered = sequence ? own(PyObject_CallMethod(sequence.get(), "register", "O", series_type)) : Owned();
    return registered != nullptr;
}

Keywords candles_keywords("candles", {{"code", true}, {"interval", true}, {"kind", false}});

PyObject* candles(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    enum { code, interval, kind, count };
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "candles() takes 1 positional argument (the data) but %zd were given", nargs);
        return nullptr;
    }
    PyObject* slot[count];
    if (!candles_keywords.bind(args + 1, 0, kwnames, slot)) return nullptr;
    std::string_view code_text;
    kavno::CandleInterval interval_value{};
    kavno::TradeKind kind_value{};
    if (!as_text({"Candle", "code"}, slot[code], code_text) ||
        !as_enum({"Candle", "interval"}, slot[interval], interval_value) ||
        (slot[kind] && !as_enum({"Candle", "kind"}, slot[kind], kind_value))) {
        return nullptr;
    }
    if (!kavno::is_utf8(code_text)) {
        PyErr_SetString(PyExc_ValueError, "Candle.code: text is not valid UTF-8");
        return nullptr;
    }
    std::shared_ptr<Table> table = read_table(args[0], interval_value);
    if (table == nullptr) return nullptr;
    auto* series = reinterpret_cast<SeriesObject*>(series_type->tp_alloc(series_type, 0));
    if (series == nullptr) return nullptr;
    new (&series->table) std::shared_ptr<const Table>(std::move(table));
    new (&series->code) std::string(code_text);
    series->kind = kind_value;
    series->interval = interval_value;
    series->start = 0;
    series->length = series->table->rows;
    series->step = 1;
    return reinterpret_cast<PyObject*>(series);
}

}  // namespace feed
