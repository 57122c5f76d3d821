// The six date helpers: thin wrappers that bind and convert arguments, call the pure date code and convert
// its outcome. A failure of the date computation itself becomes a RuntimeError with its own text, no prefix.
#include "boundary/errors.hpp"
#include "datetime/bridge.hpp"
#include "datetime/rfc3339.hpp"
#include "helpers/convert.hpp"
#include "helpers/functions.hpp"

#include <time.h>

#include <array>

namespace kavno::helpers {

namespace {

constexpr std::int64_t nanos_per_day = seconds_per_day * nanos_per_second;

PyObject* raise_date_error(std::string_view message) noexcept {
    return raise(Failure::of(PyExc_RuntimeError, std::string(message)));
}

PyObject* finish_datetime(const UtcDateTime& value) noexcept { return finish(datetime_result(value)); }

// The nanosecond timestamp of a value, or nothing when it does not fit in 64 bits. Before 1970 one second is
// borrowed so that only the final value has to fit.
std::optional<std::int64_t> nanosecond_timestamp(const UtcDateTime& value) noexcept {
    const std::int64_t seconds = unix_seconds(value);
    const auto fraction = static_cast<std::int64_t>(value.nanosecond);
    std::int64_t scaled = 0;
    std::int64_t total = 0;
    const bool overflow = seconds < 0 ? __builtin_mul_overflow(seconds + 1, std::int64_t{nanos_per_second}, &scaled) ||
                                            __builtin_add_overflow(scaled, fraction - nanos_per_second, &total)
                                      : __builtin_mul_overflow(seconds, std::int64_t{nanos_per_second}, &scaled) ||
                                            __builtin_add_overflow(scaled, fraction, &total);
    if (overflow) return std::nullopt;
    return total;
}

struct timespec read_clock() noexcept {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);  // CLOCK_REALTIME cannot fail on Linux with a valid pointer
    return now;
}

constexpr std::string_view truncate_params[] = {"date"};
PyObject* truncate_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> slots;
    if (auto bound = collect(truncate_to_day, args, nargs, kwnames, slots); !bound) return raise(std::move(bound));
    auto value = datetime_argument(slots[0], "date");
    if (!value) return raise(std::move(value));
    // The years 1678 to 2261 lie wholly inside the nanosecond timestamps (1677-09-21 to 2262-04-11), and every
    // value but a leap second is taken back by its time of day: the same midnight, without the arithmetic.
    if (value->year >= 1678 && value->year <= 2261 && value->nanosecond < nanos_per_second) {
        return finish_datetime({value->year, value->month, value->day});
    }
    const auto timestamp = nanosecond_timestamp(*value);
    if (!timestamp) return raise_date_error("timestamp exceeds num_nanoseconds limit");
    // Truncating remainder; a negative one is taken back from the next lower midnight.
    const std::int64_t remainder = *timestamp % nanos_per_day;
    const std::int64_t back = remainder >= 0 ? remainder : nanos_per_day + remainder;
    return finish_datetime(subtract_nanoseconds(*value, back));
}

constexpr std::string_view str_params[] = {"s"};
PyObject* str_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> slots;
    if (auto bound = collect(str_to_date, args, nargs, kwnames, slots); !bound) return raise(std::move(bound));
    PyObject* text = slots[0];
    if (!PyUnicode_Check(text)) return raise(argument_error(wrong_type(text, "PyString"), "s"));
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);  // in place for ASCII text
    if (bytes == nullptr) return raise(argument_error(Failure::fetch(), "s"));
    auto parsed = parse_rfc3339({bytes, static_cast<std::size_t>(size)});
    if (!parsed) return raise_date_error(message(parsed.error()));
    return finish_datetime(*parsed);
}

constexpr std::string_view date_params[] = {"d"};
PyObject* date_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> slots;
    if (auto bound = collect(date_to_str, args, nargs, kwnames, slots); !bound) return raise(std::move(bound));
    auto value = datetime_argument(slots[0], "d");
    if (!value) return raise(std::move(value));
    char text[rfc3339_capacity];
    const std::size_t size = write_rfc3339(*value, text);
    return PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, text, static_cast<Py_ssize_t>(size));
}

constexpr std::string_view ms_params[] = {"ts"};
PyObject* ms_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> slots;
    if (auto bound = collect(ms_to_date, args, nargs, kwnames, slots); !bound) return raise(std::move(bound));
    auto milliseconds = to_int64(slots[0]);
    if (!milliseconds) return raise(argument_error(std::move(milliseconds).error(), "ts"));
    const auto value = from_unix_ms(*milliseconds);
    if (!value) return raise_date_error("时间戳转换失败");
    return finish_datetime(*value);
}

PyObject* now_date_entry(PyObject*, PyObject*) {
    const struct timespec now = read_clock();
    const auto value = from_unix(now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec));
    if (!value) return raise_date_error("时间戳转换失败");
    return finish_datetime(*value);
}

PyObject* now_ms_entry(PyObject*, PyObject*) {
    const struct timespec now = read_clock();
    return PyLong_FromLongLong(static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000);
}

constexpr int with_arguments = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

const FunctionSpec truncate_to_day{"truncate_to_day", truncate_params, "截断日期到天",
                                   fastcall_entry<truncate_entry>(), with_arguments};
const FunctionSpec str_to_date{"str_to_date", str_params, "字符串转日期", fastcall_entry<str_entry>(), with_arguments};
const FunctionSpec date_to_str{"date_to_str", date_params, "日期转字符串", fastcall_entry<date_entry>(), with_arguments};
const FunctionSpec ms_to_date{"ms_to_date", ms_params, "时间戳转日期", fastcall_entry<ms_entry>(), with_arguments};
const FunctionSpec now_date{"now_date", {}, "获取当前时间", now_date_entry, METH_NOARGS};
const FunctionSpec now_ms{"now_ms", {}, "获取当前时间戳", now_ms_entry, METH_NOARGS};

}  // namespace kavno::helpers
