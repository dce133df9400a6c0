#include "python/conversions.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "python/errors.hpp"
#include "rules/fen.hpp"

namespace murkplay::python {

namespace {

// The UTF-8 text of a str, kept alive by `owner`; on failure the UnicodeEncodeError (or a
// MemoryError) is pending.
bool utf8_of(Ref owner, Text& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(owner.get(), &size);
    if (data == nullptr) return false;
    out = Text{std::move(owner), std::string_view(data, static_cast<std::size_t>(size))};
    return true;
}

// Float objects keyed by the bits of their value: an observation holds few distinct values
// (ages, material, and mostly zeros and ones, which skip the hashing).
class FloatPool {
public:
    PyObject* get(float value) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
        if (bits == zero_bits) return cached(zero_, value);
        if (bits == one_bits) return cached(one_, value);
        std::size_t slot = (bits * 0x9E3779B1u) >> (32 - slot_bits);
        for (;; slot = (slot + 1) & (slots - 1)) {
            Entry& entry = entries_[slot];
            if (!entry.object) {
                if (used_ == slots - 1) return nullptr;  // more distinct values than any result holds
                ++used_;
                entry.bits = bits;
                return cached(entry.object, value);
            }
            if (entry.bits == bits) return entry.object.get();
        }
    }

private:
    static constexpr std::uint32_t zero_bits = 0;
    static constexpr std::uint32_t one_bits = 0x3F800000;
    static constexpr int slot_bits = 8;
    static constexpr std::size_t slots = std::size_t{1} << slot_bits;

    static PyObject* cached(Ref& slot, float value) {
        if (!slot) slot = Ref(PyFloat_FromDouble(static_cast<double>(value)));
        return slot.get();
    }

    struct Entry {
        std::uint32_t bits = 0;
        Ref object;
    };
    Ref zero_;
    Ref one_;
    std::array<Entry, slots> entries_;
    std::size_t used_ = 0;
};

// A list of floats, sharing equal values through the pool.
Ref float_row(FloatPool& pool, std::span<const float> values) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return Ref(internal_failure("could not create a list of floats"));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = pool.get(values[i]);
        if (item == nullptr) return Ref(internal_failure("could not create a float"));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(item));
    }
    return list;
}

Ref make_uci_string(const BoardMove& move) {
    const UciText text = format_uci_move(move);
    Ref string(PyUnicode_New(text.length, 127));
    if (!string) return Ref(internal_failure("could not create a str"));
    std::memcpy(PyUnicode_1BYTE_DATA(string.get()), text.chars.data(), text.length);
    return string;
}

}  // namespace

bool text_from_argument(PyObject* object, const char* attribute, const char* refusal, Text& out) {
    // A str that cannot be encoded counts as no text at all; why it cannot is the cause given
    // if the attribute does not help either.
    Ref not_encodable;
    if (PyUnicode_Check(object)) {
        if (utf8_of(Ref::new_reference(object), out)) return true;
        not_encodable = take_exception();
        if (!is_about_input(not_encodable.get())) {
            restore_exception(std::move(not_encodable));
            return false;
        }
    }
    Ref value(PyObject_GetAttrString(object, attribute));
    if (!value) {
        if (not_encodable && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            restore_exception(std::move(not_encodable));
        }
        refuse(refusal);
        return false;
    }
    if (!PyCallable_Check(value.get())) {
        if (PyUnicode_Check(value.get()) && utf8_of(std::move(value), out)) return true;
        refuse(refusal);
        return false;
    }
    Ref result(PyObject_CallNoArgs(value.get()));
    if (!result) return false;
    if (!PyUnicode_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'str'", Py_TYPE(result.get())->tp_name);
        return false;
    }
    return utf8_of(std::move(result), out);
}

bool game_from_position(PyObject* argument, const char* refusal, const char* invalid, Game& out) {
    Text fen;
    if (argument == nullptr || argument == Py_None) {
        fen.bytes = start_fen;
    } else if (!text_from_argument(argument, "fen", refusal, fen)) {
        return false;
    }
    const auto board = board_from_fen(fen.bytes);
    if (!board) {
        refuse_with_note(invalid, board.error().why());
        return false;
    }
    out = new_game(*board);
    return true;
}

Ref import_optional(const char* name, const char* refusal) {
    Ref module(PyImport_ImportModule(name));
    if (!module) refuse(refusal);
    return module;
}

Ref make_uci_strings(const MoveList& moves) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(moves.size())));
    if (!list) return Ref(internal_failure("could not create a list"));
    for (std::size_t i = 0; i < moves.size(); ++i) {
        Ref text = make_uci_string(moves[i]);
        if (!text) return text;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text.release());
    }
    return list;
}

Ref make_move_objects(PyObject* from_uci, const MoveList& moves) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(moves.size())));
    if (!list) return Ref(internal_failure("could not create a list"));
    for (std::size_t i = 0; i < moves.size(); ++i) {
        Ref text = make_uci_string(moves[i]);
        if (!text) return text;
        Ref move(PyObject_CallOneArg(from_uci, text.get()));
        if (!move) return move;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), move.release());
    }
    return list;
}

Ref make_float_list(std::span<const float> values) {
    FloatPool pool;
    return float_row(pool, values);
}

Ref make_tensor(std::span<const float> values, std::size_t width) {
    Ref torch = import_optional("torch", "torch is required for encode()");
    if (!torch) return torch;
    Ref tensor(PyObject_GetAttrString(torch.get(), "tensor"));
    if (!tensor) return tensor;
    Ref keywords(PyDict_New());
    if (!keywords) return Ref(internal_failure("could not create a dict"));
    Ref float32(PyObject_GetAttrString(torch.get(), "float32"));
    if (!float32 || PyDict_SetItemString(keywords.get(), "dtype", float32.get()) < 0) return Ref();

    const std::size_t row_count = (values.size() + width - 1) / width;
    Ref rows(PyList_New(static_cast<Py_ssize_t>(row_count)));
    if (!rows) return Ref(internal_failure("could not create a list"));
    FloatPool pool;
    for (std::size_t r = 0; r < row_count; ++r) {
        Ref row = float_row(pool, values.subspan(r * width, std::min(width, values.size() - r * width)));
        if (!row) return row;
        PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(r), row.release());
    }
    Ref arguments(PyTuple_Pack(1, rows.get()));
    if (!arguments) return Ref(internal_failure("could not create a tuple"));
    return Ref(PyObject_Call(tensor.get(), arguments.get(), keywords.get()));
}

}  // namespace murkplay::python
