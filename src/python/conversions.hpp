// Python objects in, plain values out, and back: text from arguments, and the lists,
// strings, move objects and tensors that methods return.
#pragma once

#include <span>
#include <string_view>

#include "game/game.hpp"
#include "game/movegen.hpp"
#include "python/ref.hpp"
#include "rules/uci.hpp"

namespace murkplay::python {

// UTF-8 text borrowed from a str that `owner` keeps alive.
struct Text {
    Ref owner;
    std::string_view bytes;
};

inline constexpr const char* board_refusal = "board must be a python-chess Board or FEN string";
inline constexpr const char* action_refusal = "action must be a python-chess Move or UCI string";

// A str as it is; otherwise the object's `attribute`, called when callable, which must give
// a str. Returns false with the exception set.
bool text_from_argument(PyObject* object, const char* attribute, const char* refusal, Text& out);

// A new game from a position argument: None or nothing (the start position), FEN text, or an
// object whose `fen` gives it. Fails as text_from_argument does with `refusal`, or with
// ValueError(invalid) and a note saying why when the text is no position.
bool game_from_position(PyObject* argument, const char* refusal, const char* invalid, Game& out);

// Imports a package that only some methods need; a failed import becomes ValueError(refusal),
// caused by the import's own error.
Ref import_optional(const char* name, const char* refusal);

Ref make_uci_strings(const MoveList& moves);
// python-chess Move objects, one per move, through chess.Move.from_uci.
Ref make_move_objects(PyObject* from_uci, const MoveList& moves);

// Equal values share one float object within a result.
Ref make_float_list(std::span<const float> values);
// torch.tensor(rows of `width` floats, dtype=torch.float32).
Ref make_tensor(std::span<const float> values, std::size_t width);

}  // namespace murkplay::python
