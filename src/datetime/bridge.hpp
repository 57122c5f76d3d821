// The only way dates cross between Python and kavno: aware datetimes in UTC in, exact datetime.datetime out.
#pragma once

#include "boundary/failure.hpp"
#include "kavno/datetime.hpp"

#include <atomic>

namespace kavno {

// The converter of datetime arguments: a datetime.datetime (or subclass) whose tzinfo equals
// datetime.timezone.utc, read from its stored fields.
struct AsUtcDateTime {
    static PyResult<UtcDateTime> convert(PyObject* object);
};

// The same rule, and a tzinfo that is UTC by definition rather than by comparing equal to datetime.timezone.utc: a
// zoneinfo or pytz zone of a UTC name ("UTC", "Etc/UTC", "GMT", ...) or dateutil's tzutc, that gives the offset 0
// for the datetime, as the data of other libraries carries. Never a zone that is at offset 0 only at times.
struct AsAnyUtcDateTime {
    static PyResult<UtcDateTime> convert(PyObject* object);
};

// The three members of the datetime C API that results are made with, copied out of the capsule once (in
// bridge.cpp, the one file that includes datetime.h) so that the making of a result inlines into each entry.
struct DateTimeMaker {
    PyObject* (*make)(int year, int month, int day, int hour, int minute, int second, int microsecond,
                      PyObject* tzinfo, int fold, PyTypeObject* type);
    PyObject* utc;
    PyTypeObject* type;
};

extern std::atomic<const DateTimeMaker*> loaded_datetime_maker;
const DateTimeMaker& load_datetime_maker();  // imports the capsule on first need
PyResult<Ref> leap_second_result(const UtcDateTime& value);

// A new datetime.datetime with tzinfo datetime.timezone.utc, the fraction cut to microseconds. A leap second
// gives second 59 and a UserWarning.
inline PyResult<Ref> datetime_result(const UtcDateTime& value) {
    if (value.nanosecond >= nanos_per_second) [[unlikely]] return leap_second_result(value);
    const DateTimeMaker* maker = loaded_datetime_maker.load(std::memory_order_acquire);
    if (maker == nullptr) [[unlikely]] maker = &load_datetime_maker();
    return adopt(maker->make(value.year, value.month, value.day, value.hour, value.minute, value.second,
                             static_cast<int>(value.nanosecond / 1000), maker->utc, 0, maker->type));
}

}  // namespace kavno
