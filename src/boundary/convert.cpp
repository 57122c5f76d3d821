// The typed argument converters: the interpreter's own protocols, with fast paths for exact built-in types
// that give the very same values.
#include "boundary/convert.hpp"

#include "boundary/errors.hpp"

#include <limits>

namespace kavno {

PyResult<double> AsDouble::convert(PyObject* object) noexcept {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return Unexpected(Failure::fetch());
    return value;
}

namespace {

// The value of an exact int that fits a machine word, read without a call (what PyLong_As* would give).
bool compact_value(PyObject* object, Py_ssize_t& value) noexcept {
    if (!PyLong_CheckExact(object) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) return false;
    value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
    return true;
}

// The value of an exact int of two 30-bit digits (below 2^60: every millisecond timestamp from 1970 on), read from
// its digits as longintrepr.h lays them out in 3.12 and 3.13: the digit count above three tag bits, the sign in
// the lowest two (0 positive, 2 negative).
bool two_digit_value(PyObject* object, std::int64_t& value) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && PYLONG_BITS_IN_DIGIT == 30
    if (!PyLong_CheckExact(object)) return false;
    const auto& number = reinterpret_cast<const PyLongObject*>(object)->long_value;
    if ((number.lv_tag >> _PyLong_NON_SIZE_BITS) != 2) return false;
    const std::int64_t magnitude =
        static_cast<std::int64_t>(number.ob_digit[0]) | (static_cast<std::int64_t>(number.ob_digit[1]) << PyLong_SHIFT);
    value = (number.lv_tag & _PyLong_SIGN_MASK) == 2 ? -magnitude : magnitude;
    return true;
#else
    (void)object;
    (void)value;
    return false;
#endif
}

}  // namespace

PyResult<std::uint32_t> AsUInt32::convert(PyObject* object) noexcept {
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

PyResult<std::int64_t> AsInt64::convert(PyObject* object) noexcept {
    if (Py_ssize_t small = 0; compact_value(object, small)) return static_cast<std::int64_t>(small);
    if (std::int64_t value = 0; two_digit_value(object, value)) return value;
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

PyResult<std::string_view> AsUtf8::convert(PyObject* object) noexcept {
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
