// Creating and raising failure values.
#include "boundary/failure.hpp"

#include <cassert>

namespace kavno {

Failure Failure::fetch() {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    if (!pending) return of(PyExc_SystemError, "attempted to fetch exception but none was set");
    return of_exception(std::move(pending));
}

Failure Failure::of(PyObject* type, std::string message) {
    Failure failure;
    failure.described_ = std::make_unique<Described>(type, std::move(message));
    return failure;
}

Failure Failure::of_exception(Ref exception) {
    Failure failure;
    failure.exception_ = std::move(exception);
    return failure;
}

PyObject* Failure::type() const {
    return exception_ ? reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) : described_->type;
}

void Failure::raise() && {
    if (exception_) {
        PyErr_SetRaisedException(exception_.release());  // steals
        return;
    }
    const Described& described = *described_;
    assert(PyExceptionClass_Check(described.type));  // of() takes exception classes only
    Ref message = Ref::steal(
        PyUnicode_FromStringAndSize(described.message.data(), static_cast<Py_ssize_t>(described.message.size())));
    if (!message) return;  // MemoryError is pending
    PyErr_SetObject(described.type, message.get());
}

Ref Failure::into_exception() && {
    if (exception_) return std::move(exception_);
    std::move(*this).raise();
    return Ref::steal(PyErr_GetRaisedException());
}

}  // namespace kavno
