// Field conversions: kavno's own converters and binding code, with refusals that name the record and the field.
#include "arguments.hpp"

#include "columns.hpp"
#include "boundary/errors.hpp"
#include "boundary/ref.hpp"
#include "datetime/bridge.hpp"

#include <cstring>
#include <string>

namespace feed {

namespace {

PyObject* enumeration_classes[kavno::enumeration_count] = {};
PyObject* record_classes[std::size(kavno::records)] = {};

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
    Ref text = kind ? Ref::steal(PyObject_Str(original)) : Ref();
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
    Ref kavno_module = Ref::steal(PyImport_ImportModule("kavno"));
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

PyTypeObject* enumeration_class(kavno::EnumerationId which) {
    return reinterpret_cast<PyTypeObject*>(enumeration_classes[static_cast<std::size_t>(which)]);
}

bool as_text(Field field, PyObject* object, std::string_view& out) {
    if (!PyUnicode_Check(object)) return refuse(PyExc_TypeError, field, "expected a str, not " + kavno::type_qualname(object));
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
        return refuse(PyExc_TypeError, field, "expected a number, not " + kavno::type_qualname(object));
    }
    return true;
}

bool as_int64(Field field, PyObject* object, std::int64_t& out) {
    if (!PyLong_Check(object)) return refuse(PyExc_TypeError, field, "expected an int, not " + kavno::type_qualname(object));
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
    // As kavno reads its own date arguments, and any tzinfo that is UTC by definition.
    auto utc = kavno::AsAnyUtcDateTime::convert(object);
    if (!utc) {
        kavno::Failure failure = std::move(utc).error();
        if (const std::string* message = failure.message()) return refuse(failure.type(), field, *message);
        return kavno::raise(std::move(failure)), false;  // what a tzinfo raised, as it was raised
    }
    out = Timepoint{kavno::unix_seconds(*utc), utc->nanosecond};
    return true;
}

bool as_member(Field field, kavno::EnumerationId which, PyObject* object, std::uint8_t& out) {
    const kavno::EnumerationDescription& enumeration = kavno::enumerations[static_cast<std::size_t>(which)];
    long long value = 0;
    if (Py_IS_TYPE(object, enumeration_class(which))) {
        Ref number = Ref::steal(PyNumber_Long(object));  // int(member): its value
        if (!number) return false;
        value = PyLong_AsLongLong(number.get());
    } else if (PyLong_Check(object)) {
        int overflow = 0;
        value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow != 0) value = -1;
    } else {
        return refuse(PyExc_TypeError, field,
                      std::string("expected a ") + enumeration.name + " member or an int, not " + kavno::type_qualname(object));
    }
    if (value < 0 || value >= enumeration.member_count) {
        std::string shown = "an int too long to show";  // beyond the interpreter's limit on digits
        if (Ref text = Ref::steal(PyObject_Str(object)); text && PyUnicode_AsUTF8(text.get())) {
            shown = PyUnicode_AsUTF8(text.get());
        } else if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
            return false;  // not the limit on digits: out of memory, as it was raised
        }
        PyErr_Clear();
        return refuse(PyExc_ValueError, field,
                      shown + " is not a member value (0 to " + std::to_string(enumeration.member_count - 1) + ")");
    }
    out = static_cast<std::uint8_t>(value);
    return true;
}

}  // namespace feed
