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
#include "batch/stop.hpp"
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
    NotItsMove,     // the side's pieces in the game do not follow from the move given (or from
                    // none): another move, the same update twice, or another game
    Unexplained,    // the set is exact, so it holds the truth, yet nothing in it explains the
                    // view: the move or the game given is not what happened
    Stopped,        // asked to stop before the update was done
};

// Per square, the probability of each piece (White pawn to king, Black pawn to king) and of
// an empty square (column 12).
inline constexpr int marginal_columns = 13;
using Marginals = std::array<std::array<double, marginal_columns>, 64>;

class BeliefTracker {
public:
    // The game is the known start: its true board, which the side is taken to know. If the
    // tracked side is to move, its first update follows its first move.
    BeliefTracker(const Game& game, Color side, BeliefSettings settings);

    // `played`: the tracked side's move since the last update, none if it has not moved (only
    // when the tracker started with the opponent to move). `game`: the game now, at the tracked
    // side's turn; only the tracked side's view of it and its memory are read. A refusal (or
    // a stop) changes nothing.
    [[nodiscard]] std::optional<BeliefError> update(const std::optional<BoardMove>& played, const Game& game,
                                                    Stop& stop);
    // update() in two halves: prepare() makes the new belief apart from the one kept, which
    // commit() then replaces. commit() cannot fail, so many trackers can be prepared, on any
    // threads, and committed only when all succeeded. A new prepare() drops an uncommitted one.
    [[nodiscard]] std::optional<BeliefError> prepare(const std::optional<BoardMove>& played, const Game& game,
                                                     Stop& stop);
    void commit() noexcept;
    // What update() would refuse, without changing anything (Unexplained is found only by
    // the update itself).
    [[nodiscard]] std::optional<BeliefError> check(const std::optional<BoardMove>& played, const Game& game) const;

    Color side() const { return side_; }
    const std::vector<Board>& positions() const { return boards_; }
    bool exact() const { return now_.exact; }
    bool sampling() const { return now_.sampling; }
    bool regenerated() const { return now_.regenerated; }
    std::uint32_t regenerations() const { return now_.regenerations; }
    // The estimated number of consistent positions and its standard error (0 while exact).
    double estimated_size() const { return now_.estimate; }
    double size_error() const { return now_.estimate * now_.relative_error; }
    // Opponent moves tried, applied and compared, since the tracker began.
    std::uint64_t candidates_checked() const { return now_.checked; }
    // Whether the tracked side is to move in the kept positions (it then owes a move).
    bool awaiting_move() const { return now_.awaiting_move; }

    // Whether the board is among the kept positions: for checking a belief against the truth.
    bool keeps(const Board& board) const;
    // The tracker's own random stream, for choices made on its behalf: a caller that may drop
    // its choices draws from a copy and hands it back with set_random() once it keeps them.
    RandomStream random() const { return now_.random; }
    void set_random(const RandomStream& random) { now_.random = random; }
    // Up to k distinct positions, uniformly without replacement from `random`; all of them
    // when fewer.
    std::vector<std::size_t> sample(std::size_t k, RandomStream& random) const;
    Marginals marginals() const;
    // A kept position as a game: its board, the tracked side's memory, the opponent's empty.
    Game position_game(std::size_t i) const;

private:
    // Everything of the belief but its positions; an update works on a copy.
    struct Summary {
        RandomStream random;
        std::array<std::array<float, 64>, 2> memory_age{};
        std::array<std::array<SeenPiece, 64>, 2> memory_piece{};
        double estimate = 1.0;
        double relative_error = 0.0;
        std::uint64_t checked = 0;
        std::uint32_t regenerations = 0;
        bool exact = true;
        bool sampling = false;
        bool regenerated = false;
        bool awaiting_move = false;
    };

    // Adds a consistent position to the update under way, evicting the largest key when full.
    void keep(const Board& board);
    [[nodiscard]] bool regenerate(const View& view, const std::array<SeenPiece, 64>& remembered, Stop& stop);
    void finish_update(double scale);

    Color side_;
    BeliefSettings settings_;
    Summary now_;
    std::vector<Board> boards_;
    // The update being prepared, and its working sets.
    Summary next_;
    std::vector<Board> next_boards_;
    bool prepared_ = false;
    std::uint64_t salt_ = 0;
    std::unordered_map<std::uint64_t, std::uint32_t> index_of_;  // hash -> place in next_boards_
    std::vector<std::pair<std::uint64_t, std::uint32_t>> heap_;  // (key, place), largest key on top
};

}  // namespace murkplay::batch
