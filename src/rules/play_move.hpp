// Making a move: the only way a Board changes after it is built.
#pragma once

#include <optional>

#include "rules/board.hpp"
#include "rules/uci.hpp"

namespace murkplay {

// Moves that would corrupt the Board are refused rather than played.
enum class MoveRefusal : std::uint8_t { EmptySource, NotMoversPiece, OwnPieceOnDestination };

// Whether the source square holds a piece of the side to move.
[[nodiscard]] std::optional<MoveRefusal> source_refusal(const Board& board, const BoardMove& move);

// Plays the move without any legality test, or refuses it and leaves the Board as it was.
// The caller never passes a move onto a king: capturing a king ends the game instead.
[[nodiscard]] std::optional<MoveRefusal> play_move(Board& board, const BoardMove& move);

}  // namespace murkplay
