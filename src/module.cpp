// The import entry of kavno and the one ordered registration table: eleven classes, then seven functions,
// each name appended to __all__ before the attribute is set.
#include "boundary/errors.hpp"
#include "boundary/lock.hpp"
#include "pure/fatal.hpp"
#include "helpers/functions.hpp"
#include "types/classes.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace kavno {

namespace {

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "kavno",
    "",  // __doc__ is an empty str, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first ran the entry point, -1 before any did.
std::atomic<std::int64_t> owner_interpreter{-1};
// Built by the first successful initialisation; never cleared, never released. Built under the lock, so that two
// threads of a build without the GIL cannot both register.
PyObject* stored_module = nullptr;
OnceLock module_lock;

// One row of the registration table: a class, or a function.
struct Registration {
    ClassId class_id;
    const FunctionDescription* function;  // null for a class
};

// The classes in the order of their lists (enumerations, then records), then the functions.
const Registration registration_table[] = {
#define KAVNO_REGISTER_CLASS(name, ...) {ClassId::name, nullptr},
#define KAVNO_NO_MEMBER(member)
    KAVNO_ENUMERATIONS(KAVNO_REGISTER_CLASS, KAVNO_NO_MEMBER) KAVNO_RECORDS(KAVNO_REGISTER_CLASS)
#undef KAVNO_NO_MEMBER
#undef KAVNO_REGISTER_CLASS
    {{}, &helpers::safe_float_description},
    {{}, &helpers::truncate_to_day_description},
    {{}, &helpers::str_to_date_description},
    {{}, &helpers::date_to_str_description},
    {{}, &helpers::ms_to_date_description},
    {{}, &helpers::now_date_description},
    {{}, &helpers::now_ms_description},
};
static_assert(std::size(registration_table) == 18);

// Appends `name` to the module's __all__ (made on first need), then sets the attribute.
PyResult<Done> add_value(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Unexpected(Failure::fetch());
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Unexpected(Failure::fetch());
    }
    if (!PyList_Check(all.get())) return Unexpected(wrong_type(all.get(), "PyList"));
    if (PyList_Append(all.get(), name) < 0) {
        fatal("could not append __name__ to __all__: " + render(Failure::fetch().into_exception().get()));
    }
    if (PyObject_SetAttr(module, name, value) < 0) return Unexpected(Failure::fetch());
    return Done{};
}

PyResult<Ref> make_function(PyObject* module, const FunctionDescription& spec) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return Unexpected(Failure::fetch());
    // The method definition must outlive every function object made from it: made once per registration and
    // never released. Function names are string literals, so name.data() is terminated.
    auto* doc = new std::string(spec.doc_with_signature());
    auto* method = new PyMethodDef{spec.name.data(), spec.entry, spec.flags, doc->c_str()};
    Ref function = Ref::steal(PyCMethod_New(method, module, module_name.get(), nullptr));
    if (!function) return Unexpected(Failure::fetch());
    return function;
}

PyResult<Done> add_function(PyObject* module, const FunctionDescription& spec) {
    auto function = make_function(module, spec);
    if (!function) return Unexpected(std::move(function).error());
    Ref name = Ref::steal(PyObject_GetAttrString(function->get(), "__name__"));
    if (!name) return Unexpected(Failure::fetch());
    if (!PyUnicode_Check(name.get())) return Unexpected(wrong_type(name.get(), "PyString"));
    return add_value(module, name.get(), function->get());
}

PyResult<Done> add_class(PyObject* module, ClassId id) {
    auto type = class_for_import(id);
    if (!type) return Unexpected(std::move(type).error());
    Ref name = Ref::steal(PyUnicode_FromString(class_name(id)));
    if (!name) return Unexpected(Failure::fetch());
    return add_value(module, name.get(), type->get());
}

PyResult<Done> register_all(PyObject* module) {
    for (const Registration& row : registration_table) {
        auto added = row.function ? add_function(module, *row.function) : add_class(module, row.class_id);
        if (!added) return added;
    }
    return Done{};
}

// Set when the runtime that first imported kavno is finalized: its module, classes and datetime handle went
// with it, and a runtime started again in the same process cannot use them.
std::atomic<bool> runtime_finalized{false};

void remember_finalization() { runtime_finalized.store(true); }

// Whether CPython will refuse a single-phase module in this interpreter once its entry has run. CPython 3.12
// makes that check only after running the entry (3.13 before), so such an interpreter must not become the owner.
bool refuses_single_phase_modules([[maybe_unused]] PyInterpreterState* interpreter) {
#if PY_VERSION_HEX < 0x030D0000
    return _PyInterpreterState_HasFeature(interpreter, Py_RTFLAGS_MULTI_INTERP_EXTENSIONS) != 0;
#else
    return false;
#endif
}

PyObject* initialise() {
    if (runtime_finalized.load()) {
        return raise(Failure::of(PyExc_ImportError,
                                 "kavno: the interpreter that imported kavno was finalized; kavno cannot be imported "
                                 "again in this process (re-initialisation is not supported)"));
    }
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (refuses_single_phase_modules(interpreter)) {
        return raise(Failure::of(PyExc_ImportError, "module kavno does not support loading in subinterpreters"));
    }
    const std::int64_t current = PyInterpreterState_GetID(interpreter);
    if (current == -1) return raise(Failure::fetch());
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, current, std::memory_order_seq_cst) &&
        expected != current) {
        return raise(Failure::of(PyExc_ImportError,
                                 "kavno: modules do not yet support subinterpreters, see "
                                 "https://docs.python.org/3/c-api/init.html#sub-interpreter-support"));
    }
    std::lock_guard guard(module_lock);
    if (stored_module != nullptr) return Py_NewRef(stored_module);
    Ref module = Ref::steal(PyModule_Create2(&definition, 1013));
    if (!module) return raise(Failure::fetch());
#ifdef Py_GIL_DISABLED
    // Every state kavno shares is safe without the GIL: what is built once is built under a lock, records and members
    // never change, and an entry keeps nothing between calls.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return raise(Failure::fetch());
#endif
    if (auto registered = register_all(module.get()); !registered) return raise(std::move(registered));
    // The module object is kept for the rest of the process. (Should every place of Py_AtExit be taken, a later
    // runtime's import goes unrefused.)
    if (stored_module == nullptr) {
        stored_module = module.release();
        (void)Py_AtExit(remember_finalization);
    }
    return Py_NewRef(stored_module);
}

}  // namespace

}  // namespace kavno

PyMODINIT_FUNC PyInit_kavno() { return kavno::Guarded<kavno::initialise>::call(); }
