// Reading FEN text into a Board. The reader is deliberately loose: it counts nothing and
// ignores what it cannot use; validation then refuses positions the rest of the system
// cannot play from, and says which rule they break.
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
    // How the placement departed from eight ranks of eight squares, which the reader forgives
    // but which explains many a later refusal: the ranks described, and the first rank (0 to
    // 7) that described more than eight squares, so that the file wrapped.
    int ranks_described = 0;
    std::optional<int> overlong_rank;
};

// Why a text was refused: the kind, and the rule in words (for people, not for programs).
struct FenRefusal {
    RulesError kind;
    std::array<char, 200> reason{};

    std::string_view why() const { return reason.data(); }
};

Result<PositionSetup, FenRefusal> read_position_setup(std::string_view fen);
Result<Board, FenRefusal> validate_position(const PositionSetup& setup);
Result<Board, FenRefusal> board_from_fen(std::string_view fen);
Board start_board();

}  // namespace murkplay
