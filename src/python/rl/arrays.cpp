#include "python/rl/arrays.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include "python/arguments.hpp"
#include "python/errors.hpp"

namespace murkplay::python::rl {

namespace {

struct ElementType {
    const char* dtype;        // numpy's name, for new arrays
    const char* described;    // for messages
    const char* codes;        // struct-module codes that qualify, at this item size
    Py_ssize_t itemsize;
};

constexpr std::array<ElementType, 7> element_types{{
    {"float32", "float32", "f", 4},
    {"bool", "bool, int8 or uint8", "?bB", 1},
    {"int64", "int64", "ql", 8},
    {"int32", "int32", "il", 4},
    {"uint16", "uint16", "H", 2},
    {"int16", "int16", "h", 2},
    {"uint8", "uint8", "B", 1},
}};

const ElementType& type_of(Element element) { return element_types[static_cast<int>(element)]; }

// The struct-module code of a buffer's element, without a byte-order prefix that means this
// machine's order; 0 for anything else (big-endian data, records, multi-character formats).
char element_code(const Py_buffer& view) {
    const char* format = view.format == nullptr ? "B" : view.format;
    if (*format == '@' || *format == '=' || (*format == '<' && std::endian::native == std::endian::little)) {
        ++format;
    }
    return std::strlen(format) == 1 ? format[0] : 0;
}

bool element_matches(const Py_buffer& view, Element element) {
    const ElementType& type = type_of(element);
    const char code = element_code(view);
    return code != 0 && view.itemsize == type.itemsize && std::strchr(type.codes, code) != nullptr;
}

std::string shape_text(const Py_ssize_t* dims, Py_ssize_t ndim) {
    std::string text = "(";
    for (Py_ssize_t i = 0; i < ndim; ++i) {
        if (i > 0) text += ", ";
        text += dims[i] == any_length ? "any length" : std::to_string(dims[i]);
    }
    return text + (ndim == 1 ? ",)" : ")");
}

// A buffer's element as numpy would name it, or its raw format when numpy has no name for it.
std::string dtype_text(const Py_buffer& view) {
    struct Named {
        char code;
        Py_ssize_t itemsize;
        const char* name;
    };
    static constexpr Named names[] = {
        {'?', 1, "bool"},   {'b', 1, "int8"},   {'B', 1, "uint8"},   {'h', 2, "int16"},  {'H', 2, "uint16"},
        {'i', 4, "int32"},  {'I', 4, "uint32"}, {'l', 4, "int32"},   {'L', 4, "uint32"}, {'l', 8, "int64"},
        {'L', 8, "uint64"}, {'q', 8, "int64"},  {'Q', 8, "uint64"},  {'e', 2, "float16"}, {'f', 4, "float32"},
        {'d', 8, "float64"},
    };
    const char code = element_code(view);
    for (const Named& named : names) {
        if (named.code == code && named.itemsize == view.itemsize) return named.name;
    }
    return std::string("format '") + (view.format == nullptr ? "B" : view.format) + "'";
}

// numpy, or a null reference with no error set where it is not installed (an error where it
// is but fails to import). That it is not installed is remembered: a batch stepped into plain
// buffers would otherwise search the whole import path on every step, on every thread at once.
Ref numpy_if_installed() {
    static std::atomic<bool> missing{false};
    if (missing.load(std::memory_order_relaxed)) return Ref();
    Ref module_name(PyUnicode_FromString("numpy"));
    if (!module_name) return module_name;
    // Already imported, as it almost always is: a dictionary lookup instead of an import.
    Ref numpy(PyImport_GetModule(module_name.get()));
    if ((numpy && numpy.get() != Py_None) || PyErr_Occurred()) return numpy;
    // None in sys.modules blocks the import, which then raises ModuleNotFoundError.
    numpy = Ref(PyImport_ImportModule("numpy"));
    if (!numpy && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        missing.store(true, std::memory_order_relaxed);
    }
    return numpy;
}

Ref numpy_module() {
    Ref numpy = numpy_if_installed();
    if (!numpy) refuse("numpy is required for arrays the caller does not provide");
    return numpy;
}

// The bytes a one-dimensional buffer's elements span, whatever the sign of its stride.
Extent extent_of(const Py_buffer& view, const char* name) {
    const auto base = reinterpret_cast<std::uintptr_t>(view.buf);
    const Py_ssize_t count = view.shape[0];
    if (count == 0 || view.itemsize == 0) return {name, base, base};
    const Py_ssize_t reach = (count - 1) * view.strides[0];
    const auto low = static_cast<std::uintptr_t>(static_cast<std::intptr_t>(base) + std::min<Py_ssize_t>(reach, 0));
    const auto high = static_cast<std::uintptr_t>(static_cast<std::intptr_t>(base) + std::max<Py_ssize_t>(reach, 0));
    return {name, low, high + static_cast<std::uintptr_t>(view.itemsize)};
}

bool is_bool(PyObject* object) { return PyBool_Check(object) || is_numpy_bool(Py_TYPE(object)); }

}  // namespace

Extent ArrayView::extent() const {
    const auto begin = reinterpret_cast<std::uintptr_t>(view_.buf);
    return {name_, begin, begin + static_cast<std::uintptr_t>(held_ ? view_.len : 0)};
}

bool check_apart(std::span<const Extent> extents) {
    for (std::size_t a = 0; a < extents.size(); ++a) {
        for (std::size_t b = a + 1; b < extents.size(); ++b) {
            const Extent& one = extents[a];
            const Extent& other = extents[b];
            if (one.begin < one.end && other.begin < other.end && one.begin < other.end && other.begin < one.end) {
                PyErr_Format(PyExc_ValueError, "%s and %s share memory; each output needs memory of its own",
                             one.name.c_str(), other.name.c_str());
                return false;
            }
        }
    }
    return true;
}

bool take_view(PyObject* object, const char* name, Element element, std::initializer_list<Py_ssize_t> shape,
               bool at_least, ArrayView& out, Use use) {
    if (PyObject_GetBuffer(object, &out.view_, PyBUF_RECORDS_RO) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_BufferError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s: expected %s array of %s (a numpy array, or tensor.numpy()), got '%s'",
                     name, use == Use::Write ? "a writable" : "an", type_of(element).described, Py_TYPE(object)->tp_name);
        return false;
    }
    out.held_ = true;
    out.name_ = name;
    const Py_buffer& view = out.view_;
    if (!element_matches(view, element)) {
        PyErr_Format(PyExc_TypeError, "%s: expected elements of %s, got %s", name, type_of(element).described,
                     dtype_text(view).c_str());
        return false;
    }
    // The list's own storage: no copy on a path every output of every call takes.
    const Py_ssize_t* expected = shape.begin();
    const auto dims = static_cast<Py_ssize_t>(shape.size());
    const bool shape_ok = view.ndim == dims &&
                          (at_least ? view.shape[0] >= expected[0] : view.shape[0] == expected[0]) &&
                          std::equal(expected + 1, expected + dims, view.shape + 1,
                                     [](Py_ssize_t want, Py_ssize_t got) { return want == any_length || want == got; });
    if (!shape_ok) {
        std::string wanted = "shape " + shape_text(expected, dims);
        if (at_least) {
            // The first dimension is a least length: "(3 or more, 64, 35)", or "(any length,)".
            const std::string first = std::to_string(expected[0]);
            wanted.replace(wanted.find(first), first.size(), expected[0] > 0 ? first + " or more" : "any length");
        }
        const std::string given = view.shape == nullptr ? "(unknown)" : shape_text(view.shape, view.ndim);
        PyErr_Format(PyExc_ValueError, "%s: expected %s, got %s", name, wanted.c_str(), given.c_str());
        return false;
    }
    if (use == Use::Write && view.readonly) {
        PyErr_Format(PyExc_ValueError, "%s: the array is read-only", name);
        return false;
    }
    if (!PyBuffer_IsContiguous(&view, 'C')) {
        PyErr_Format(PyExc_ValueError, "%s: the array must be C-contiguous", name);
        return false;
    }
    return true;
}

