// Keyword binding and field conversions. The one file of kavno_feed that includes datetime.h (its macros read a
// per-file API pointer).
#include "arguments.hpp"

#include "columns.hpp"
#include "owned.hpp"

#include <datetime.h>

#include <cstring>
#include <string>

namespace feed {

namespace {

PyObject* enumeration_classes[kavno::enumeration_count] = {};
PyObject* record_classes[std::size(kavno::records)] = {};

std::string type_name(PyObject* object) {
    Owned name = own(PyType_GetQualName(Py_TYPE(object)));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return text;
}

// The names of zones that are UTC by definition, as zoneinfo and pytz know them.
constexpr std::string_view utc_zone_names[] = {
    "UTC", "Etc/UTC", "UCT", "Etc/UCT", "Universal", "Etc/Universal", "Zulu", "Etc/Zulu", "GMT", "Etc/GMT",
    "GMT0", "Etc/GMT0", "GMT+0", "Etc/GMT+0", "GMT-0", "Etc/GMT-0", "Greenwich", "Etc/Greenwich",
};

// 1 if the attribute `name` of `object` is one of the UTC zone names, 0 if not or absent, -1 on failure.
int names_utc_zone(PyObject* object, const char* name) {
    PyObject* value = nullptr;
    Owned key = own(PyUnicode_FromString(name));
    if (!key) return -1;
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject_GetOptionalAttr(object, key.get(), &value) < 0) return -1;
#else
    if (_PyObject_LookupAttr(object, key.get(), &value) < 0) return -1;
#endif
    Owned held = own(value);
    if (!held || !PyUnicode_Check(value)) return 0;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return 0;
    }
    const std::string_view zone(text, static_cast<std::size_t>(size));
    for (std::string_view utc : utc_zone_names) {
        if (zone == utc) return 1;
    }
    return 0;
}

// Whether a tzinfo is UTC by definition, not by the chance of a zero offset at one instant: a zero
// datetime.timezone, a zoneinfo or pytz zone of a UTC name, dateutil's tzutc; and it gives the offset 0 for `when`.
int is_utc_by_definition(PyObject* tzinfo, PyObject* when) {
    Owned equal = own(PyObject_RichCompare(tzinfo, PyDateTime_TimeZone_UTC, Py_EQ));
    const int truth = equal ? PyObject_IsTrue(equal.get()) : -1;
    if (truth != 0) return truth;
    int named = names_utc_zone(tzinfo, "key");  // zoneinfo.ZoneInfo
    if (named == 0) named = names_utc_zone(tzinfo, "zone");  // pytz
    if (named == 0) {
        PyTypeObject* type = Py_TYPE(tzinfo);
        named = std::string_view(type->tp_name) == "tzutc" || std::string_view(type->tp_name) == "dateutil.tz.tz.tzutc";
    }
    if (named <= 0) return named;
    Owned offset = own(PyObject_CallMethod(tzinfo, "utcoffset", "O", when));
    if (!offset) return -1;
    if (!PyDelta_Check(offset.get())) return 0;
    return PyDateTime_DELTA_GET_DAYS(offset.get()) == 0 && PyDateTime_DELTA_GET_SECONDS(offset.get()) == 0 &&
           PyDateTime_DELTA_GET_MICROSECONDS(offset.get()) == 0;
}

bool refuse(PyObject* type, Field field, const std::string& what) {
    PyErr_Format(type, "%s.%s: %s", field.record, field.name, what.c_str());
    return false;
}

// The pending exception of a conversion, raised again naming the field ("Candle.close: int too large to convert
// to float"), with the original as its cause: of the same type for the plain ones, a ValueError for a codec's
// (whose type takes more than a message). Anything else (KeyboardInterrupt, MemoryError, a user's own) stays as it
// was raised.
bool name_the_field(Field field) {
    PyObject* original = PyErr_GetRaisedException();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(original));
    PyObject* kind = type == PyExc_TypeError || type == PyExc_ValueError || type == PyExc_OverflowError ? type
                     : PyErr_GivenExceptionMatches(original, PyExc_UnicodeError)                      ? PyExc_ValueError
                                                                                                      : nullptr;
    Owned text = kind ? own(PyObject_Str(original)) : Owned();
    const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (message == nullptr) {
        PyErr_Clear();
        PyErr_SetRaisedException(original);
        return false;
    }
    PyErr_Format(kind, "%s.%s: %s", field.record, field.name, message);
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, original);
    PyErr_SetRaisedException(raised);
    return false;
}

}  // namespace

