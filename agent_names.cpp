#include "python/rl/agent_names.hpp"

#include <string>

namespace murkplay::python::rl {

namespace {

// "'a', 'b' or 'c'"
std::string quoted_list(std::span<const std::string_view> names, const char* last_joint) {
    std::string text;
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k > 0) text += k + 1 == names.size() ? last_joint : ", ";
        text += "'" + std::string(names[k]) + "'";
    }
    return text;
}

}  // namespace

std::optional<std::size_t> read_name(PyObject* object, const char* name, std::span<const std::string_view> names,
                                     const char* others) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(object) ? PyUnicode_AsUTF8AndSize(object, &size) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "%s must be a str, not '%s'", name, Py_TYPE(object)->tp_name);
        }
        return std::nullopt;
    }
    const std::string_view given(text, static_cast<std::size_t>(size));
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (names[k] == given) return k;
    }
    const std::string choices =
        others == nullptr ? quoted_list(names, " or ") : quoted_list(names, ", ") + " or " + others;
    PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", name, choices.c_str(), object);
    return std::nullopt;
}

Ref agent_name_tuple() {
    Ref names(PyTuple_New(static_cast<Py_ssize_t>(agents::agent_names.size())));
    if (!names) return names;
    for (std::size_t k = 0; k < agents::agent_names.size(); ++k) {
        const std::string_view text = agents::agent_names[k];
        PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (name == nullptr) return Ref();
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), name);
    }
    return names;
}

}  // namespace murkplay::python::rl
