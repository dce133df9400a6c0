// The class BeliefTracker: one side's belief about one game.
#pragma once

#include <memory>

#include "belief/tracker.hpp"
#include "python/ref.hpp"

namespace murkplay::python::rl {

extern PyType_Spec belief_type_spec;

// A new BeliefTracker object of `type` holding `tracker`.
PyObject* adopt_tracker(PyTypeObject* type, std::unique_ptr<belief::BeliefTracker> tracker);

}  // namespace murkplay::python::rl
