// The producer API: how a native host (an engine that embeds strategies) or another extension module makes
// kavno's records. Header-only and linked to nothing of kavno's: it finds each class through the imported `kavno`
// module, checks once per class that the class is kavno's and that its record layout is the one this header
// describes (field by field: place, kind and width; docstrings play no part), and allocates owned texts with the
// interpreter's allocator, which kavno frees.
//
// Rules for callers:
// - Every make_* needs the GIL (the calling thread must hold it; debug builds assert it) and gives a new
//   reference, or nullptr with a Python exception set. None of them lets a C++ exception escape: running out of
//   memory is a MemoryError.
// - A kavno whose record layout differs from the one this producer was built against is refused with
//   ImportError naming both versions, before anything is written; a `kavno.<Class>` name that Python code has
//   rebound to something else is refused with TypeError.
// - The *Values structs only ever grow at the end: a field added in a later version comes after every field
//   that is here now, so designated initializers written against this version (`{.kind = ..., .code = ...}`,
//   in declaration order) still compile. A field left out of a designated initializer is value-initialised:
//   enumerations take their first member (value 0: TradeKind::Spot, OrderStatus::Created, ...), texts are empty,
//   numbers 0, and dates 1970-01-01T00:00:00 UTC.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include "kavno/records.hpp"
#include "kavno/utf8.hpp"
#include "kavno/version.hpp"

#include <atomic>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

// Everything in these headers is hidden in whatever binary includes it. Inline functions and variables are
// otherwise one object across every shared library loaded into the process (the dynamic linker unifies them),
// and a producer built against other headers would run this one's layout checks and use its tables.
#pragma GCC visibility push(hidden)

namespace kavno {

// PairValues, CandleValues, OrderValues and PositionValues: every field of the record's list, in its order.
#define KAVNO_GIVEN_FIELD(R, name, kind, doc, factory) ::kavno::field_types<::kavno::FieldKind::kind>::given name;
#define KAVNO_GIVEN_MEMBER(R, name, type, doc, factory) ::kavno::type name;
#define KAVNO_VALUES_STRUCT(Class, prefix, doc, FIELDS)        \
    struct Class##Values {                                     \
        FIELDS(Class, KAVNO_GIVEN_FIELD, KAVNO_GIVEN_MEMBER)   \
    };
KAVNO_RECORDS(KAVNO_VALUES_STRUCT)
#undef KAVNO_VALUES_STRUCT
#undef KAVNO_GIVEN_MEMBER
#undef KAVNO_GIVEN_FIELD

