// Number conversions through the interpreter's own protocols, with fast paths for the exact built-in types
// that give the very same values.
#include "helpers/convert.hpp"

#include <limits>

namespace kavno {

PyResult<double> to_double(PyObject* object) noexcept {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return Unexpected(Failure::fetch());
    return value;
}

PyResult<std::uint32_t> to_uint32(PyObject* object) noexcept {
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

PyResult<std::int64_t> to_int64(PyObject* object) noexcept {
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return Unexpected(Failure::fetch());
    return static_cast<std::int64_t>(value);
}

}  // namespace kavno
