#include "batch/belief.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

#include "batch/board_hash.hpp"
#include "game/game_end.hpp"
#include "rules/play_move.hpp"

namespace murkplay::batch {

namespace {

// The set's n-th square in ascending order (n below its size).
Square nth_square(SquareSet set, std::uint64_t n) {
    for (; n > 0; --n) set &= set - 1;
    return lowest(set);
}

void put(Board& b, Color c, PieceKind k, Square s) {
    b.piece_sets[index(k)] |= bit(s);
    b.color_sets[index(c)] |= bit(s);
    b.occupied |= bit(s);
}

// The visible part of a view as a board, the side to move and its rights included.
Board seen_board(const View& v, Color side) {
    Board b;
    for (int k = 0; k < piece_kind_count; ++k) {
        for (const Square s : squares_of(v.kinds[k])) {
            put(b, contains(v.white, s) ? Color::White : Color::Black, static_cast<PieceKind>(k), s);
        }
    }
    b.castling[index(side)] = v.castling;
    b.en_passant_pawn = v.en_passant_pawn;
    b.side_to_move = side;
    return b;
}

}  // namespace

BeliefTracker::BeliefTracker(const Game& game, Color side, BeliefSettings settings)
    : side_(side), settings_(settings) {
    settings_.limit = std::max<std::size_t>(settings_.limit, 2);
    now_.random = {mix(settings.seed ^ 0xBE11EFull)};
    boards_.push_back(game.board);
    now_.awaiting_move = game.board.side_to_move == side;
    now_.memory_age[index(side)] = game.memory_age[index(side)];
    now_.memory_piece[index(side)] = game.memory_piece[index(side)];
    now_.memory_age[index(opposite(side))].fill(never_seen_age);
}

std::optional<BeliefError> BeliefTracker::check(const std::optional<BoardMove>& played, const Game& game) const {
    if (is_terminal(game)) return BeliefError::GameOver;
    if (game.board.side_to_move != side_) return BeliefError::NotItsTurn;
    if (now_.awaiting_move && !played) return BeliefError::MissingMove;
    if (!now_.awaiting_move && played) return BeliefError::UnexpectedMove;
    if (boards_.empty()) return std::nullopt;
    // Every kept position lists the same moves for the tracked side, and holds its pieces on
    // the same squares: they show it the same.
    Board after = boards_.front();
    if (played) {
        MoveList listed;
        generate_moves(after, listed);
        if (std::find(listed.begin(), listed.end(), *played) == listed.end()) return BeliefError::IllegalMove;
        if (contains(after.pieces(opposite(side_), PieceKind::King), played->destination)) return std::nullopt;
        [[maybe_unused]] const auto refused = play_move(after, *played);
    }
    // The side sees all its own pieces. Since its move, the opponent can only have taken one.
    const View view = view_of(game.board, side_);
    const SquareSet ours = side_ == Color::White ? view.white : view.occupied & ~view.white;
    SquareSet lost = 0;
    for (int k = 0; k < piece_kind_count; ++k) {
        const SquareSet had = after.pieces(side_, static_cast<PieceKind>(k));
        const SquareSet seen = view.kinds[k] & ours;
        if (seen & ~had) return BeliefError::NotItsMove;
        lost |= had & ~seen;
    }
    if (count(lost) > 1) return BeliefError::NotItsMove;
    return std::nullopt;
}

std::optional<BeliefError> BeliefTracker::update(const std::optional<BoardMove>& played, const Game& game,
                                                 Stop& stop) {
    if (const auto refusal = prepare(played, game, stop)) return refusal;
    commit();
    return std::nullopt;
}

std::optional<BeliefError> BeliefTracker::prepare(const std::optional<BoardMove>& played, const Game& game,
                                                  Stop& stop) {
    prepared_ = false;
    if (const auto refusal = check(played, game)) return refusal;
    next_ = now_;
    next_boards_.clear();
    index_of_.clear();
    heap_.clear();
    salt_ = next_.random.next();
    std::vector<Board> pending;
    if (played) {
        pending.reserve(boards_.size());
        for (Board b : boards_) {
            const bool takes_king = contains(b.pieces(opposite(side_), PieceKind::King), played->destination);
            if (!takes_king && !play_move(b, *played)) pending.push_back(b);
        }
    } else {
        pending = boards_;
    }

    const View view = view_of(game.board, side_);
    const double scale = now_.estimate / static_cast<double>(std::max<std::size_t>(boards_.size(), 1));
    for (const Board& before : pending) {
        if (stop.poll()) return BeliefError::Stopped;
        MoveList replies;
        generate_moves(before, replies);
        next_.checked += replies.size();
        for (const BoardMove& reply : replies) {
            // Taking the tracked side's king would have ended the game.
            if (contains(before.pieces(side_, PieceKind::King), reply.destination)) continue;
            Board after = before;
            if (play_move(after, reply)) continue;
            if (shows(after, side_, view)) keep(after);
        }
    }
    next_.regenerated = next_boards_.empty();
    if (next_.regenerated) {
        if (now_.exact) return BeliefError::Unexplained;
        if (!regenerate(view, game.memory_piece[index(side_)], stop)) return BeliefError::Stopped;
    }
    finish_update(scale);
    next_.memory_age[index(side_)] = game.memory_age[index(side_)];
    next_.memory_piece[index(side_)] = game.memory_piece[index(side_)];
    next_.awaiting_move = true;
    prepared_ = true;
    return std::nullopt;
}

void BeliefTracker::commit() noexcept {
    assert(prepared_);
    now_ = next_;
    boards_.swap(next_boards_);
    next_boards_.clear();
    prepared_ = false;
}

void BeliefTracker::keep(const Board& board) {
    const std::uint64_t hash = board_hash(board);
    if (index_of_.contains(hash)) return;
    const std::uint64_t key = mix(hash ^ salt_);
    if (next_boards_.size() < settings_.limit) {
        index_of_.emplace(hash, static_cast<std::uint32_t>(next_boards_.size()));
        next_boards_.push_back(board);
        return;
    }
    if (heap_.empty()) {
        // The set has just filled: from now on it keeps the smallest keys.
        for (std::uint32_t i = 0; i < next_boards_.size(); ++i) {
            heap_.emplace_back(mix(board_hash(next_boards_[i]) ^ salt_), i);
        }
        std::make_heap(heap_.begin(), heap_.end());
    }
    if (key >= heap_.front().first) return;
    std::pop_heap(heap_.begin(), heap_.end());
    const std::uint32_t place = heap_.back().second;
    index_of_.erase(board_hash(next_boards_[place]));
    next_boards_[place] = board;
    index_of_.emplace(hash, place);
    heap_.back() = {key, place};
    std::push_heap(heap_.begin(), heap_.end());
}

void BeliefTracker::finish_update(double scale) {
    if (next_.regenerated) {
        ++next_.regenerations;
        next_.exact = false;
        next_.estimate = static_cast<double>(next_boards_.size());
        next_.relative_error = std::numeric_limits<double>::quiet_NaN();
    } else if (!heap_.empty()) {
        // The k-th smallest of hash-keyed uniform keys estimates the number of distinct keys
        // (k - 1) / U(k), with a relative standard error of about 1 / sqrt(k - 2).
        const double k = static_cast<double>(heap_.size());
        const double kth = static_cast<double>(heap_.front().first) / 18446744073709551616.0;
        next_.estimate = scale * (k - 1.0) / kth;
        next_.relative_error = std::hypot(next_.relative_error, 1.0 / std::sqrt(k - 2.0));
        next_.exact = false;
        next_.sampling = true;
    } else {
        // Positions kept from a sample stand for `scale` positions each.
        next_.estimate = scale * static_cast<double>(next_boards_.size());
    }
    heap_.clear();
    index_of_.clear();
}

bool BeliefTracker::regenerate(const View& view, const std::array<SeenPiece, 64>& remembered, Stop& stop) {
    const Board seen = seen_board(view, side_);
    const Color them = opposite(side_);
    std::array<int, piece_kind_count> unseen{};
    for (int k = 0; k < piece_kind_count; ++k) {
        unseen[k] = view.opponent_counts[k] - count(seen.pieces(them, static_cast<PieceKind>(k)));
        if (unseen[k] < 0) return true;
    }
    const SquareSet fog = ~view.visible;
    const SquareSet pawn_ranks = ~(rank_mask(0) | rank_mask(7));
    const auto allowed_for = [&](int k) { return fog & (k == index(PieceKind::Pawn) ? pawn_ranks : ~SquareSet{0}); };
    // One placement: with `from_memory`, first every unseen piece the side last saw on a square
    // now out of its sight goes back there; the rest go anywhere it cannot see.
    const auto place = [&](bool from_memory) {
        Board b = seen;
        std::array<int, piece_kind_count> left = unseen;
        for (int q = 0; q < 64 && from_memory; ++q) {
            const SeenPiece piece = remembered[q];
            const Square s = static_cast<Square>(q);
            if (piece.color != index(them) || left[piece.kind] == 0) continue;
            if (contains(allowed_for(piece.kind) & ~b.occupied, s)) {
                put(b, them, static_cast<PieceKind>(piece.kind), s);
                --left[piece.kind];
            }
        }
        for (int k = piece_kind_count - 1; k >= 0; --k) {
            for (int n = 0; n < left[k]; ++n) {
                const SquareSet free = allowed_for(k) & ~b.occupied;
                if (free == 0) return;
                put(b, them, static_cast<PieceKind>(k), nth_square(free, next_.random.below(count(free))));
            }
        }
        for (const CastlingMove& castle : castling_moves_of(them)) {
            if (contains(b.pieces(them, PieceKind::King), castle.king_from) &&
                contains(b.pieces(them, PieceKind::Rook), castle.rook_from)) {
                b.castling[index(them)] |= castle.right;
            }
        }
        if (shows(b, side_, view)) keep(b);
    };
    // About half the placements follow the memory, as far as distinct ones allow.
    const std::size_t wanted = std::min<std::size_t>(settings_.limit, 1000);
    for (std::size_t attempt = 0; attempt < 10 * wanted && next_boards_.size() < wanted / 2; ++attempt) {
        if (stop.poll()) return false;
        place(true);
    }
    const std::size_t target = std::min(wanted, std::max<std::size_t>(2 * next_boards_.size(), 1));
    for (std::size_t attempt = 0; attempt < 20 * wanted && next_boards_.size() < target; ++attempt) {
        if (stop.poll()) return false;
        place(false);
    }
    return true;
}

bool BeliefTracker::keeps(const Board& board) const {
    return std::find(boards_.begin(), boards_.end(), board) != boards_.end();
}

std::vector<std::size_t> BeliefTracker::sample(std::size_t k, RandomStream& random) const {
    const std::size_t n = boards_.size();
    std::vector<std::size_t> chosen;
    if (k >= n) {
        for (std::size_t i = 0; i < n; ++i) chosen.push_back(i);
        return chosen;
    }
    // Floyd's algorithm: every k-subset equally likely, in k draws. It looks each draw up
    // among the earlier ones, so large samples take a partial shuffle instead.
    if (k <= 64) {
        for (std::size_t j = n - k; j < n; ++j) {
            const auto t = static_cast<std::size_t>(random.below(j + 1));
            chosen.push_back(std::find(chosen.begin(), chosen.end(), t) == chosen.end() ? t : j);
        }
        return chosen;
    }
    for (std::size_t i = 0; i < n; ++i) chosen.push_back(i);
    for (std::size_t i = 0; i < k; ++i) std::swap(chosen[i], chosen[i + random.below(n - i)]);
    chosen.resize(k);
    return chosen;
}

Marginals BeliefTracker::marginals() const {
    Marginals m{};
    if (boards_.empty()) return m;
    const double weight = 1.0 / static_cast<double>(boards_.size());
    for (const Board& b : boards_) {
        for (int q = 0; q < 64; ++q) {
            const Square s = static_cast<Square>(q);
            const int column = contains(b.occupied, s)
                                   ? index(b.kind_on(s)) + (contains(b.color_sets[1], s) ? piece_kind_count : 0)
                                   : 2 * piece_kind_count;
            m[q][column] += weight;
        }
    }
    return m;
}

Game BeliefTracker::position_game(std::size_t i) const {
    Game g;
    g.board = boards_[i];
    g.memory_age = now_.memory_age;
    g.memory_piece = now_.memory_piece;
    g.captured_king = no_king_captured;
    return g;
}

}  // namespace murkplay::batch
