// The module slots both extension modules declare: one execution step, and truthful claims
// about interpreters and the GIL. Slots are tested by their macros, which pre-releases lack
// as well as older versions.
#pragma once

#include "python/ref.hpp"

namespace murkplay::python {

template <int (*exec)(PyObject*)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
#ifdef Py_mod_multiple_interpreters
    // Nothing is shared between interpreters: the tables are constants, and every class
    // object is made per interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // Every game and batch guards itself with its borrow counter.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace murkplay::python
