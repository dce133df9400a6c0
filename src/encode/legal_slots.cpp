#include "encode/legal_slots.hpp"

#include <algorithm>

namespace murkplay {

std::optional<std::size_t> first_with_slot(Color side_to_move, const MoveList& moves, int slot) {
    for (std::size_t i = 0; i < moves.size(); ++i) {
        if (slot_of(side_to_move, moves[i]) == slot) return i;
    }
    return std::nullopt;
}

void write_slot_mask(Color side_to_move, const MoveList& moves, std::uint8_t* mask_row) {
    std::fill(mask_row, mask_row + action_count, std::uint8_t{0});
    for (const BoardMove& move : moves) mask_row[slot_of(side_to_move, move)] = 1;
}

}  // namespace murkplay
