// Pickling and copying games without touching the module or the class: the standard
// library's copyreg table learns how to reduce a SelfPlayGame to bytes, and the companion
// package murkplay_rl holds the function that builds the game back from them.
#pragma once

#include "python/ref.hpp"

namespace murkplay::python {

// Registers the reduction of `game_type` with copyreg; false with an exception set on failure.
bool register_pickling(PyObject* game_type);

}  // namespace murkplay::python
