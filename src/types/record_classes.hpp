// The four record classes: their layouts and field tables live in the public header; this builds the classes.
#pragma once

#include "boundary/heap_type.hpp"
#include "kavno/records.hpp"

namespace kavno {

// What kavno builds the record at `position` of kavno::records from.
TypeSpec record_type_spec(std::size_t position);

}  // namespace kavno
