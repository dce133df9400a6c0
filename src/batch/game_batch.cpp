#include "batch/game_batch.hpp"

#include <algorithm>
#include <barrier>
#include <cassert>
#include <utility>

#include "batch/random_stream.hpp"
#include "encode/legal_slots.hpp"
#include "game/apply.hpp"
#include "game/game_end.hpp"

namespace murkplay::batch {

namespace {

static_assert(sizeof(Entry) <= 1024 - 16, "a game in a batch must stay within a kibibyte");

std::optional<Agent> agent_of(Choice choice) {
    switch (choice) {
        case Choice::Random: return Agent::Random;
        case Choice::Greedy: return Agent::Greedy;
        case Choice::Cautious: return Agent::Cautious;
        default: return std::nullopt;
    }
}

std::span<const BoardMove> listed(const MoveList& moves) { return {moves.begin(), moves.size()}; }

// Whether a game stands ended: a king captured, the ply limit reached, or no move to play.
bool has_ended(const Entry& entry, const MoveList& moves, std::uint32_t max_plies) {
    return is_terminal(entry.game) || (max_plies != 0 && entry.plies >= max_plies) || moves.size() == 0;
}

}  // namespace

GameBatch::GameBatch(std::vector<Entry> entries, const Game& start, Settings settings)
    : entries_(std::move(entries)), start_(start), settings_(settings), plans_(entries_.size()),
      counts_(entries_.size()) {
}

std::size_t GameBatch::parts() {
    const std::size_t wanted = std::clamp<std::size_t>(settings_.threads, 1, std::max<std::size_t>(size(), 1));
    if (wanted > 1 && !team_) team_ = std::make_unique<ThreadTeam>();
    const std::size_t parts = wanted > 1 ? team_->reserve(wanted) : 1;
    chunks_.resize(parts);
    return parts;
}

void GameBatch::set_game(std::size_t i, const Game& game) { entries_[i] = Entry{game, 0, entries_[i].episode}; }

void GameBatch::restart(std::size_t i) { entries_[i] = Entry{start_, 0, entries_[i].episode + 1}; }

std::uint64_t GameBatch::random_word(std::size_t i) const {
    return batch::random_word(settings_.seed, i, entries_[i].episode, entries_[i].plies);
}

std::optional<Refusal> GameBatch::plan(std::size_t i, const Request& request) {
    const Entry& entry = entries_[i];
    Plan& plan = plans_[i];
    if (entry.ended && settings_.auto_reset) {
        plan.kind = Plan::Kind::Restart;
        return std::nullopt;
    }
    MoveList moves;
    generate_moves(entry.game.board, moves);
    const Color side = entry.game.board.side_to_move;
    const std::int64_t value = request.values != nullptr ? request.values[i] : 0;
    const auto refuse = [&](Refusal::Reason reason) { return Refusal{reason, i, value, moves.size()}; };
    if (moves.size() == 0) return refuse(Refusal::Reason::NoLegalMove);
    std::size_t position = 0;
    plan = Plan{};
    switch (request.choice) {
        case Choice::Position:
            if (value < 0 || static_cast<std::uint64_t>(value) >= moves.size()) {
                return refuse(Refusal::Reason::PositionOutOfRange);
            }
            position = static_cast<std::size_t>(value);
            break;
        case Choice::Slot: {
            const auto found = value >= 0 && value < action_count ? first_with_slot(side, moves, static_cast<int>(value))
                                                                  : std::nullopt;
            if (!found) return refuse(Refusal::Reason::NoMoveWithSlot);
            position = *found;
            break;
        }
        case Choice::Random:
        case Choice::Greedy:
        case Choice::Cautious:
            position = choose_move(*agent_of(request.choice), entry.game.board, listed(moves), random_word(i));
            break;
        case Choice::Logits: {
            const auto drawn = sample_move(side, listed(moves), request.logits + i * action_count, request.sampling,
                                           random_word(i));
            if (!drawn) return refuse(Refusal::Reason::UnusableLogits);
            position = drawn->position;
            plan.log_prob = drawn->log_prob;
            plan.entropy = drawn->entropy;
            break;
        }
    }
    plan.kind = Plan::Kind::Play;
    plan.move = moves[position];
    return std::nullopt;
}

void GameBatch::report(std::size_t i, std::size_t part, bool oracle, std::optional<Agent> reply, const Outputs& out) {
    Entry& entry = entries_[i];
    const Plan plan = std::exchange(plans_[i], Plan{});
    if (out.played_move) out.played_move[i] = no_move;
    if (out.played_slot) out.played_slot[i] = -1;
    if (out.log_prob) out.log_prob[i] = plan.log_prob;
    if (out.entropy) out.entropy[i] = plan.entropy;
    if (out.reply_move) out.reply_move[i] = no_move;
    const auto play = [&](const BoardMove& move) {
        // Listed moves are always playable.
        [[maybe_unused]] const auto applied = apply_move(entry.game, move);
        assert(applied.ok());
        if (entry.plies < max_ply_count) ++entry.plies;
    };
    MoveList moves;
    bool listed_now = false;  // whether `moves` are those of the game as it stands
    if (plan.kind == Plan::Kind::Restart) {
        restart(i);
    } else if (plan.kind == Plan::Kind::Play) {
        if (out.played_move) out.played_move[i] = move_code(plan.move);
        if (out.played_slot) out.played_slot[i] = slot_of(entry.game.board.side_to_move, plan.move);
        play(plan.move);
        if (reply) {
            generate_moves(entry.game.board, moves);
            listed_now = true;
            if (!has_ended(entry, moves, settings_.max_plies)) {
                const BoardMove answer = moves[choose_move(*reply, entry.game.board, listed(moves), random_word(i))];
                if (out.reply_move) out.reply_move[i] = move_code(answer);
                play(answer);
                moves.clear();
                listed_now = false;
            }
        }
    }

    const Game& game = entry.game;
    const Color side = game.board.side_to_move;
    if (!listed_now) generate_moves(game.board, moves);
    const bool terminated = is_terminal(game);
    const bool cut_off = settings_.max_plies != 0 && entry.plies >= settings_.max_plies;
    const bool truncated = !terminated && (cut_off || moves.size() == 0);
    if (plan.kind != Plan::Kind::Keep) entry.ended = terminated || truncated;

    if (out.terminated) out.terminated[i] = terminated;
    if (out.truncated) out.truncated[i] = truncated;
    if (out.values) {
        out.values[2 * i] = terminal_value(game, Color::White);
        out.values[2 * i + 1] = terminal_value(game, Color::Black);
    }
    if (out.plies) out.plies[i] = static_cast<std::int32_t>(entry.plies);
    if (out.observation) {
        build_observation(game, oracle, std::span<float, observation_size>(out.observation + i * observation_size,
                                                                            observation_size));
    }
    if (out.mask) {
        write_slot_mask(side, moves, out.mask + i * action_count);
    }
    std::vector<MoveCode>& listed_codes = chunks_[part].moves;
    for (const BoardMove& move : moves) listed_codes.push_back(move_code(move));
    counts_[i] = static_cast<std::uint32_t>(moves.size());
}

void GameBatch::report_part(std::size_t part, bool oracle, std::optional<Agent> reply, const Outputs& out) {
    chunks_[part].moves.clear();
    for (std::size_t i = part_begin(part); i < part_begin(part + 1); ++i) report(i, part, oracle, reply, out);
}

std::size_t GameBatch::listed_moves() const {
    std::size_t total = 0;
    for (const ChunkMoves& chunk : chunks_) total += chunk.moves.size();
    return total;
}

void GameBatch::write_listing(std::int64_t* offsets, MoveCode* moves, std::int64_t* slots) const {
    // The last report split the games into these parts, so each thread copies the moves it
    // listed itself, from where the games before its own end.
    std::vector<std::int64_t> starts(size() + 1, 0);
    for (std::size_t i = 0; i < size(); ++i) starts[i + 1] = starts[i] + counts_[i];
    if (offsets) std::copy(starts.begin(), starts.end(), offsets);
    const auto copy_part = [&](std::size_t part) {
        const std::vector<MoveCode>& listed = chunks_[part].moves;
        std::size_t at = 0;
        for (std::size_t i = part_begin(part); i < part_begin(part + 1); ++i) {
            const Color side = entries_[i].game.board.side_to_move;
            for (auto to = static_cast<std::size_t>(starts[i]); to < static_cast<std::size_t>(starts[i + 1]); ++to, ++at) {
                if (moves) moves[to] = listed[at];
                if (slots) slots[to] = slot_of(side, *move_of_code(listed[at]));
            }
        }
    };
    if (chunks_.size() > 1) {
        team_->run(chunks_.size(), copy_part);
    } else if (!chunks_.empty()) {
        copy_part(0);
    }
}

std::optional<Refusal> GameBatch::step(const Request& request, bool oracle, const Outputs& out) {
    const std::size_t count = parts();
    std::vector<std::optional<Refusal>> refused(count);
    std::barrier all_planned(static_cast<std::ptrdiff_t>(count));
    const auto play = [&](std::size_t part) {
        for (std::size_t i = part_begin(part); i < part_begin(part + 1) && !refused[part]; ++i) {
            refused[part] = plan(i, request);
        }
        all_planned.arrive_and_wait();
        if (std::none_of(refused.begin(), refused.end(), [](const auto& r) { return r.has_value(); })) {
            report_part(part, oracle, request.reply, out);
        }
    };
    if (count > 1) {
        team_->run(count, play);
    } else {
        play(0);
    }
    // The first refusal in game order, whatever the split; the plans made are simply dropped.
    for (const auto& refusal : refused) {
        if (refusal) {
            std::fill(plans_.begin(), plans_.end(), Plan{});
            return refusal;
        }
    }
    return std::nullopt;
}

void GameBatch::observe(bool oracle, const Outputs& out) {
    const std::size_t count = parts();
    const auto look = [&](std::size_t part) { report_part(part, oracle, std::nullopt, out); };
    if (count > 1) {
        team_->run(count, look);
    } else {
        look(0);
    }
}

}  // namespace murkplay::batch
