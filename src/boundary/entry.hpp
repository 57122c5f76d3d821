// How C++ functions become what the interpreter calls: method-table entries and type slots. Each runs guarded, so
// that running out of C++ memory (a message being built, a table growing) ends in a MemoryError, as running out of
// the interpreter's memory does, and never in std::terminate. The unwind with which the interpreter ends a thread
// at its finalization passes through untouched.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <new>
#include <stdexcept>
#include <type_traits>

namespace kavno {

template <auto Function>
struct Guarded;

template <class Result, class... Args, Result (*Function)(Args...)>
struct Guarded<Function> {
    static Result call(Args... args) {
        try {
            return Function(args...);
        } catch (const abi::__forced_unwind&) {
            throw;
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
        PyErr_NoMemory();
        if constexpr (std::is_void_v<Result>) {
            PyErr_WriteUnraisable(nullptr);  // a slot that returns nothing has no way to report it
        } else if constexpr (std::is_pointer_v<Result>) {
            return nullptr;
        } else {
            return static_cast<Result>(-1);
        }
    }
};

// A method-table entry of any of the METH_* signatures (the flags then say how it is called).
template <auto Function>
PyCFunction method_entry() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Guarded<Function>::call));
}

// A type slot's function, for a PyType_Slot.
template <auto Function>
void* slot_entry() {
    return reinterpret_cast<void*>(&Guarded<Function>::call);
}

// A getter of a PyGetSetDef.
template <auto Function>
constexpr getter getter_entry() {
    return &Guarded<Function>::call;
}

}  // namespace kavno