namespace producer_detail {

// What this producer knows of kavno's classes, for the life of one interpreter runtime: the names it looks up, and
// the classes it has checked, for the interpreter that checked them. A checked class serves every record until
// Python code binds "kavno" in sys.modules or the record's name in kavno's module again: a dict watcher on both
// dicts then moves `generation` on, and the next record looks the class up afresh. (Where the interpreter has no
// dict watcher left, every record looks its class up.) Py_FinalizeEx ends it all, so a callback registered with
// Py_AtExit forgets it; a runtime started again begins afresh.
struct Cache {
    std::atomic<std::uint64_t> generation{1};
    std::atomic<PyTypeObject*> classes[std::size(records)] = {};
    std::atomic<std::uint64_t> checked_in[std::size(records)] = {};  // the generation each class was found in
    std::atomic<PyInterpreterState*> interpreter{nullptr};             // where they were found
    PyObject* module_name = nullptr;
    PyObject* class_names[std::size(records)] = {};
    int watcher = -1;  // this producer's dict watcher, -1 before it has one, -2 when the interpreter had none left
    bool forgotten_at_exit = false;
#ifdef Py_GIL_DISABLED
    PyMutex lock{};  // for the slow path's own state: the names and the watcher
#endif
};

inline Cache cache;

inline void forget_cache() {
    cache.generation.fetch_add(1);
    cache.interpreter.store(nullptr);
    cache.module_name = nullptr;
    for (PyObject*& name : cache.class_names) name = nullptr;
    cache.watcher = -1;
}

// A lock around the slow path's own state; nothing with the GIL, which serialises it (and no Python code runs while
// it is held, so it cannot be taken twice by one thread).
struct [[maybe_unused]] SlowPathLock {
#ifdef Py_GIL_DISABLED
    SlowPathLock() noexcept { PyMutex_Lock(&cache.lock); }
    ~SlowPathLock() { PyMutex_Unlock(&cache.lock); }
#else
    SlowPathLock() noexcept {}
    ~SlowPathLock() {}
#endif
    SlowPathLock(const SlowPathLock&) = delete;
    SlowPathLock& operator=(const SlowPathLock&) = delete;
};

inline bool names(PyObject* key, PyObject* name) {
    return key == name || (name != nullptr && PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0);
}

// Called for every change of sys.modules and of kavno's module dict: a change of "kavno" or of a record's name, or
// the dict cleared, copied over or gone, and the classes found so far may no longer be kavno's.
inline int on_dict_event(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject*) noexcept {
    bool relevant = key == nullptr || event == PyDict_EVENT_CLEARED || event == PyDict_EVENT_CLONED ||
                    event == PyDict_EVENT_DEALLOCATED || names(key, cache.module_name);
    for (PyObject* name : cache.class_names) relevant = relevant || names(key, name);
    if (relevant) cache.generation.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

inline std::string version_text(int major, int minor, int patch, int layout) {
    return "kavno " + std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch) +
           " (record layout " + std::to_string(layout) + ")";
}

inline std::string built_against() {
    return version_text(KAVNO_VERSION_MAJOR, KAVNO_VERSION_MINOR, KAVNO_VERSION_PATCH, KAVNO_RECORD_LAYOUT_VERSION);
}

inline std::nullptr_t fail(PyObject* type, const RecordSpec& record, const char* field, const std::string& what) {
    PyErr_Format(type, "%s.%s: %s", record.name(), field, what.c_str());
    return nullptr;
}

inline bool check_text(const RecordSpec& record, const char* field, std::string_view text) {
    if (text.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX) - 1) {
        fail(PyExc_OverflowError, record, field, "text is too long");
        return false;
    }
    if (!is_utf8(text)) {
        fail(PyExc_ValueError, record, field, "text is not valid UTF-8");
        return false;
    }
    return true;
}

template <class E>
bool check_member(const RecordSpec& record, const char* field, E value) {
    if (is_member(value)) return true;
    fail(PyExc_ValueError, record, field,
         std::to_string(static_cast<unsigned>(value)) + " is not a member value (0 to " +
             std::to_string(member_count<E> - 1) + ")");
    return false;
}

inline std::optional<UtcDateTime> resolve(const RecordSpec& record, const char* field, const Instant& instant) {
    std::optional<UtcDateTime> value;
    if (const auto* utc = std::get_if<UtcDateTime>(&instant)) {
        if (is_valid(*utc)) value = *utc;
    } else {
        value = from_unix_ms(std::get<Milliseconds>(instant).count);
    }
    if (!value) {
        fail(PyExc_ValueError, record, field,
             "not a UTC date-time of the years " + std::to_string(min_year) + " to " + std::to_string(max_year));
    }
    return value;
}

constexpr const char* kind_name(FieldKind kind) noexcept {
    switch (kind) {
        case FieldKind::Text: return "text";
        case FieldKind::Double: return "a double";
        case FieldKind::Int64: return "a 64-bit integer";
        case FieldKind::Int32: return "a 32-bit integer";
        case FieldKind::Enumeration: return "an enumeration value";
        case FieldKind::DateTime: return "a UTC date-time";
    }
    return "an unknown kind";
}

inline std::string field_text(const FieldSpec& field) {
    std::string text = kind_name(field.kind);
    if (field.kind == FieldKind::Enumeration) {
        text += " of ";
        text += enumerations[static_cast<std::size_t>(field.enumeration)].name;
    }
    return text + " at offset " + std::to_string(field.offset);
}

inline bool not_kavnos(PyObject* found, const RecordSpec& record) {
    PyErr_Format(PyExc_TypeError, "kavno.%s is not kavno's %s record class (it is a %.200s)", record.name(),
                 record.name(), Py_TYPE(found)->tp_name);
    return false;
}

