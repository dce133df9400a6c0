// The classes BeliefTracker (one side's belief about one game) and BatchBeliefs (one belief
// per game of a GameBatch, updated together on native threads).
#pragma once

#include "python/ref.hpp"

namespace murkplay::python::rl {

extern PyType_Spec belief_type_spec;
extern PyType_Spec batch_beliefs_type_spec;

}  // namespace murkplay::python::rl
