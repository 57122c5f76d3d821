// The life of a class object: not built, built and being filled, ready. Filling makes every member value first
// and sets them only when all exist; a nested request from the filling thread gets the type as it stands.
#include "types/classes.hpp"

#include "boundary/errors.hpp"
#include "boundary/lock.hpp"
#include "pure/fatal.hpp"
#include "types/enumerations.hpp"
#include "types/record_classes.hpp"

#include <pythread.h>

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace kavno {

namespace {

struct ClassState {
    PyTypeObject* type = nullptr;      // never released once built
    std::atomic<bool> ready = false;   // set last, once the type and its attributes are complete
    std::atomic<unsigned long> filling_thread = 0;  // the thread filling the attributes, 0 when none is
    OnceLock lock;                     // held while a class is built and filled (nothing with the GIL)
};

std::array<ClassState, class_count> states;

EnumerationId enumeration_of(ClassId id) { return static_cast<EnumerationId>(id); }

TypeSpec type_spec(ClassId id) {
    return is_enumeration(id) ? enum_type_spec(enumeration_of(id)) : record_type_spec(static_cast<std::size_t>(id) - enumeration_count);
}

// RuntimeError `message` caused by `cause`.
Failure caused(const std::string& message, Failure cause) {
    Ref error = Failure::of(PyExc_RuntimeError, message).into_exception();
    if (!error) return Failure::fetch();
    PyException_SetCause(error.get(), std::move(cause).into_exception().release());  // steals
    return Failure::of_exception(std::move(error));
}

Failure class_error(ClassId id, Failure cause) {
    return caused("An error occurred while initializing class " + std::string(class_name(id)), std::move(cause));
}

PyResult<Done> fill_members(ClassId id, PyTypeObject* type) {
    const EnumerationDescription& enumeration = enumerations[static_cast<std::size_t>(id)];
    std::vector<Ref> values;
    values.reserve(enumeration.member_count);
    for (std::uint8_t i = 0; i < enumeration.member_count; ++i) {
        auto value = enum_instance(type, enumeration_of(id), i);
        if (!value) {
            return Unexpected(caused("An error occurred while initializing `" + std::string(class_name(id)) + "." +
                                         enumeration.members[i] + "`",
                                     std::move(value).error()));
        }
        values.push_back(std::move(value).value());
    }
    // Into the class's dict itself: setting a type's attribute can report a failed allocation as an AttributeError.
    PyObject* dict = type->tp_dict;  // borrowed; a heap type's own
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (PyDict_SetItemString(dict, enumeration.members[i], values[i].get()) < 0) {
            return Unexpected(caused("An error occurred while initializing `" + std::string(class_name(id)) +
                                         ".__dict__`",
                                     Failure::fetch()));
        }
    }
    PyType_Modified(type);
    return Done{};
}

PyResult<PyTypeObject*> obtain(ClassId id) {
    ClassState& state = states[static_cast<std::size_t>(id)];
    if (state.ready.load(std::memory_order_acquire)) [[likely]] return state.type;
    const unsigned long thread = PyThread_get_thread_ident();
    // A nested request from the thread that is filling the attributes: the type as it stands.
    if (state.filling_thread.load(std::memory_order_relaxed) == thread) return state.type;
    // Without the GIL, a second thread waits here for the first to finish and then finds the class ready.
    std::lock_guard guard(state.lock);
    if (state.ready.load(std::memory_order_acquire)) return state.type;
    if (state.type == nullptr) {
        auto built = build_heap_type(type_spec(id));
        if (!built) return Unexpected(class_error(id, std::move(built).error()));
        state.type = reinterpret_cast<PyTypeObject*>(std::move(built).value().release());  // kept forever
    }
    if (is_enumeration(id)) {
        state.filling_thread.store(thread, std::memory_order_relaxed);
        auto filled = fill_members(id, state.type);
        state.filling_thread.store(0, std::memory_order_relaxed);
        if (!filled) return Unexpected(class_error(id, std::move(filled).error()));
    }
    state.ready.store(true, std::memory_order_release);
    return state.type;
}

}  // namespace

const char* class_name(ClassId id) {
    return is_enumeration(id) ? enumerations[static_cast<std::size_t>(id)].name : record_spec(id).name();
}

PyResult<Ref> class_for_import(ClassId id) {
    auto type = obtain(id);
    if (!type) return Unexpected(std::move(type).error());
    return Ref::borrow(reinterpret_cast<PyObject*>(*type));
}

PyTypeObject* class_object(ClassId id) {
    ClassState& state = states[static_cast<std::size_t>(id)];
    if (state.ready.load(std::memory_order_acquire)) [[likely]] return state.type;
    auto type = obtain(id);
    if (!type) {
        std::move(type).error().raise();
        PyErr_Print();
        fatal("failed to create type object for " + std::string(class_name(id)));
    }
    return *type;
}

}  // namespace kavno
