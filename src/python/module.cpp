// Module initialisation: two phases, no module state, and a declaration that the GIL is not
// needed, since every game guards itself with its borrow counter.
#include <atomic>

#include "python/errors.hpp"
#include "python/game_object.hpp"

namespace murkplay::python {

namespace {

// One class object serves the interpreter; a repeated import hands out the same one.
std::atomic<PyObject*> game_type{nullptr};

PyObject* the_game_type() {
    if (PyObject* existing = game_type.load(std::memory_order_acquire)) return existing;
    PyObject* created = PyType_FromSpec(&game_type_spec);
    if (created == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (game_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) return created;
    Py_DECREF(created);
    return expected;
}

int exec_module(PyObject* module) {
    if (!create_internal_error_type()) return -1;
    PyObject* type = the_game_type();
    if (type == nullptr) return -1;
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    Ref name(PyUnicode_FromString("SelfPlayGame"));
    if (!name) return -1;
    Ref appended(PyObject_CallMethod(all.get(), "append", "O", name.get()));
    if (!appended) return -1;
    return PyObject_SetAttrString(module, "SelfPlayGame", type);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
// A macro from the release that has the slot on; pre-releases of 3.13 lack it.
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "murkplay",
    "Fog-of-war chess for self-play and training, a Python module implemented natively in C++.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace murkplay::python

PyMODINIT_FUNC PyInit_murkplay() { return PyModuleDef_Init(&murkplay::python::module_definition); }
