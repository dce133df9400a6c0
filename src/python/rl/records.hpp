// Results as named tuples, which Python users know from the standard library: fields by name
// or position, _fields, _replace and _asdict. A Step from one call can be handed to the next
// as `out` with some arrays replaced.
#pragma once

#include <span>

#include "python/ref.hpp"

namespace murkplay::python::rl {

struct RecordField {
    const char* name;
    const char* doc;
};

struct RecordSpec {
    const char* name;
    const char* doc;
    std::span<const RecordField> fields;
    // How many of the last fields default to None, so that records built by position before
    // those fields existed still build.
    std::size_t defaulted = 0;
};

// A new named tuple class in the module murkplay_rl, or null with an exception set.
PyObject* make_record_type(const RecordSpec& spec);

// The arrays an `out` argument offers for the fields of a record: its attributes of those
// names (a record of the same kind serves, `type` when given). Missing ones stay empty.
bool offered_arrays(PyObject* out, std::span<const RecordField> fields, std::span<Ref> given,
                    PyObject* type = nullptr);

// An instance holding `items` (one per field, in order); empty on failure.
Ref make_record(PyObject* type, std::span<Ref> items);

}  // namespace murkplay::python::rl
