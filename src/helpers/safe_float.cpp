// safe_float(value, decimals): a float rounded to a number of decimal places, on its shortest decimal form.
#include "boundary/errors.hpp"
#include "helpers/convert.hpp"
#include "helpers/functions.hpp"
#include "helpers/rounding.hpp"

#include <array>

namespace kavno::helpers {

namespace {

constexpr std::string_view params[] = {"value", "decimals"};

PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> slots;
    if (auto bound = collect(safe_float, args, nargs, kwnames, slots); !bound) return raise(std::move(bound));
    auto value = to_double(slots[0]);
    if (!value) return raise(argument_error(std::move(value).error(), "value"));
    auto decimals = to_uint32(slots[1]);
    if (!decimals) return raise(argument_error(std::move(decimals).error(), "decimals"));
    return PyFloat_FromDouble(round_decimal(*value, *decimals));
}

}  // namespace

const FunctionSpec safe_float{"safe_float", params, "安全浮点数", fastcall_entry<entry>(), METH_FASTCALL | METH_KEYWORDS};

}  // namespace kavno::helpers
