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
#include <string_view>

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

// The names of zones that are UTC by definition, as zoneinfo and pytz know them.
constexpr std::string_view utc_zone_names[] = {
    "UTC", "Etc/UTC", "UCT", "Etc/UCT", "Universal", "Etc/Universal", "Zulu", "Etc/Zulu", "GMT", "Etc/GMT",
    "GMT0", "Etc/GMT0", "GMT+0", "Etc/GMT+0", "GMT-0", "Etc/GMT-0", "Greenwich", "Etc/Greenwich",
};

// Whether the attribute `name` of `object` is one of the UTC zone names (false when it is absent or no str).
PyResult<bool> names_utc_zone(PyObject* object, const char* name) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject_GetOptionalAttrString(object, name, &value) < 0) return Unexpected(Failure::fetch());
#else
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key || _PyObject_LookupAttr(object, key.get(), &value) < 0) return Unexpected(Failure::fetch());
#endif
    Ref held = Ref::steal(value);
    if (!held || !PyUnicode_Check(value)) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) {
        PyErr_Clear();  // lone surrogates: no zone's name
        return false;
    }
    const std::string_view zone(text, static_cast<std::size_t>(size));
    for (std::string_view utc : utc_zone_names) {
        if (zone == utc) return true;
    }
    return false;
}

// A tzinfo of a UTC name, or dateutil's tzutc, that gives the offset 0 for `when`.
PyResult<bool> is_utc_by_definition(PyObject* tzinfo, PyObject* when) {
    const std::string_view type = Py_TYPE(tzinfo)->tp_name;
    if (type != "tzutc" && type != "dateutil.tz.tz.tzutc") {
        bool named = false;
        for (const char* attribute : {"key", "zone"}) {  // zoneinfo.ZoneInfo's, pytz's
            auto found = names_utc_zone(tzinfo, attribute);
            if (!found) return found;
            if ((named = *found)) break;
        }
        if (!named) return false;
    }
    Ref offset = Ref::steal(PyObject_CallMethod(tzinfo, "utcoffset", "O", when));
    if (!offset) return Unexpected(Failure::fetch());
    if (!PyObject_TypeCheck(offset.get(), api()->DeltaType)) return false;  // (PyDelta_Check reads the unused pointer)
    return PyDateTime_DELTA_GET_DAYS(offset.get()) == 0 && PyDateTime_DELTA_GET_SECONDS(offset.get()) == 0 &&
           PyDateTime_DELTA_GET_MICROSECONDS(offset.get()) == 0;
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
// tzinfo, an object that is no datetime. `any_utc_zone` takes the zones that are UTC by definition too.
[[gnu::noinline, gnu::cold]] PyResult<UtcDateTime> convert_checked(PyObject* object, bool any_utc_zone) {
    PyDateTime_CAPI* capi = api();
    if (!PyObject_TypeCheck(object, capi->DateTimeType)) return Unexpected(wrong_type(object, "PyDateTime"));
    if (!_PyDateTime_HAS_TZINFO(object)) {
        return Unexpected(Failure::of(PyExc_TypeError, "expected a datetime with non-None tzinfo"));
    }
    PyObject* tzinfo = PyDateTime_DATE_GET_TZINFO(object);
    auto utc = is_utc(tzinfo, capi->TimeZone_UTC);
    if (!utc) return Unexpected(std::move(utc).error());
    if (!*utc && any_utc_zone) {
        auto by_definition = is_utc_by_definition(tzinfo, object);
        if (!by_definition) return Unexpected(std::move(by_definition).error());
        *utc = *by_definition;
    }
    if (!*utc) return Unexpected(Failure::of(PyExc_ValueError, "expected datetime.timezone.utc"));
    return stored_fields(object);
}

// The common case, an exact datetime whose tzinfo is datetime.timezone.utc itself, in one test.
bool is_plain_utc(PyObject* object, PyDateTime_CAPI* capi) {
    return Py_IS_TYPE(object, capi->DateTimeType) && _PyDateTime_HAS_TZINFO(object) &&
           PyDateTime_DATE_GET_TZINFO(object) == capi->TimeZone_UTC;
}

}  // namespace

PyResult<UtcDateTime> AsUtcDateTime::convert(PyObject* object) {
    if (is_plain_utc(object, api())) [[likely]] return stored_fields(object);
    return convert_checked(object, false);
}

PyResult<UtcDateTime> AsAnyUtcDateTime::convert(PyObject* object) {
    if (is_plain_utc(object, api())) [[likely]] return stored_fields(object);
    return convert_checked(object, true);
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
