// Method tables store every function as a PyCFunction; the flags beside it tell the
// interpreter the real signature (keywords, fast calls).
#pragma once

#include "python/ref.hpp"

namespace murkplay::python {

template <auto function>
constexpr PyCFunction as_table_entry() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace murkplay::python
