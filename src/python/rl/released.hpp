// The one way the bindings run native work: with the interpreter released, every failure
// caught and turned into the Python exception it stands for, and Ctrl-C able to stop it.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>

#include "batch/stop.hpp"
#include "python/ref.hpp"

namespace murkplay::python::rl {

// Sets the exception a native failure stands for: MemoryError for an allocation that failed
// (or a size no allocation could meet), RuntimeError for anything else.
inline void raise_native_failure(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_RuntimeError, "the native work failed: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "the native work failed with an unknown exception");
    }
}

// Runs work(stop) with the interpreter released; the work reads no Python object. On the
// calling thread, stop.poll() now and then takes the interpreter back for a moment to run
// the signal handlers: when one raises (KeyboardInterrupt for Ctrl-C), the stop is requested
// and the work, which polls it, ends early. Returns true when the work ran to its end;
// otherwise false with the exception set: the handler's, or the failure's, from whichever
// thread it came. A work that stops or fails must leave what it changes as it was.
template <typename Work>
[[nodiscard]] bool run_released(Work&& work) {
    PyThreadState* saved = PyEval_SaveThread();
    batch::Stop stop([&saved] {
        PyEval_RestoreThread(saved);
        const bool raised = PyErr_CheckSignals() < 0;
        saved = PyEval_SaveThread();
        return raised;
    });
    std::exception_ptr failure;
    try {
        work(stop);
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (PyErr_Occurred()) return false;
    if (failure) {
        raise_native_failure(failure);
        return false;
    }
    return true;
}

}  // namespace murkplay::python::rl