Ref new_array(Element element, std::initializer_list<Py_ssize_t> shape, ArrayView& out) {
    Ref numpy = numpy_module();
    if (!numpy) return numpy;
    Ref dims(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!dims) return dims;
    Py_ssize_t at = 0;
    for (const Py_ssize_t dim : shape) {
        PyObject* number = PyLong_FromSsize_t(dim);
        if (number == nullptr) return Ref();
        PyTuple_SET_ITEM(dims.get(), at++, number);
    }
    Ref array(PyObject_CallMethod(numpy.get(), "empty", "Os", dims.get(), type_of(element).dtype));
    if (!array || !take_view(array.get(), "a new array", element, shape, false, out)) return Ref();
    return array;
}

Ref output_array(PyObject* given, const char* name, Element element, std::initializer_list<Py_ssize_t> shape,
                 ArrayView& out, bool rows_at_least) {
    if (given == nullptr || given == Py_None) return new_array(element, shape, out);
    if (!take_view(given, name, element, shape, rows_at_least, out)) return Ref();
    return first_rows(given, out, *shape.begin());
}

Ref first_rows(PyObject* given, const ArrayView& view, Py_ssize_t rows) {
    if (view.rows() == rows) return Ref::new_reference(given);
    // A longer array serves with its first rows, which are C-contiguous like the whole.
    Ref whole = shared_view(given);
    if (!whole) return whole;
    return Ref(PySequence_GetSlice(whole.get(), 0, rows));
}

