// The six date helpers: plain *_impl functions over the pure date code, each described once for the binder. A
// failure of the date computation itself becomes a RuntimeError with its own text, no prefix.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "datetime/arithmetic.hpp"
#include "datetime/bridge.hpp"
#include "datetime/rfc3339.hpp"
#include "helpers/functions.hpp"

#include <time.h>

namespace kavno::helpers {

namespace {

Failure date_error(std::string_view message) {
    return Failure::of(PyExc_RuntimeError, std::string(message));
}

struct timespec read_clock() noexcept {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);  // CLOCK_REALTIME cannot fail on Linux with a valid pointer
    return now;
}

PyResult<Ref> truncate_to_day_impl(UtcDateTime date) {
    const auto midnight = truncate_to_day(date);
    if (!midnight) return Unexpected(date_error(message(midnight.error())));
    return datetime_result(*midnight);
}

PyResult<Ref> str_to_date_impl(std::string_view s) {
    const auto parsed = parse_rfc3339(s);
    if (!parsed) return Unexpected(date_error(message(parsed.error())));
    return datetime_result(*parsed);
}

PyResult<Ref> date_to_str_impl(UtcDateTime d) {
    // Written in place into a new ASCII str of the right length: nothing to scan or copy afterwards.
    const std::size_t size = rfc3339_length(d);
    auto text = adopt(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    if (text) write_rfc3339(d, static_cast<char*>(PyUnicode_DATA(text->get())));
    return text;
}

PyResult<Ref> ms_to_date_impl(std::int64_t ts) {
    const auto value = from_unix_ms(ts);
    if (!value) return Unexpected(date_error("时间戳转换失败"));
    return datetime_result(*value);
}

PyResult<Ref> now_date_impl() {
    const struct timespec now = read_clock();
    const auto value = from_unix(now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec));
    if (!value) return Unexpected(date_error("时间戳转换失败"));
    return datetime_result(*value);
}

PyResult<Ref> now_ms_impl() {
    const struct timespec now = read_clock();
    return adopt(PyLong_FromLongLong(static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000));
}

}  // namespace

const FunctionDescription& truncate_to_day_description =
    Function<"truncate_to_day", "截断日期到天", truncate_to_day_impl, Param<"date", AsUtcDateTime>>::description;
const FunctionDescription& str_to_date_description =
    Function<"str_to_date", "字符串转日期", str_to_date_impl, Param<"s", AsUtf8>>::description;
const FunctionDescription& date_to_str_description =
    Function<"date_to_str", "日期转字符串", date_to_str_impl, Param<"d", AsUtcDateTime>>::description;
const FunctionDescription& ms_to_date_description =
    Function<"ms_to_date", "时间戳转日期", ms_to_date_impl, Param<"ts", AsInt64>>::description;
const FunctionDescription& now_date_description = Function<"now_date", "获取当前时间", now_date_impl>::description;
const FunctionDescription& now_ms_description = Function<"now_ms", "获取当前时间戳", now_ms_impl>::description;

}  // namespace kavno::helpers
