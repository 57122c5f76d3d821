// The producer API: how a native host (an engine that embeds strategies) or another extension module makes
// kavno's records. Header-only and linked to nothing of kavno's: it finds each class through the imported
// `kavno` module, checks that what it found is kavno's class (name, size, flags and its field table) before it
// writes into an instance, and allocates owned texts with the interpreter's allocator, which kavno frees.
//
// Every make_* function needs the GIL and gives a new reference, or nullptr with a Python exception set.
#pragma once

#include <Python.h>

#include "kavno/records.hpp"

#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace kavno {

// A millisecond timestamp, for date fields given as one.
struct Milliseconds {
    std::int64_t count;
};

// A date field: a UTC date-time, or a millisecond timestamp since 1970-01-01T00:00:00 UTC.
using Instant = std::variant<UtcDateTime, Milliseconds>;

struct PairValues {
    TradeKind kind;
    std::string_view code;
    std::string_view base;
    std::string_view quote;
    double min_volume;
    double min_price;
    double min_amount;
};

struct CandleValues {
    TradeKind kind;
    std::string_view code;
    CandleInterval interval;
    Instant open_time;
    Instant close_time;
    double open;
    double high;
    double low;
    double close;
    double volume;
    double amount;
    std::int64_t trades;
};

struct OrderValues {
    std::string_view id;
    TradeKind kind;
    TradeType type;
    TradeSide side;
    std::string_view code;
    OrderStatus status;
    double volume;
    double price;
    double filled_volume;
    double filled_price;
    double fee;
    Instant create_time;
};

struct PositionValues {
    TradeKind kind;
    std::string_view code;
    TradeSide side;
    double volume;
    double price;
    std::int32_t leverage;
};

namespace producer_detail {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool is_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < length || p[1] < low || p[1] > high) return false;
        for (std::size_t i = 2; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
        }
        p += length;
    }
    return true;
}

inline std::nullptr_t fail(PyObject* type, const RecordSpec& record, const char* field, const std::string& what) {
    PyErr_Format(type, "%s.%s: %s", record.name(), field, what.c_str());
    return nullptr;
}

inline bool check_text(const RecordSpec& record, const char* field, std::string_view text) {
    if (text.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX) - 1) {
        fail(PyExc_OverflowError, record, field, "text is too long");
        return false;
    }
    if (!is_utf8(text)) {
        fail(PyExc_ValueError, record, field, "text is not valid UTF-8");
        return false;
    }
    return true;
}

template <class E>
bool check_member(const RecordSpec& record, const char* field, E value) {
    if (is_member(value)) return true;
    fail(PyExc_ValueError, record, field,
         std::to_string(static_cast<unsigned>(value)) + " is not a member value (0 to " +
             std::to_string(member_count<E> - 1) + ")");
    return false;
}

inline std::optional<UtcDateTime> resolve(const RecordSpec& record, const char* field, const Instant& instant) {
    std::optional<UtcDateTime> value;
    if (const auto* utc = std::get_if<UtcDateTime>(&instant)) {
        if (is_valid(*utc)) value = *utc;
    } else {
        value = from_unix_ms(std::get<Milliseconds>(instant).count);
    }
    if (!value) {
        fail(PyExc_ValueError, record, field,
             "not a UTC date-time of the years " + std::to_string(min_year) + " to " + std::to_string(max_year));
    }
    return value;
}

