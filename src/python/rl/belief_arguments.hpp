// What both belief classes read from their arguments, and the words of a tracker's refusal.
#pragma once

#include "belief/tracker.hpp"
#include "python/ref.hpp"

namespace murkplay::python::rl {

// `side`: True for White, False for Black. False with the exception set.
bool read_side(PyObject* side, Color& out);

// `limit` and `seed`; omitted arguments (null) keep the defaults.
bool read_belief_settings(PyObject* limit, PyObject* seed, belief::BeliefSettings& out);

// Why a tracker refused an update, as a message says it.
const char* belief_error_text(belief::BeliefError error);

}  // namespace murkplay::python::rl
