#include "python/errors.hpp"

#include "python/per_interpreter.hpp"

namespace murkplay::python {

namespace {

constexpr const char* internal_error_key = "murkplay.InternalError";

// Raises `type` with `text`, caused by `cause` when there is one.
void raise_caused_by(PyObject* type, const char* text, Ref cause) {
    PyErr_SetString(type, text);
    if (!cause) return;
    Ref raised = take_exception();
    PyException_SetCause(raised.get(), cause.release());
    restore_exception(std::move(raised));
}

PyObject* make_internal_error_type() {
    return PyErr_NewExceptionWithDoc(
        "murkplay.InternalError",
        "An invariant of murkplay was broken, or the interpreter could not create a value.",
        PyExc_BaseException, nullptr);
}

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

bool create_internal_error_type() { return static_cast<bool>(per_interpreter(internal_error_key, make_internal_error_type)); }

PyObject* internal_failure(const char* text) {
    Ref cause = take_exception();
    // The class is made when the module is imported; should that ever have been undone, the
    // failure is still reported, as the most general kind.
    Ref type = per_interpreter_lookup(internal_error_key);
    raise_caused_by(type ? type.get() : PyExc_BaseException, text, std::move(cause));
    return nullptr;
}

bool is_about_input(PyObject* exception) {
    return PyErr_GivenExceptionMatches(exception, PyExc_Exception) &&
           !PyErr_GivenExceptionMatches(exception, PyExc_MemoryError);
}

void refuse(const char* message) {
    Ref cause = take_exception();
    if (cause && !is_about_input(cause.get())) {
        restore_exception(std::move(cause));
        return;
    }
    raise_caused_by(PyExc_ValueError, message, std::move(cause));
}

void refuse_with_note(const char* message, std::string_view note) {
    PyErr_SetString(PyExc_ValueError, message);
    Ref refused = take_exception();
    Ref text(PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
    if (!text) {
        internal_failure("could not create a str");
        return;
    }
    Ref added(PyObject_CallMethod(refused.get(), "add_note", "O", text.get()));
    if (!added) {
        internal_failure("could not add a note to an exception");
        return;
    }
    restore_exception(std::move(refused));
}

}  // namespace murkplay::python
