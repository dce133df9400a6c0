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

// What every batched call is asked about the position it reports: observe=, codes=, mask=.
struct Reported {
    PyObject* flags[3] = {nullptr, nullptr, nullptr};
    bool observe = true;
    bool codes = false;
    bool mask = true;

    bool read() {
        return read_flag(flags[0], "observe", observe) && read_flag(flags[1], "codes", codes) &&
               read_flag(flags[2], "mask", mask);
    }
};

// One batched call: check, compute without the interpreter, build the results. `choice` is
// null for observe().
PyObject* batched_call(PyObject* self, StepChoice* choice, PyObject* actions, bool oracle, const Reported& reported,
                       PyObject* out) {
    return with_batch<Access::Exclusive>(self, [&](batch::GameBatch& batch) -> PyObject* {
        const auto n = static_cast<Py_ssize_t>(batch.size());
        std::vector<Extent> inputs;
        if (choice && !choice->read_actions(actions, n, inputs)) return nullptr;
        PyObject* step_type = state_of_type(Py_TYPE(self)).step_type;
        StepArrays arrays;
        const StepWanted wanted{reported.observe, reported.codes, reported.mask, choice && choice->sampled(),
                                choice && choice->replied()};
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
    static const char* keywords[] = {"oracle", "out", "codes", "mask", nullptr};
    PyObject* oracle_flag = nullptr;
    PyObject* out = nullptr;
    bool oracle = false;
    Reported reported;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOO:observe", const_cast<char**>(keywords), &oracle_flag, &out,
                                     &reported.flags[1], &reported.flags[2]) ||
        !read_flag(oracle_flag, "oracle", oracle) || !reported.read()) {
        return nullptr;
    }
    return batched_call(self, nullptr, nullptr, oracle, reported, out);
}

PyObject* step_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"actions", "by",     "oracle", "observe", "out",  "reply",
                                     "temperature", "greedy", "codes",  "mask",    nullptr};
    PyObject* actions = Py_None;
    PyObject* by = nullptr;
    PyObject* oracle_flag = nullptr;
    PyObject* out = nullptr;
    PyObject* reply = nullptr;
    PyObject* temperature = nullptr;
    PyObject* greedy = nullptr;
    bool oracle = false;
    Reported reported;
    StepChoice choice;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOOOOOOOO:step", const_cast<char**>(keywords), &actions, &by,
                                     &oracle_flag, &reported.flags[0], &out, &reply, &temperature, &greedy,
                                     &reported.flags[1], &reported.flags[2]) ||
        !read_flag(oracle_flag, "oracle", oracle) || !reported.read() ||
        !choice.read(actions, by, reply, temperature, greedy)) {
        return nullptr;
    }
    return batched_call(self, &choice, actions, oracle, reported, out);
}

PyObject* step_random_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"oracle", "observe", "out", "codes", "mask", nullptr};
    PyObject* oracle_flag = nullptr;
    PyObject* out = nullptr;
    bool oracle = false;
    Reported reported;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOOO:step_random", const_cast<char**>(keywords), &oracle_flag,
                                     &reported.flags[0], &out, &reported.flags[1], &reported.flags[2]) ||
        !read_flag(oracle_flag, "oracle", oracle) || !reported.read()) {
        return nullptr;
    }
    StepChoice choice(agents::Agent::Random);
    return batched_call(self, &choice, nullptr, oracle, reported, out);
}

}  // namespace murkplay::python::rl
