// The class GameBatch and the Step it returns, made per module from these specifications.
#pragma once

#include "batch/game_batch.hpp"
#include "python/borrow.hpp"
#include "python/rl/records.hpp"
#include "python/rl/state.hpp"

namespace murkplay::python::rl {

extern PyType_Spec batch_type_spec;
extern const RecordSpec step_spec;

// The batch a GameBatch object holds, and the counter that guards it.
struct BatchHandle {
    batch::GameBatch* batch;
    BorrowCounter* borrow;
};

// Whether `object` is a GameBatch of this module, its handle then in `out`; otherwise
// TypeError naming `name`.
bool batch_handle(const State& state, PyObject* object, const char* name, BatchHandle& out);

}  // namespace murkplay::python::rl
