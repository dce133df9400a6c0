// What step() and step_random() are asked: how the moves are named (`by`, and the actions it
// reads), the reply, the sampling of logits; read into the agents' choosers, which the batch
// then asks for every game's move.
#pragma once

#include <cstddef>
#include <optional>
#include <variant>
#include <vector>

#include "agents/move_choosers.hpp"
#include "python/rl/agent_names.hpp"
#include "python/rl/arrays.hpp"

namespace murkplay::python::rl {

class StepChoice {
public:
    // By position, until read() says otherwise.
    StepChoice() = default;
    // Every game's move by a built-in agent, as step_random() plays.
    explicit StepChoice(agents::Agent agent) : by_(by_agent + static_cast<std::size_t>(agent)) {}
    StepChoice(const StepChoice&) = delete;
    StepChoice& operator=(const StepChoice&) = delete;

    // step(actions, by=, reply=, temperature=, greedy=), any of them but the actions omitted
    // (null); false with the exception set.
    bool read(PyObject* actions, PyObject* by, PyObject* reply, PyObject* temperature, PyObject* greedy);

    // The actions, read for `games` games; their bytes are added to `inputs`. False with the
    // exception set.
    bool read_actions(PyObject* actions, Py_ssize_t games, std::vector<Extent>& inputs);

    bool sampled() const { return by_ == by_logits; }
    bool replied() const { return reply_.has_value(); }
    // Once the actions are read.
    const batch::MoveChooser& mover() const { return *mover_; }
    const batch::MoveChooser* replier() const { return reply_ ? &*reply_ : nullptr; }

private:
    std::size_t by_ = by_position;
    agents::Sampling sampling_;
    std::optional<agents::ByAgent> reply_;
    std::vector<std::int64_t> values_;
    ArrayView logits_;
    std::variant<std::monostate, agents::ByPosition, agents::BySlot, agents::ByLogits, agents::ByAgent> choosers_;
    const batch::MoveChooser* mover_ = nullptr;
};

}  // namespace murkplay::python::rl
