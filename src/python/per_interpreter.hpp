// Objects made once per interpreter. Each subinterpreter gets its own class objects, since
// no object of one interpreter may ever reach another; they live in the dictionary that
// every interpreter keeps for its extensions, not in process-wide variables.
#pragma once

#include "python/ref.hpp"

namespace murkplay::python {

// Where the class SelfPlayGame of each interpreter is kept.
inline constexpr const char* game_type_key = "murkplay.SelfPlayGame";

// The object kept under `key` in the running interpreter's dictionary, made by `make` (a new
// reference, or nullptr with an exception set) when there is none yet. Empty on failure.
Ref per_interpreter(const char* key, PyObject* (*make)());

// The object under `key`, or an empty Ref (with no exception set) when there is none.
Ref per_interpreter_lookup(const char* key);

}  // namespace murkplay::python
