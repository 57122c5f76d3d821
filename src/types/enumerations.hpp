// The seven enumeration classes: one table each (members in order) and one implementation for all of them.
#pragma once

#include "boundary/heap_type.hpp"
#include "kavno/records.hpp"
#include "types/classes.hpp"

#include <span>

namespace kavno {

struct EnumObject {
    PyObject ob_base;
    std::uint8_t value;
};

struct EnumSpec {
    const char* spec_name;
    const char* doc;
    std::span<const char* const> members;
};

const EnumSpec& enum_spec(ClassId id) noexcept;
TypeSpec enum_type_spec(ClassId id) noexcept;

// Tells the slots of a class which type object is theirs, once it exists.
void enum_type_built(ClassId id, PyTypeObject* type) noexcept;

// A new instance of an enumeration class holding `value` (never the class attribute).
PyResult<Ref> enum_instance(PyTypeObject* type, std::uint8_t value) noexcept;
PyResult<Ref> enum_instance(EnumClass which, std::uint8_t value) noexcept;

}  // namespace kavno
