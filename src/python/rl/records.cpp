#include "python/rl/records.hpp"

#include <vector>

namespace murkplay::python::rl {

PyObject* make_record_type(const RecordSpec& spec) {
    Ref collections(PyImport_ImportModule("collections"));
    if (!collections) return nullptr;
    Ref names(PyTuple_New(static_cast<Py_ssize_t>(spec.fields.size())));
    if (!names) return nullptr;
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        PyObject* name = PyUnicode_FromString(spec.fields[i].name);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    Ref make(PyObject_GetAttrString(collections.get(), "namedtuple"));
    if (!make) return nullptr;
    Ref arguments(Py_BuildValue("(sO)", spec.name, names.get()));
    Ref defaults(PyTuple_New(static_cast<Py_ssize_t>(spec.defaulted)));
    if (!defaults) return nullptr;
    for (std::size_t i = 0; i < spec.defaulted; ++i) {
        PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i), Py_NewRef(Py_None));
    }
    Ref keywords(Py_BuildValue("{sssO}", "module", "murkplay_rl", "defaults", defaults.get()));
    if (!arguments || !keywords) return nullptr;
    Ref type(PyObject_Call(make.get(), arguments.get(), keywords.get()));
    if (!type) return nullptr;
    Ref doc(PyUnicode_FromString(spec.doc));
    if (!doc || PyObject_SetAttrString(type.get(), "__doc__", doc.get()) < 0) return nullptr;
    for (const RecordField& field : spec.fields) {
        Ref accessor(PyObject_GetAttrString(type.get(), field.name));
        Ref field_doc(PyUnicode_FromString(field.doc));
        if (!accessor || !field_doc || PyObject_SetAttrString(accessor.get(), "__doc__", field_doc.get()) < 0) {
            return nullptr;
        }
    }
    return type.release();
}

bool offered_arrays(PyObject* out, std::span<const RecordField> fields, std::span<Ref> given, PyObject* type) {
    if (out == nullptr || out == Py_None) return true;
    // A record of this very type, as a loop hands back the last one, is read by position.
    if (type != nullptr && Py_TYPE(out) == reinterpret_cast<PyTypeObject*>(type) &&
        PyTuple_GET_SIZE(out) == static_cast<Py_ssize_t>(fields.size())) {
        for (std::size_t f = 0; f < fields.size(); ++f) {
            given[f] = Ref::new_reference(PyTuple_GET_ITEM(out, static_cast<Py_ssize_t>(f)));
        }
        return true;
    }
    bool named = false;
    for (std::size_t f = 0; f < fields.size(); ++f) {
        Ref value(PyObject_GetAttrString(out, fields[f].name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
        }
        named = named || value;
        given[f] = std::move(value);
    }
    if (named) return true;
    // Most likely a mistake, such as an array given where a record of arrays was wanted.
    PyErr_Format(PyExc_TypeError, "out: a '%s' names none of the outputs; give None or a record of arrays by name",
                 Py_TYPE(out)->tp_name);
    return false;
}

Ref make_record(PyObject* type, std::span<Ref> items) {
    std::vector<PyObject*> arguments;
    arguments.reserve(items.size());
    for (const Ref& item : items) arguments.push_back(item ? item.get() : Py_None);
    return Ref(PyObject_Vectorcall(type, arguments.data(), arguments.size(), nullptr));
}

}  // namespace murkplay::python::rl
