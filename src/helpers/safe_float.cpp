// safe_float(value, decimals): a float rounded to a number of decimal places, on its shortest decimal form.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "helpers/functions.hpp"
#include "pure/rounding.hpp"

namespace kavno::helpers {

namespace {

PyResult<Ref> safe_float_impl(double value, std::uint32_t decimals) {
    return adopt(PyFloat_FromDouble(round_decimal(value, decimals)));
}

}  // namespace

const FunctionDescription& safe_float_description =
    Function<"safe_float", "安全浮点数", safe_float_impl, Param<"value", AsDouble>, Param<"decimals", AsUInt32>>::description;

}  // namespace kavno::helpers
