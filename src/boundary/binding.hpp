// Function descriptions and argument collection. One FunctionSpec per module function gives its name, its
// parameters and its doc; the binder and the method table's doc text both come from it, so they cannot drift.
#pragma once

#include "boundary/failure.hpp"

#include <span>
#include <string>
#include <string_view>

namespace kavno {

struct FunctionSpec {
    std::string_view name;
    std::span<const std::string_view> params;  // all positional-or-keyword, all required
    std::string_view doc;
    PyCFunction entry;
    int flags;  // METH_FASTCALL | METH_KEYWORDS, or METH_NOARGS

    // "name(a, b)\n--\n\ndoc": the layout from which the interpreter takes __text_signature__ and __doc__.
    std::string doc_with_signature() const;
};

// The entry of a function with arguments, in the form the method table stores.
template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
inline PyCFunction fastcall_entry() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// Fills one slot per parameter from a vectorcall, or fails with the binding TypeError. `slots` has one entry per
// parameter; the slots hold borrowed references.
PyResult<Done> collect_slow(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            std::span<PyObject*> slots);

inline PyResult<Done> collect(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              std::span<PyObject*> slots) {
    if (kwnames == nullptr && static_cast<size_t>(nargs) == slots.size()) {
        for (size_t i = 0; i < slots.size(); ++i) slots[i] = args[i];
        return Done{};
    }
    return collect_slow(spec, args, nargs, kwnames, slots);
}

}  // namespace kavno
