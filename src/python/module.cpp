// Module initialisation: two phases, no module state, and a declaration that the GIL is not
// needed, since every game guards itself with its borrow counter.
#include "python/errors.hpp"
#include "python/module_slots.hpp"
#include "python/game_object.hpp"
#include "python/per_interpreter.hpp"
#include "python/pickling.hpp"

namespace murkplay::python {

namespace {

PyObject* make_game_type() { return PyType_FromSpec(&game_type_spec); }

int exec_module(PyObject* module) {
    if (!create_internal_error_type()) return -1;
    // One class object serves the interpreter; a repeated import hands out the same one.
    Ref type = per_interpreter(game_type_key, make_game_type);
    if (!type || !register_pickling(type.get())) return -1;
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
    return PyObject_SetAttrString(module, "SelfPlayGame", type.get());
}

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "murkplay",
    .m_doc = "Fog-of-war chess for self-play and training, a Python module implemented natively in C++.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots<exec_module>,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace murkplay::python

PyMODINIT_FUNC PyInit_murkplay() { return PyModuleDef_Init(&murkplay::python::module_definition); }
