#include "rules/fen.hpp"

#include <cstdarg>
#include <cstdio>

#include "rules/attacks.hpp"
#include "rules/en_passant.hpp"
#include "rules/uci.hpp"

namespace murkplay {

namespace {

[[gnu::format(printf, 2, 3)]] FenRefusal refusal(RulesError kind, const char* format, ...) {
    FenRefusal refused{kind};
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(refused.reason.data(), refused.reason.size(), format, arguments);
    va_end(arguments);
    return refused;
}

const char* name_of(Color c) { return c == Color::White ? "White" : "Black"; }

std::array<char, 3> name_of(Square s) {
    const auto text = format_square(s);
    return {text[0], text[1], 0};
}

// A byte of the placement that is not part of it, as a reader would want it named.
std::array<char, 40> describe_byte(std::string_view text, std::size_t at) {
    std::array<char, 40> out{};
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte == '\t') {
        std::snprintf(out.data(), out.size(), "a tab");
    } else if (byte < 0x20 || byte == 0x7F) {
        std::snprintf(out.data(), out.size(), "the control character 0x%02X", byte);
    } else if (byte < 0x80) {
        std::snprintf(out.data(), out.size(), "'%c'", byte);
    } else {
        // The whole UTF-8 character: a lead byte and the continuation bytes after it.
        std::size_t end = at + 1;
        while (end < text.size() && end - at < 4 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
        std::snprintf(out.data(), out.size(), "'%.*s'", static_cast<int>(end - at), text.data() + at);
    }
    return out;
}

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

// Nothing is counted: ranks and files wrap, so short, long and missing ranks all read. How
// far the text strays from eight ranks of eight squares is noted for the reasons given later.
std::optional<FenRefusal> read_placement(std::string_view field, PositionSetup& setup) {
    int rank = 7;
    int file = 0;
    int squares_in_rank = 0;
    setup.ranks_described = 1;
    for (std::size_t at = 0; at < field.size(); ++at) {
        const char ch = field[at];
        if (ch == '/') {
            rank = (rank + 7) % 8;
            file = 0;
            squares_in_rank = 0;
            ++setup.ranks_described;
            continue;
        }
        if (ch >= '1' && ch <= '8') {
            file = (file + (ch - '0')) % 8;
            squares_in_rank += ch - '0';
        } else if (const auto entry = piece_for_letter(ch)) {
            setup.squares[make_square(file, rank)] = *entry;
            file = (file + 1) % 8;
            ++squares_in_rank;
        } else {
            return refusal(RulesError::InvalidFen,
                           "the piece placement holds %s, which is neither a piece letter, a digit from 1 to 8 nor '/'",
                           describe_byte(field, at).data());
        }
        if (squares_in_rank > 8 && !setup.overlong_rank) setup.overlong_rank = rank;
    }
    return std::nullopt;
}

CastlingRights rights_from_letters(std::string_view field, char king_letter, char queen_letter) {
    CastlingRights rights = 0;
    if (field.find(king_letter) != std::string_view::npos) rights |= king_side;
    if (field.find(queen_letter) != std::string_view::npos) rights |= queen_side;
    return rights;
}

// Kings do not count here.
bool attacked_by(const Board& b, Square target, Color attacker) {
    return (attackers_of(b, target, attacker, b.occupied) & ~b.piece_sets[index(PieceKind::King)]) != 0;
}

std::optional<FenRefusal> castling_pieces_missing(const Board& b, Color c) {
    const CastlingMove* castle = unbacked_castling_right(b, c);
    if (castle == nullptr) return std::nullopt;
    if (!contains(b.pieces(c, PieceKind::King), castle->king_from)) {
        return refusal(RulesError::InvalidBoard, "%s holds a castling right, but its king is not on %s", name_of(c),
                       name_of(castle->king_from).data());
    }
    return refusal(RulesError::InvalidBoard, "%s's %s castling right needs a %s rook on %s", name_of(c),
                   castle->right == king_side ? "king-side" : "queen-side", name_of(c),
                   name_of(castle->rook_from).data());
}

std::optional<FenRefusal> king_count_wrong(const Board& b, Color c) {
    const int kings = count(b.pieces(c, PieceKind::King));
    if (kings == 1) return std::nullopt;
    if (kings == 0) return refusal(RulesError::InvalidBoard, "there is no %s king", name_of(c));
    return refusal(RulesError::InvalidBoard, "there are %d %s kings, not one", kings, name_of(c));
}

// The first rule the board breaks, if any.
std::optional<FenRefusal> broken_rule(const Board& b) {
    const Color us = b.side_to_move;
    const Color them = opposite(us);
    if (!sets_are_consistent(b)) return refusal(RulesError::InvalidBoard, "the piece sets of the position overlap");
    if (auto wrong = king_count_wrong(b, Color::White)) return wrong;
    if (auto wrong = king_count_wrong(b, Color::Black)) return wrong;
    if (b.en_passant_pawn.present && !contains(b.pieces(them, PieceKind::Pawn), b.en_passant_pawn.square)) {
        return refusal(RulesError::InvalidBoard, "the en-passant field asks for a %s pawn on %s, and there is none",
                       name_of(them), name_of(b.en_passant_pawn.square).data());
    }
    const Square their_king = lowest(b.pieces(them, PieceKind::King));
    if (attacked_by(b, their_king, us)) {
        return refusal(RulesError::InvalidBoard, "%s is not to move, but its king on %s can be captured at once",
                       name_of(them), name_of(their_king).data());
    }
    if (auto missing = castling_pieces_missing(b, Color::White)) return missing;
    if (auto missing = castling_pieces_missing(b, Color::Black)) return missing;
    const Square white_king = lowest(b.pieces(Color::White, PieceKind::King));
    const Square black_king = lowest(b.pieces(Color::Black, PieceKind::King));
    if (king_attacks(white_king) & bit(black_king)) {
        return refusal(RulesError::InvalidBoard, "the kings on %s and %s stand next to each other",
                       name_of(white_king).data(), name_of(black_king).data());
    }
    return std::nullopt;
}

// A placement that strayed from eight ranks of eight squares explains many a broken rule.
void add_placement_hint(FenRefusal& refused, const PositionSetup& setup) {
    const std::size_t used = refused.why().size();
    char* rest = refused.reason.data() + used;
    const std::size_t room = refused.reason.size() - used;
    if (setup.overlong_rank) {
        std::snprintf(rest, room, " (rank %d describes more than eight squares, so later pieces replaced earlier ones)",
                      *setup.overlong_rank + 1);
    } else if (setup.ranks_described != 8) {
        std::snprintf(rest, room, " (the piece placement describes %d ranks, not eight)", setup.ranks_described);
    }
}

}  // namespace

Result<PositionSetup, FenRefusal> read_position_setup(std::string_view fen) {
    FieldReader fields(fen);
    const auto placement = fields.next();
    const auto side = fields.next();
    const auto castling = fields.next();
    const auto en_passant = fields.next();
    if (!en_passant) {
        const int given = !placement ? 0 : !side ? 1 : !castling ? 2 : 3;
        return refusal(RulesError::InvalidFen, "the text has %d field%s, fewer than four (fields are separated by spaces)",
                       given, given == 1 ? "" : "s");
    }

    PositionSetup setup;
    if (auto refused = read_placement(*placement, setup)) return *refused;

    if (*side == "w" || *side == "W") {
        setup.side_to_move = Color::White;
    } else if (*side == "b" || *side == "B") {
        setup.side_to_move = Color::Black;
    } else if (side->empty()) {
        return refusal(RulesError::InvalidFen, "the side-to-move field is empty (two spaces in a row make an empty field)");
    } else {
        return refusal(RulesError::InvalidFen, "the side to move is '%.*s', neither 'w' nor 'b'",
                       static_cast<int>(std::min<std::size_t>(side->size(), 40)), side->data());
    }

    setup.castling = {rights_from_letters(*castling, 'K', 'Q'), rights_from_letters(*castling, 'k', 'q')};

    // Only the file counts; a field that is not a square is ignored.
    if (const auto square = parse_square(*en_passant)) setup.en_passant_file = file_of(*square);
    return setup;
}

Result<Board, FenRefusal> validate_position(const PositionSetup& setup) {
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

    // The chance is kept only when a pawn of the side to move can use it, and only when the
    // square the capturing pawn lands on is empty: move generation relies on both.
    if (setup.en_passant_file) {
        const int file = *setup.en_passant_file;
        const Square candidate = make_square(file, relative_rank(us, 4));
        if (en_passant_usable(b, candidate, us)) b.en_passant_pawn = {true, candidate};
    }
    b.castling = setup.castling;

    if (auto refused = broken_rule(b)) {
        add_placement_hint(*refused, setup);
        return *refused;
    }
    return b;
}

Result<Board, FenRefusal> board_from_fen(std::string_view fen) {
    const auto setup = read_position_setup(fen);
    if (!setup) return setup.error();
    return validate_position(*setup);
}

Board start_board() { return board_from_fen(start_fen).value(); }

}  // namespace murkplay
