#include "agents/move_choosers.hpp"

#include "encode/action_index.hpp"
#include "encode/legal_slots.hpp"

namespace murkplay::agents {

using batch::Chosen;
using batch::Refusal;
using batch::Turn;

namespace {

bool in_range(std::int64_t position, std::size_t count) {
    return position >= 0 && static_cast<std::uint64_t>(position) < count;
}

}  // namespace

std::optional<Refusal> ByPosition::check(std::size_t game, std::size_t count) const {
    if (in_range(positions_[game], count)) return std::nullopt;
    return Refusal{Refusal::Reason::PositionOutOfRange, game, positions_[game], count};
}

Result<Chosen, Refusal> ByPosition::choose(const Turn& turn) const {
    const std::int64_t position = positions_[turn.game()];
    if (!in_range(position, turn.count())) return turn.refusal(Refusal::Reason::PositionOutOfRange, position);
    return Chosen{static_cast<std::size_t>(position)};
}

Result<Chosen, Refusal> BySlot::choose(const Turn& turn) const {
    const std::int64_t slot = slots_[turn.game()];
    const auto found =
        slot >= 0 && slot < action_count ? first_with_slot(turn.side(), turn.moves(), static_cast<int>(slot))
                                         : std::nullopt;
    if (!found) return turn.refusal(Refusal::Reason::NoMoveWithSlot, slot);
    return Chosen{*found};
}

Result<Chosen, Refusal> ByLogits::choose(const Turn& turn) const {
    const MoveList& moves = turn.moves();
    const auto drawn = sample_move(turn.side(), {moves.begin(), moves.size()}, logits_ + turn.game() * action_count,
                                   sampling_, turn.word());
    if (!drawn) return turn.refusal(Refusal::Reason::UnusableLogits, 0);
    return Chosen{drawn->position, drawn->log_prob, drawn->entropy};
}

void ByLogits::prefetch(std::size_t game, Color side, std::span<const MoveCode> listed) const {
    prefetch_logits(side, listed, logits_ + game * action_count);
}

Result<Chosen, Refusal> ByAgent::choose(const Turn& turn) const {
    // The random agent needs no move decoded, only their number.
    if (agent_ == Agent::Random) return Chosen{random_move(turn.count(), turn.word())};
    const MoveList& moves = turn.moves();
    return Chosen{choose_move(agent_, turn.board(), {moves.begin(), moves.size()}, turn.word())};
}

}  // namespace murkplay::agents
