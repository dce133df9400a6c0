// Matching call arguments to parameters, with the messages Python users know from
// functions written in Python, and the one conversion the methods need: to bool.
#pragma once

#include <array>
#include <cstddef>

#include "python/ref.hpp"

namespace murkplay::python {

struct Parameter {
    const char* name;
    bool required;
};

// Every callable here has exactly one parameter.
struct Signature {
    const char* qualified_name;  // as shown in messages, e.g. "SelfPlayGame.apply"
    Parameter parameter;
};

// The matched argument, borrowed from the call; nullptr when it was not given.
using Matched = PyObject*;

// Vectorcall arguments (fast methods).
bool match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Matched& out);
// Tuple and dict arguments (the constructor).
bool match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, Matched& out);

// Whether `type` is numpy's boolean scalar, which is no int and no bool.
bool is_numpy_bool(PyTypeObject* type);

// True and False, or a numpy boolean scalar through its truth value: 0 or 1, or -1 with a
// TypeError set for anything else.
int convert_bool(PyObject* value);

// As convert_bool, with "argument 'NAME': ..." on the error. An omitted argument takes `fallback`.
int bool_argument(const Signature& signature, Matched value, bool fallback);

}  // namespace murkplay::python
