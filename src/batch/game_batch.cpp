#include "batch/game_batch.hpp"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <exception>
#include <utility>

#include "batch/random_stream.hpp"
#include "encode/legal_slots.hpp"
#include "game/apply.hpp"
#include "game/game_end.hpp"

namespace murkplay::batch {

namespace {

// How many games ahead a step by logits fetches their logits: drawing a game's move takes
// about as long as one fetch from memory.
constexpr std::size_t logits_ahead = 2;

static_assert(sizeof(Entry) <= 1024 - 16, "a game in a batch must stay within a kibibyte");

std::span<const BoardMove> listed_moves_of(const MoveList& moves) { return {moves.begin(), moves.size()}; }

// Whether a game stands ended: a king captured, the ply limit reached, or no move to play.
bool has_ended(const Entry& entry, const MoveList& moves, std::uint32_t max_plies) {
    return is_terminal(entry.game) || (max_plies != 0 && entry.plies >= max_plies) || moves.size() == 0;
}

}  // namespace

GameBatch::GameBatch(std::vector<Entry> entries, const Game& start, Settings settings)
    : entries_(std::move(entries)), start_(start), settings_(settings), plans_(entries_.size()),
      counts_(entries_.size()), listed_(entries_.size(), 0) {
}

std::size_t GameBatch::parts() {
    const std::size_t wanted = tuner_.next(std::clamp<std::size_t>(
        std::min<std::size_t>(settings_.threads, ThreadTeam::cores()), 1,
        std::max<std::size_t>(size() / min_games_per_thread, 1)));
    if (wanted > 1 && !team_) team_ = std::make_unique<ThreadTeam>();
    const std::size_t parts = wanted > 1 ? team_->reserve(wanted) : 1;
    // Only ever more chunks: a refused call must leave the last listing whole.
    if (chunks_.size() < parts) chunks_.resize(parts);
    refused_.assign(parts, std::nullopt);
    failed_.assign(parts, nullptr);
    for (std::size_t part = 0; part < parts; ++part) {
        chunks_[part].moves.reserve((part_begin(part + 1, parts) - part_begin(part, parts)) * max_moves);
    }
    return parts;
}

void GameBatch::run(std::size_t count, const std::function<void(std::size_t)>& job) const {
    const auto began = std::chrono::steady_clock::now();
    if (count > 1) {
        team_->run(count, job);
    } else {
        job(0);
    }
    tuner_.spent(std::chrono::steady_clock::now() - began);
}

Entry written_entry(const Game& game, std::uint32_t episode) {
    MoveList moves;
    generate_moves(game.board, moves);
    return Entry{game, 0, episode, is_terminal(game) || moves.size() == 0, false};
}

void GameBatch::set_game(std::size_t i, const Game& game) {
    entries_[i] = written_entry(game, entries_[i].episode);
    listed_[i] = 0;
}

void GameBatch::restart(std::size_t i) {
    entries_[i] = Entry{start_, 0, entries_[i].episode + 1, false, true};
    listed_[i] = 0;
}

std::uint64_t GameBatch::random_word(std::size_t i) const {
    return batch::random_word(settings_.seed, i, entries_[i].episode, entries_[i].plies);
}

std::optional<Refusal> GameBatch::check(const Request& request) const {
    for (std::size_t i = 0; i < size(); ++i) {
        if (entries_[i].ended && settings_.auto_reset) continue;
        std::size_t count = counts_[i];
        if (!listed_[i]) {
            MoveList moves;
            generate_moves(entries_[i].game.board, moves);
            count = moves.size();
        }
        const std::int64_t value = request.values != nullptr ? request.values[i] : 0;
        if (count == 0) return Refusal{Refusal::Reason::NoLegalMove, i, value, count};
        if (request.choice == Choice::Position && (value < 0 || static_cast<std::uint64_t>(value) >= count)) {
            return Refusal{Refusal::Reason::PositionOutOfRange, i, value, count};
        }
    }
    return std::nullopt;
}

std::optional<Refusal> GameBatch::plan(std::size_t i, const MoveCode* listed, MoveList& moves, const Request& request) {
    const Entry& entry = entries_[i];
    Plan& plan = plans_[i];
    plan = Plan{};
    if (entry.ended && settings_.auto_reset) {
        plan.kind = Plan::Kind::Restart;
        return std::nullopt;
    }
    // From the listing, a move by position or a random one is decoded alone; the choices
    // that look at every move decode them all.
    moves.clear();
    if (listed == nullptr) generate_moves(entry.game.board, moves);
    const std::size_t count = listed != nullptr ? counts_[i] : moves.size();
    const auto all = [&]() -> const MoveList& {
        if (moves.size() != count) {
            for (std::size_t k = 0; k < count; ++k) moves.push(*move_of_code(listed[k]));
        }
        return moves;
    };
    const Color side = entry.game.board.side_to_move;
    const std::int64_t value = request.values != nullptr ? request.values[i] : 0;
    const auto refuse = [&](Refusal::Reason reason) { return Refusal{reason, i, value, count}; };
    if (count == 0) return refuse(Refusal::Reason::NoLegalMove);
    std::size_t position = 0;
    switch (request.choice) {
        case Choice::Position:
            if (value < 0 || static_cast<std::uint64_t>(value) >= count) return refuse(Refusal::Reason::PositionOutOfRange);
            position = static_cast<std::size_t>(value);
            break;
        case Choice::Slot: {
            const auto found = value >= 0 && value < action_count ? first_with_slot(side, all(), static_cast<int>(value))
                                                                  : std::nullopt;
            if (!found) return refuse(Refusal::Reason::NoMoveWithSlot);
            position = *found;
            break;
        }
        case Choice::Agent:
            position = request.agent == Agent::Random
                           ? random_move(count, random_word(i))
                           : choose_move(request.agent, entry.game.board, listed_moves_of(all()), random_word(i));
            break;
        case Choice::Logits: {
            const auto drawn = sample_move(side, listed_moves_of(all()), request.logits + i * action_count,
                                           request.sampling, random_word(i));
            if (!drawn) return refuse(Refusal::Reason::UnusableLogits);
            position = drawn->position;
            plan.log_prob = drawn->log_prob;
            plan.entropy = drawn->entropy;
            break;
        }
    }
    plan.kind = Plan::Kind::Play;
    plan.move = listed != nullptr ? *move_of_code(listed[position]) : moves[position];
    return std::nullopt;
}

void GameBatch::report(std::size_t i, std::size_t part, bool oracle, std::optional<Agent> reply, const Outputs& out,
                       MoveList& moves) {
    Entry& entry = entries_[i];
    const Plan plan = std::exchange(plans_[i], Plan{});
    if (out.played_move) out.played_move[i] = no_move;
    if (out.played_slot) out.played_slot[i] = -1;
    if (out.log_prob) out.log_prob[i] = plan.log_prob;
    if (out.entropy) out.entropy[i] = plan.entropy;
    if (out.reply_move) out.reply_move[i] = no_move;
    if (out.reply_slot) out.reply_slot[i] = -1;
    const auto play = [&](const BoardMove& move) {
        // Listed moves are always playable.
        [[maybe_unused]] const auto applied = apply_move(entry.game, move);
        assert(applied.ok());
        if (entry.plies < max_ply_count) ++entry.plies;
    };
    moves.clear();
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
                const BoardMove answer = moves[choose_move(*reply, entry.game.board, listed_moves_of(moves), random_word(i))];
                if (out.reply_move) out.reply_move[i] = move_code(answer);
                if (out.reply_slot) out.reply_slot[i] = slot_of(entry.game.board.side_to_move, answer);
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
    entry.ended = terminated || truncated;

    if (out.terminated) out.terminated[i] = terminated;
    if (out.truncated) out.truncated[i] = truncated;
    if (out.restarting) out.restarting[i] = settings_.auto_reset && entry.ended;
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
    listed_[i] = 1;
}

void GameBatch::report_part(std::size_t part, std::size_t parts, bool oracle, std::optional<Agent> reply,
                            const Outputs& out) {
    chunks_[part].moves.clear();
    // One list for all the part's games: a new one would be cleared for each, 3 KiB at a time.
    MoveList moves;
    for (std::size_t i = part_begin(part, parts); i < part_begin(part + 1, parts); ++i) {
        report(i, part, oracle, reply, out, moves);
    }
}

std::size_t GameBatch::listed_moves() const {
    std::size_t total = 0;
    for (std::size_t part = 0; part < listed_parts_; ++part) total += chunks_[part].moves.size();
    return total;
}

void GameBatch::write_listing(std::int64_t* offsets, MoveCode* moves, std::int64_t* slots) const {
    // The last report split the games into these parts, so each thread copies the moves it
    // listed itself, from where the games before its own end.
    std::vector<std::int64_t> starts(size() + 1, 0);
    for (std::size_t i = 0; i < size(); ++i) starts[i + 1] = starts[i] + counts_[i];
    if (offsets) std::copy(starts.begin(), starts.end(), offsets);
    const auto copy_part = [&](std::size_t part) {
        // A part's games are consecutive, so are their moves in the caller's array.
        const std::vector<MoveCode>& listed = chunks_[part].moves;
        const std::size_t first = part_begin(part, listed_parts_);
        const auto to = static_cast<std::size_t>(starts[first]);
        if (moves) std::copy(listed.begin(), listed.end(), moves + to);
        if (!slots) return;
        std::size_t at = 0;
        for (std::size_t i = first; i < part_begin(part + 1, listed_parts_); ++i) {
            const Color side = entries_[i].game.board.side_to_move;
            for (std::size_t k = 0; k < counts_[i]; ++k, ++at) slots[to + at] = slot_of(side, *move_of_code(listed[at]));
        }
    };
    if (listed_parts_ > 0) run(listed_parts_, copy_part);
}

std::optional<Refusal> GameBatch::step(const Request& request, bool oracle, const Outputs& out) {
    const std::size_t count = parts();
    // A move named by position, or chosen by an agent, can be refused only for the number of
    // moves, which the listing tells at once; then each part plans and plays its games without
    // waiting for the others. Slots and logits are checked by the parts, which then wait for
    // one another, so that no game is played when any is refused.
    const bool checked_first = request.choice != Choice::Slot && request.choice != Choice::Logits;
    if (checked_first) {
        if (auto refusal = check(request)) return refusal;
    }
    std::vector<std::optional<Refusal>>& refused = refused_;
    std::vector<std::exception_ptr>& failed = failed_;
    const auto play = [&](std::size_t part) {
        MoveList moves;
        std::size_t at = 0;
        const bool kept = count == listed_parts_;
        const std::size_t begin = part_begin(part, count);
        const std::size_t end = part_begin(part + 1, count);
        // The logits of the games a few ahead are on their way while this one draws from its own.
        const bool fetch = request.choice == Choice::Logits && kept;
        std::size_t ahead = begin;
        std::size_t ahead_at = 0;
        // A part that fails still reaches the barrier, or the others would wait there forever.
        try {
            for (std::size_t i = begin; i < end && !refused[part]; ++i) {
                for (; fetch && ahead < end && ahead <= i + logits_ahead; ahead_at += counts_[ahead++]) {
                    if (!listed_[ahead]) continue;
                    prefetch_logits(entries_[ahead].game.board.side_to_move,
                                    {chunks_[part].moves.data() + ahead_at, counts_[ahead]},
                                    request.logits + ahead * action_count);
                }
                const MoveCode* listed = kept && listed_[i] ? chunks_[part].moves.data() + at : nullptr;
                at += counts_[i];
                refused[part] = plan(i, listed, moves, request);
            }
        } catch (...) {
            failed[part] = std::current_exception();
        }
        assert(!checked_first || !refused[part]);
        if (!checked_first && count > 1) team_->barrier();
        if (failed[part]) std::rethrow_exception(failed[part]);
        // Other parts' outcomes are read only after the barrier, which orders them before.
        // Without the barrier no part can refuse or fail: planning a move by position or by an
        // agent takes no memory, and the number of moves was checked. Playing cannot fail.
        bool stopped = false;
        for (std::size_t p = 0; p < count && !checked_first; ++p) stopped = stopped || refused[p] || failed[p];
        if (!stopped) report_part(part, count, oracle, request.reply, out);
    };
    try {
        run(count, play);
    } catch (...) {
        std::fill(plans_.begin(), plans_.end(), Plan{});
        throw;
    }
    // The first refusal in game order, whatever the split; the plans made are simply dropped.
    for (const auto& refusal : refused) {
        if (refusal) {
            std::fill(plans_.begin(), plans_.end(), Plan{});
            return refusal;
        }
    }
    listed_parts_ = count;
    return std::nullopt;
}

void GameBatch::observe(bool oracle, const Outputs& out) {
    const std::size_t count = parts();
    const auto look = [&](std::size_t part) { report_part(part, count, oracle, std::nullopt, out); };
    run(count, look);
    listed_parts_ = count;
}

}  // namespace murkplay::batch
