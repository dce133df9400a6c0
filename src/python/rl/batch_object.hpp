// The class GameBatch, one type object per module; its batched calls are in
// step_methods.cpp, the Step they return in step_outputs.cpp.
#pragma once

#include "batch/game_batch.hpp"
#include "python/borrow.hpp"
#include "python/rl/state.hpp"

namespace murkplay::python::rl {

extern PyType_Spec batch_type_spec;

struct BatchObject {
    PyObject_HEAD
    batch::GameBatch* batch;
    BorrowCounter borrow;
};

inline BatchObject* as_batch(PyObject* self) { return reinterpret_cast<BatchObject*>(self); }

// Runs `body` on the batch of `self` (a GameBatch) under a borrow of the given kind; a
// refused borrow raises instead.
template <Access access, typename Body>
PyObject* with_batch(PyObject* self, Body&& body) {
    return with_borrowed<access>(as_batch(self)->borrow, *as_batch(self)->batch, body);
}

// Whether `object` is a GameBatch of this module, its object then in `out`; otherwise
// TypeError naming `name`.
bool batch_object(const State& state, PyObject* object, const char* name, BatchObject*& out);

}  // namespace murkplay::python::rl