bool load_dependencies() {
    if (!load_mapping_abc()) return false;
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) return false;
    Owned kavno_module = own(PyImport_ImportModule("kavno"));
    if (!kavno_module) return false;
    for (std::size_t i = 0; i < kavno::enumeration_count; ++i) {
        PyObject* found = PyObject_GetAttrString(kavno_module.get(), kavno::enumerations[i].name);
        if (found == nullptr) return false;
        if (!PyType_Check(found)) {
            PyErr_Format(PyExc_ImportError, "kavno.%s is not a class", kavno::enumerations[i].name);
            Py_DECREF(found);
            return false;
        }
        enumeration_classes[i] = found;  // kept for the process, as kavno keeps it
    }
    for (std::size_t i = 0; i < std::size(kavno::records); ++i) {
        PyObject* found = PyObject_GetAttrString(kavno_module.get(), kavno::records[i]->name());
        if (found == nullptr) return false;
        if (!PyType_Check(found)) {
            PyErr_Format(PyExc_ImportError, "kavno.%s is not a class", kavno::records[i]->name());
            Py_DECREF(found);
            return false;
        }
        record_classes[i] = found;
    }
    return true;
}

const kavno::RecordSpec* record_spec_of(PyObject* object) {
    for (std::size_t i = 0; i < std::size(kavno::records); ++i) {
        if (Py_IS_TYPE(object, reinterpret_cast<PyTypeObject*>(record_classes[i]))) return kavno::records[i];
    }
    return nullptr;
}

PyTypeObject* enumeration_class(kavno::EnumClass which) {
    return reinterpret_cast<PyTypeObject*>(enumeration_classes[static_cast<std::size_t>(which)]);
}

std::int64_t interval_milliseconds(kavno::CandleInterval interval) {
    constexpr std::int64_t lengths[] = {60'000, 300'000, 900'000, 3'600'000, 86'400'000};
    static_assert(std::size(lengths) == kavno::member_count<kavno::CandleInterval>);
    return lengths[static_cast<std::size_t>(interval)];
}

Keywords::Keywords(const char* function, std::initializer_list<std::pair<const char*, bool>> parameters)
    : function_(function) {
    for (const auto& [name, required] : parameters) {
        names_.push_back(name);
        required_.push_back(required);
    }
}

bool Keywords::intern() {
    if (interned_.size() == names_.size()) return true;
    std::vector<PyObject*> interned;
    for (const char* name : names_) {
        PyObject* text = PyUnicode_InternFromString(name);
        if (text == nullptr) {
            for (PyObject* made : interned) Py_DECREF(made);
            return false;
        }
        interned.push_back(text);  // kept for the process
    }
    interned_ = std::move(interned);
    return true;
}

bool Keywords::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments (%zd given); every argument is a keyword",
                     function_, nargs);
        return false;
    }
    for (PyObject*& slot : slots) slot = nullptr;
    const Py_ssize_t count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t match = names_.size();
        for (std::size_t i = 0; i < names_.size() && match == names_.size(); ++i) {
            if (keyword == interned_[i]) match = i;  // the usual case: the call site's interned name
        }
        for (std::size_t i = 0; i < names_.size() && match == names_.size(); ++i) {
            if (PyUnicode_Compare(keyword, interned_[i]) == 0) match = i;
        }
        if (match == names_.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function_, keyword);
            return false;
        }
        // None for a parameter with a default asks for the default.
        if (required_[match] || args[k] != Py_None) slots[match] = args[k];
    }
    std::string missing;
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (required_[i] && slots[i] == nullptr) {
            missing += (missing_count++ ? ", '" : "'") + std::string(names_[i]) + "'";
        }
    }
    if (missing_count != 0) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required keyword-only argument%s: %s", function_, missing_count,
                     missing_count == 1 ? "" : "s", missing.c_str());
        return false;
    }
    return true;
}

