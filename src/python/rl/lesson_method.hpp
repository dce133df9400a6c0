// GameBatch.best_slots: the lesson of a search that sees the whole board, for trainers.
#pragma once

#include "python/ref.hpp"

namespace murkplay::python::rl {

PyObject* best_slots_method(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace murkplay::python::rl
