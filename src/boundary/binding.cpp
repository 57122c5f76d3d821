// Argument collection for calls that are not simply all-positional and complete. The checks run in a fixed
// order: too many positional arguments, then the keywords as passed, then missing arguments.
#include "boundary/binding.hpp"

#include "boundary/errors.hpp"

#include <vector>

namespace kavno {

std::string FunctionDescription::doc_with_signature() const {
    std::string text(name);
    text += '(';
    for (size_t i = 0; i < params.size(); ++i) {
        if (i != 0) text += ", ";
        text += params[i];
    }
    text += ")\n--\n\n";
    text += doc;
    return text;
}

namespace {

std::string call_name(std::string_view function) { return std::string(function) + "()"; }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(std::span<const std::string_view> names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) text += ',';
            text += i + 1 == names.size() ? " and " : " ";
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

}  // namespace

PyResult<Done> collect_slow(std::string_view function, std::span<const std::string_view> params,
                            PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    const size_t count = slots.size();
    const size_t positional = static_cast<size_t>(nargs);
    for (size_t i = 0; i < count; ++i) slots[i] = i < positional ? args[i] : nullptr;
    if (positional > count) {
        return Unexpected(Failure::of(PyExc_TypeError, call_name(function) + " takes " + std::to_string(count) +
                                                           " positional arguments but " + std::to_string(positional) +
                                                           (positional == 1 ? " was" : " were") + " given"));
    }
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
        if (text == nullptr) PyErr_Clear();  // not encodable: it names no parameter
        size_t match = count;
        for (size_t i = 0; text != nullptr && i < count; ++i) {
            if (params[i] == std::string_view(text, static_cast<size_t>(size))) {
                match = i;
                break;
            }
        }
        if (match == count) {
            return Unexpected(Failure::of(PyExc_TypeError, call_name(function) + " got an unexpected keyword argument '" +
                                                               render(keyword) + "'"));
        }
        if (slots[match] != nullptr) {
            return Unexpected(Failure::of(PyExc_TypeError, call_name(function) + " got multiple values for argument '" +
                                                               std::string(params[match]) + "'"));
        }
        slots[match] = args[positional + static_cast<size_t>(k)];
    }
    size_t missing_count = 0;
    for (size_t i = 0; i < count; ++i) missing_count += slots[i] == nullptr;
    if (missing_count != 0) {
        std::vector<std::string_view> missing;
        for (size_t i = 0; i < count; ++i) {
            if (slots[i] == nullptr) missing.push_back(params[i]);
        }
        return Unexpected(Failure::of(PyExc_TypeError, call_name(function) + " missing " + std::to_string(missing_count) +
                                                           " required positional " +
                                                           (missing_count == 1 ? "argument" : "arguments") + ": " +
                                                           quoted_list(missing)));
    }
    return Done{};
}

}  // namespace kavno
