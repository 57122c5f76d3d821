// The four factories: a record from keyword arguments, with defaults that make a plausible record, for tests.
#include "arguments.hpp"
#include "factories.hpp"
#include "owned.hpp"

#include <algorithm>
#include <cmath>

namespace feed {

// The factories' parameters: every one a keyword, and whether it must be given.
Keywords pair_keywords("make_pair", {{"code", true}, {"base", true}, {"quote", true}, {"kind", false},
                                     {"min_volume", false}, {"min_price", false}, {"min_amount", false}});
Keywords candle_keywords("make_candle", {{"code", true}, {"open_time", true}, {"close", true}, {"open", false},
                                         {"high", false}, {"low", false}, {"volume", false}, {"amount", false},
                                         {"trades", false}, {"kind", false}, {"interval", false},
                                         {"close_time", false}});
Keywords order_keywords("make_order", {{"id", true}, {"code", true}, {"side", true}, {"price", true},
                                       {"volume", true}, {"create_time", true}, {"kind", false}, {"type", false},
                                       {"status", false}, {"filled_volume", false}, {"filled_price", false},
                                       {"fee", false}});
Keywords position_keywords("make_position", {{"code", true}, {"side", true}, {"volume", true}, {"price", true},
                                             {"kind", false}, {"leverage", false}});

PyObject* make_pair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    enum { code, base, quote, kind, min_volume, min_price, min_amount, count };
    PyObject* slot[count];
    if (!pair_keywords.bind(args, nargs, kwnames, slot)) return nullptr;
    kavno::PairValues values{};
    constexpr const char* record = "Pair";
    if (!as_text({record, "code"}, slot[code], values.code) || !as_text({record, "base"}, slot[base], values.base) ||
        !as_text({record, "quote"}, slot[quote], values.quote) ||
        (slot[kind] && !as_enum({record, "kind"}, slot[kind], values.kind)) ||
        (slot[min_volume] && !as_double({record, "min_volume"}, slot[min_volume], values.min_volume)) ||
        (slot[min_price] && !as_double({record, "min_price"}, slot[min_price], values.min_price)) ||
        (slot[min_amount] && !as_double({record, "min_amount"}, slot[min_amount], values.min_amount))) {
        return nullptr;
    }
    return kavno::make_pair(values);
}

PyObject* make_candle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    enum { code, open_time, close, open, high, low, volume, amount, trades, kind, interval, close_time, count };
    PyObject* slot[count];
    if (!candle_keywords.bind(args, nargs, kwnames, slot)) return nullptr;
    kavno::CandleValues values{};
    Timepoint opened, closed;
    constexpr const char* record = "Candle";
    if (!as_text({record, "code"}, slot[code], values.code) ||
        !as_timepoint({record, "open_time"}, slot[open_time], opened) ||
        !as_double({record, "close"}, slot[close], values.close) ||
        (slot[open] && !as_double({record, "open"}, slot[open], values.open)) ||
        (slot[high] && !as_double({record, "high"}, slot[high], values.high)) ||
        (slot[low] && !as_double({record, "low"}, slot[low], values.low)) ||
        (slot[volume] && !as_double({record, "volume"}, slot[volume], values.volume)) ||
        (slot[amount] && !as_double({record, "amount"}, slot[amount], values.amount)) ||
        (slot[trades] && !as_int64({record, "trades"}, slot[trades], values.trades)) ||
        (slot[kind] && !as_enum({record, "kind"}, slot[kind], values.kind)) ||
        (slot[interval] && !as_enum({record, "interval"}, slot[interval], values.interval)) ||
        (slot[close_time] && !as_timepoint({record, "close_time"}, slot[close_time], closed))) {
        return nullptr;
    }
    // open = close, high = max(open, close), low = min(open, close), close_time = open_time + interval - 1 ms
    if (!slot[open]) values.open = values.close;
    if (!slot[high]) values.high = std::max(values.open, values.close);
    if (!slot[low]) values.low = std::min(values.open, values.close);
    if (!slot[close_time]) closed = opened.plus_milliseconds(interval_milliseconds(values.interval) - 1);
    values.open_time = instant_of(opened);
    values.close_time = instant_of(closed);
    return kavno::make_candle(values);
}

