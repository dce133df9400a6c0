// Turning failures into Python exceptions.
#pragma once

#include <string_view>

#include "python/ref.hpp"

namespace murkplay::python {

// Takes the pending exception out of the thread state (normalised), or an empty Ref.
Ref take_exception();
void restore_exception(Ref exception);

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

// Whether an exception concerns the argument at hand, so that a refusal may stand in for it:
// interrupts, exits and running out of memory are never the argument's fault.
bool is_about_input(PyObject* exception);
// Fails with ValueError(message). A pending exception about the input becomes its cause; one
// that is not (KeyboardInterrupt, SystemExit, MemoryError) stays pending instead, unchanged.
void refuse(const char* message);
// Fails with ValueError(message), with a note that says why.
void refuse_with_note(const char* message, std::string_view note);

}  // namespace murkplay::python