Ref shared_view(PyObject* given) {
    // Through a memoryview numpy can only share the memory, never copy it.
    Ref memory(PyMemoryView_FromObject(given));
    if (!memory) return memory;
    Ref numpy = numpy_if_installed();
    // Without numpy the memoryview itself is the view: it slices without copying too.
    if (!numpy) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_ImportError)) return numpy;
        PyErr_Clear();
        return memory;
    }
    return Ref(PyObject_CallMethod(numpy.get(), "asarray", "O", memory.get()));
}

bool read_integers(PyObject* object, const char* name, Py_ssize_t count, std::vector<std::int64_t>& out,
                   Extent* extent) {
    Py_buffer view{};
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) == 0) {
        const char code = element_code(view);
        const bool integral = code != 0 && std::strchr("bBhHiIlLqQ", code) != nullptr;
        std::string problem;
        PyObject* kind = PyExc_TypeError;
        if (!integral) {
            problem = "expected integers, got " + dtype_text(view);
        } else if (view.ndim != 1 || (count != any_count && view.shape[0] != count)) {
            const std::string wanted = count == any_count ? "one dimension" : "shape (" + std::to_string(count) + ",), one value per game";
            problem = "expected " + wanted + ", got " +
                      (view.shape == nullptr ? std::string("(unknown)") : shape_text(view.shape, view.ndim));
            kind = PyExc_ValueError;
        }
        if (problem.empty()) {
            if (extent != nullptr) *extent = extent_of(view, name);
            count = view.shape[0];
            out.resize(static_cast<std::size_t>(count));
            const bool is_signed = std::strchr("bhilq", code) != nullptr;
            for (Py_ssize_t i = 0; i < count; ++i) {
                const auto* item = static_cast<const unsigned char*>(view.buf) + i * view.strides[0];
                std::uint64_t raw = 0;
                std::memcpy(&raw, item, static_cast<std::size_t>(view.itemsize));
                const int unused = 64 - 8 * static_cast<int>(view.itemsize);
                // Narrow signed values are sign-extended; unsigned ones beyond int64 saturate, as
                // out of range as they were.
                constexpr auto largest = std::numeric_limits<std::int64_t>::max();
                const std::int64_t value = is_signed ? static_cast<std::int64_t>(raw << unused) >> unused
                                           : raw > static_cast<std::uint64_t>(largest) ? largest
                                                                                        : static_cast<std::int64_t>(raw);
                out[static_cast<std::size_t>(i)] = value;
            }
        }
        PyBuffer_Release(&view);
        if (problem.empty()) return true;
        PyErr_Format(kind, "%s: %s", name, problem.c_str());
        return false;
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_BufferError)) return false;
    PyErr_Clear();
    Ref items(PySequence_Fast(object, name));
    if (!items) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s: expected a sequence or array of integers, got '%s'", name,
                     Py_TYPE(object)->tp_name);
        return false;
    }
    if (count != any_count && PySequence_Fast_GET_SIZE(items.get()) != count) {
        PyErr_Format(PyExc_ValueError, "%s: expected %zd values, one per game, got %zd", name, count,
                     PySequence_Fast_GET_SIZE(items.get()));
        return false;
    }
    count = PySequence_Fast_GET_SIZE(items.get());
    out.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        Ref number(is_bool(item) ? nullptr : PyNumber_Index(item));
        if (!number) {
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_TypeError);
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "%s[%zd]: expected an integer, got '%s'", name, i, Py_TYPE(item)->tp_name);
            }
            return false;
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        constexpr auto largest = std::numeric_limits<std::int64_t>::max();
        out[static_cast<std::size_t>(i)] = overflow > 0 ? largest : overflow < 0 ? -largest - 1 : value;
    }
    return true;
}

bool read_integer(PyObject* object, const char* name, std::uint64_t low, std::uint64_t high, std::uint64_t& out) {
    if (object == nullptr) return true;
    Ref number(is_bool(object) ? nullptr : PyNumber_Index(object));
    if (!number) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be an integer, not '%s'", name, Py_TYPE(object)->tp_name);
        return false;
    }
    // Negative values and values beyond 64 bits fail the conversion: out of range either way.
    const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    const bool converted = !(value == static_cast<unsigned long long>(-1) && PyErr_Occurred());
    if (!converted) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    }
    if (!converted || value < low || value > high) {
        PyErr_Format(PyExc_ValueError, "%s must be from %llu to %llu, not %S", name,
                     static_cast<unsigned long long>(low), static_cast<unsigned long long>(high), number.get());
        return false;
    }
    out = value;
    return true;
}

bool read_flag(PyObject* object, const char* name, bool& out) {
    if (object == nullptr) return true;
    const int value = convert_bool(object);
    if (value < 0) {
        prefix_type_error(name);
        return false;
    }
    out = value != 0;
    return true;
}

}  // namespace murkplay::python::rl
