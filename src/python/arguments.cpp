#include "python/arguments.hpp"

#include <cstring>

#include "python/errors.hpp"

namespace murkplay::python {

namespace {

bool too_many_positional(const Signature& s, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (s.parameter.required) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd %s given", s.qualified_name, given,
                     verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from 0 to 1 positional arguments but %zd %s given",
                     s.qualified_name, given, verb);
    }
    return false;
}

// One keyword argument, whether it came from a kwnames tuple or a kwargs dict.
bool match_keyword(const Signature& s, PyObject* name, PyObject* value, Matched& out) {
    if (PyUnicode_CompareWithASCIIString(name, s.parameter.name) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.qualified_name, name);
        return false;
    }
    if (out != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.qualified_name,
                     s.parameter.name);
        return false;
    }
    out = value;
    return true;
}

bool check_required(const Signature& s, Matched out) {
    if (out != nullptr || !s.parameter.required) return true;
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", s.qualified_name,
                 s.parameter.name);
    return false;
}

}  // namespace

bool match_arguments(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Matched& out) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
    if (positional > 1) return too_many_positional(s, positional);
    out = positional == 1 ? args[0] : nullptr;
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        if (!match_keyword(s, PyTuple_GET_ITEM(kwnames, i), args[positional + i], out)) return false;
    }
    return check_required(s, out);
}

bool match_arguments(const Signature& s, PyObject* args, PyObject* kwargs, Matched& out) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > 1) return too_many_positional(s, positional);
    out = positional == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!match_keyword(s, name, value, out)) return false;
        }
    }
    return check_required(s, out);
}

bool is_numpy_bool(PyTypeObject* type) {
    return std::strcmp(type->tp_name, "numpy.bool") == 0 || std::strcmp(type->tp_name, "numpy.bool_") == 0;
}

int convert_bool(PyObject* value) {
    if (value == Py_True) return 1;
    if (value == Py_False) return 0;
    if (value == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'bool'");
        return -1;
    }
    PyTypeObject* type = Py_TYPE(value);
    if (!is_numpy_bool(type)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'bool'", type->tp_name);
        return -1;
    }
    if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
        PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion", type->tp_name);
        return -1;
    }
    return type->tp_as_number->nb_bool(value);
}

int bool_argument(const Signature& s, Matched value, bool fallback) {
    if (value == nullptr) return fallback ? 1 : 0;
    const int result = convert_bool(value);
    if (result < 0) prefix_type_error(s.parameter.name);
    return result;
}

}  // namespace murkplay::python
