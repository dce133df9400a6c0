#include "python/per_interpreter.hpp"

namespace murkplay::python {

Ref per_interpreter_lookup(const char* key) {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dict == nullptr) return Ref();
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(dict, key, &found) < 0) PyErr_Clear();
    return Ref(found);
#else
    // The entries are never removed, so the borrowed value stays alive.
    return Ref::new_reference(PyDict_GetItemString(dict, key));
#endif
}

Ref per_interpreter(const char* key, PyObject* (*make)()) {
    if (Ref found = per_interpreter_lookup(key)) return found;
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter keeps no dictionary for extensions");
        return Ref();
    }
    Ref made(make());
    if (!made) return made;
    Ref name(PyUnicode_FromString(key));
    if (!name) return name;
    // Two threads may get here at once; the first value stored is the one every caller gets.
    return Ref::new_reference(PyDict_SetDefault(dict, name.get(), made.get()));
}

}  // namespace murkplay::python
