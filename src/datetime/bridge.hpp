// The only way dates cross between Python and kavno: aware datetimes in UTC in, exact datetime.datetime out.
#pragma once

#include "boundary/failure.hpp"
#include "kavno/datetime.hpp"

namespace kavno {

// The converter of datetime arguments: a datetime.datetime (or subclass) whose tzinfo equals
// datetime.timezone.utc, read from its stored fields.
struct AsUtcDateTime {
    static PyResult<UtcDateTime> convert(PyObject* object) noexcept;
};

// A new datetime.datetime with tzinfo datetime.timezone.utc, the fraction cut to microseconds. A leap second
// gives second 59 and a UserWarning.
PyResult<Ref> datetime_result(const UtcDateTime& value) noexcept;

}  // namespace kavno
