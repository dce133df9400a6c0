// The fast paths for one SelfPlayGame at a time, for tree search that evaluates one position
// after another: its observation into the caller's buffer, its legal moves as arrays, a move
// by slot, and move codes as text. Also the function pickle calls to rebuild a game.
#pragma once

#include "python/rl/records.hpp"

namespace murkplay::python::rl {

extern PyMethodDef single_game_functions[];
extern const RecordSpec legal_moves_spec;
extern const RecordSpec codes_spec;

}  // namespace murkplay::python::rl
