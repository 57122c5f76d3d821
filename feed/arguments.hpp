// What kavno_feed's functions take from Python: keyword-only arguments, and the conversion of each to a record
// field, refused with a message that names the record and the field ("Order.status: ..."). The rules follow
// kavno's own: enumeration fields take a member of their class or an int of one of its values, date fields an
// aware datetime whose tzinfo equals datetime.timezone.utc or an int of milliseconds since the epoch.
#pragma once

#include "bars/rules.hpp"
#include "boundary/binding.hpp"
#include "boundary/ref.hpp"
#include "kavno/producer.hpp"

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace feed {

using kavno::Ref;

// Fetches what the conversions need once, at import: kavno's enumeration classes and the datetime C API.
bool load_dependencies();

// kavno's class for an enumeration (borrowed; kavno keeps its classes for the life of the process).
PyTypeObject* enumeration_class(kavno::EnumerationId which);

// The description of a kavno record's class (Pair, Candle, Order, Position), or null for any other object.
const kavno::RecordSpec* record_spec_of(PyObject* object);

// An instant as seconds since 1970-01-01T00:00:00 UTC and a fraction (floor division for earlier instants).
using Timepoint = bars::Time;

// The date field the producer takes: the UTC date-time, or (outside the years a record can hold) a value the
// producer refuses with its own message.
inline kavno::Instant instant_of(Timepoint time) {
    if (const auto utc = kavno::from_unix(time.seconds, time.nanosecond)) return *utc;
    return kavno::UtcDateTime{kavno::max_year + 1};
}

// A function of a keyword signature and the text its docstring has after the signature.
struct Signed {
    kavno::KeywordSignature* signature;
    const char* doc;
};

// Where a value goes, for messages: "Candle.close".
struct Field {
    const char* record;
    const char* name;
};

bool as_text(Field field, PyObject* object, std::string_view& out);
bool as_double(Field field, PyObject* object, double& out);
bool as_int64(Field field, PyObject* object, std::int64_t& out);
bool as_int32(Field field, PyObject* object, std::int32_t& out);
bool as_timepoint(Field field, PyObject* object, Timepoint& out);
bool as_member(Field field, kavno::EnumerationId which, PyObject* object, std::uint8_t& out);

template <class E>
bool as_enum(Field field, PyObject* object, E& out) {
    std::uint8_t value = 0;
    if (!as_member(field, kavno::enum_traits<E>::id, object, value)) return false;
    out = static_cast<E>(value);
    return true;
}

}  // namespace feed
