// Reading FEN text into a Board. The reader is deliberately loose: it counts nothing and
// ignores what it cannot use; validation then refuses positions the rest of the system
// cannot play from.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "rules/board.hpp"
#include "rules/result.hpp"

namespace murkplay {

inline constexpr std::string_view start_fen = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

struct SetupEntry {
    PieceKind kind = PieceKind::None;  // None: an empty square
    Color color = Color::White;
};

// What the text says, before any rule is checked.
struct PositionSetup {
    Color side_to_move = Color::White;
    std::array<SetupEntry, 64> squares{};
    std::array<CastlingRights, 2> castling{};
    std::optional<int> en_passant_file;
};

Result<PositionSetup> read_position_setup(std::string_view fen);
Result<Board> validate_position(const PositionSetup& setup);
Result<Board> board_from_fen(std::string_view fen);
Board start_board();

}  // namespace murkplay
