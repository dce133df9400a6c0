#include "batch/game_batch.hpp"

#include <algorithm>
#include <barrier>
#include <cassert>
#include <utility>

#include "batch/mix.hpp"
#include "encode/legal_slots.hpp"
#include "game/apply.hpp"
#include "game/game_end.hpp"

namespace murkplay::batch {

namespace {

static_assert(sizeof(Entry) <= 1024 - 16, "a game in a batch must stay within a kibibyte");

// A game's random stream is a function of the seed, the game's place in the batch, its restart
// count and its ply, so no thread split or call order can change it.
std::size_t random_position(std::uint64_t seed, std::size_t game, const Entry& entry, std::size_t count) {
    const std::uint64_t where = mix(game ^ (std::uint64_t{entry.episode} << 32)) ^ mix(~std::uint64_t{entry.plies});
    return static_cast<std::size_t>(mix(seed ^ where) % count);
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

std::optional<Refusal> GameBatch::plan(std::size_t i, Choice choice, const std::int64_t* values) {
    const Entry& entry = entries_[i];
    Plan& plan = plans_[i];
    if (entry.ended && settings_.auto_reset) {
        plan.kind = Plan::Kind::Restart;
        return std::nullopt;
    }
    MoveList moves;
    generate_moves(entry.game.board, moves);
    const std::int64_t value = choice == Choice::Random ? 0 : values[i];
    const auto refuse = [&](Refusal::Reason reason) { return Refusal{reason, i, value, moves.size()}; };
    if (moves.size() == 0) return refuse(Refusal::Reason::NoLegalMove);
    std::size_t position = 0;
    switch (choice) {
        case Choice::Position:
            if (value < 0 || static_cast<std::uint64_t>(value) >= moves.size()) {
                return refuse(Refusal::Reason::PositionOutOfRange);
            }
            position = static_cast<std::size_t>(value);
            break;
        case Choice::Slot: {
            const auto found = value >= 0 && value < action_count
                                   ? first_with_slot(entry.game.board.side_to_move, moves, static_cast<int>(value))
                                   : std::nullopt;
            if (!found) return refuse(Refusal::Reason::NoMoveWithSlot);
            position = *found;
            break;
        }
        case Choice::Random: position = random_position(settings_.seed, i, entry, moves.size()); break;
    }
    plan = Plan{Plan::Kind::Play, moves[position]};
    return std::nullopt;
}

void GameBatch::report(std::size_t i, std::size_t part, bool oracle, const Outputs& out) {
    Entry& entry = entries_[i];
    const Plan plan = std::exchange(plans_[i], Plan{});
    if (out.played_move) out.played_move[i] = no_move;
    if (out.played_slot) out.played_slot[i] = -1;
    if (plan.kind == Plan::Kind::Restart) {
        restart(i);
    } else if (plan.kind == Plan::Kind::Play) {
        if (out.played_move) out.played_move[i] = move_code(plan.move);
        if (out.played_slot) out.played_slot[i] = slot_of(entry.game.board.side_to_move, plan.move);
        // Listed moves are always playable.
        [[maybe_unused]] const auto applied = apply_move(entry.game, plan.move);
        assert(applied.ok());
        ++entry.plies;
    }

    const Game& game = entry.game;
    const Color side = game.board.side_to_move;
    MoveList moves;
    generate_moves(game.board, moves);
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
    std::vector<MoveCode>& listed = chunks_[part].moves;
    for (const BoardMove& move : moves) listed.push_back(move_code(move));
    counts_[i] = static_cast<std::uint32_t>(moves.size());
}

void GameBatch::report_part(std::size_t part, bool oracle, const Outputs& out) {
    chunks_[part].moves.clear();
    for (std::size_t i = part_begin(part); i < part_begin(part + 1); ++i) report(i, part, oracle, out);
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

std::optional<Refusal> GameBatch::step(Choice choice, const std::int64_t* values, bool oracle, const Outputs& out) {
    const std::size_t count = parts();
    std::vector<std::optional<Refusal>> refused(count);
    std::barrier all_planned(static_cast<std::ptrdiff_t>(count));
    const auto play = [&](std::size_t part) {
        for (std::size_t i = part_begin(part); i < part_begin(part + 1) && !refused[part]; ++i) {
            refused[part] = plan(i, choice, values);
        }
        all_planned.arrive_and_wait();
        if (std::none_of(refused.begin(), refused.end(), [](const auto& r) { return r.has_value(); })) {
            report_part(part, oracle, out);
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
    const auto look = [&](std::size_t part) { report_part(part, oracle, out); };
    if (count > 1) {
        team_->run(count, look);
    } else {
        look(0);
    }
}

}  // namespace murkplay::batch
