// The typed argument converters: the interpreter's own protocols, with fast paths for exact built-in types
// that give the very same values.
#include "boundary/convert.hpp"

#include "boundary/errors.hpp"

#include <limits>

namespace kavno {

PyResult<double> AsDouble::convert(PyObject* object) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return Unexpected(Failure::fetch());
    return value;
}

namespace {

// The value of an exact int that fits a machine word, read without a call (what PyLong_As* would give).
bool compact_value(PyObject* object, Py_ssize_t& value) {
    if (!PyLong_CheckExact(object) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) return false;
    value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
    return true;
}

}  // namespace

PyResult<std::uint32_t> AsUInt32::convert(PyObject* object) {
    if (Py_ssize_t small = 0; compact_value(object, small) && small >= 0 && small <= 0xFFFF'FFFF) {
        return static_cast<std::uint32_t>(small);
    }
    Ref index;
    PyObject* integer = object;
    if (!PyLong_Check(object)) {
        index = Ref::steal(PyNumber_Index(object));
        if (!index) return Unexpected(Failure::fetch());
        integer = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) {
        return Unexpected(Failure::fetch());
    }
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        return Unexpected(Failure::of(PyExc_OverflowError, "out of range integral type conversion attempted"));
    }
    return static_cast<std::uint32_t>(value);
}

PyResult<std::int64_t> AsInt64::convert(PyObject* object) {
    if (Py_ssize_t small = 0; compact_value(object, small)) return static_cast<std::int64_t>(small);
    if (PyLong_CheckExact(object)) {
        // A digit loop, where PyLong_AsLongLong goes through a byte-array conversion; on overflow that one is
        // asked after all, for the interpreter's own error.
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow == 0) return static_cast<std::int64_t>(value);
    }
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return Unexpected(Failure::fetch());
    return static_cast<std::int64_t>(value);
}

PyResult<std::string_view> AsUtf8::convert(PyObject* object) {
    if (PyUnicode_CheckExact(object) && PyUnicode_IS_COMPACT_ASCII(object)) [[likely]] {
        // ASCII text is its own UTF-8, stored inline: what PyUnicode_AsUTF8AndSize would hand back.
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
    }
    if (!PyUnicode_Check(object)) return Unexpected(wrong_type(object, "PyString"));
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(object, &size);
    if (bytes == nullptr) return Unexpected(Failure::fetch());
    return std::string_view(bytes, static_cast<std::size_t>(size));
}

}  // namespace kavno
