// A strong reference that is released when it goes out of scope, for kavno_feed's own code.
#pragma once

#include <Python.h>

#include <memory>

namespace feed {

struct Release {
    void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};

// Holds a new reference; an empty one means the call that gave it failed with an exception set.
using Owned = std::unique_ptr<PyObject, Release>;

inline Owned own(PyObject* new_reference) { return Owned(new_reference); }
inline Owned hold(PyObject* borrowed) { return Owned(Py_NewRef(borrowed)); }

}  // namespace feed
