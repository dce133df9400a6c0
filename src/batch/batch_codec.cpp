#include "batch/batch_codec.hpp"

#include "game/game_codec.hpp"

namespace murkplay::batch {

namespace {

constexpr std::uint8_t tag[] = {'M', 'P', 'G', 'B', 1};
constexpr std::size_t header_size = sizeof tag + 8 + 4 + 1 + 8 + 4 + game_bytes_size;
constexpr std::size_t entry_size = game_bytes_size + 4 + 4 + 1;

void put(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t take(std::span<const std::uint8_t>& in, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= std::uint64_t{in[static_cast<std::size_t>(i)]} << (8 * i);
    in = in.subspan(static_cast<std::size_t>(bytes));
    return value;
}

void put_game(std::vector<std::uint8_t>& out, const Game& game) {
    const GameBytes bytes = write_game_bytes(game);
    out.insert(out.end(), bytes.begin(), bytes.end());
}

std::optional<Game> take_game(std::span<const std::uint8_t>& in) {
    const auto game = read_game_bytes(in.first(game_bytes_size));
    in = in.subspan(game_bytes_size);
    return game;
}

}  // namespace

std::vector<std::uint8_t> write_batch_bytes(const GameBatch& batch) {
    std::vector<std::uint8_t> out(std::begin(tag), std::end(tag));
    out.reserve(header_size + batch.size() * entry_size);
    const Settings& s = batch.settings();
    put(out, batch.size(), 8);
    put(out, s.max_plies, 4);
    put(out, s.auto_reset, 1);
    put(out, s.seed, 8);
    put(out, s.threads, 4);
    put_game(out, batch.start());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const Entry& entry = batch.entry(i);
        put_game(out, entry.game);
        put(out, entry.plies, 4);
        put(out, entry.episode, 4);
        // Bit 0: ended; bit 1: began at the batch's start (payloads without it say no).
        put(out, std::uint64_t{entry.ended} | std::uint64_t{entry.from_start} << 1, 1);
    }
    return out;
}

std::optional<GameBatch> read_batch_bytes(std::span<const std::uint8_t> in) {
    if (in.size() < header_size || !std::equal(std::begin(tag), std::end(tag), in.begin())) return std::nullopt;
    in = in.subspan(sizeof tag);
    const std::uint64_t size = take(in, 8);
    Settings settings;
    settings.max_plies = static_cast<std::uint32_t>(take(in, 4));
    const std::uint64_t auto_reset = take(in, 1);
    settings.seed = take(in, 8);
    settings.threads = static_cast<std::uint32_t>(take(in, 4));
    if (auto_reset > 1 || settings.threads < 1 || settings.threads > max_threads ||
        settings.max_plies > max_ply_count) {
        return std::nullopt;
    }
    settings.auto_reset = auto_reset == 1;
    const std::optional<Game> start = take_game(in);
    if (!start || size > in.size() / entry_size || in.size() != size * entry_size) return std::nullopt;
    std::vector<Entry> entries;
    entries.reserve(size);
    for (std::uint64_t i = 0; i < size; ++i) {
        const std::optional<Game> game = take_game(in);
        const auto plies = static_cast<std::uint32_t>(take(in, 4));
        const auto episode = static_cast<std::uint32_t>(take(in, 4));
        const std::uint64_t flags = take(in, 1);
        if (!game || flags > 3 || plies > max_ply_count) return std::nullopt;
        entries.push_back(Entry{*game, plies, episode, (flags & 1) != 0, (flags & 2) != 0});
    }
    return GameBatch(std::move(entries), *start, settings);
}

}  // namespace murkplay::batch