// Whether `found` is kavno's class for `record`, laid out as this header describes. First what identifies the
// class (its name and the shape of a heap type with read-only attributes); then the stamp its field tables
// carry (which kavno built it, and with which record layout); then every field's name, place and kind.
inline bool verify(PyObject* found, const RecordSpec& record) {
    if (!PyType_Check(found)) return not_kavnos(found, record);
    auto* type = reinterpret_cast<PyTypeObject*>(found);
    const unsigned long flags = PyType_GetFlags(type);
    if (std::strcmp(type->tp_name, record.spec_name) != 0 || (flags & Py_TPFLAGS_HEAPTYPE) == 0 ||
        type->tp_getset == nullptr || type->tp_getset[0].name == nullptr || type->tp_getset[0].closure == nullptr) {
        return not_kavnos(found, record);
    }
    const auto& stamp = *static_cast<const LayoutStamp*>(type->tp_getset[0].closure);
    if (stamp.magic != layout_magic || stamp.layout != KAVNO_RECORD_LAYOUT_VERSION) {
        const std::string imported =
            stamp.magic == layout_magic
                ? version_text(stamp.major, stamp.minor, stamp.patch, stamp.layout)
                : std::string("a kavno from before record layouts carried a version (0.1.x)");
        PyErr_Format(PyExc_ImportError,
                     "kavno.%s: this producer was built against %s, but the imported kavno is %s; rebuild the "
                     "producer against the headers of the kavno that is installed",
                     record.name(), built_against().c_str(), imported.c_str());
        return false;
    }
    if (type->tp_basicsize != record.basicsize || type->tp_itemsize != 0 || (flags & Py_TPFLAGS_BASETYPE) != 0 ||
        (flags & Py_TPFLAGS_HAVE_GC) != 0 || type->tp_base != &PyBaseObject_Type || type->tp_alloc == nullptr) {
        PyErr_Format(PyExc_ImportError,
                     "kavno.%s: the imported %s has a record of %zd bytes where this producer, built against %s, "
                     "expects %zd",
                     record.name(), version_text(stamp.major, stamp.minor, stamp.patch, stamp.layout).c_str(),
                     type->tp_basicsize, built_against().c_str(), record.basicsize);
        return false;
    }
    for (std::size_t i = 0; i < record.field_count; ++i) {
        const FieldSpec& expected = record.fields[i];
        const PyGetSetDef& entry = type->tp_getset[i];
        const auto* actual = static_cast<const FieldSpec*>(entry.closure);
        const bool same = entry.name != nullptr && std::strcmp(entry.name, expected.name) == 0 &&
                          entry.set == nullptr && actual != nullptr && actual->stamp.magic == layout_magic &&
                          actual->kind == expected.kind && actual->offset == expected.offset &&
                          (expected.kind != FieldKind::Enumeration || actual->enumeration == expected.enumeration);
        if (!same) {
            const std::string theirs = entry.name == nullptr ? std::string("nothing")
                                       : actual == nullptr  ? std::string("an attribute it does not describe")
                                                            : std::string(entry.name) + " as " + field_text(*actual);
            PyErr_Format(PyExc_ImportError,
                         "kavno.%s.%s: the imported %s has %s where this producer, built against %s, expects it as "
                         "%s",
                         record.name(), expected.name,
                         version_text(stamp.major, stamp.minor, stamp.patch, stamp.layout).c_str(), theirs.c_str(),
                         built_against().c_str(), field_text(expected).c_str());
            return false;
        }
    }
    if (type->tp_getset[record.field_count].name != nullptr) {
        PyErr_Format(PyExc_ImportError, "kavno.%s: the imported kavno has more fields than %s describes",
                     record.name(), built_against().c_str());
        return false;
    }
    return true;
}

// The names, made once per runtime. (Py_AtExit has 32 places; should they all be taken, the names are still kept,
// and only a runtime finalized and started again in the same process would find them gone.)
inline bool prepare() {
    SlowPathLock lock;
    if (cache.module_name != nullptr) [[likely]] return true;
    if (!cache.forgotten_at_exit) cache.forgotten_at_exit = Py_AtExit(forget_cache) == 0;
    PyObject* made[1 + std::size(records)] = {PyUnicode_InternFromString("kavno")};
    for (std::size_t i = 0; i < std::size(records) && made[i] != nullptr; ++i) {
        made[i + 1] = PyUnicode_InternFromString(records[i]->name());
    }
    if (made[std::size(records)] == nullptr) {
        for (PyObject* name : made) Py_XDECREF(name);
        return false;
    }
    for (std::size_t i = 0; i < std::size(records); ++i) cache.class_names[i] = made[i + 1];
    cache.module_name = made[0];  // last: it says the names are there
    return true;
}

