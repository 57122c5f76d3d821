// The typed argument converters of the module functions. Each turns one argument into the C++ value its *_impl
// receives, through the interpreter's own protocols, or gives the failure that the argument-error rule then
// rewrites under the parameter's name. Fast paths for exact built-in types give the very same values.
#pragma once

#include "boundary/failure.hpp"

#include <cstdint>
#include <string_view>

namespace kavno {

// Whatever PyFloat_AsDouble accepts; an exact float is read directly.
struct AsDouble {
    static PyResult<double> convert(PyObject* object);
};

// An int (a subclass by its stored value, never its __index__) or an object with __index__, into 0 to 4294967295.
struct AsUInt32 {
    static PyResult<std::uint32_t> convert(PyObject* object);
};

// Whatever PyLong_AsLongLong accepts.
struct AsInt64 {
    static PyResult<std::int64_t> convert(PyObject* object);
};

// A str or subclass, as its UTF-8 text; the view lives as long as the str (read in place for ASCII text).
struct AsUtf8 {
    static PyResult<std::string_view> convert(PyObject* object);
};

}  // namespace kavno
