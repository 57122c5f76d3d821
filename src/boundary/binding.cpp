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
        // At least two given: every function with no parameters takes the binder's no-argument path.
        return Unexpected(Failure::of(PyExc_TypeError, call_name(function) + " takes " + std::to_string(count) +
                                                           " positional arguments but " + std::to_string(positional) +
                                                           " were given"));
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

namespace {

// "1 positional argument", "2 positional arguments".
std::string counted(std::size_t count, std::string_view what) {
    return std::to_string(count) + " " + std::string(what) + (count == 1 ? "" : "s");
}

std::string_view text_of(PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text == nullptr) {
        PyErr_Clear();  // not encodable: it names no parameter
        return {};
    }
    return {text, static_cast<std::size_t>(size)};
}

}  // namespace

KeywordSignature::KeywordSignature(std::string_view function, std::vector<std::string_view> positional,
                                   std::vector<KeywordParam> keywords)
    : function_(function), positional_(std::move(positional)), keywords_(std::move(keywords)) {}

PyResult<Done> KeywordSignature::intern() {
    if (interned_.size() == keywords_.size()) return Done{};
    std::vector<Ref> made;
    for (const KeywordParam& keyword : keywords_) {
        auto name = adopt(PyUnicode_InternFromString(std::string(keyword.name).c_str()));
        if (!name) return Unexpected(std::move(name).error());
        made.push_back(std::move(name).value());
    }
    for (Ref& name : made) interned_.push_back(name.release());
    return Done{};
}

// A keyword that names no keyword-only parameter: positional-only parameters passed by keyword (all of them
// named), or an unexpected keyword.
PyResult<Done> KeywordSignature::refuse_keyword(PyObject* keyword, PyObject* kwnames) const {
    std::string passed;
    for (std::string_view name : positional_) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            if (text_of(PyTuple_GET_ITEM(kwnames, k)) == name) {
                passed += (passed.empty() ? "'" : ", '") + std::string(name) + "'";
                break;
            }
        }
    }
    if (!passed.empty()) {
        return Unexpected(Failure::of(PyExc_TypeError, call_name(function_) +
                                                           " got some positional-only arguments passed as keyword "
                                                           "arguments: " + passed));
    }
    return Unexpected(Failure::of(PyExc_TypeError,
                                  call_name(function_) + " got an unexpected keyword argument '" + render(keyword) + "'"));
}

PyResult<Done> KeywordSignature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                      std::span<PyObject*> slots) const {
    const std::size_t positional = positional_.size();
    const std::size_t given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = i < positional && i < given ? args[i] : nullptr;
    std::size_t keyword_only_given = 0;
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t match = keywords_.size();
        for (std::size_t i = 0; i < keywords_.size() && match == keywords_.size(); ++i) {
            if (keyword == interned_[i]) match = i;  // the usual case: the call site's interned name
        }
        if (match == keywords_.size()) {
            const std::string_view text = text_of(keyword);
            for (std::size_t i = 0; !text.empty() && i < keywords_.size() && match == keywords_.size(); ++i) {
                if (keywords_[i].name == text) match = i;
            }
        }
        if (match == keywords_.size()) return refuse_keyword(keyword, kwnames);
        ++keyword_only_given;
        PyObject* value = args[given + static_cast<std::size_t>(k)];
        if (keywords_[match].required || value != Py_None) slots[positional + match] = value;
    }
    if (given > positional) {
        std::string message = call_name(function_) + " takes " + counted(positional, "positional argument") + " but ";
        if (keyword_only_given == 0) {
            message += std::to_string(given) + (given == 1 ? " was" : " were") + " given";
        } else {
            message += counted(given, "positional argument") + " (and " +
                       counted(keyword_only_given, "keyword-only argument") + ") were given";
        }
        return Unexpected(Failure::of(PyExc_TypeError, std::move(message)));
    }
    if (given < positional) {
        std::vector<std::string_view> missing(positional_.begin() + static_cast<std::ptrdiff_t>(given), positional_.end());
        return Unexpected(Failure::of(PyExc_TypeError, call_name(function_) + " missing " +
                                                           counted(missing.size(), "required positional argument") +
                                                           ": " + quoted_list(missing)));
    }
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < keywords_.size(); ++i) {
        if (keywords_[i].required && slots[positional + i] == nullptr) missing.push_back(keywords_[i].name);
    }
    if (!missing.empty()) {
        return Unexpected(Failure::of(PyExc_TypeError, call_name(function_) + " missing " +
                                                           counted(missing.size(), "required keyword-only argument") +
                                                           ": " + quoted_list(missing)));
    }
    return Done{};
}

std::string KeywordSignature::doc_with_signature(std::string_view doc) const {
    std::string text = std::string(function_) + "($module, ";
    for (std::string_view name : positional_) text += std::string(name) + ", ";
    if (!positional_.empty()) text += "/, ";
    text += "*";
    for (const KeywordParam& keyword : keywords_) {
        text += ", " + std::string(keyword.name) + (keyword.required ? "" : "=None");
    }
    text += ")\n--\n\n";
    text += doc;
    return text;
}

}  // namespace kavno