// Whether `type` is kavno's class for `record`: what no other class can look like.
inline bool is_record_class(PyObject* object, const RecordSpec& record) noexcept {
    if (!PyType_Check(object)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(object);
    const unsigned long flags = PyType_GetFlags(type);
    if (std::strcmp(type->tp_name, record.spec_name) != 0 || type->tp_basicsize != record.basicsize ||
        type->tp_itemsize != 0 || (flags & Py_TPFLAGS_HEAPTYPE) == 0 || (flags & Py_TPFLAGS_BASETYPE) != 0 ||
        (flags & Py_TPFLAGS_HAVE_GC) != 0 || type->tp_base != &PyBaseObject_Type || type->tp_alloc == nullptr ||
        type->tp_getset == nullptr) {
        return false;
    }
    for (std::size_t i = 0; i < record.field_count; ++i) {
        const PyGetSetDef& entry = type->tp_getset[i];
        if (entry.name == nullptr || std::strcmp(entry.name, record.fields[i].name) != 0 || entry.set != nullptr ||
            entry.doc == nullptr || std::strcmp(entry.doc, record.fields[i].doc) != 0) {
            return false;
        }
    }
    return type->tp_getset[record.field_count].name == nullptr;
}

// kavno's class for `record`, looked up afresh in the imported module on every call (a rebound name is
// noticed); a class already verified once is recognised by its address, since kavno never releases a class.
// The imported kavno module (a new reference): sys.modules first, the import machinery only when it is not there.
inline PyObject* kavno_module() {
    static PyObject* name = nullptr;  // interned once, kept for the process
    if (name == nullptr && (name = PyUnicode_InternFromString("kavno")) == nullptr) return nullptr;
    PyObject* module = PyImport_GetModule(name);
    if (module == nullptr && !PyErr_Occurred()) module = PyImport_Import(name);
    return module;
}

// kavno's class for `record`, looked up afresh in the imported module on every call (a rebound name is
// noticed); a class already verified once is recognised by its address, since kavno never releases a class.
template <const RecordSpec& Record>
PyTypeObject* find_class() {
    static std::atomic<PyObject*> verified{nullptr};
    static PyObject* attribute = nullptr;  // the interned class name, kept for the process
    if (attribute == nullptr && (attribute = PyUnicode_InternFromString(Record.name())) == nullptr) return nullptr;
    PyObject* module = kavno_module();
    if (module == nullptr) return nullptr;
    PyObject* found = PyObject_GetAttr(module, attribute);
    Py_DECREF(module);
    if (found == nullptr) return nullptr;
    const bool known = found == verified.load(std::memory_order_acquire);
    if (!known && !is_record_class(found, Record)) {
        PyErr_Format(PyExc_TypeError, "kavno.%s is not kavno's %s record class (it is a %.200s)", Record.name(),
                     Record.name(), Py_TYPE(found)->tp_name);
        Py_DECREF(found);
        return nullptr;
    }
    if (!known) verified.store(found, std::memory_order_release);
    Py_DECREF(found);  // the class lives as long as the process
    return reinterpret_cast<PyTypeObject*>(found);
}

// Copies `text` into `target` (PyMem_Malloc'd, NUL-terminated).
inline bool copy_text(Text& target, std::string_view text) {
    target.data = static_cast<char*>(PyMem_Malloc(text.size() + 1));
    if (target.data == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    if (!text.empty()) std::memcpy(target.data, text.data(), text.size());
    target.data[text.size()] = '\0';
    target.size = static_cast<Py_ssize_t>(text.size());
    return true;
}

// A zeroed instance of kavno's class for `Record`; freeing it frees whatever texts were filled in.
template <class Object, const RecordSpec& Record>
Object* allocate() {
    PyTypeObject* type = find_class<Record>();
    if (type == nullptr) return nullptr;
    return reinterpret_cast<Object*>(type->tp_alloc(type, 0));
}

template <class Object>
PyObject* finish_texts(Object* object, std::initializer_list<std::pair<Text*, std::string_view>> texts) {
    for (const auto& [target, text] : texts) {
        if (!copy_text(*target, text)) {
            Py_DECREF(reinterpret_cast<PyObject*>(object));
            return nullptr;
        }
    }
    return reinterpret_cast<PyObject*>(object);
}

}  // namespace producer_detail

inline PyObject* make_pair(const PairValues& values) {
    using namespace producer_detail;
    constexpr const RecordSpec& record = pair_record;
    if (!check_member(record, "kind", values.kind) || !check_text(record, "code", values.code) ||
        !check_text(record, "base", values.base) || !check_text(record, "quote", values.quote)) {
        return nullptr;
    }
    auto* pair = allocate<PairObject, pair_record>();
    if (pair == nullptr) return nullptr;
    pair->kind = values.kind;
    pair->min_volume = values.min_volume;
    pair->min_price = values.min_price;
    pair->min_amount = values.min_amount;
    return finish_texts(pair, {{&pair->code, values.code}, {&pair->base, values.base}, {&pair->quote, values.quote}});
}

inline PyObject* make_candle(const CandleValues& values) {
    using namespace producer_detail;
    constexpr const RecordSpec& record = candle_record;
    if (!check_member(record, "kind", values.kind) || !check_text(record, "code", values.code) ||
        !check_member(record, "interval", values.interval)) {
        return nullptr;
    }
    const auto open_time = resolve(record, "open_time", values.open_time);
    if (!open_time) return nullptr;
    const auto close_time = resolve(record, "close_time", values.close_time);
    if (!close_time) return nullptr;
    auto* candle = allocate<CandleObject, candle_record>();
    if (candle == nullptr) return nullptr;
    candle->kind = values.kind;
    candle->interval = values.interval;
    candle->open_time = *open_time;
    candle->close_time = *close_time;
    candle->open = values.open;
    candle->high = values.high;
    candle->low = values.low;
    candle->close = values.close;
    candle->volume = values.volume;
    candle->amount = values.amount;
    candle->trades = values.trades;
    return finish_texts(candle, {{&candle->code, values.code}});
}

inline PyObject* make_order(const OrderValues& values) {
    using namespace producer_detail;
    constexpr const RecordSpec& record = order_record;
    if (!check_text(record, "id", values.id) || !check_member(record, "kind", values.kind) ||
        !check_member(record, "type", values.type) || !check_member(record, "side", values.side) ||
        !check_text(record, "code", values.code) || !check_member(record, "status", values.status)) {
        return nullptr;
    }
    const auto create_time = resolve(record, "create_time", values.create_time);
    if (!create_time) return nullptr;
    auto* order = allocate<OrderObject, order_record>();
    if (order == nullptr) return nullptr;
    order->kind = values.kind;
    order->type = values.type;
    order->side = values.side;
    order->status = values.status;
    order->volume = values.volume;
    order->price = values.price;
    order->filled_volume = values.filled_volume;
    order->filled_price = values.filled_price;
    order->fee = values.fee;
    order->create_time = *create_time;
    return finish_texts(order, {{&order->id, values.id}, {&order->code, values.code}});
}

inline PyObject* make_position(const PositionValues& values) {
    using namespace producer_detail;
    constexpr const RecordSpec& record = position_record;
    if (!check_member(record, "kind", values.kind) || !check_text(record, "code", values.code) ||
        !check_member(record, "side", values.side)) {
        return nullptr;
    }
    auto* position = allocate<PositionObject, position_record>();
    if (position == nullptr) return nullptr;
    position->kind = values.kind;
    position->side = values.side;
    position->volume = values.volume;
    position->price = values.price;
    position->leverage = values.leverage;
    return finish_texts(position, {{&position->code, values.code}});
}

}  // namespace kavno
