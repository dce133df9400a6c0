// An owning reference: the one way the binding holds a PyObject*, so that every path,
// failure included, releases what it took.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace murkplay::python {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (or nullptr, after a failed call).
    explicit Ref(PyObject* owned) : object_(owned) {}
    // A new reference to an object the caller only borrows (or nullptr).
    static Ref new_reference(PyObject* object) { return Ref(Py_XNewRef(object)); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    // Hands the reference to the caller, typically as a method's result.
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace murkplay::python
