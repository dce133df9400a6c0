// The class BatchBeliefs: one belief per game of a GameBatch, updated together on native
// threads, and the belief agent's choice in every game.
#pragma once

#include "python/ref.hpp"

namespace murkplay::python::rl {

extern PyType_Spec batch_beliefs_type_spec;

}  // namespace murkplay::python::rl