PyObject* make_order(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    enum { id, code, side, price, volume, create_time, kind, type, status, filled_volume, filled_price, fee, count };
    PyObject* slot[count];
    if (!order_keywords.bind(args, nargs, kwnames, slot)) return nullptr;
    kavno::OrderValues values{};
    Timepoint created;
    constexpr const char* record = "Order";
    if (!as_text({record, "id"}, slot[id], values.id) || !as_text({record, "code"}, slot[code], values.code) ||
        !as_enum({record, "side"}, slot[side], values.side) ||
        !as_double({record, "price"}, slot[price], values.price) ||
        !as_double({record, "volume"}, slot[volume], values.volume) ||
        !as_timepoint({record, "create_time"}, slot[create_time], created) ||
        (slot[kind] && !as_enum({record, "kind"}, slot[kind], values.kind)) ||
        (slot[type] && !as_enum({record, "type"}, slot[type], values.type)) ||
        (slot[status] && !as_enum({record, "status"}, slot[status], values.status)) ||
        (slot[filled_volume] && !as_double({record, "filled_volume"}, slot[filled_volume], values.filled_volume)) ||
        (slot[filled_price] && !as_double({record, "filled_price"}, slot[filled_price], values.filled_price)) ||
        (slot[fee] && !as_double({record, "fee"}, slot[fee], values.fee))) {
        return nullptr;
    }
    values.create_time = instant_of(created);
    return kavno::make_order(values);
}

PyObject* make_position(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    enum { code, side, volume, price, kind, leverage, count };
    PyObject* slot[count];
    if (!position_keywords.bind(args, nargs, kwnames, slot)) return nullptr;
    kavno::PositionValues values{};
    values.leverage = 1;
    constexpr const char* record = "Position";
    if (!as_text({record, "code"}, slot[code], values.code) || !as_enum({record, "side"}, slot[side], values.side) ||
        !as_double({record, "volume"}, slot[volume], values.volume) ||
        !as_double({record, "price"}, slot[price], values.price) ||
        (slot[kind] && !as_enum({record, "kind"}, slot[kind], values.kind)) ||
        (slot[leverage] && !as_int32({record, "leverage"}, slot[leverage], values.leverage))) {
        return nullptr;
    }
    return kavno::make_position(values);
}

}  // namespace feed

namespace feed {

namespace {

bool refuse_non_record(const char* function, PyObject* object) {
    PyErr_Format(PyExc_TypeError, "%s(): expected a kavno record (Pair, Candle, Order or Position), not %.200s",
                 function, Py_TYPE(object)->tp_name);
    return false;
}

}  // namespace

PyObject* fields(PyObject*, PyObject* record) {
    const kavno::RecordSpec* spec = record_spec_of(record);
    if (spec == nullptr) return refuse_non_record("fields", record), nullptr;
    Owned out = own(PyDict_New());
    if (!out) return nullptr;
    for (std::size_t f = 0; f < spec->field_count; ++f) {
        Owned value = own(PyObject_GetAttrString(record, spec->fields[f].name));
        if (!value || PyDict_SetItemString(out.get(), spec->fields[f].name, value.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* same(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "same() takes 2 arguments (two records) but %zd were given", nargs);
        return nullptr;
    }
    const kavno::RecordSpec* spec = record_spec_of(args[0]);
    if (spec == nullptr) return refuse_non_record("same", args[0]), nullptr;
    if (record_spec_of(args[1]) == nullptr) return refuse_non_record("same", args[1]), nullptr;
    if (Py_TYPE(args[0]) != Py_TYPE(args[1])) Py_RETURN_FALSE;
    for (std::size_t f = 0; f < spec->field_count; ++f) {
        Owned left = own(PyObject_GetAttrString(args[0], spec->fields[f].name));
        Owned right = left ? own(PyObject_GetAttrString(args[1], spec->fields[f].name)) : Owned();
        if (!right) return nullptr;
        // Two NaNs are the same value here: a test compares what a record holds, not IEEE equality.
        if (spec->fields[f].kind == kavno::FieldKind::Double &&
            std::isnan(PyFloat_AS_DOUBLE(left.get())) && std::isnan(PyFloat_AS_DOUBLE(right.get()))) {
            continue;
        }
        const int equal = PyObject_RichCompareBool(left.get(), right.get(), Py_EQ);
        if (equal < 0) return nullptr;
        if (equal == 0) Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
}

}  // namespace feed
