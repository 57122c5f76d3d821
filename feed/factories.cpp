// The four factories: a record from keyword arguments, with defaults that make a plausible record, for tests.
#include "arguments.hpp"
#include "factories.hpp"
#include "boundary/ref.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <string>
#include <vector>

namespace feed {

namespace {

// A factory's keywords: the record's fields, those it must be given first, each group in the record's order.
class Factory {
public:
    Factory(std::string_view function, const kavno::RecordSpec& record, std::span<const bool> required,
            const char* doc)
        : signature_(function, {}, keywords(record, required, field_of_parameter_)), doc_(doc) {}

    kavno::KeywordSignature& signature() { return signature_; }
    const char* doc() const { return doc_; }

    // One slot per field, in the record's order (null for a field left out, or given as None).
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> by_field) const {
        std::array<PyObject*, max_fields> by_parameter;
        if (auto bound = signature_.bind(args, nargs, kwnames, std::span(by_parameter).first(by_field.size()));
            !bound) {
            return kavno::raise(std::move(bound)), false;
        }
        for (std::size_t p = 0; p < by_field.size(); ++p) by_field[field_of_parameter_[p]] = by_parameter[p];
        return true;
    }

private:
    static constexpr std::size_t max_fields = 16;

    static std::vector<kavno::KeywordParam> keywords(const kavno::RecordSpec& record, std::span<const bool> required,
                                                     std::vector<std::size_t>& field_of_parameter) {
        std::vector<kavno::KeywordParam> made;
        for (bool first : {true, false}) {
            for (std::size_t f = 0; f < record.field_count; ++f) {
                if (required[f] != first) continue;
                made.push_back({record.fields[f].name, first});
                field_of_parameter.push_back(f);
            }
        }
        return made;
    }

    std::vector<std::size_t> field_of_parameter_;  // before signature_: filled while it is made
    kavno::KeywordSignature signature_;
    const char* doc_;
};

// A field given: converted to what the producer takes, refused naming the record and the field. A date is kept as
// an instant too, for the fields derived from it.
template <kavno::FieldKind Kind>
bool convert(Field field, PyObject* object, std::string_view& out, Timepoint&) {
    static_assert(Kind == kavno::FieldKind::Text);
    return as_text(field, object, out);
}
template <kavno::FieldKind Kind>
bool convert(Field field, PyObject* object, double& out, Timepoint&) {
    return as_double(field, object, out);
}
template <kavno::FieldKind Kind>
bool convert(Field field, PyObject* object, std::int64_t& out, Timepoint&) {
    return as_int64(field, object, out);
}
template <kavno::FieldKind Kind>
bool convert(Field field, PyObject* object, std::int32_t& out, Timepoint&) {
    return as_int32(field, object, out);
}
template <kavno::FieldKind Kind>
bool convert(Field field, PyObject* object, kavno::Instant& out, Timepoint& time) {
    if (!as_timepoint(field, object, time)) return false;
    out = instant_of(time);
    return true;
}

// A field left out: value-initialised, derived afterwards, or the list's value(v).
struct NoDefault {};
template <class T>
void set_default(T&, NoDefault) {}
template <class T, class V>
void set_default(T& target, V value) {
    target = static_cast<T>(value);
}

#define FEED_REQUIRED_required true
#define FEED_REQUIRED_zero false
#define FEED_REQUIRED_derived false
#define FEED_REQUIRED_value(v) false
#define FEED_DEFAULT_required NoDefault{}
#define FEED_DEFAULT_zero NoDefault{}
#define FEED_DEFAULT_derived NoDefault{}
#define FEED_DEFAULT_value(v) v

// PairField::kind, CandleField::close, ...: a field's place in its record, which is its slot.
#define FEED_FIELD_INDEX(R, name, kind, doc, given) name,
#define FEED_FIELD_ENUM(Class, prefix, doc, FIELDS)                                       \
    struct Class##Field {                                                                 \
        enum : std::size_t { FIELDS(Class, FEED_FIELD_INDEX, FEED_FIELD_INDEX) count };   \
    };
KAVNO_RECORDS(FEED_FIELD_ENUM)
#undef FEED_FIELD_ENUM
#undef FEED_FIELD_INDEX

// The fields a factory derives from the others: nothing but a candle's.
template <class Values>
void derive(Values&, PyObject* const*, const Timepoint*) {}

