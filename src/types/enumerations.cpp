// One implementation serves all seven enumeration classes: a member holds its value and which enumeration it
// belongs to, and the text form, the integer form and the comparison read the list in kavno/enums.hpp. The
// classes cannot be subclassed, so two members are of one class exactly when their types are the same object.
#include "types/enumerations.hpp"

#include "types/classes.hpp"
#include "boundary/entry.hpp"

#include <cstring>
#include <optional>
#include <string_view>

namespace kavno {

namespace {

struct EnumObject {
    PyObject ob_base;
    std::uint8_t value;
    EnumerationId which;
};

constexpr const char* spec_names[] = {
#define KAVNO_SPEC_NAME(name, doc, members) "builtins." #name,
#define KAVNO_NO_MEMBER(member)
    KAVNO_ENUMERATIONS(KAVNO_SPEC_NAME, KAVNO_NO_MEMBER)
#undef KAVNO_NO_MEMBER
#undef KAVNO_SPEC_NAME
};

const EnumObject& member_of(PyObject* self) { return *reinterpret_cast<const EnumObject*>(self); }

// "Class.Member", written in place: class and member names are ASCII identifiers.
PyObject* enum_repr(PyObject* self) {
    const EnumObject& member = member_of(self);
    const EnumerationDescription& enumeration = enumerations[static_cast<std::size_t>(member.which)];
    const std::string_view class_name = enumeration.name;
    const std::string_view member_name = enumeration.members[member.value];
    const std::size_t size = class_name.size() + 1 + member_name.size();
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (text == nullptr) return nullptr;
    char* out = static_cast<char*>(PyUnicode_DATA(text));
    std::memcpy(out, class_name.data(), class_name.size());
    out[class_name.size()] = '.';
    std::memcpy(out + class_name.size() + 1, member_name.data(), member_name.size());
    return text;
}

PyObject* enum_int(PyObject* self) { return PyLong_FromLong(member_of(self).value); }

// The value of `other` read through the integer protocol, or nothing (errors swallowed).
std::optional<long long> integer_operand(PyObject* other) {
    if (PyLong_CheckExact(other) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(other))) {
        return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(other));  // the common small int
    }
    long long value = 0;
    int overflow = 0;
    if (PyLong_Check(other)) {
        value = PyLong_AsLongLongAndOverflow(other, &overflow);
    } else {
        if (Py_TYPE(other)->tp_as_number == nullptr || Py_TYPE(other)->tp_as_number->nb_index == nullptr) return {};
        Ref index = Ref::steal(PyNumber_Index(other));
        if (!index) {
            PyErr_Clear();
            return {};
        }
        value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    }
    if (overflow != 0) return {};  // too large: a failed read, so never equal
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return {};
    }
    return value;
}

PyObject* enum_compare(PyObject* self, PyObject* other, int op) {
    const bool same_class = Py_IS_TYPE(other, Py_TYPE(self));
    if (op != Py_EQ && op != Py_NE) {
        // Ordering is never defined; the operand is still read first, as an equality would read it.
        if (op >= Py_LT && op <= Py_GE && !same_class) (void)integer_operand(other);
        Py_RETURN_NOTIMPLEMENTED;
    }
    long long value = 0;
    if (same_class) {
        value = member_of(other).value;
    } else if (auto integer = integer_operand(other)) {
        value = *integer;
    } else {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const bool equal = value == member_of(self).value;
    return Py_NewRef((op == Py_EQ) == equal ? Py_True : Py_False);
}

void enum_dealloc(PyObject* self) { free_instance(self); }


const PyType_Slot enum_slots[] = {
    {Py_tp_repr, slot_entry<enum_repr>()},
    {Py_nb_int, slot_entry<enum_int>()},
    {Py_tp_richcompare, slot_entry<enum_compare>()},
};

}  // namespace

TypeSpec enum_type_spec(EnumerationId which) {
    const auto index = static_cast<std::size_t>(which);
    return {spec_names[index], enumerations[index].doc, sizeof(EnumObject), enum_slots, nullptr, enum_dealloc};
}

PyResult<Ref> enum_instance(PyTypeObject* type, EnumerationId which, std::uint8_t value) {
    auto instance = allocate_instance(type);
    if (instance) {
        auto* member = reinterpret_cast<EnumObject*>(instance->get());
        member->value = value;
        member->which = which;
    }
    return instance;
}

PyResult<Ref> enum_instance(EnumerationId which, std::uint8_t value) {
    return enum_instance(class_object(class_id(which)), which, value);
}

}  // namespace kavno
