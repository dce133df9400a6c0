#include "python/rl/step_arguments.hpp"

#include <cfloat>
#include <string>
#include <string_view>

#include "encode/action_index.hpp"

namespace murkplay::python::rl {

namespace {

// A temperature: any real number but a bool, which is a flag and no temperature, finite and
// above 0.
bool read_temperature(PyObject* number, double& out) {
    if (number == nullptr) return true;
    constexpr const char* wanted = "temperature must be a finite number above 0";
    const double value = PyBool_Check(number) ? -1.0 : PyFloat_AsDouble(number);
    if (PyBool_Check(number) || (value == -1.0 && PyErr_Occurred())) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "%s, not an integer too large for a float", wanted);
            return false;
        }
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "temperature must be a real number, not '%s'", Py_TYPE(number)->tp_name);
        return false;
    }
    if (!(value > 0.0 && value <= DBL_MAX)) {
        PyErr_Format(PyExc_ValueError, "%s, not %s", wanted, std::to_string(value).c_str());
        return false;
    }
    out = value;
    return true;
}

}  // namespace

bool StepChoice::read(PyObject* actions, PyObject* by, PyObject* reply, PyObject* temperature, PyObject* greedy) {
    if (!read_flag(greedy, "greedy", sampling_.greedy)) return false;
    if (by != nullptr) {
        const auto named = read_name(by, "by", by_names);
        if (!named) return false;
        by_ = *named;
    }
    const bool reads_actions = by_ < by_agent;
    const std::string_view named = by_names[by_];
    if (reads_actions && actions == Py_None) {
        PyErr_Format(PyExc_TypeError, "step(by='%s') needs actions, one per game", named.data());
        return false;
    }
    if (!reads_actions && actions != Py_None) {
        PyErr_Format(PyExc_TypeError, "step(by='%s') chooses the moves itself; actions must be None", named.data());
        return false;
    }
    if (!read_temperature(temperature, sampling_.temperature)) return false;
    if (reply != nullptr && reply != Py_None) {
        const auto agent = read_name(reply, "reply", agents::agent_names, "None");
        if (!agent) return false;
        reply_.emplace(static_cast<agents::Agent>(*agent));
    }
    return true;
}

bool StepChoice::read_actions(PyObject* actions, Py_ssize_t games, std::vector<Extent>& inputs) {
    Extent& extent = inputs.emplace_back();
    switch (by_) {
        case by_position:
        case by_slot:
            if (!read_integers(actions, "actions", games, values_, &extent)) return false;
            if (by_ == by_position) {
                mover_ = &choosers_.emplace<agents::ByPosition>(values_.data());
            } else {
                mover_ = &choosers_.emplace<agents::BySlot>(values_.data());
            }
            return true;
        case by_logits:
            if (!take_view(actions, "actions", Element::Float32, {games, action_count}, false, logits_, Use::Read)) {
                return false;
            }
            extent = logits_.extent();
            mover_ = &choosers_.emplace<agents::ByLogits>(logits_.data<float>(), sampling_);
            return true;
        default:
            mover_ = &choosers_.emplace<agents::ByAgent>(static_cast<agents::Agent>(by_ - by_agent));
            return true;
    }
}

}  // namespace murkplay::python::rl
