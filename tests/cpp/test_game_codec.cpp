// Games as bytes: every game of random play survives the round trip, and no damaged record
// reads as a game that breaks an invariant.
#include <random>

#include "game/apply.hpp"
#include "game/game_codec.hpp"
#include "game/movegen.hpp"
#include "test_support.hpp"

namespace murkplay {
namespace {

std::vector<Game> random_games(std::uint32_t seed, int plies) {
    std::mt19937 random(seed);
    std::vector<Game> games{new_game(start_board())};
    for (int ply = 0; ply < plies; ++ply) {
        Game next = games.back();
        MoveList moves;
        generate_moves(next.board, moves);
        if (moves.size() == 0) break;
        if (!apply_move(next, moves[random() % moves.size()]).ok()) {
            ADD_FAILURE() << "a listed move was refused";
            break;
        }
        games.push_back(next);
    }
    return games;
}

TEST(GameCodec, EveryPlayedGameRoundTrips) {
    for (std::uint32_t seed = 0; seed < 20; ++seed) {
        for (const Game& game : random_games(seed, 120)) {
            EXPECT_TRUE(is_consistent(game));
            const GameBytes bytes = write_game_bytes(game);
            const std::optional<Game> back = read_game_bytes(bytes);
            ASSERT_TRUE(back.has_value());
            EXPECT_EQ(*back, game);
        }
    }
}

TEST(GameCodec, DamagedRecordsNeverReadAsBrokenGames) {
    std::mt19937 random(7);
    const std::vector<Game> games = random_games(3, 80);
    int refused = 0;
    for (int trial = 0; trial < 20000; ++trial) {
        GameBytes bytes = write_game_bytes(games[random() % games.size()]);
        const std::size_t at = random() % bytes.size();
        bytes[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
        const std::optional<Game> read = read_game_bytes(bytes);
        if (!read) {
            ++refused;
            continue;
        }
        EXPECT_TRUE(is_consistent(*read)) << "byte " << at;
    }
    EXPECT_GT(refused, 1000);
    const GameBytes good = write_game_bytes(games.back());
    EXPECT_FALSE(read_game_bytes(std::span(good).first(good.size() - 1)));
    std::vector<std::uint8_t> longer(good.begin(), good.end());
    longer.push_back(0);
    EXPECT_FALSE(read_game_bytes(longer));
}

}  // namespace
}  // namespace murkplay