// Watches `dict` for changes that make a checked class stale; false when this interpreter has no dict watcher left
// for this producer (then nothing is kept, and every record looks its class up).
inline bool watch(PyObject* dict) {
    SlowPathLock lock;
    if (cache.watcher == -1) {
        cache.watcher = PyDict_AddWatcher(on_dict_event);
        if (cache.watcher < 0) {
            PyErr_Clear();
            cache.watcher = -2;
        }
    }
    if (cache.watcher < 0) return false;
    if (PyDict_Watch(cache.watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// The imported kavno module (a new reference): sys.modules first, the import machinery when it is not there or
// is None there (then the import machinery's own ImportError says why).
inline PyObject* kavno_module() {
    PyObject* module = PyImport_GetModule(cache.module_name);
    if (module == Py_None) {
        Py_DECREF(module);
        module = nullptr;
    }
    if (module == nullptr && !PyErr_Occurred()) module = PyImport_Import(cache.module_name);
    return module;
}

// kavno's class for record `position` of kavno::records, looked up in the imported module: the sys.modules entry
// "kavno" (imported when it is not there) and its attribute of the record's name, checked against this header's
// layout. What was found is kept (see Cache) for the interpreter it was found in.
[[gnu::noinline]] inline PyTypeObject* look_up_class(std::size_t position) {
    if (!prepare()) return nullptr;
    const std::uint64_t generation = cache.generation.load(std::memory_order_acquire);
    PyObject* module = kavno_module();
    if (module == nullptr) return nullptr;
    PyObject* found = PyObject_GetAttr(module, cache.class_names[position]);
    if (found != nullptr && !verify(found, *records[position])) Py_CLEAR(found);
    PyObject* module_dict = PyModule_Check(module) ? PyModule_GetDict(module) : nullptr;  // borrowed
    if (found != nullptr && module_dict != nullptr && watch(PyImport_GetModuleDict()) && watch(module_dict)) {
        // The generation read before the lookups: a change since then leaves this class unused.
        cache.interpreter.store(PyInterpreterState_Get(), std::memory_order_relaxed);
        cache.classes[position].store(reinterpret_cast<PyTypeObject*>(found), std::memory_order_relaxed);
        cache.checked_in[position].store(generation, std::memory_order_release);
    }
    Py_DECREF(module);
    Py_XDECREF(found);  // a class lives as long as the runtime
    return reinterpret_cast<PyTypeObject*>(found);
}

inline PyTypeObject* find_class(std::size_t position) {
    assert(PyGILState_Check() && "kavno's producer API needs the GIL");
    const std::uint64_t checked = cache.checked_in[position].load(std::memory_order_acquire);
    if (checked == cache.generation.load(std::memory_order_acquire) &&
        cache.interpreter.load(std::memory_order_relaxed) == PyInterpreterState_Get()) [[likely]] {
        return cache.classes[position].load(std::memory_order_relaxed);
    }
    return look_up_class(position);
}

// Copies `text` into `target` (PyMem_Malloc'd, NUL-terminated).
inline bool copy_text(Text& target, std::string_view text) {
    target.data = static_cast<char*>(PyMem_Malloc(text.size() + 1));
    if (target.data == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    if (!text.empty()) std::memcpy(target.data, text.data(), text.size());
    target.data[text.size()] = '\0';
    target.size = static_cast<Py_ssize_t>(text.size());
    return true;
}

// How a given field of each kind is checked (before anything is allocated) and then stored in the record: a
// text must be UTF-8 and is copied; an enumeration must be a member; a date must lie in the years a record can
// hold, resolved once into `ready`.
template <FieldKind Kind>
struct field_copy {
    struct Ready {};
    static bool check(const RecordSpec&, const char*, const typename field_types<Kind>::given&, Ready&) { return true; }
    static bool store(typename field_types<Kind>::stored& target, const typename field_types<Kind>::given& value,
                      const Ready&) {
        target = value;
        return true;
    }
};
template <>
struct field_copy<FieldKind::Text> {
    struct Ready {};
    static bool check(const RecordSpec& record, const char* field, std::string_view text, Ready&) {
        return check_text(record, field, text);
    }
    static bool store(Text& target, std::string_view text, const Ready&) { return copy_text(target, text); }
};
template <>
struct field_copy<FieldKind::DateTime> {
    using Ready = UtcDateTime;
    static bool check(const RecordSpec& record, const char* field, const Instant& instant, Ready& ready) {
        const std::optional<UtcDateTime> value = resolve(record, field, instant);
        if (value) ready = *value;
        return value.has_value();
    }
    static bool store(UtcDateTime& target, const Instant&, const Ready& ready) {
        target = ready;
        return true;
    }
};
template <class E>
struct member_copy {
    struct Ready {};
    static bool check(const RecordSpec& record, const char* field, E value, Ready&) {
        return check_member(record, field, value);
    }
    static bool store(E& target, E value, const Ready&) {
        target = value;
        return true;
    }
};

// A zeroed instance of kavno's class for a record; freeing it frees whatever texts were filled in.
template <class Object>
Object* allocate() {
    PyTypeObject* type = find_class(static_cast<std::size_t>(record_traits<Object>::id));
    if (type == nullptr) return nullptr;
    return reinterpret_cast<Object*>(type->tp_alloc(type, 0));
}

// Runs a make_* body; a C++ exception (only the messages of refusals allocate) becomes a Python one. The unwind
// with which the interpreter ends a thread at its finalization (the thread's stack is unwound where it waits for
// the GIL, perhaps in Python code a record's allocation ran) passes through: nothing here may stop it.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "kavno producer: unexpected C++ exception");
        return nullptr;
    }
}

}  // namespace producer_detail

// make_pair, make_candle, make_order and make_position: every field checked in its order, then the record
// allocated and every field stored; a text that cannot be copied frees the record again.
#define KAVNO_READY_FIELD(R, name, kind, doc, given) \
    typename field_copy<FieldKind::kind>::Ready name##_ready{};
#define KAVNO_READY_MEMBER(R, name, type, doc, given) typename member_copy<::kavno::type>::Ready name##_ready{};
#define KAVNO_CHECK_FIELD(R, name, kind, doc, given) \
    &&field_copy<FieldKind::kind>::check(record, #name, values.name, name##_ready)
#define KAVNO_CHECK_MEMBER(R, name, type, doc, given) \
    &&member_copy<::kavno::type>::check(record, #name, values.name, name##_ready)
#define KAVNO_STORE_FIELD(R, name, kind, doc, given) \
    &&field_copy<FieldKind::kind>::store(object->name, values.name, name##_ready)
#define KAVNO_STORE_MEMBER(R, name, type, doc, given) \
    &&member_copy<::kavno::type>::store(object->name, values.name, name##_ready)
#define KAVNO_MAKE_RECORD(Class, prefix, doc, FIELDS)                                   \
    inline PyObject* make_##prefix(const Class##Values& values) {                       \
        return producer_detail::guarded([&]() -> PyObject* {                            \
            using namespace producer_detail;                                            \
            constexpr const RecordSpec& record = prefix##_record;                       \
            FIELDS(Class, KAVNO_READY_FIELD, KAVNO_READY_MEMBER)                        \
            if (!(true FIELDS(Class, KAVNO_CHECK_FIELD, KAVNO_CHECK_MEMBER))) {         \
                return nullptr;                                                         \
            }                                                                           \
            auto* object = allocate<Class##Object>();                                   \
            if (object == nullptr) return nullptr;                                      \
            if (!(true FIELDS(Class, KAVNO_STORE_FIELD, KAVNO_STORE_MEMBER))) {         \
                Py_DECREF(reinterpret_cast<PyObject*>(object));                         \
                return nullptr;                                                         \
            }                                                                           \
            return reinterpret_cast<PyObject*>(object);                                 \
        });                                                                             \
    }
KAVNO_RECORDS(KAVNO_MAKE_RECORD)
#undef KAVNO_MAKE_RECORD
#undef KAVNO_STORE_MEMBER
#undef KAVNO_STORE_FIELD
#undef KAVNO_CHECK_MEMBER
#undef KAVNO_CHECK_FIELD
#undef KAVNO_READY_MEMBER
#undef KAVNO_READY_FIELD

}  // namespace kavno

#pragma GCC visibility pop
