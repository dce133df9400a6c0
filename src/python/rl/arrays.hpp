// Arrays in and out: the caller's buffers, checked for element type, shape, contiguity and
// writability before anything is computed, and new numpy arrays where the caller gave none.
// Any object with the buffer protocol serves: numpy arrays, torch CPU tensors through
// tensor.numpy(), memoryviews cast to a shape.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "python/ref.hpp"

namespace murkplay::python::rl {

enum class Element : std::uint8_t { Float32, Byte, Int64, Int32, UInt16, Int16, UInt8 };

// Whether the native work writes into an array or only reads it (a read-only array serves).
enum class Use : std::uint8_t { Write, Read };

// The bytes an argument's elements span, under the argument's name: an output that shares
// memory with another argument would be overwritten by it, or corrupt an input midway.
struct Extent {
    std::string name;
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;  // one past the last byte; begin == end spans nothing
};

// Whether no two extents share a byte; otherwise ValueError naming both, and false.
bool check_apart(std::span<const Extent> extents);

// A writable, C-contiguous view held for the length of a call.
class ArrayView {
public:
    ArrayView() = default;
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ~ArrayView() { release(); }

    void release() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }

    template <typename T>
    T* data() const {
        return static_cast<T*>(view_.buf);
    }
    // The number of elements, and of rows (the first dimension).
    Py_ssize_t length() const { return view_.itemsize == 0 ? 0 : view_.len / view_.itemsize; }
    Py_ssize_t rows() const { return view_.ndim == 0 ? 1 : view_.shape[0]; }
    bool held() const { return held_; }
    Extent extent() const;

private:
    friend bool take_view(PyObject*, const char*, Element, std::initializer_list<Py_ssize_t>, bool, ArrayView&, Use);
    Py_buffer view_{};
    bool held_ = false;
    std::string name_;
};

// A view of `object` as a C-contiguous array of `element` (writable for Use::Write) with exactly
// `shape`, or, when `at_least` is set, with at least shape[0] rows and the rest of the shape
// exact; a later dimension given as any_length may be of any length. Otherwise TypeError or
// ValueError naming `name` and what was expected, and false.
bool take_view(PyObject* object, const char* name, Element element, std::initializer_list<Py_ssize_t> shape,
               bool at_least, ArrayView& out, Use use = Use::Write);

inline constexpr Py_ssize_t any_length = -1;

// A new numpy array, and a view of it.
Ref new_array(Element element, std::initializer_list<Py_ssize_t> shape, ArrayView& out);

// The caller's array for one output when it gave one (`given` not null and not None), checked;
// a new numpy array otherwise. Returns the array that holds the output: with `rows_at_least`
// a longer array of the caller's serves too, and a view of its first rows is returned.
Ref output_array(PyObject* given, const char* name, Element element, std::initializer_list<Py_ssize_t> shape,
                 ArrayView& out, bool rows_at_least = false);

// The first `rows` rows of the caller's array `given`, already checked: `given` itself when it
// has no more, else a view of its memory (shared_view), made before anything is written so that
// nothing can fail after the write, and never a copy (a slice of array.array would be one).
Ref first_rows(PyObject* given, const ArrayView& view, Py_ssize_t rows);

// A numpy array over the memory of the caller's array `given`, of its format and shape; where
// numpy cannot be imported, a memoryview of it.
Ref shared_view(PyObject* given);

// `count` integers (any number when count is any_count) from any sequence or one-dimensional
// array of integers; TypeError or ValueError naming `name` otherwise, TypeError for bools.
// When the integers come from a buffer, `extent` (if given) receives where its bytes lie.
inline constexpr Py_ssize_t any_count = -1;
bool read_integers(PyObject* object, const char* name, Py_ssize_t count, std::vector<std::int64_t>& out,
                   Extent* extent = nullptr);

// One integer argument from `low` to `high`; TypeError naming `name` for a bool or anything
// that is no integer, ValueError naming `name` and the range for any other value. An omitted
// argument (null) keeps `out`.
bool read_integer(PyObject* object, const char* name, std::uint64_t low, std::uint64_t high, std::uint64_t& out);

// A flag: True, False or a numpy bool, as murkplay reads them; TypeError naming `name` for
// anything else. An omitted argument (null) keeps `out`.
bool read_flag(PyObject* object, const char* name, bool& out);

}  // namespace murkplay::python::rl
