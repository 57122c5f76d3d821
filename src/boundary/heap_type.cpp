// PyType_FromSpec with the slot order every class shares.
#include "boundary/heap_type.hpp"

#include "boundary/entry.hpp"

#include <string>
#include <vector>

namespace kavno {

namespace {

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    Ref name = Ref::steal(PyType_GetName(type));
    Py_ssize_t size = 0;
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    std::string message = "No constructor defined for ";
    if (text != nullptr) {
        message.append(text, static_cast<std::size_t>(size));
    } else {
        PyErr_Clear();
        message += "<unknown>";
    }
    return raise(Failure::of(PyExc_TypeError, std::move(message)));
}

}  // namespace

PyResult<Ref> build_heap_type(const TypeSpec& spec) {
    // As many slots as the class brings, and the shared ones: sized to fit whatever the caller's list holds.
    std::vector<PyType_Slot> slots;
    slots.reserve(spec.own_slots.size() + 6);
    slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    slots.insert(slots.end(), spec.own_slots.begin(), spec.own_slots.end());
    if (spec.getset != nullptr) slots.push_back({Py_tp_getset, spec.getset});
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    slots.push_back({Py_tp_new, slot_entry<refuse_construction>()});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
    slots.push_back({0, nullptr});
    PyType_Spec type_spec{spec.spec_name, static_cast<int>(spec.basicsize), 0, Py_TPFLAGS_DEFAULT, slots.data()};
    Ref type = Ref::steal(PyType_FromSpec(&type_spec));
    if (!type) {
        // CPython's type creation can fail on an allocation without saying so (3.13 does): that is a MemoryError.
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return Unexpected(Failure::fetch());
    }
    return type;
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // every instance of a heap type holds its type
}

PyResult<Ref> allocate_instance(PyTypeObject* type) {
    Ref instance = Ref::steal(type->tp_alloc(type, 0));
    if (!instance) return Unexpected(Failure::fetch());
    return instance;
}

}  // namespace kavno
