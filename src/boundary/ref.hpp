// The one owning reference to a Python object. A Ref holds exactly one strong reference; it is made only through
// the named verbs steal (a new reference the C API handed over) and borrow (takes a reference of its own), and a
// raw PyObject* anywhere else in the sources means a borrowed one.
#pragma once

#include <Python.h>

#include <utility>

namespace kavno {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        ptr_ = std::exchange(other.ptr_, nullptr);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (may be null: then the Ref is empty).
    [[nodiscard]] static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
    // Takes a reference of its own to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return Ref(ptr);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference back to the caller; the Ref is empty afterwards.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace kavno
