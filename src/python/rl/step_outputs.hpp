// The Step, the record of one batched call's outputs: its fields, and the arrays behind them,
// the caller's (`out=`) where it names them, new ones elsewhere. Every array is checked or
// made before the native work begins, so that a call refused for its outputs changes
// nothing; only the listing of legal moves, whose length the work decides, is sized after.
#pragma once

#include <array>
#include <vector>

#include "batch/game_batch.hpp"
#include "python/rl/arrays.hpp"
#include "python/rl/records.hpp"

namespace murkplay::python::rl {

// The fields of a Step, in their order; `out=` is read by the same names.
enum StepField : int {
    observation,
    mask,
    offsets,
    moves,
    slots,
    terminated,
    truncated,
    values,
    plies,
    played_move,
    played_slot,
    log_prob,
    entropy,
    reply_move,
    reply_slot,
    restarting,
    codes,
    ages,
    shared,
    step_field_count,
};

extern const RecordSpec step_spec;

// Which of the outputs that not every call makes this one makes.
struct StepWanted {
    bool observe = true;   // the observation (floats or codes) and, with `mask`, the mask
    bool codes = false;    // the observation as codes (codes, ages, shared) instead of floats
    bool mask = true;
    bool sampled = false;  // log_prob and entropy
    bool replied = false;  // reply_move and reply_slot
};

class StepArrays {
public:
    // Every output of a call on `games` games, checked or made, apart from each other and from
    // the inputs. False with the exception set.
    bool prepare(PyObject* step_type, PyObject* out, Py_ssize_t games, StepWanted wanted, std::vector<Extent> inputs);
    // Where the native work writes them.
    batch::Outputs outputs() const;
    // The Step, once the batch has done its work: its listing copied out with the interpreter
    // released, every array in its field. Empty with the exception set.
    Ref finish(PyObject* step_type, const batch::GameBatch& batch);

private:
    template <typename T>
    T* data(StepField field) const {
        return views_[field].held() ? views_[field].data<T>() : nullptr;
    }

    std::array<Ref, step_field_count> given_;
    std::array<Ref, step_field_count> arrays_;
    std::array<ArrayView, step_field_count> views_;
};

}  // namespace murkplay::python::rl
