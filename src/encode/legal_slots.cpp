#include "encode/legal_slots.hpp"

namespace murkplay {

std::optional<std::size_t> first_with_slot(Color side_to_move, const MoveList& moves, int slot) {
    for (std::size_t i = 0; i < moves.size(); ++i) {
        if (slot_of(side_to_move, moves[i]) == slot) return i;
    }
    return std::nullopt;
}

void mark_slots(Color side_to_move, const MoveList& moves, std::uint8_t* mask_row) {
    for (const BoardMove& move : moves) mask_row[slot_of(side_to_move, move)] = 1;
}

}  // namespace murkplay
