// Sequences of moves from a position: the input picks a position (one of a few built in,
// or FEN text taken from the input) and then, move by move, either an entry of the
// generated list or a hand-made move (a source square, any destination, maybe a promotion
// letter). Each move goes through play_move and apply_move; the result is compared with
// a square-by-square restatement of the move rules, the Board invariants are checked
// after every step, and move generation, the fog memory and both observations are run
// and checked on every position reached.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "checks.hpp"
#include "game/apply.hpp"
#include "game/fog_memory.hpp"
#include "rules/fen.hpp"
#include "rules/play_move.hpp"

namespace {

using namespace fuzzcheck;

// Positions that reach castling, en passant, promotion and crowded boards quickly.
constexpr std::string_view positions[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
    "4k3/8/8/3Pp3/8/8/8/4K3 w - e6 0 1",
    "4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1",
    "4k3/1P4P1/8/8/8/8/1p4p1/4K3 w - - 0 1",
    "4k3/PPPPPPPP/8/8/8/7K/pppppppp/8 b - - 0 1",
    "k1QQQQQQ/2QQQQQQ/QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/QQQQQQQK b - - 0 1",
    "rnbqrbnr/PPPPPPPP/8/8/8/8/8/k3K3 w - - 0 1",
    "k7/8/8/8/8/8/8/7K w - - 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 1",
};

// The move rules restated on a square array; nullopt where the restatement stops short
// (see below), so the comparison is skipped.
struct Position {
    Cells cells{};
    int side = 0;
    std::array<int, 2> castling{};
    int en_passant = -1;
};

Position position_of(const Board& b) {
    Position p;
    p.cells = cells_of(b);
    p.side = static_cast<int>(b.side_to_move);
    p.castling = {b.castling[0], b.castling[1]};
    p.en_passant = b.en_passant_pawn.present ? b.en_passant_pawn.square : -1;
    return p;
}

bool same(const Position& p, const Board& b) {
    const Position q = position_of(b);
    return p.cells == q.cells && p.side == q.side && p.castling == q.castling && p.en_passant == q.en_passant;
}

int rights_lost(int color, int q) {
    const int back = color == 0 ? 0 : 56;
    if (q == back) return 2;
    if (q == back + 4) return 3;
    if (q == back + 7) return 1;
    return 0;
}

// For a move of the mover's piece onto an empty or enemy non-king square. Two kinds of
// move are left out because the rules as written read them differently from a legal
// move: a king moving between two castling squares other than from its home square to
// the c- or g-file (or castling with its rook missing or the rook's square taken), and a
// pawn going between the two-step ranks other than straight ahead from its start rank.
std::optional<Position> play_model(Position p, const BoardMove& m) {
    const int c = p.side;
    const int o = 1 - c;
    const int s = m.source;
    const int d = m.destination;
    const int k = p.cells[s].kind;
    const int back = c == 0 ? 0 : 56;
    const int forward = c == 0 ? 8 : -8;
    const int ep_before = p.en_passant;
    p.en_passant = -1;
    p.cells[d] = Cell{k, c};
    p.cells[s] = Cell{};
    p.castling[o] &= ~rights_lost(o, d);
    p.castling[c] &= ~rights_lost(c, s);
    auto castling_square = [](int q) { return (q == 2 || q == 4 || q == 6 || q == 58 || q == 60 || q == 62); };
    if (k == 5 && castling_square(s) && castling_square(d)) {
        const bool home_to_wing = s == back + 4 && (d == back + 2 || d == back + 6);
        if (!home_to_wing) return std::nullopt;
        const int rook_from = d == back + 6 ? back + 7 : back;
        const int rook_to = d == back + 6 ? back + 5 : back + 3;
        if (!(p.cells[rook_from] == Cell{3, c}) || p.cells[rook_to].kind >= 0) return std::nullopt;
        p.cells[rook_to] = p.cells[rook_from];
        p.cells[rook_from] = Cell{};
    } else if (k == 0 && m.promotion != PieceKind::None) {
        p.cells[d].kind = static_cast<int>(m.promotion);
    } else if (k == 0) {
        const bool two_step_ranks = (rank_at(s) == 1 || rank_at(s) == 6) && (rank_at(d) == 3 || rank_at(d) == 4);
        const bool straight_two = rank_at(s) == (c == 0 ? 1 : 6) && d == s + 2 * forward;
        if (two_step_ranks && !straight_two) return std::nullopt;
        // The chance is recorded only when an enemy pawn beside it can use it and the
        // square passed over is free to land on.
        if (straight_two) {
            for (const int df : {-1, 1}) {
                const int f = file_at(d) + df;
                const bool beside = f >= 0 && f <= 7 && p.cells[rank_at(d) * 8 + f] == Cell{0, o};
                if (beside && p.cells[s + forward].kind < 0) p.en_passant = d;
            }
        } else if (ep_before >= 0 && ep_before + forward == d) {
            p.cells[ep_before] = Cell{};
        }
    }
    p.side = o;
    return p;
}

void check_position(const Game& g) {
    check_board(g.board);
    check_memory(g);
    check_observation(g, false);
    check_observation(g, true);
    require(g.captured_king <= 2, "captured_king out of range");
}

PieceKind promotion_from(std::uint8_t code) {
    constexpr PieceKind kinds[] = {PieceKind::None, PieceKind::Knight, PieceKind::Bishop, PieceKind::Rook,
                                   PieceKind::Queen};
    return kinds[code % 5];
}

Square nth_square(SquareSet set, std::uint8_t n) {
    const int skip = n % count(set);
    for (int i = 0; i < skip; ++i) set &= set - 1;
    return lowest(set);
}

void step(Game& game, const BoardMove& move, bool from_list) {
    const Board before = game.board;
    const Game game_before = game;
    const Cells cells = cells_of(before);
    const int us = static_cast<int>(before.side_to_move);
    const Cell from = cells[move.source];
    const Cell to = cells[move.destination];
    const bool onto_king = to.kind == 5;

    // play_move never sees a move onto a king; the game records the capture instead.
    std::optional<MoveRefusal> refusal;
    Board played = before;
    if (!onto_king) {
        refusal = play_move(played, move);
        if (from.kind < 0) {
            require(refusal == MoveRefusal::EmptySource, "move from an empty square not refused as such");
        } else if (from.color != us) {
            require(refusal == MoveRefusal::NotMoversPiece, "move of the opponent's piece not refused as such");
        } else if (to.color == us) {
            require(refusal == MoveRefusal::OwnPieceOnDestination, "move onto an own piece not refused as such");
        } else {
            require(!refusal, "a well-formed move was refused");
        }
        if (refusal) {
            require(played == before, "a refused move changed the board");
            require(!from_list, "a generated move was refused");
        } else {
            check_board(played);
            const std::optional<Position> expected = play_model(position_of(before), move);
            if (expected) require(same(*expected, played), "move played differently from the rules",
                                  format_uci_move(move).view());
        }
    }

    const auto applied = apply_move(game, move);
    if (from.kind < 0 || from.color != us) {
        require(!applied.ok() && game == game_before, "apply_move took a move of no piece of the mover");
        return;
    }
    if (onto_king) {
        require(applied.ok() && *applied == Applied::KingCaptured, "move onto a king did not capture it");
        require(game.board == before, "capturing a king changed the board");
        require(game.captured_king == to.color, "the wrong king recorded as captured");
    } else if (refusal) {
        require(!applied.ok() && game == game_before, "apply_move changed the game on a refused move");
        return;
    } else {
        require(applied.ok() && *applied == Applied::Played, "apply_move did not play a playable move");
        require(game.board == played, "apply_move and play_move disagree");
        require(game.captured_king == game_before.captured_king, "a plain move changed captured_king");
    }
    // Only the memory of the side now to move is refreshed.
    const int observer = static_cast<int>(game.board.side_to_move);
    require(game.memory_age[1 - observer] == game_before.memory_age[1 - observer] &&
                game.memory_piece[1 - observer] == game_before.memory_piece[1 - observer],
            "the memory of the side that just moved changed");
    check_position(game);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    constexpr std::size_t builtin = sizeof(positions) / sizeof(positions[0]);
    const std::uint8_t choice = input.ConsumeIntegral<std::uint8_t>();
    auto board = board_from_fen(positions[choice % builtin]);
    if (choice >= 0xC0) {
        // FEN text from the input; a text that does not read falls back to a built-in one.
        const auto from_text = board_from_fen(input.ConsumeRandomLengthString(120));
        if (from_text) board = from_text;
    }
    require(board.ok(), "a built-in position does not read");

    Game game = new_game(*board);
    require(game.captured_king == no_king_captured, "a new game starts with a captured king");
    check_position(game);

    for (int moves = 0; moves < 64 && input.remaining_bytes() > 0; ++moves) {
        MoveList legal;
        generate_moves(game.board, legal);
        check_moves(game.board, legal);
        for (const BoardMove& m : legal) {
            // Every generated move except a capture of the king is playable.
            if (game.board.kind_on(m.destination) == PieceKind::King && contains(game.board.occupied, m.destination)) {
                continue;
            }
            Board copy = game.board;
            require(!play_move(copy, m), "a generated move was refused", format_uci_move(m).view());
            require(sets_are_consistent(copy), "a generated move broke the piece sets", format_uci_move(m).view());
        }

        const std::uint8_t how = input.ConsumeIntegral<std::uint8_t>();
        BoardMove move;
        bool from_list = false;
        if (how < 0xA0 && legal.size() > 0) {
            move = legal[input.ConsumeIntegralInRange<std::size_t>(0, legal.size() - 1)];
            from_list = true;
        } else {
            // Mostly a piece of the mover; now and then any square, to reach the refusals.
            const SquareSet mine = game.board.pieces(game.board.side_to_move);
            const std::uint8_t source_code = input.ConsumeIntegral<std::uint8_t>();
            move.source = (how & 1) ? static_cast<Square>(source_code % 64) : nth_square(mine, source_code);
            move.destination = static_cast<Square>(input.ConsumeIntegral<std::uint8_t>() % 64);
            move.promotion = promotion_from(how >> 1);
        }
        step(game, move, from_list);
    }
    return 0;
}
