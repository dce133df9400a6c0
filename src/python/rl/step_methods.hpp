// GameBatch's batched calls, for its method table.
#pragma once

#include "python/ref.hpp"

namespace murkplay::python::rl {

PyObject* observe_method(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* step_method(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* step_random_method(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace murkplay::python::rl
