// The four record classes: their layouts and field tables live in the public header; this builds the classes.
#pragma once

#include "boundary/heap_type.hpp"
#include "kavno/records.hpp"
#include "types/classes.hpp"

namespace kavno {

const RecordSpec& record_spec(ClassId id) noexcept;
TypeSpec record_type_spec(ClassId id) noexcept;

}  // namespace kavno
