#include "python/rl/arrays.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include "python/errors.hpp"

namespace murkplay::python::rl {

namespace {

struct ElementType {
    const char* dtype;        // numpy's name, for new arrays
    const char* described;    // for messages
    const char* codes;        // struct-module codes that qualify, at this item size
    Py_ssize_t itemsize;
};

constexpr std::array<ElementType, 6> element_types{{
    {"float32", "float32", "f", 4},
    {"bool", "bool, int8 or uint8", "?bB", 1},
    {"int64", "int64", "ql", 8},
    {"int32", "int32", "il", 4},
    {"uint16", "uint16", "H", 2},
    {"int16", "int16", "h", 2},
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
        text += std::to_string(dims[i]);
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

}  // namespace

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
    const Py_buffer& view = out.view_;
    if (!element_matches(view, element)) {
        PyErr_Format(PyExc_TypeError, "%s: expected elements of %s, got %s", name, type_of(element).described,
                     dtype_text(view).c_str());
        return false;
    }
    const std::vector<Py_ssize_t> expected(shape);
    const bool shape_ok = view.ndim == static_cast<int>(expected.size()) &&
                          (at_least ? view.shape[0] >= expected[0] : view.shape[0] == expected[0]) &&
                          std::equal(expected.begin() + 1, expected.end(), view.shape + 1);
    if (!shape_ok) {
        std::string wanted = "shape " + shape_text(expected.data(), static_cast<Py_ssize_t>(expected.size()));
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
    Ref module_name(PyUnicode_FromString("numpy"));
    if (!module_name) return module_name;
    // Already imported, as it almost always is: a dictionary lookup instead of an import.
    Ref numpy(PyImport_GetModule(module_name.get()));
    if (!numpy) {
        if (PyErr_Occurred()) return Ref();
        numpy = Ref(PyImport_ImportModule("numpy"));
        if (!numpy) {
            refuse("numpy is required for arrays the caller does not provide");
            return Ref();
        }
    }
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
    const Py_ssize_t rows = *shape.begin();
    // A longer array serves with its first rows, which are C-contiguous like the whole.
    if (rows_at_least && out.rows() > rows) return Ref(PySequence_GetSlice(given, 0, rows));
    return Ref::new_reference(given);
}

bool read_integers(PyObject* object, const char* name, Py_ssize_t count, std::vector<std::int64_t>& out) {
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
        Ref number(PyNumber_Index(item));
        if (!number) {
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

}  // namespace murkplay::python::rl
