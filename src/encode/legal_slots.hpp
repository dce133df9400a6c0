// The policy slots of the legal moves, the mask of those slots, and the way back from a slot
// to one move. Several legal moves share a slot only when they are promotions of one pawn to
// one piece, a push and captures; the first listed wins, which is the push when it is legal.
#pragma once

#include <cstdint>
#include <optional>

#include "encode/action_index.hpp"
#include "game/movegen.hpp"

namespace murkplay {

// The slot of a move the generator listed; it never lists a promotion to a pawn or a king.
inline int slot_of(Color side_to_move, const BoardMove& move) { return *action_index(side_to_move, move); }

// The position in the list of the first move with this slot.
std::optional<std::size_t> first_with_slot(Color side_to_move, const MoveList& moves, int slot);

// Writes a row of action_count entries: 1 at every listed move's slot, 0 elsewhere.
void write_slot_mask(Color side_to_move, const MoveList& moves, std::uint8_t* mask_row);

}  // namespace murkplay
