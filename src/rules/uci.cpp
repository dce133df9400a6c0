#include "rules/uci.hpp"

namespace murkplay {

namespace {

// A UTF-8 continuation byte cannot start a character, so a square may not begin there.
constexpr bool starts_character(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; }

}  // namespace

Result<Square> parse_square(std::string_view text) {
    if (text.size() < 2) return RulesError::InvalidSquare;
    const char file = text[0];
    const char rank = text[1];
    if (file < 'a' || file > 'h' || rank < '1' || rank > '8') return RulesError::InvalidSquare;
    return make_square(file - 'a', rank - '1');
}

Result<BoardMove> parse_uci_move(std::string_view text) {
    const std::size_t length = text.size();
    if (length < 2) return RulesError::InvalidUciMove;
    if (length > 2 && !starts_character(text[2])) return RulesError::InvalidUciMove;
    const Result<Square> source = parse_square(text.substr(0, 2));
    if (!source) return source.error();
    if (length < 4) return RulesError::InvalidUciMove;
    if (length > 4 && !starts_character(text[4])) return RulesError::InvalidUciMove;
    const Result<Square> destination = parse_square(text.substr(2, 2));
    if (!destination) return destination.error();

    BoardMove move{*source, *destination, PieceKind::None};
    // Longer texts are cut after the fourth byte; only a lone fifth byte is a promotion.
    if (length == 5) {
        switch (text[4]) {
            case 'q': move.promotion = PieceKind::Queen; break;
            case 'r': move.promotion = PieceKind::Rook; break;
            case 'b': move.promotion = PieceKind::Bishop; break;
            case 'n': move.promotion = PieceKind::Knight; break;
            default: return RulesError::InvalidUciMove;
        }
    }
    return move;
}

}  // namespace murkplay