bool as_text(Field field, PyObject* object, std::string_view& out) {
    if (!PyUnicode_Check(object)) return refuse(PyExc_TypeError, field, "expected a str, not " + type_name(object));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return name_the_field(field);  // lone surrogates
    out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

bool as_double(Field field, PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    out = PyFloat_AsDouble(object);
    if (out == -1.0 && PyErr_Occurred()) {
        // Not a number at all: said as such. A number that failed to convert (an int beyond a float, a __float__
        // that raised) says why, with the field named and its own exception as the cause.
        if (!PyErr_ExceptionMatches(PyExc_TypeError) || PyNumber_Check(object)) return name_the_field(field);
        PyErr_Clear();
        return refuse(PyExc_TypeError, field, "expected a number, not " + type_name(object));
    }
    return true;
}

bool as_int64(Field field, PyObject* object, std::int64_t& out) {
    if (!PyLong_Check(object)) return refuse(PyExc_TypeError, field, "expected an int, not " + type_name(object));
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) return refuse(PyExc_OverflowError, field, "the value is outside the signed 64-bit range");
    out = value;
    return true;
}

bool as_int32(Field field, PyObject* object, std::int32_t& out) {
    std::int64_t value = 0;
    if (!as_int64(field, object, value)) return false;
    if (value < INT32_MIN || value > INT32_MAX) {
        return refuse(PyExc_OverflowError, field, std::to_string(value) + " is outside the signed 32-bit range");
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

bool as_timepoint(Field field, PyObject* object, Timepoint& out) {
    if (PyLong_Check(object)) {  // milliseconds since the epoch
        std::int64_t milliseconds = 0;
        if (!as_int64(field, object, milliseconds)) return false;
        out = Timepoint{}.plus_milliseconds(milliseconds);
        return true;
    }
    // As kavno reads its own date arguments: an aware datetime whose tzinfo equals datetime.timezone.utc.
    if (!PyDateTime_Check(object)) {
        return refuse(PyExc_TypeError, field, "'" + type_name(object) + "' object cannot be converted to 'PyDateTime'");
    }
    PyObject* tzinfo = PyDateTime_DATE_GET_TZINFO(object);
    if (tzinfo == Py_None) return refuse(PyExc_TypeError, field, "expected a datetime with non-None tzinfo");
    if (tzinfo != PyDateTime_TimeZone_UTC) {
        const int utc = is_utc_by_definition(tzinfo, object);
        if (utc < 0) return false;
        if (utc == 0) return refuse(PyExc_ValueError, field, "expected datetime.timezone.utc");
    }
    const std::int64_t days = kavno::days_from_civil(PyDateTime_GET_YEAR(object), PyDateTime_GET_MONTH(object),
                                                     PyDateTime_GET_DAY(object));
    out.seconds = days * kavno::seconds_per_day + PyDateTime_DATE_GET_HOUR(object) * 3600 +
                  PyDateTime_DATE_GET_MINUTE(object) * 60 + PyDateTime_DATE_GET_SECOND(object);
    out.nanosecond = static_cast<std::uint32_t>(PyDateTime_DATE_GET_MICROSECOND(object)) * 1000;
    return true;
}

bool as_member(Field field, kavno::EnumClass which, PyObject* object, std::uint8_t& out) {
    const kavno::EnumerationDescription& enumeration = kavno::enumerations[static_cast<std::size_t>(which)];
    long long value = 0;
    if (Py_IS_TYPE(object, enumeration_class(which))) {
        Owned number = own(PyNumber_Long(object));  // int(member): its value
        if (!number) return false;
        value = PyLong_AsLongLong(number.get());
    } else if (PyLong_Check(object)) {
        int overflow = 0;
        value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow != 0) value = -1;
    } else {
        return refuse(PyExc_TypeError, field,
                      std::string("expected a ") + enumeration.name + " member or an int, not " + type_name(object));
    }
    if (value < 0 || value >= enumeration.member_count) {
        std::string shown = "an int too long to show";  // beyond the interpreter's limit on digits
        if (Owned text = own(PyObject_Str(object)); text && PyUnicode_AsUTF8(text.get())) {
            shown = PyUnicode_AsUTF8(text.get());
        }
        PyErr_Clear();
        return refuse(PyExc_ValueError, field,
                      shown + " is not a member value (0 to " + std::to_string(enumeration.member_count - 1) + ")");
    }
    out = static_cast<std::uint8_t>(value);
    return true;
}

}  // namespace feed
