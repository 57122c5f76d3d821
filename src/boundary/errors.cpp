// Texts of the shared failures. Everything here runs only on failure paths.
#include "boundary/errors.hpp"

namespace kavno {

namespace {

// The UTF-8 text of a str, with lone surrogates turned into U+FFFD.
std::string utf8_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(data, static_cast<size_t>(size));
    PyErr_Clear();
    Ref raw = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!raw) {
        PyErr_Clear();
        return {};
    }
    Ref fixed = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
    const char* data = fixed ? PyUnicode_AsUTF8AndSize(fixed.get(), &size) : nullptr;
    if (data == nullptr) {
        PyErr_Clear();
        return {};
    }
    return std::string(data, static_cast<size_t>(size));
}

}  // namespace

std::string render(PyObject* object) {
    Ref text = Ref::steal(PyObject_Str(object));
    if (text) return utf8_lossy(text.get());
    PyErr_WriteUnraisable(object);
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
    Py_ssize_t size = 0;
    const char* data = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (data == nullptr) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return "<unprintable " + std::string(data, static_cast<size_t>(size)) + " object>";
}

std::string type_qualname(PyObject* object) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
    Py_ssize_t size = 0;
    const char* data = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (data == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return std::string(data, static_cast<size_t>(size));
}

Failure wrong_type(PyObject* object, std::string_view target) {
    std::string message = "'";
    message += type_qualname(object);
    message += "' object cannot be converted to '";
    message += target;
    message += '\'';
    return Failure::of(PyExc_TypeError, std::move(message));
}

Failure argument_error(Failure failure, std::string_view param) {
    if (!failure.is_exactly(PyExc_TypeError)) return failure;
    std::string text = "argument '" + std::string(param) + "': ";
    Ref cause;
    if (const std::string* message = failure.message()) {
        text += *message;
    } else {
        Ref original = std::move(failure).into_exception();
        text += render(original.get());
        cause = Ref::steal(PyException_GetCause(original.get()));
    }
    Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    Ref replacement = message ? Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get())) : Ref();
    if (!replacement) return Failure::fetch();
    // Setting the cause (even to none) also sets __suppress_context__.
    PyException_SetCause(replacement.get(), cause.release());  // steals
    return Failure::of_exception(std::move(replacement));
}

}  // namespace kavno
