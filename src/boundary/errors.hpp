// The failures that every entry shares: rendering an object into a message, the wrong-type error and the
// argument-error rule that names the parameter a conversion failed for.
#pragma once

#include "boundary/failure.hpp"

#include <string>
#include <string_view>

namespace kavno {

// str() of an object as UTF-8, invalid characters replaced; an object whose str() raises reports that to the
// unraisable hook and renders as "<unprintable {type} object>".
std::string render(PyObject* object);

// The qualified name of the object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// TypeError "'{type}' object cannot be converted to '{target}'".
Failure wrong_type(PyObject* object, std::string_view target);

// A conversion failure of exactly TypeError becomes "argument '{param}': {text}" with the original's cause;
// every other failure passes unchanged.
Failure argument_error(Failure failure, std::string_view param);

}  // namespace kavno
