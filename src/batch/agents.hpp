// The built-in agents: rules that choose a move from what the mover knows, and nothing else.
// The mover knows its own legal moves, what stands on their destination squares, and what it
// sees now (visible_squares of the side to move); a square it does not see is, to these rules,
// empty, so changing one never changes a choice.
//
//   random    a uniformly random legal move.
//   greedy    the move of greatest gain: capturing the king gains most, then a queen 9, a
//             rook 5, a bishop or a knight 3, a pawn 1 (en passant takes a pawn); any other
//             move gains 0. Among captures of equal gain, the least valuable capturer (pawn 1,
//             knight and bishop 3, rook 5, queen 9, king last); what remains tied is drawn
//             uniformly. When nothing can be taken, every move is tied.
//   cautious  as greedy, but right after the gain it prefers safe moves: those after which no
//             enemy piece the mover sees attacks its king. "Sees" is judged on the known
//             board (the position with every square the mover does not see now emptied) with
//             the move played on it: the enemy pieces standing on squares the mover's pieces
//             then see, their attacks stopping at the pieces of that known board. Capturing
//             the king is always safe.
//
// The draw among tied moves takes the ply's random word: the tied moves, in list order, are
// indexed by pick(word, count).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "rules/board.hpp"
#include "rules/uci.hpp"

namespace murkplay::batch {

enum class Agent : std::uint8_t { Random, Greedy, Cautious };

// How callers name the agents, in the order of the enum.
inline constexpr std::array<std::string_view, 3> agent_names{"random", "greedy", "cautious"};

// By kind, pawn to king, in pawns: what taking the piece gains, and how dear it is as a
// capturer. A king is worth more than everything else together, so taking it beats any other
// capture. The belief search counts material by the same values.
inline constexpr std::array<int, piece_kind_count> piece_value{1, 3, 3, 5, 9, 100};

// The position of the random agent's move among `count` legal moves (count > 0).
std::size_t random_move(std::size_t count, std::uint64_t word);

// The position in `moves` (the side to move's legal moves, in generated order, not empty) of
// the move the agent plays.
std::size_t choose_move(Agent agent, const Board& board, std::span<const BoardMove> moves, std::uint64_t word);

// The part of the board the side to move sees: every piece on a square it does not see removed.
Board known_board(const Board& board);

// Whether the side to move's king stands unattacked by every enemy piece it would see after
// playing `move` on `known` (a known_board). The move must not capture a king.
bool is_safe(const Board& known, const BoardMove& move);

}  // namespace murkplay::batch
