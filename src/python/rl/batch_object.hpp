// The class GameBatch and the Step it returns, made per module from these specifications.
#pragma once

#include "python/rl/records.hpp"

namespace murkplay::python::rl {

extern PyType_Spec batch_type_spec;
extern const RecordSpec step_spec;

}  // namespace murkplay::python::rl
