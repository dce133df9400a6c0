// replay: recorded games played again natively, into training arrays.
#pragma once

#include "python/rl/records.hpp"

namespace murkplay::python::rl {

extern PyMethodDef replay_functions[];
extern const RecordSpec replay_spec;

}  // namespace murkplay::python::rl