// open = close, high = max(open, close), low = min(open, close), close_time = open_time + interval - 1 ms.
void derive(kavno::CandleValues& values, PyObject* const* slot, const Timepoint* times) {
    if (!slot[CandleField::open]) values.open = values.close;
    if (!slot[CandleField::high]) values.high = std::max(values.open, values.close);
    if (!slot[CandleField::low]) values.low = std::min(values.open, values.close);
    if (!slot[CandleField::close_time]) {
        values.close_time =
            instant_of(times[CandleField::open_time].plus_milliseconds(interval_milliseconds(values.interval) - 1));
    }
}

// What each factory's docstring says of its defaults, in the records' order.
constexpr const char* factory_docs[] = {
    "A Pair. kind defaults to TradeKind.Spot, the minimums to 0.0.",
    "A Candle. open defaults to close, high to max(open, close), low to min(open, close), volume and amount to 0.0, "
    "trades to 0, kind to TradeKind.Spot, interval to CandleInterval.Min1, close_time to open_time + interval - 1 ms.",
    "An Order. kind defaults to TradeKind.Spot, type to TradeType.Limit, status to OrderStatus.Created, the fill and "
    "the fee to 0.0.",
    "A Position. kind defaults to TradeKind.Spot, leverage to 1.",
};
static_assert(std::size(factory_docs) == std::size(kavno::records));

#define FEED_IS_REQUIRED(R, name, kind, doc, given) FEED_REQUIRED_##given,
#define FEED_FACTORY(Class, prefix, doc, FIELDS)                                                      \
    constexpr bool prefix##_required[] = {FIELDS(Class, FEED_IS_REQUIRED, FEED_IS_REQUIRED)};         \
    Factory prefix##_factory("make_" #prefix, kavno::prefix##_record, prefix##_required,              \
                             factory_docs[static_cast<std::size_t>(kavno::RecordId::Class)]);
KAVNO_RECORDS(FEED_FACTORY)
#undef FEED_FACTORY
#undef FEED_IS_REQUIRED

Factory* const factories[] = {
#define FEED_FACTORY_ENTRY(Class, prefix, doc, FIELDS) &prefix##_factory,
    KAVNO_RECORDS(FEED_FACTORY_ENTRY)
#undef FEED_FACTORY_ENTRY
};

}  // namespace

// make_pair, make_candle, make_order, make_position: every field given converted in the record's order, the
// defaults set, the derived fields derived, and the record made by the producer API.
#define FEED_CONVERT_FIELD(R, name, kind, doc, given)                                                         \
    &&(slot[R##Field::name] == nullptr                                                                       \
           ? (set_default(values.name, FEED_DEFAULT_##given), true)                                          \
           : convert<kavno::FieldKind::kind>({#R, #name}, slot[R##Field::name], values.name, times[R##Field::name]))
#define FEED_CONVERT_MEMBER(R, name, type, doc, given)                                                        \
    &&(slot[R##Field::name] == nullptr ? (set_default(values.name, FEED_DEFAULT_##given), true)              \
                                       : as_enum({#R, #name}, slot[R##Field::name], values.name))
#define FEED_MAKE(Class, prefix, doc, FIELDS)                                                     \
    PyObject* make_##prefix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        PyObject* slot[Class##Field::count];                                                      \
        if (!prefix##_factory.bind(args, nargs, kwnames, slot)) return nullptr;                   \
        kavno::Class##Values values{};                                                            \
        Timepoint times[Class##Field::count];                                                     \
        if (!(true FIELDS(Class, FEED_CONVERT_FIELD, FEED_CONVERT_MEMBER))) return nullptr;       \
        derive(values, slot, times);                                                              \
        return kavno::make_##prefix(values);                                                      \
    }
KAVNO_RECORDS(FEED_MAKE)
#undef FEED_MAKE
#undef FEED_CONVERT_MEMBER
#undef FEED_CONVERT_FIELD

std::vector<Signed> factory_signatures() {
    std::vector<Signed> signed_factories;
    for (Factory* factory : factories) signed_factories.push_back({&factory->signature(), factory->doc()});
    return signed_factories;
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
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    for (std::size_t f = 0; f < spec->field_count; ++f) {
        Ref value = Ref::steal(PyObject_GetAttrString(record, spec->fields[f].name));
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
        Ref left = Ref::steal(PyObject_GetAttrString(args[0], spec->fields[f].name));
        Ref right = left ? Ref::steal(PyObject_GetAttrString(args[1], spec->fields[f].name)) : Ref();
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
