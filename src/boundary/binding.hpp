// Module functions described once, in the manner of Argument Clinic: Function<name, doc, impl, Param...> names a
// function, its docstring, its parameters (each a name and a typed converter) and the plain *_impl that receives
// the converted values. The method-table entry, the "name(a, b)\n--\n\ndoc" text, the binder's messages and the
// parameter named by an argument error all come from that one description, so they cannot drift apart.
#pragma once

#include "boundary/entry.hpp"
#include "boundary/errors.hpp"
#include "boundary/failure.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace kavno {

// A string literal usable as a template argument.
template <std::size_t N>
struct Literal {
    char text[N]{};
    consteval Literal(const char (&literal)[N]) {  // NOLINT: implicit on purpose
        for (std::size_t i = 0; i < N; ++i) text[i] = literal[i];
    }
    constexpr std::string_view view() const noexcept { return {text, N - 1}; }
};

// What registration needs of a function, whatever its parameters.
struct FunctionDescription {
    std::string_view name;
    std::span<const std::string_view> params;  // all positional-or-keyword, all required
    std::string_view doc;
    PyCFunction entry;
    int flags;  // METH_FASTCALL | METH_KEYWORDS, or METH_NOARGS

    // "name(a, b)\n--\n\ndoc": the layout from which the interpreter takes __text_signature__ and __doc__.
    std::string doc_with_signature() const;
};

// One parameter: its name, and the converter whose `static PyResult<T> convert(PyObject*)` turns the
// argument into the value the *_impl receives. A failed conversion passes through the argument-error rule
// under this name.
template <Literal Name, class Converter>
struct Param {
    static constexpr std::string_view name = Name.view();
    using converter = Converter;
};

// Fills one slot per parameter from a vectorcall, or fails with the binding TypeError. The slots hold borrowed
// references.
PyResult<Done> collect_slow(std::string_view function, std::span<const std::string_view> params,
                            PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// The common call, every argument by position, costs a copy; everything else goes through collect_slow.
inline PyResult<Done> collect(std::string_view function, std::span<const std::string_view> params,
                              PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == slots.size()) [[likely]] {
        for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = args[i];
        return Done{};
    }
    return collect_slow(function, params, args, nargs, kwnames, slots);
}

template <Literal Name, Literal Doc, auto Impl, class... Params>
class Function {
    static constexpr std::size_t arity = sizeof...(Params);
    using Converters = std::tuple<typename Params::converter...>;
    static constexpr std::array<std::string_view, arity> names{Params::name...};

    // Converts the arguments in parameter order and stops at the first failure, so later ones are not looked at.
    template <std::size_t I, class... Values>
    static PyObject* convert_from(PyObject* const* slots, Values&&... values) {
        if constexpr (I == arity) {
            return finish(Impl(std::forward<Values>(values)...));
        } else {
            auto value = std::tuple_element_t<I, Converters>::convert(slots[I]);
            if (!value) [[unlikely]] return raise(argument_error(std::move(value).error(), names[I]));
            return convert_from<I + 1>(slots, std::forward<Values>(values)..., std::move(value).value());
        }
    }

    static PyObject* fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        std::array<PyObject*, arity> slots;
        if (auto bound = collect(Name.view(), names, args, nargs, kwnames, slots); !bound) [[unlikely]] {
            return raise(std::move(bound));
        }
        return convert_from<0>(slots.data());
    }

    static PyObject* noargs(PyObject*, PyObject*) { return finish(Impl()); }

    static PyCFunction entry() {
        if constexpr (arity == 0) {
            return method_entry<noargs>();
        } else {
            return method_entry<fastcall>();
        }
    }

public:
    static inline const FunctionDescription description{Name.view(), names, Doc.view(), entry(),
                                                        arity == 0 ? METH_NOARGS : METH_FASTCALL | METH_KEYWORDS};
};

// A keyword-only parameter, and whether it must be given.
struct KeywordParam {
    std::string_view name;
    bool required;
};

// The signature `name(data, /, *, code, interval, kind=None)`: parameters taken by position only, then parameters
// taken by keyword only, for functions of many parameters, most of them optional. bind() fills one slot per
// parameter, positional ones first (borrowed; null where a parameter that is not required was left out or given
// as None, which asks for its default), or fails with the TypeError CPython gives a Python function of the same
// signature, checked in the same order.
class KeywordSignature {
public:
    KeywordSignature(std::string_view function, std::vector<std::string_view> positional,
                     std::vector<KeywordParam> keywords);
    // Makes the keyword names as interned str, once, at import; bind() needs them.
    PyResult<Done> intern();
    PyResult<Done> bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) const;

    std::string_view function() const { return function_; }
    std::size_t size() const { return positional_.size() + keywords_.size(); }
    // "name($module, data, /, *, code, kind=None)\n--\n\n" and the doc: what a module function's __doc__ is
    // made of, for __text_signature__.
    std::string doc_with_signature(std::string_view doc) const;

private:
    PyResult<Done> refuse_keyword(PyObject* keyword, PyObject* kwnames) const;

    std::string_view function_;
    std::vector<std::string_view> positional_;
    std::vector<KeywordParam> keywords_;
    // One per keyword parameter, made at import and never released: the signature outlives the interpreter (it is
    // destroyed at exit, after finalization), so it holds no reference it would have to give back.
    std::vector<PyObject*> interned_;
};

}  // namespace kavno
