#include "python/errors.hpp"

#include <atomic>

namespace murkplay::python {

namespace {

// Created once, during the module's first execution, and never freed.
std::atomic<PyObject*> internal_error{nullptr};

}  // namespace

Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return Ref();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref(value);
#endif
}

void restore_exception(Ref exception) {
    if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

void prefix_type_error(const char* parameter_name) {
    if (!PyErr_Occurred()) return;
    Ref first = take_exception();
    if (Py_TYPE(first.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_exception(std::move(first));
        return;
    }
    Ref message(PyUnicode_FromFormat("argument '%s': %S", parameter_name, first.get()));
    if (!message) return;
    Ref replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    // PyException_SetCause steals the reference it is given.
    PyException_SetCause(replacement.get(), PyException_GetCause(first.get()));
    restore_exception(std::move(replacement));
}

PyObject* internal_error_type() { return internal_error.load(std::memory_order_acquire); }

bool create_internal_error_type() {
    if (internal_error_type() != nullptr) return true;
    PyObject* created = PyErr_NewExceptionWithDoc(
        "murkplay.InternalError",
        "An invariant of murkplay was broken, or the interpreter could not create a value.",
        PyExc_BaseException, nullptr);
    if (created == nullptr) return false;
    PyObject* expected = nullptr;
    if (!internal_error.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) Py_DECREF(created);
    return true;
}

PyObject* internal_failure(const char* text) {
    Ref cause = take_exception();
    PyErr_SetString(internal_error_type(), text);
    if (cause) {
        Ref raised = take_exception();
        PyException_SetCause(raised.get(), cause.release());
        restore_exception(std::move(raised));
    }
    return nullptr;
}

}  // namespace murkplay::python
