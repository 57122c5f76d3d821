// The descriptions of the seven module functions, in registration order; each generates its function's entry.
#pragma once

#include "boundary/binding.hpp"

namespace kavno::helpers {

extern const FunctionDescription& safe_float_description;
extern const FunctionDescription& truncate_to_day_description;
extern const FunctionDescription& str_to_date_description;
extern const FunctionDescription& date_to_str_description;
extern const FunctionDescription& ms_to_date_description;
extern const FunctionDescription& now_date_description;
extern const FunctionDescription& now_ms_description;

}  // namespace kavno::helpers
