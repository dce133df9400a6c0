// The native engine of murkplay_rl: batches of games, the single-game fast paths, beliefs
// over hidden positions, and the rebuilding of pickled games. Everything it keeps lives in
// the module's state, one per module object, so every interpreter has its own.
#include "agents/belief_search.hpp"
#include "encode/move_code.hpp"
#include "game/movegen.hpp"
#include "parallel/thread_team.hpp"
#include "python/module_slots.hpp"
#include "python/rl/agent_names.hpp"
#include "python/rl/batch_beliefs_object.hpp"
#include "python/rl/batch_object.hpp"
#include "python/rl/belief_tracker_object.hpp"
#include "python/rl/replay_function.hpp"
#include "python/rl/single_game.hpp"
#include "python/rl/state.hpp"
#include "python/rl/step_outputs.hpp"

namespace murkplay::python::rl {

namespace {

int traverse(PyObject* module, visitproc visit, void* arg) {
    State& state = state_of(module);
    Py_VISIT(state.game_type);
    Py_VISIT(state.batch_type);
    Py_VISIT(state.step_type);
    Py_VISIT(state.legal_moves_type);
    Py_VISIT(state.replay_type);
    Py_VISIT(state.codes_type);
    Py_VISIT(state.belief_type);
    Py_VISIT(state.batch_beliefs_type);
    return 0;
}

int clear(PyObject* module) {
    State& state = state_of(module);
    Py_CLEAR(state.game_type);
    Py_CLEAR(state.batch_type);
    Py_CLEAR(state.step_type);
    Py_CLEAR(state.legal_moves_type);
    Py_CLEAR(state.replay_type);
    Py_CLEAR(state.codes_type);
    Py_CLEAR(state.belief_type);
    Py_CLEAR(state.batch_beliefs_type);
    return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

// Adds a type to the module under its own name; the state keeps a reference of its own.
bool add_type(PyObject* module, PyObject* type, PyObject*& slot, const char* name) {
    if (type == nullptr) return false;
    slot = type;
    return PyModule_AddObjectRef(module, name, type) == 0;
}

int exec_module(PyObject* module) {
    State& state = state_of(module);
    Ref murkplay(PyImport_ImportModule("murkplay"));
    if (!murkplay) return -1;
    state.game_type = PyObject_GetAttrString(murkplay.get(), "SelfPlayGame");
    if (state.game_type == nullptr) return -1;
    const bool added =
        add_type(module, PyType_FromModuleAndSpec(module, &batch_type_spec, nullptr), state.batch_type, "GameBatch") &&
        add_type(module, make_record_type(step_spec), state.step_type, "Step") &&
        add_type(module, make_record_type(legal_moves_spec), state.legal_moves_type, "LegalMoves") &&
        add_type(module, make_record_type(replay_spec), state.replay_type, "Replay") &&
        add_type(module, make_record_type(codes_spec), state.codes_type, "Codes") &&
        add_type(module, PyType_FromModuleAndSpec(module, &belief_type_spec, nullptr), state.belief_type,
                 "BeliefTracker") &&
        add_type(module, PyType_FromModuleAndSpec(module, &batch_beliefs_type_spec, nullptr),
                 state.batch_beliefs_type, "BatchBeliefs");
    if (!added || PyModule_AddFunctions(module, replay_functions) < 0) return -1;
    const Ref agents = agent_name_tuple();
    if (!agents || PyModule_AddObjectRef(module, "AGENTS", agents.get()) < 0) return -1;
    return PyModule_AddIntConstant(module, "ACTION_COUNT", action_count) < 0 ||
                   PyModule_AddIntConstant(module, "NO_MOVE", no_move) < 0 ||
                   PyModule_AddIntConstant(module, "MAX_MOVES", static_cast<long>(max_moves)) < 0 ||
                   PyModule_AddIntConstant(module, "MAX_THREADS", parallel::max_threads) < 0 ||
                   PyModule_AddIntConstant(module, "MAX_SEARCH_DEPTH", agents::max_search_depth) < 0 ||
                   PyModule_AddIntConstant(module, "WIN_SCORE", agents::win_score) < 0 ||
                   PyModule_AddIntConstant(module, "MIN_KING_SCORE", agents::min_king_score) < 0 ||
                   PyModule_AddIntConstant(module, "MAX_SEARCH_SAMPLES",
                                           static_cast<long>(agents::max_search_samples)) < 0
               ? -1
               : 0;
}

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "murkplay_rl._native",
    .m_doc = "The native engine of murkplay_rl.",
    .m_size = sizeof(State),
    .m_methods = single_game_functions,
    .m_slots = module_slots<exec_module>,
    .m_traverse = traverse,
    .m_clear = clear,
    .m_free = free_module,
};

}  // namespace

}  // namespace murkplay::python::rl

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&murkplay::python::rl::module_definition); }
