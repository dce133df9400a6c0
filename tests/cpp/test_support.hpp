// Small helpers shared by the unit tests: squares and sets written as text, boards from FEN,
// and hand edits of a Board for positions that FEN validation would refuse.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "rules/board.hpp"
#include "rules/fen.hpp"
#include "rules/result.hpp"
#include "rules/uci.hpp"

namespace murkplay::testing {

// Written out here rather than taken from parse_square, so that a fault there cannot hide.
constexpr Square sq(std::string_view name) {
    return static_cast<Square>((name[1] - '1') * 8 + (name[0] - 'a'));
}

inline SquareSet set_of(std::initializer_list<std::string_view> names) {
    SquareSet result = 0;
    for (const std::string_view n : names) result |= SquareSet{1} << sq(n);
    return result;
}

inline std::string square_name(int s) {
    return std::string{static_cast<char>('a' + s % 8), static_cast<char>('1' + s / 8)};
}

// Lists the squares of a set by name, so that a failing comparison reads as chess.
inline std::string names_of(SquareSet set) {
    std::string text = "{";
    for (int s = 0; s < 64; ++s) {
        if ((set >> s) & 1) {
            if (text.size() > 1) text += ' ';
            text += square_name(s);
        }
    }
    return text + "}";
}

inline Board board_of(std::string_view fen) {
    const auto board = board_from_fen(fen);
    EXPECT_TRUE(board.ok()) << "FEN refused: " << fen;
    return board.ok() ? board.value() : Board{};
}

// One check for a refusal and its kind; a failure says what came back instead.
template <typename T, typename E>
::testing::AssertionResult fails_with(const Result<T, E>& result, E expected) {
    if (result.ok()) return ::testing::AssertionFailure() << "accepted";
    if (result.error() != expected) {
        return ::testing::AssertionFailure() << "error " << static_cast<int>(result.error()) << " instead of "
                                             << static_cast<int>(expected);
    }
    return ::testing::AssertionSuccess();
}

// FEN refusals carry their reason besides the kind; the kind is what tests pin down.
template <typename T>
::testing::AssertionResult fails_with(const Result<T, FenRefusal>& result, RulesError expected) {
    if (result.ok()) return ::testing::AssertionFailure() << "accepted";
    if (result.error().kind != expected) {
        return ::testing::AssertionFailure() << "error " << static_cast<int>(result.error().kind) << " instead of "
                                             << static_cast<int>(expected) << " (" << result.error().why() << ")";
    }
    return ::testing::AssertionSuccess();
}

// A text that a reader must refuse, the error kind it must give, and why.
struct RefusedText {
    std::string_view text;
    RulesError error;
    const char* why;
};

inline BoardMove mv(std::string_view from, std::string_view to, PieceKind promotion = PieceKind::None) {
    return BoardMove{sq(from), sq(to), promotion};
}

inline std::string uci_of(const BoardMove& m) {
    static constexpr char letters[] = "pnbrqk";
    std::string text = square_name(m.source) + square_name(m.destination);
    if (m.promotion != PieceKind::None) text += letters[static_cast<int>(m.promotion)];
    return text;
}

inline std::vector<std::string> uci_list(const auto& moves) {
    std::vector<std::string> out;
    for (const BoardMove& m : moves) out.push_back(uci_of(m));
    return out;
}

// Hand edits, for positions no FEN text can produce (for example castling rights without the
// rook in place).
inline void remove_piece(Board& b, Square s) {
    for (auto& set : b.piece_sets) set &= ~(SquareSet{1} << s);
    for (auto& set : b.color_sets) set &= ~(SquareSet{1} << s);
    b.occupied &= ~(SquareSet{1} << s);
}

inline void put_piece(Board& b, Square s, Color c, PieceKind k) {
    remove_piece(b, s);
    b.piece_sets[static_cast<int>(k)] |= SquareSet{1} << s;
    b.color_sets[static_cast<int>(c)] |= SquareSet{1} << s;
    b.occupied |= SquareSet{1} << s;
}

// Which piece stands on a square, read straight from the sets: None when empty.
struct Occupant {
    PieceKind kind = PieceKind::None;
    Color color = Color::White;
    friend bool operator==(const Occupant&, const Occupant&) = default;
};

inline Occupant occupant(const Board& b, Square s) {
    Occupant o;
    if (!((b.occupied >> s) & 1)) return o;
    for (int k = 0; k < 6; ++k) {
        if ((b.piece_sets[k] >> s) & 1) o.kind = static_cast<PieceKind>(k);
    }
    o.color = ((b.color_sets[1] >> s) & 1) ? Color::Black : Color::White;
    return o;
}

inline Occupant piece(Color c, PieceKind k) { return Occupant{k, c}; }
inline Occupant none() { return Occupant{}; }

inline void PrintTo(const Occupant& o, std::ostream* os) {
    static constexpr const char* kinds[] = {"Pawn", "Knight", "Bishop", "Rook", "Queen", "King", "None"};
    if (o.kind == PieceKind::None) {
        *os << "empty";
    } else {
        *os << (o.color == Color::White ? "White " : "Black ") << kinds[static_cast<int>(o.kind)];
    }
}

}  // namespace murkplay::testing
