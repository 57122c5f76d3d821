// The bridge to the interpreter's datetime objects. This is the one file that includes datetime.h: its macros
// read a per-file API pointer, which is filled here once from the capsule and never released.
#include "datetime/bridge.hpp"

#include "boundary/errors.hpp"
#include "pure/fatal.hpp"

// The header's own API pointer is unused: the handle below is filled atomically instead.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

#include <atomic>

namespace kavno {

namespace {

std::atomic<PyDateTime_CAPI*> stored_api{nullptr};

PyDateTime_CAPI* api() {
    PyDateTime_CAPI* loaded = stored_api.load(std::memory_order_acquire);
    if (loaded != nullptr) [[likely]] return loaded;
    // The capsule import may run Python code and let another thread in; only the first result is kept.
    auto* imported = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (imported == nullptr) {
        fatal("failed to import `datetime` C API: " + render(Failure::fetch().into_exception().get()));
    }
    PyDateTime_CAPI* expected = nullptr;
    if (!stored_api.compare_exchange_strong(expected, imported, std::memory_order_acq_rel)) return expected;
    return imported;
}

PyResult<bool> is_utc(PyObject* tzinfo, PyObject* utc) {
    if (tzinfo == utc) return true;  // what timezone.__eq__ would answer, without the call
    Ref equal = Ref::steal(PyObject_RichCompare(tzinfo, utc, Py_EQ));
    if (!equal) return Unexpected(Failure::fetch());
    const int truth = PyObject_IsTrue(equal.get());
    if (truth < 0) return Unexpected(Failure::fetch());
    return truth == 1;
}

UtcDateTime stored_fields(PyObject* object) {
    return UtcDateTime{
        PyDateTime_GET_YEAR(object),
        static_cast<std::uint8_t>(PyDateTime_GET_MONTH(object)),
        static_cast<std::uint8_t>(PyDateTime_GET_DAY(object)),
        static_cast<std::uint8_t>(PyDateTime_DATE_GET_HOUR(object)),
        static_cast<std::uint8_t>(PyDateTime_DATE_GET_MINUTE(object)),
        static_cast<std::uint8_t>(PyDateTime_DATE_GET_SECOND(object)),
        static_cast<std::uint32_t>(PyDateTime_DATE_GET_MICROSECOND(object)) * 1000u,
    };
}

// Every check in its order, for what the common case below does not take: a subclass, a missing or another
// tzinfo, an object that is no datetime.
[[gnu::noinline, gnu::cold]] PyResult<UtcDateTime> convert_checked(PyObject* object) {
    PyDateTime_CAPI* capi = api();
    if (!PyObject_TypeCheck(object, capi->DateTimeType)) return Unexpected(wrong_type(object, "PyDateTime"));
    if (!_PyDateTime_HAS_TZINFO(object)) {
        return Unexpected(Failure::of(PyExc_TypeError, "expected a datetime with non-None tzinfo"));
    }
    auto utc = is_utc(PyDateTime_DATE_GET_TZINFO(object), capi->TimeZone_UTC);
    if (!utc) return Unexpected(std::move(utc).error());
    if (!*utc) return Unexpected(Failure::of(PyExc_ValueError, "expected datetime.timezone.utc"));
    return stored_fields(object);
}

}  // namespace

PyResult<UtcDateTime> AsUtcDateTime::convert(PyObject* object) {
    PyDateTime_CAPI* capi = api();
    // The common case, an exact datetime whose tzinfo is datetime.timezone.utc itself, in one test.
    if (Py_IS_TYPE(object, capi->DateTimeType) && _PyDateTime_HAS_TZINFO(object) &&
        PyDateTime_DATE_GET_TZINFO(object) == capi->TimeZone_UTC) [[likely]] {
        return stored_fields(object);
    }
    return convert_checked(object);
}

std::atomic<const DateTimeMaker*> loaded_datetime_maker{nullptr};

const DateTimeMaker& load_datetime_maker() {
    PyDateTime_CAPI* capi = api();  // may run Python code: before the guarded initialisation, which runs none
    static const DateTimeMaker maker{capi->DateTime_FromDateAndTimeAndFold, capi->TimeZone_UTC, capi->DateTimeType};
    loaded_datetime_maker.store(&maker, std::memory_order_release);
    return maker;
}

// The rare case of a leap second: second 59, the fraction less a second, and the warning.
[[gnu::cold]] PyResult<Ref> leap_second_result(const UtcDateTime& value) {
    PyDateTime_CAPI* capi = api();
    Ref result = Ref::steal(capi->DateTime_FromDateAndTimeAndFold(
        value.year, value.month, value.day, value.hour, value.minute, value.second,
        static_cast<int>((value.nanosecond - nanos_per_second) / 1000), capi->TimeZone_UTC, 0, capi->DateTimeType));
    if (!result) return Unexpected(Failure::fetch());
    if (PyErr_WarnEx(PyExc_UserWarning, "ignored leap-second, `datetime` does not support leap-seconds", 0) < 0) {
        PyErr_WriteUnraisable(result.get());
    }
    return result;
}

}  // namespace kavno
