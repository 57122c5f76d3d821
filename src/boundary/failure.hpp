// The failure value: what an internal operation gives when it did not succeed. It holds either an exception
// object that already exists (fetched from the interpreter, with its traceback and cause) or an exception type
// with a message, turned into an exception object only when it is raised.
#pragma once

#include "boundary/ref.hpp"
#include "pure/result.hpp"

#include <memory>
#include <string>

namespace kavno {

class Failure {
public:
    // Takes the interpreter's pending exception; SystemError when none is pending.
    static Failure fetch();
    // An exception type (a static PyExc_* object) with its message; nothing is created yet.
    static Failure of(PyObject* type, std::string message);
    static Failure of_exception(Ref exception);

    // Sets the failure as the pending exception of the calling thread.
    void raise() &&;
    // The exception object, created now if the failure holds only a type and a message.
    Ref into_exception() &&;

    // The failure's exception type (borrowed).
    PyObject* type() const;
    bool is_exactly(PyObject* type) const { return this->type() == type; }
    // The message of a failure that holds a type and a message; null for one that holds an exception object.
    const std::string* message() const { return described_ ? &described_->message : nullptr; }

private:
    // An exception not made yet: a static exception type (a PyExc_* object) and the message text.
    struct Described {
        PyObject* type;
        std::string message;
    };

    Failure() noexcept = default;
    // Exactly one of the two is set. Failures are rare, so the described form lives on the heap and a failure
    // (and every result that may hold one) stays two pointers wide.
    Ref exception_;
    std::unique_ptr<Described> described_;
};

template <class T>
using PyResult = Result<T, Failure>;

// A new reference the C API handed over, or its pending exception when it gave null.
inline PyResult<Ref> adopt(PyObject* new_reference) {
    if (new_reference == nullptr) [[unlikely]] return Unexpected(Failure::fetch());
    return Ref::steal(new_reference);
}

// Raises a failure and gives the boundary's error value (null).
inline PyObject* raise(Failure failure) {
    std::move(failure).raise();
    return nullptr;
}

// Raises the failure of a result.
template <class T>
PyObject* raise(PyResult<T>&& result) {
    return raise(std::move(result).error());
}

// The boundary's return for a result that holds a new object.
inline PyObject* finish(PyResult<Ref>&& result) {
    if (result.ok()) return std::move(result).value().release();
    return raise(std::move(result));
}

}  // namespace kavno
