// PyType_FromSpec with the slot order every class shares.
#include "boundary/heap_type.hpp"

#include <array>
#include <string>

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

void* to_slot(auto function) { return reinterpret_cast<void*>(function); }

}  // namespace

PyResult<Ref> build_heap_type(const TypeSpec& spec) {
    std::array<PyType_Slot, 12> slots{};
    std::size_t count = 0;
    slots[count++] = {Py_tp_doc, const_cast<char*>(spec.doc)};
    for (const PyType_Slot& slot : spec.own_slots) slots[count++] = slot;
    if (spec.getset != nullptr) slots[count++] = {Py_tp_getset, spec.getset};
    slots[count++] = {Py_tp_base, &PyBaseObject_Type};
    slots[count++] = {Py_tp_new, to_slot(refuse_construction)};
    slots[count++] = {Py_tp_dealloc, to_slot(spec.dealloc)};
    slots[count++] = {0, nullptr};
    PyType_Spec type_spec{spec.spec_name, static_cast<int>(spec.basicsize), 0, Py_TPFLAGS_DEFAULT, slots.data()};
    Ref type = Ref::steal(PyType_FromSpec(&type_spec));
    if (!type) return Unexpected(Failure::fetch());
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
