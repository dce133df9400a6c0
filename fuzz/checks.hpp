// Checks shared by the fuzz drivers. Each one recomputes a property from a plain 64-square
// view of the position instead of trusting the bit sets it is meant to check, and stops
// the run with a message the moment something is off.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "encode/observation.hpp"
#include "game/game.hpp"
#include "game/movegen.hpp"
#include "rules/board.hpp"
#include "rules/uci.hpp"

namespace fuzzcheck {

using namespace murkplay;

[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline void require(bool condition, const char* what, std::string_view detail = {}) {
    if (!condition) fail(what, detail);
}

// One square of the position: kind -1 means empty.
struct Cell {
    int kind = -1;
    int color = -1;
    friend bool operator==(const Cell&, const Cell&) = default;
};

using Cells = std::array<Cell, 64>;

// Reads each square from the sets one bit at a time; fails when a square is in two kind
// sets, two colour sets, or in `occupied` without a kind and a colour (or the reverse).
inline Cells cells_of(const Board& b) {
    Cells cells{};
    for (int q = 0; q < 64; ++q) {
        const SquareSet m = SquareSet{1} << q;
        int kinds = 0;
        for (int k = 0; k < piece_kind_count; ++k) {
            if (b.piece_sets[k] & m) {
                cells[q].kind = k;
                ++kinds;
            }
        }
        int colors = 0;
        for (int c = 0; c < 2; ++c) {
            if (b.color_sets[c] & m) {
                cells[q].color = c;
                ++colors;
            }
        }
        const bool occupied = (b.occupied & m) != 0;
        require(kinds <= 1, "square in two piece sets");
        require(colors <= 1, "square in two colour sets");
        require(occupied == (kinds == 1), "occupied set disagrees with the piece sets");
        require(occupied == (colors == 1), "occupied set disagrees with the colour sets");
    }
    return cells;
}

inline int file_at(int q) { return q % 8; }
inline int rank_at(int q) { return q / 8; }

inline int count_of(const Cells& cells, int kind, int color) {
    int n = 0;
    for (const Cell& cell : cells) n += cell.kind == kind && cell.color == color;
    return n;
}

inline int king_square(const Cells& cells, int color) {
    for (int q = 0; q < 64; ++q) {
        if (cells[q].kind == 5 && cells[q].color == color) return q;
    }
    return -1;
}

// The invariants every Board keeps, whether just read or advanced by moves.
inline Cells check_board(const Board& b) {
    const Cells cells = cells_of(b);
    require(sets_are_consistent(b), "sets_are_consistent disagrees with the square view");
    require(count_of(cells, 5, 0) == 1 && count_of(cells, 5, 1) == 1, "not exactly one king per colour");

    const int us = static_cast<int>(b.side_to_move);
    require(us == 0 || us == 1, "side to move out of range");
    if (b.en_passant_pawn.present) {
        const int e = b.en_passant_pawn.square;
        require(e < 64, "en-passant square off the board");
        require(rank_at(e) == (us == 0 ? 4 : 3), "en-passant pawn on the wrong rank");
        require(cells[e].kind == 0 && cells[e].color == 1 - us, "en-passant square holds no enemy pawn");
        bool neighbour = false;
        for (const int df : {-1, 1}) {
            const int f = file_at(e) + df;
            if (f < 0 || f > 7) continue;
            const Cell beside = cells[rank_at(e) * 8 + f];
            neighbour |= beside.kind == 0 && beside.color == us;
        }
        require(neighbour, "en-passant pawn without a pawn of the mover beside it");
    }

    // Castling rights are only kept while king and rook stand at home.
    for (int c = 0; c < 2; ++c) {
        const int rights = b.castling[c];
        require(rights >= 0 && rights <= 3, "castling rights out of range");
        if (rights == 0) continue;
        const int back = c == 0 ? 0 : 56;
        require(cells[back + 4] == Cell{5, c}, "castling right without the king at home");
        if (rights & 1) require(cells[back + 7] == Cell{3, c}, "king-side right without the rook on the corner");
        if (rights & 2) require(cells[back + 0] == Cell{3, c}, "queen-side right without the rook on the corner");
    }
    return cells;
}

// Whether the piece on `from` attacks `to`, walked square by square.
inline bool attacks(const Cells& cells, int from, int to) {
    const Cell piece = cells[from];
    const int df = file_at(to) - file_at(from);
    const int dr = rank_at(to) - rank_at(from);
    const int adf = std::abs(df);
    const int adr = std::abs(dr);
    switch (piece.kind) {
        case 0: return adf == 1 && dr == (piece.color == 0 ? 1 : -1);
        case 1: return (adf == 1 && adr == 2) || (adf == 2 && adr == 1);
        case 5: return std::max(adf, adr) == 1;
        default: break;
    }
    const bool straight = df == 0 || dr == 0;
    const bool diagonal = adf == adr;
    if (from == to) return false;
    if (piece.kind == 2 && !diagonal) return false;
    if (piece.kind == 3 && !straight) return false;
    if (piece.kind == 4 && !straight && !diagonal) return false;
    const int sf = (df > 0) - (df < 0);
    const int sr = (dr > 0) - (dr < 0);
    for (int f = file_at(from) + sf, r = rank_at(from) + sr; f != file_at(to) || r != rank_at(to); f += sf, r += sr) {
        if (cells[r * 8 + f].kind >= 0) return false;
    }
    return true;
}

// What validation adds to the board invariants: kings apart, and the king of the side not
// to move out of reach of the side to move (kings excluded, the adjacency test covers them).
inline void check_validated(const Board& b) {
    const Cells cells = check_board(b);
    const int us = static_cast<int>(b.side_to_move);
    const int white_king = king_square(cells, 0);
    const int black_king = king_square(cells, 1);
    require(std::max(std::abs(file_at(white_king) - file_at(black_king)),
                     std::abs(rank_at(white_king) - rank_at(black_king))) > 1,
            "accepted position with adjacent kings");
    const int their_king = king_square(cells, 1 - us);
    for (int q = 0; q < 64; ++q) {
        if (cells[q].color == us && cells[q].kind != 5) {
            require(!attacks(cells, q, their_king), "accepted position whose waiting king is attacked");
        }
    }
    // The en-passant target square is empty, or the chance would duplicate a capture.
    if (b.en_passant_pawn.present) {
        const int target = b.en_passant_pawn.square + (us == 0 ? 8 : -8);
        require(cells[target].kind < 0, "accepted en-passant chance onto an occupied square");
    }
}

inline std::string fen_of(const Board& b) {
    const Cells cells = cells_of(b);
    std::string fen;
    for (int rank = 7; rank >= 0; --rank) {
        int gap = 0;
        for (int file = 0; file < 8; ++file) {
            const Cell cell = cells[rank * 8 + file];
            if (cell.kind < 0) {
                ++gap;
                continue;
            }
            if (gap) fen += static_cast<char>('0' + gap);
            gap = 0;
            fen += (cell.color == 0 ? "PNBRQK" : "pnbrqk")[cell.kind];
        }
        if (gap) fen += static_cast<char>('0' + gap);
        if (rank) fen += '/';
    }
    fen += b.side_to_move == Color::White ? " w " : " b ";
    std::string rights;
    if (b.castling[0] & 1) rights += 'K';
    if (b.castling[0] & 2) rights += 'Q';
    if (b.castling[1] & 1) rights += 'k';
    if (b.castling[1] & 2) rights += 'q';
    fen += rights.empty() ? "-" : rights;
    fen += ' ';
    if (b.en_passant_pawn.present) {
        const int e = b.en_passant_pawn.square;
        const int target = e + (b.side_to_move == Color::White ? 8 : -8);
        fen += static_cast<char>('a' + file_at(target));
        fen += static_cast<char>('1' + rank_at(target));
    } else {
        fen += '-';
    }
    fen += " 0 1";
    return fen;
}

// The generator's list: in range, distinct, pieces of the mover, never onto an own piece,
// in the fixed kind order, and every entry survives a trip through its UCI text.
inline void check_moves(const Board& b, const MoveList& moves) {
    require(moves.size() <= max_moves, "more moves than the list can hold");
    const Cells cells = cells_of(b);
    const int us = static_cast<int>(b.side_to_move);
    std::array<std::uint8_t, 64 * 64 * 5> seen{};
    int last_kind = -1;
    int last_source = -1;
    for (const BoardMove& m : moves) {
        require(m.source < 64 && m.destination < 64, "generated square off the board");
        const Cell from = cells[m.source];
        const Cell to = cells[m.destination];
        require(from.color == us, "generated move of a piece that is not the mover's");
        require(to.color != us, "generated move onto an own piece", format_uci_move(m).view());
        require(m.promotion == PieceKind::None || (from.kind == 0 && m.promotion >= PieceKind::Knight &&
                                                   m.promotion <= PieceKind::Queen),
                "generated promotion of a non-pawn or to a bad kind");
        const int slot = (m.source * 64 + m.destination) * 5 +
                         (m.promotion == PieceKind::None ? 0 : static_cast<int>(m.promotion));
        require(seen[slot]++ == 0, "generated the same move twice", format_uci_move(m).view());
        require(from.kind >= last_kind, "generated moves out of kind order");
        if (from.kind != last_kind) last_source = -1;
        require(m.source >= last_source, "generated moves out of source order");
        last_kind = from.kind;
        last_source = m.source;

        const UciText text = format_uci_move(m);
        const Result<BoardMove> back = parse_uci_move(text.view());
        require(back.ok() && *back == m, "generated move does not survive its UCI text", text.view());
    }
}

// The memory of the side to move after a refresh: every square it sees is remembered as
// it stands now, with age 0; the records of both sides stay well formed.
inline void check_memory(const Game& g) {
    const Cells cells = cells_of(g.board);
    const int us = static_cast<int>(g.board.side_to_move);
    const SquareSet seen = visible_squares(g.board, g.board.side_to_move);
    require((seen & g.board.pieces(g.board.side_to_move)) == g.board.pieces(g.board.side_to_move),
            "a side does not see its own pieces");
    for (int observer = 0; observer < 2; ++observer) {
        for (int q = 0; q < 64; ++q) {
            const SeenPiece piece = g.memory_piece[observer][q];
            const float age = g.memory_age[observer][q];
            require(piece.color <= 2, "remembered colour out of range");
            require(piece.color == 2 || piece.kind <= 5, "remembered piece without a kind");
            require(std::isfinite(age) && age >= 0.0f && age == std::floor(age), "memory age not a whole count");
            if (observer != us || !((seen >> q) & 1)) continue;
            require(age == 0.0f, "seen square not remembered afresh");
            const Cell now = cells[q];
            if (now.kind < 0) {
                require(piece.color == 2, "seen empty square remembered as a piece");
            } else {
                require(piece.color == now.color && piece.kind == now.kind, "seen piece remembered wrongly");
            }
        }
    }
}

// Per cell one of the fourteen view features and one of the thirteen memory features is
// set; recency, castling and material stay in their places.
inline void check_observation(const Game& g, bool oracle) {
    Observation out;
    out.fill(-7.0f);
    build_observation(g, oracle, out);
    const int us = static_cast<int>(g.board.side_to_move);
    for (int cell = 0; cell < 64; ++cell) {
        const float* f = &out[observation_features * cell];
        float view = 0.0f;
        float memory = 0.0f;
        for (int i = 0; i < 14; ++i) {
            require(f[i] == 0.0f || f[i] == 1.0f, "view feature neither 0 nor 1");
            view += f[i];
        }
        for (int i = 14; i < 27; ++i) {
            require(f[i] == 0.0f || f[i] == 1.0f, "memory feature neither 0 nor 1");
            memory += f[i];
        }
        require(view == 1.0f, "not exactly one view feature per cell");
        require(memory == 1.0f, "not exactly one memory feature per cell");
        if (oracle) require(f[13] == 0.0f, "fog under oracle view");
        require(f[27] > 0.0f && f[27] <= 1.0f, "recency out of range");
        require(cell == 0 || f[28] == 0.0f, "king-side right outside cell 0");
        require(cell == 1 || f[29] == 0.0f, "queen-side right outside cell 1");
        for (int i = 30; i < 35; ++i) {
            require(std::isfinite(f[i]) && f[i] == out[i], "material feature differs between cells");
        }
    }
    require(out[28] == ((g.board.castling[us] & 1) ? 1.0f : 0.0f), "king-side right feature wrong");
    require(out[observation_features + 29] == ((g.board.castling[us] & 2) ? 1.0f : 0.0f),
            "queen-side right feature wrong");
}

}  // namespace fuzzcheck
