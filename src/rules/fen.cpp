#include "rules/fen.hpp"

#include "rules/attacks.hpp"
#include "rules/uci.hpp"

namespace murkplay {

namespace {

// Fields are split at every single space: two spaces make an empty field between them.
class FieldReader {
public:
    explicit FieldReader(std::string_view text) : rest_(text) {}

    std::optional<std::string_view> next() {
        if (done_) return std::nullopt;
        const std::size_t space = rest_.find(' ');
        if (space == std::string_view::npos) {
            done_ = true;
            return rest_;
        }
        const std::string_view field = rest_.substr(0, space);
        rest_.remove_prefix(space + 1);
        return field;
    }

private:
    std::string_view rest_;
    bool done_ = false;
};

std::optional<SetupEntry> piece_for_letter(char letter) {
    constexpr std::string_view white_letters = "PNBRQK";
    constexpr std::string_view black_letters = "pnbrqk";
    if (const std::size_t k = white_letters.find(letter); k != std::string_view::npos) {
        return SetupEntry{static_cast<PieceKind>(k), Color::White};
    }
    if (const std::size_t k = black_letters.find(letter); k != std::string_view::npos) {
        return SetupEntry{static_cast<PieceKind>(k), Color::Black};
    }
    return std::nullopt;
}

// Nothing is counted: ranks and files wrap, so short, long and missing ranks all read.
bool read_placement(std::string_view field, PositionSetup& setup) {
    int rank = 7;
    int file = 0;
    for (const char ch : field) {
        if (ch == '/') {
            rank = (rank + 7) % 8;
            file = 0;
        } else if (ch >= '1' && ch <= '8') {
            file = (file + (ch - '0')) % 8;
        } else if (const auto entry = piece_for_letter(ch)) {
            setup.squares[make_square(file, rank)] = *entry;
            file = (file + 1) % 8;
        } else {
            // Any other byte, the first byte of a non-ASCII character included.
            return false;
        }
    }
    return true;
}

CastlingRights rights_from_letters(std::string_view field, char king_letter, char queen_letter) {
    CastlingRights rights = 0;
    if (field.find(king_letter) != std::string_view::npos) rights |= king_side;
    if (field.find(queen_letter) != std::string_view::npos) rights |= queen_side;
    return rights;
}

// Attacks are symmetric: a piece of some kind on x attacks the target exactly when the same
// piece of the other colour on the target attacks x. Kings do not count here.
bool attacked_by(const Board& b, Square target, Color attacker) {
    for (const PieceKind k : {PieceKind::Pawn, PieceKind::Knight, PieceKind::Bishop, PieceKind::Rook, PieceKind::Queen}) {
        if (attacks(k, opposite(attacker), target, b.occupied) & b.pieces(attacker, k)) return true;
    }
    return false;
}

bool castling_pieces_in_place(const Board& b, Color c) {
    for (const CastlingMove& castle : castling_moves_of(c)) {
        if (!(b.castling[index(c)] & castle.right)) continue;
        if (!contains(b.pieces(c, PieceKind::King), castle.king_from)) return false;
        if (!contains(b.pieces(c, PieceKind::Rook), castle.rook_from)) return false;
    }
    return true;
}

}  // namespace

Result<PositionSetup> read_position_setup(std::string_view fen) {
    FieldReader fields(fen);
    const auto placement = fields.next();
    const auto side = fields.next();
    const auto castling = fields.next();
    const auto en_passant = fields.next();
    if (!en_passant) return RulesError::InvalidFen;

    PositionSetup setup;
    if (!read_placement(*placement, setup)) return RulesError::InvalidFen;

    if (*side == "w" || *side == "W") {
        setup.side_to_move = Color::White;
    } else if (*side == "b" || *side == "B") {
        setup.side_to_move = Color::Black;
    } else {
        return RulesError::InvalidFen;
    }

    setup.castling = {rights_from_letters(*castling, 'K', 'Q'), rights_from_letters(*castling, 'k', 'q')};

    // Only the file counts; a field that is not a square is ignored.
    if (const auto square = parse_square(*en_passant)) setup.en_passant_file = file_of(*square);
    return setup;
}

Result<Board> validate_position(const PositionSetup& setup) {
    Board b;
    for (int s = 0; s < 64; ++s) {
        const SetupEntry entry = setup.squares[s];
        if (entry.kind == PieceKind::None) continue;
        b.piece_sets[index(entry.kind)] |= bit(static_cast<Square>(s));
        b.color_sets[index(entry.color)] |= bit(static_cast<Square>(s));
        b.occupied |= bit(static_cast<Square>(s));
    }
    b.side_to_move = setup.side_to_move;
    const Color us = b.side_to_move;
    const Color them = opposite(us);

    // The chance is kept only when a pawn of the side to move can use it, and only when the
    // square the capturing pawn lands on is empty: move generation relies on both.
    if (setup.en_passant_file) {
        const int file = *setup.en_passant_file;
        const int rank = relative_rank(us, 4);
        const Square candidate = make_square(file, rank);
        const Square target = static_cast<Square>(candidate + pawn_push(us));
        const bool usable = (b.pieces(us, PieceKind::Pawn) & rank_mask(rank) & adjacent_files(file)) != 0;
        if (usable && !contains(b.occupied, target)) b.en_passant_pawn = {true, candidate};
    }
    b.castling = setup.castling;

    if (!sets_are_consistent(b)) return RulesError::InvalidBoard;
    const SquareSet white_king = b.pieces(Color::White, PieceKind::King);
    const SquareSet black_king = b.pieces(Color::Black, PieceKind::King);
    if (count(white_king) != 1 || count(black_king) != 1) return RulesError::InvalidBoard;
    if (b.en_passant_pawn.present && !contains(b.pieces(them, PieceKind::Pawn), b.en_passant_pawn.square)) {
        return RulesError::InvalidBoard;
    }
    if (attacked_by(b, lowest(b.pieces(them, PieceKind::King)), us)) return RulesError::InvalidBoard;
    if (!castling_pieces_in_place(b, Color::White) || !castling_pieces_in_place(b, Color::Black)) {
        return RulesError::InvalidBoard;
    }
    if (king_attacks(lowest(white_king)) & black_king) return RulesError::InvalidBoard;
    return b;
}

Result<Board> board_from_fen(std::string_view fen) {
    const Result<PositionSetup> setup = read_position_setup(fen);
    if (!setup) return setup.error();
    return validate_position(*setup);
}

Board start_board() { return board_from_fen(start_fen).value(); }

}  // namespace murkplay
