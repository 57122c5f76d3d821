// The seven module functions, in registration order. Each is described once by its FunctionSpec.
#pragma once

#include "boundary/binding.hpp"

namespace kavno::helpers {

extern const FunctionSpec safe_float;
extern const FunctionSpec truncate_to_day;
extern const FunctionSpec str_to_date;
extern const FunctionSpec date_to_str;
extern const FunctionSpec ms_to_date;
extern const FunctionSpec now_date;
extern const FunctionSpec now_ms;

}  // namespace kavno::helpers
