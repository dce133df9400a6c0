// The borrow counter that guards each game: many readers or one writer, never waiting.
// A conflicting call fails at once, whether it comes from another thread or re-enters
// from Python code the game itself is running.
#pragma once

#include <atomic>
#include <cstdint>

#include "python/ref.hpp"

namespace murkplay::python {

enum class Access { Shared, Exclusive };

// 0: free; n > 0: n readers; -1: one writer.
using BorrowCounter = std::atomic<std::int64_t>;

class BorrowGuard {
public:
    BorrowGuard(BorrowCounter& counter, Access access) : counter_(counter), access_(access) {
        held_ = access == Access::Shared ? take_shared() : take_exclusive();
    }
    ~BorrowGuard() {
        if (!held_) return;
        if (access_ == Access::Shared) {
            counter_.fetch_sub(1, std::memory_order_seq_cst);
        } else {
            counter_.store(0, std::memory_order_seq_cst);
        }
    }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;

    // False when refused; the RuntimeError is then set.
    explicit operator bool() const { return held_; }

private:
    bool take_shared() {
        std::int64_t current = counter_.load(std::memory_order_seq_cst);
        do {
            if (current == -1) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return false;
            }
        } while (!counter_.compare_exchange_weak(current, current + 1, std::memory_order_seq_cst));
        return true;
    }
    bool take_exclusive() {
        std::int64_t expected = 0;
        if (counter_.compare_exchange_strong(expected, -1, std::memory_order_seq_cst)) return true;
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
    }

    BorrowCounter& counter_;
    Access access_;
    bool held_;
};

// Runs body(value) under a borrow of `counter` of the given kind; a refused borrow raises
// instead. Every object that guards a value with a counter lends it through this.
template <Access access, typename T, typename Body>
PyObject* with_borrowed(BorrowCounter& counter, T& value, Body&& body) {
    const BorrowGuard guard(counter, access);
    if (!guard) return nullptr;
    return body(value);
}

}  // namespace murkplay::python
