#include "python/rl/belief_arguments.hpp"

#include "python/rl/arrays.hpp"

namespace murkplay::python::rl {

using belief::BeliefError;

bool read_side(PyObject* side, Color& out) {
    bool white = true;
    if (!read_flag(side, "side", white)) return false;
    out = white ? Color::White : Color::Black;
    return true;
}

bool read_belief_settings(PyObject* limit, PyObject* seed, belief::BeliefSettings& out) {
    std::uint64_t kept = out.limit;
    if (!read_integer(limit, "limit", 2, UINT32_MAX, kept) || !read_integer(seed, "seed", 0, UINT64_MAX, out.seed)) {
        return false;
    }
    out.limit = static_cast<std::size_t>(kept);
    return true;
}

const char* belief_error_text(BeliefError error) {
    switch (error) {
        case BeliefError::NotItsTurn: return "the tracked side is not to move in this game";
        case BeliefError::GameOver: return "the game is over";
        case BeliefError::MissingMove:
            return "the tracked side has moved since the last update: pass the move it played";
        case BeliefError::UnexpectedMove: return "the tracked side has not moved since the last update: pass no move";
        case BeliefError::IllegalMove: return "the move played is not one of the tracked side's moves";
        case BeliefError::NotItsMove:
            return "the side's pieces in this game do not follow from the move played: another move, the same "
                   "update twice, or another game";
        case BeliefError::Unexplained:
            return "nothing the side can have seen explains this game: the move played or the game is not what "
                   "happened";
        case BeliefError::Stopped: return "the update was stopped";
    }
    return "unknown refusal";
}

}  // namespace murkplay::python::rl
