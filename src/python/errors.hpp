// Turning failures into Python exceptions.
#pragma once

#include "python/ref.hpp"

namespace murkplay::python {

// A TypeError from converting a named argument becomes "argument 'NAME': " + its message,
// keeping its cause; any other exception passes unchanged.
void prefix_type_error(const char* parameter_name);

// The class for broken invariants and failures of the interpreter to create a value. It
// derives from BaseException so that a broad `except Exception` cannot hide such a fault.
// Made once per interpreter, when the module is first executed there.
bool create_internal_error_type();
// Replaces the pending exception, if any, by an internal error with this text; the original
// becomes its cause. Returns nullptr so callers can `return internal_failure(...)`.
PyObject* internal_failure(const char* text);

}  // namespace murkplay::python
