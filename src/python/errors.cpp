#include "python/errors.hpp"

#include "python/per_interpreter.hpp"

namespace murkplay::python {

namespace {

constexpr const char* internal_error_key = "murkplay.InternalError";

// Takes the pending exception out of the thread state (normalised), or an empty Ref.
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

PyObject* make_internal_error_type() {
    return PyErr_NewExceptionWithDoc(
        "murkplay.InternalError",
        "An invariant of murkplay was broken, or the interpreter could not create a value.",
        PyExc_BaseException, nullptr);
}

}  // namespace

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

bool create_internal_error_type() { return static_cast<bool>(per_interpreter(internal_error_key, make_internal_error_type)); }

PyObject* internal_failure(const char* text) {
    Ref cause = take_exception();
    // The class is made when the module is imported; should that ever have been undone, the
    // failure is still reported, as the most general kind.
    Ref type = per_interpreter_lookup(internal_error_key);
    PyErr_SetString(type ? type.get() : PyExc_BaseException, text);
    if (cause) {
        Ref raised = take_exception();
        PyException_SetCause(raised.get(), cause.release());
        restore_exception(std::move(raised));
    }
    return nullptr;
}

}  // namespace murkplay::python
