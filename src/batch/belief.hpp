// The belief of one side about the hidden position: the set of true positions consistent
// with everything it has seen since a known start. After each of its turns it is told the
// move it played; at its next turn it is shown its view, and every opponent move from every
// kept position is tried, a result kept only when it shows exactly that view.
//
// Up to `limit` positions the set is exact. Beyond, each position is given a random key, a
// hash of the position salted afresh at every update, and the `limit` positions with the
// smallest keys are kept: a uniform sample, without replacement, of the distinct positions
// that follow from the kept ones. It is a uniform sample of the true set only for the update
// at which sampling starts; after that it is uniform over the successors of a sample, which
// favours positions with more predecessors in it. When no kept position explains a view, the
// tracker places the opponent's unseen pieces on squares it cannot see, half the time first
// where it last saw them, the rest at random, keeps the placements (which show the view by
// construction), and says it had to.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "batch/belief_view.hpp"
#include "batch/random_stream.hpp"
#include "game/game.hpp"

namespace murkplay::batch {

// The tracker's own random stream: each draw mixes the next value of a Weyl sequence.
struct RandomStream {
    std::uint64_t state;

    std::uint64_t next() { return mix(state += 0x9E3779B97F4A7C15ull); }
    // Uniform in [0, bound) up to a bias of bound / 2^64.
    std::uint64_t below(std::uint64_t bound) {
        return static_cast<std::uint64_t>((static_cast<unsigned __int128>(next()) * bound) >> 64);
    }
};

struct BeliefSettings {
    std::size_t limit = 100'000;
    std::uint64_t seed = 0;
};

enum class BeliefError : std::uint8_t {
    NotItsTurn,     // the game shown does not have the tracked side to move
    GameOver,       // a king has been captured
    MissingMove,    // the tracked side has moved since the last update, but no move was given
    UnexpectedMove, // a move was given, but the tracked side has not moved since
    IllegalMove,    // the move given is not in the tracked side's list
};

// Per square, the probability of each piece (White pawn to king, Black pawn to king) and of
// an empty square (column 12).
inline constexpr int marginal_columns = 13;
using Marginals = std::array<std::array<double, marginal_columns>, 64>;

class BeliefTracker {
public:
    // The game's true board is the known start; if the tracked side is to move, its first
    // update follows its first move.
    BeliefTracker(const Game& game, Color side, BeliefSettings settings);

    // `played`: the tracked side's move since the last update, none if it has not moved (only
    // when the tracker started with the opponent to move). `game`: the game now, at the tracked
    // side's turn; only the tracked side's view of it and its memory are read.
    [[nodiscard]] std::optional<BeliefError> update(const std::optional<BoardMove>& played, const Game& game);
    // What update() would refuse, without changing anything.
    [[nodiscard]] std::optional<BeliefError> check(const std::optional<BoardMove>& played, const Game& game) const;

    Color side() const { return side_; }
    const std::vector<Board>& positions() const { return boards_; }
    bool exact() const { return exact_; }
    bool sampling() const { return sampling_; }
    bool regenerated() const { return regenerated_; }
    std::uint32_t regenerations() const { return regenerations_; }
    // The estimated number of consistent positions and its standard error (0 while exact).
    double estimated_size() const { return estimate_; }
    double size_error() const { return estimate_ * relative_error_; }
    // Opponent moves tried, applied and compared, since the tracker began.
    std::uint64_t candidates_checked() const { return checked_; }
    // Whether the tracked side is to move in the kept positions (it then owes a move).
    bool awaiting_move() const { return awaiting_move_; }

    // Whether the board is among the kept positions: for checking a belief against the truth.
    bool keeps(const Board& board) const;
    // A draw from the tracker's random stream, for choices made on its behalf.
    std::uint64_t draw() { return random_.next(); }
    // Up to k distinct positions, uniformly without replacement; all of them when fewer.
    std::vector<std::size_t> sample(std::size_t k);
    Marginals marginals() const;
    // A kept position as a game: its board, the tracked side's memory, the opponent's empty.
    Game position_game(std::size_t i) const;

private:
    // Adds a consistent position under the current salt, evicting the largest key when full.
    void keep(const Board& board);
    void regenerate(const View& view, const std::array<SeenPiece, 64>& remembered);
    void restart_set();
    void finish_update(double scale);

    Color side_;
    BeliefSettings settings_;
    RandomStream random_;
    std::vector<Board> boards_;
    std::vector<Board> next_;
    std::unordered_map<std::uint64_t, std::uint32_t> index_of_;  // hash -> place in next_
    std::vector<std::pair<std::uint64_t, std::uint32_t>> heap_;  // (key, place), largest key on top
    std::uint64_t salt_ = 0;
    std::array<std::array<float, 64>, 2> memory_age_{};
    std::array<std::array<SeenPiece, 64>, 2> memory_piece_{};
    double estimate_ = 1.0;
    double relative_error_ = 0.0;
    std::uint64_t checked_ = 0;
    std::uint32_t regenerations_ = 0;
    bool exact_ = true;
    bool sampling_ = false;
    bool regenerated_ = false;
    bool awaiting_move_ = false;
};

}  // namespace murkplay::batch
