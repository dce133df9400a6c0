// The batched calls of GameBatch: observe(), step() and step_random(). Each reads its
// arguments, checks every array, steps the batch with the interpreter released, and hands
// back the Step.
#include "python/rl/step_methods.hpp"

#include <optional>
#include <vector>

#include "python/errors.hpp"
#include "python/rl/batch_object.hpp"
#include "python/rl/released.hpp"
#include "python/rl/state.hpp"
#include "python/rl/step_arguments.hpp"
#include "python/rl/step_outputs.hpp"

namespace murkplay::python::rl {

namespace {

PyObject* refusal_error(const batch::Refusal& refusal) {
    const auto game = refusal.game;
    const auto value = static_cast<long long>(refusal.value);
    switch (refusal.reason) {
        case batch::Refusal::Reason::PositionOutOfRange:
            return PyErr_Format(PyExc_ValueError,
                                "actions[%zu]: position %lld is out of range for game %zu, which has %zu legal moves",
                                game, value, game, refusal.legal_moves);
        case batch::Refusal::Reason::NoMoveWithSlot:
            return PyErr_Format(PyExc_ValueError, "actions[%zu]: no legal move of game %zu has slot %lld", game, game,
                                value);
        case batch::Refusal::Reason::UnusableLogits:
            return PyErr_Format(PyExc_ValueError,
                                "actions[%zu]: the logits of game %zu's legal slots make no distribution: each must "
                                "be finite or -inf, and at least one finite",
                                game, game);
        case batch::Refusal::Reason::NoLegalMove:
            return PyErr_Format(PyExc_ValueError,
                                "actions[%zu]: game %zu has no legal move to play; it ended stalled, restart it", game,
                                game);
    }
    return internal_failure("unknown refusal");
}

// One batched call: check, compute without the interpreter, build the results. `choice` is
// null for observe().
PyObject* batched_call(PyObject* self, StepChoice* choice, PyObject* actions, bool oracle, bool observe,
                       PyObject* out) {
    return with_batch<Access::Exclusive>(self, [&](batch::GameBatch& batch) -> PyObject* {
        const auto n = static_cast<Py_ssize_t>(batch.size());
        std::vector<Extent> inputs;
        if (choice && !choice->read_actions(actions, n, inputs)) return nullptr;
        PyObject* step_type = state_of_type(Py_TYPE(self)).step_type;
        StepArrays arrays;
        const StepWanted wanted{observe, choice && choice->sampled(), choice && choice->replied()};
        if (!arrays.prepare(step_type, out, n, wanted, std::move(inputs))) return nullptr;
        const batch::Outputs outputs = arrays.outputs();
        std::optional<batch::Refusal> refused;
        const bool ran = run_released([&](parallel::Stop&) {
            if (choice) {
                refused = batch.step(choice->mover(), choice->replier(), oracle, outputs);
            } else {
                batch.observe(oracle, outputs);
            }
        });
        if (!ran) return nullptr;
        if (refused) return refusal_error(*refused);
        return arrays.finish(step_type, batch).release();
    });
}

}  // namespace

PyObject* observe_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"oracle", "out", nullptr};
    PyObject* oracle_flag = nullptr;
    PyObject* out = nullptr;
    bool oracle = false;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OO:observe", const_cast<char**>(keywords), &oracle_flag, &out) ||
        !read_flag(oracle_flag, "oracle", oracle)) {
        return nullptr;
    }
    return batched_call(self, nullptr, nullptr, oracle, true, out);
}

PyObject* step_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"actions", "by",    "oracle",      "observe", "out",
                                     "reply",   "temperature", "greedy", nullptr};
    PyObject* actions = Py_None;
    PyObject* by = nullptr;
    PyObject* flags[2] = {nullptr, nullptr};
    PyObject* out = nullptr;
    PyObject* reply = nullptr;
    PyObject* temperature = nullptr;
    PyObject* greedy = nullptr;
    bool oracle = false;
    bool observe = true;
    StepChoice choice;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOOOOOO:step", const_cast<char**>(keywords), &actions, &by,
                                     &flags[0], &flags[1], &out, &reply, &temperature, &greedy) ||
        !read_flag(flags[0], "oracle", oracle) || !read_flag(flags[1], "observe", observe) ||
        !choice.read(actions, by, reply, temperature, greedy)) {
        return nullptr;
    }
    return batched_call(self, &choice, actions, oracle, observe, out);
}

PyObject* step_random_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"oracle", "observe", "out", nullptr};
    PyObject* flags[2] = {nullptr, nullptr};
    PyObject* out = nullptr;
    bool oracle = false;
    bool observe = true;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOO:step_random", const_cast<char**>(keywords), &flags[0],
                                     &flags[1], &out) ||
        !read_flag(flags[0], "oracle", oracle) || !read_flag(flags[1], "observe", observe)) {
        return nullptr;
    }
    StepChoice choice(agents::Agent::Random);
    return batched_call(self, &choice, nullptr, oracle, observe, out);
}

}  // namespace murkplay::python::rl
