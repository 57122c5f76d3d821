// Building the module's heap types: one shape for all eleven classes. Base object, default flags only (not a
// base type, no GC, no instance dict or weak references), the refusing constructor and the shared deallocation.
#pragma once

#include "boundary/failure.hpp"

#include <span>

namespace kavno {

struct TypeSpec {
    const char* spec_name;  // "builtins.Name", static: the type's tp_name points into it
    const char* doc;
    Py_ssize_t basicsize;
    std::span<const PyType_Slot> own_slots;  // the class's own behaviour, in slot order
    PyGetSetDef* getset;                     // static, null-terminated; null for none
    destructor dealloc;                      // releases what the instance owns, then free_instance
};

PyResult<Ref> build_heap_type(const TypeSpec& spec);

// The last step of every deallocation: free through the type's free slot, then drop the instance's type
// reference.
void free_instance(PyObject* self);

// A new instance of a built type, through its allocation slot.
PyResult<Ref> allocate_instance(PyTypeObject* type);

}  // namespace kavno
