// The seven enumeration classes: one implementation for all of them, driven by the list in kavno/enums.hpp.
#pragma once

#include "boundary/heap_type.hpp"
#include "kavno/enums.hpp"

namespace kavno {

// What kavno builds each enumeration's class from.
TypeSpec enum_type_spec(EnumerationId which);

// A new instance of an enumeration class holding `value` (never the class attribute).
PyResult<Ref> enum_instance(PyTypeObject* type, EnumerationId which, std::uint8_t value);
PyResult<Ref> enum_instance(EnumerationId which, std::uint8_t value);

}  // namespace kavno
