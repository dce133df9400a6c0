// What the companion module keeps per module object: murkplay's class of this interpreter
// and its own types.
#pragma once

#include "python/ref.hpp"

namespace murkplay::python::rl {

struct State {
    PyObject* game_type;         // murkplay.SelfPlayGame
    PyObject* batch_type;        // GameBatch
    PyObject* step_type;         // Step, the outputs of one batched call
    PyObject* legal_moves_type;  // LegalMoves, the moves of one game
    PyObject* replay_type;       // Replay, recorded games played again
    PyObject* codes_type;        // Codes, one observation as codes
    PyObject* belief_type;       // BeliefTracker
    PyObject* batch_beliefs_type;  // BatchBeliefs
};

inline State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// The state of the module that defined the type of `self` (a GameBatch).
inline State& state_of_type(PyTypeObject* type) { return state_of(PyType_GetModule(type)); }

// Whether `object` is a game of this interpreter's murkplay; otherwise TypeError naming `name`.
bool check_game(const State& state, PyObject* object, const char* name);

}  // namespace murkplay::python::rl
