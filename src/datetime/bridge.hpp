// The only way dates cross between Python and kavno: aware datetimes in UTC in, exact datetime.datetime out.
#pragma once

#include "boundary/failure.hpp"
#include "kavno/datetime.hpp"

#include <string_view>

namespace kavno {

// A datetime.datetime (or subclass) whose tzinfo equals datetime.timezone.utc, read from its stored fields.
// Failures have passed through the argument-error rule under `param`.
PyResult<UtcDateTime> datetime_argument(PyObject* object, std::string_view param) noexcept;

// A new datetime.datetime with tzinfo datetime.timezone.utc, the fraction cut to microseconds. A leap second
// gives second 59 and a UserWarning.
PyResult<Ref> datetime_result(const UtcDateTime& value) noexcept;

// The datetime type, for the type tests of other entries.
PyTypeObject* datetime_type() noexcept;

}  // namespace kavno
