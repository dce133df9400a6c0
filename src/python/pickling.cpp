#include "python/pickling.hpp"

#include "game/game_codec.hpp"
#include "python/game_object.hpp"
#include "python/per_interpreter.hpp"

namespace murkplay::python {

namespace {

// The game's record as bytes, and where they are read back: (restore_game, (bytes,)).
PyObject* reduce_game(PyObject*, PyObject* game) {
    // copyreg hands over games only, but the function can be reached and called with anything.
    const Ref game_type = per_interpreter_lookup(game_type_key);
    if (reinterpret_cast<PyObject*>(Py_TYPE(game)) != game_type.get()) {
        return PyErr_Format(PyExc_TypeError, "expected a SelfPlayGame, not '%s'", Py_TYPE(game)->tp_name);
    }
    Ref restore;
    {
        Ref companion(PyImport_ImportModule("murkplay_rl._native"));
        if (!companion) return nullptr;
        restore = Ref(PyObject_GetAttrString(companion.get(), "restore_game"));
        if (!restore) return nullptr;
    }
    Game record;
    if (!copy_game(game, record)) return nullptr;
    const GameBytes bytes = write_game_bytes(record);
    Ref payload(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                          static_cast<Py_ssize_t>(bytes.size())));
    if (!payload) return nullptr;
    return Py_BuildValue("O(O)", restore.get(), payload.get());
}

PyMethodDef reduce_definition = {
    .ml_name = "reduce_game",
    .ml_meth = reduce_game,
    .ml_flags = METH_O,
    .ml_doc = nullptr,
};

}  // namespace

bool register_pickling(PyObject* game_type) {
    Ref copyreg(PyImport_ImportModule("copyreg"));
    if (!copyreg) return false;
    Ref reducer(PyCFunction_New(&reduce_definition, nullptr));
    if (!reducer) return false;
    Ref registered(PyObject_CallMethod(copyreg.get(), "pickle", "OO", game_type, reducer.get()));
    return static_cast<bool>(registered);
}

}  // namespace murkplay::python
