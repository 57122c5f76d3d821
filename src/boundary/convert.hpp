// Argument conversions shared by the module functions: each gives the internal value or the failure that the
// argument-error rule then rewrites under the parameter's name.
#pragma once

#include "boundary/failure.hpp"

#include <cstdint>

namespace kavno {

// Whatever PyFloat_AsDouble accepts; an exact float is read directly.
PyResult<double> to_double(PyObject* object) noexcept;

// An int (subclasses by their stored value) or an object with __index__, into 0 to 4294967295.
PyResult<std::uint32_t> to_uint32(PyObject* object) noexcept;

// Whatever PyLong_AsLongLong accepts.
PyResult<std::int64_t> to_int64(PyObject* object) noexcept;

}  // namespace kavno
