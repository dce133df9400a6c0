// The observation as codes: decoded from the meaning of each code, it is the float observation
// bit for bit, on every ply of random games, for either viewer, with and without the oracle.
#include <algorithm>
#include <bit>
#include <cmath>
#include <random>

#include "encode/observation.hpp"
#include "encode/observation_codes.hpp"
#include "game/apply.hpp"
#include "game/game_end.hpp"
#include "game/movegen.hpp"
#include "test_support.hpp"

namespace murkplay {
namespace {

using testing::board_of;

constexpr int F = observation_features;

struct Codes {
    std::array<std::uint8_t, cell_codes_size> cells;
    std::array<std::uint16_t, 64> ages;
    std::array<std::uint8_t, shared_value_count> shared;
};

Codes codes_of(const Game& g, Color viewer, bool oracle) {
    Codes c;
    // The builder must write every entry.
    c.cells.fill(0xee);
    c.ages.fill(0xeeee);
    c.shared.fill(0xee);
    build_observation_codes(g, viewer, oracle, {c.cells, c.ages, c.shared});
    return c;
}

// The floats from what each code means, written without the builder's tables.
Observation decoded(const Codes& c) {
    Observation o{};
    for (int cell = 0; cell < 64; ++cell) {
        float* row = &o[F * cell];
        row[c.cells[2 * cell]] = 1.0f;
        row[14 + c.cells[2 * cell + 1]] = 1.0f;
        row[27] = 1.0f / (static_cast<float>(c.ages[cell]) + 1.0f);
        row[30] = (8.0f - c.shared[2]) / 8.0f;
        row[31] = (2.0f - c.shared[3]) / 2.0f;
        row[32] = (2.0f - c.shared[4]) / 2.0f;
        row[33] = (2.0f - c.shared[5]) / 2.0f;
        row[34] = 1.0f - c.shared[6];
    }
    o[28] = c.shared[0];
    o[F + 29] = c.shared[1];
    return o;
}

::testing::AssertionResult same_bits(const Observation& expected, const Observation& got) {
    for (int i = 0; i < observation_size; ++i) {
        if (std::bit_cast<std::uint32_t>(expected[i]) != std::bit_cast<std::uint32_t>(got[i])) {
            return ::testing::AssertionFailure() << "cell " << i / F << " feature " << i % F << ": " << got[i]
                                                 << " instead of " << expected[i];
        }
    }
    return ::testing::AssertionSuccess();
}

// The oldest age met, so that the test knows it reached ages a byte could not hold.
int oldest = 0;

void expect_decodes_to_floats(const Game& g, const char* where) {
    for (const Color viewer : {Color::White, Color::Black}) {
        for (const bool oracle : {false, true}) {
            Observation floats;
            build_observation(g, viewer, oracle, floats);
            const Codes c = codes_of(g, viewer, oracle);
            for (int cell = 0; cell < 64; ++cell) {
                oldest = std::max<int>(oldest, c.ages[cell]);
                ASSERT_LT(c.cells[2 * cell], seen_codes) << where;
                ASSERT_LT(c.cells[2 * cell + 1], remembered_codes) << where;
            }
            ASSERT_TRUE(same_bits(floats, decoded(c))) << where << " viewer " << index(viewer) << " oracle " << oracle;
        }
    }
}

TEST(ObservationCodes, DecodeToTheFloatsThroughRandomGames) {
    std::mt19937_64 random(2024);
    int plies = 0;
    // Long games too, so that ages pass 255 and the byte a narrower code would have.
    for (int game = 0; game < 60; ++game) {
        Game g = new_game(start_board());
        const bool long_game = game % 10 == 0;
        const int limit = long_game ? 700 : 200;
        for (int ply = 0; ply < limit && !is_terminal(g); ++ply, ++plies) {
            expect_decodes_to_floats(g, "random game");
            if (HasFatalFailure()) return;
            MoveList moves;
            generate_moves(g.board, moves);
            if (moves.size() == 0) break;
            BoardMove move = moves[random() % moves.size()];
            // The long games spare the kings while they can, and so go on.
            const SquareSet kings = g.board.piece_sets[index(PieceKind::King)];
            for (int tries = 0; long_game && contains(kings, move.destination) && tries < 20; ++tries) {
                move = moves[random() % moves.size()];
            }
            ASSERT_TRUE(apply_move(g, move).ok());
        }
        expect_decodes_to_floats(g, "game end");
    }
    EXPECT_GT(plies, 5000);
    EXPECT_GT(oldest, 255);
}

TEST(ObservationCodes, UnusualMaterialAndRightsAreStoredAsCounts) {
    for (const char* fen : {"nnnqqk2/8/8/8/8/8/8/NNNNK3 w - - 0 1", "4k3/8/8/8/8/8/P7/RRRBK3 b - - 0 1",
                            "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w Qk - 0 1",
                            "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R b Qk - 0 1"}) {
        const Game g = new_game(board_of(fen));
        expect_decodes_to_floats(g, fen);
    }
    const Codes knights = codes_of(new_game(board_of("nnnqqk2/8/8/8/8/8/8/NNNNK3 w - - 0 1")), Color::White, false);
    EXPECT_EQ(knights.shared, (std::array<std::uint8_t, 7>{0, 0, 0, 3, 0, 0, 2}));
    const Codes rights =
        codes_of(new_game(board_of("r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R b Qk - 0 1")), Color::Black, false);
    EXPECT_EQ(rights.shared, (std::array<std::uint8_t, 7>{1, 0, 8, 0, 0, 2, 0}));
}

TEST(ObservationCodes, AgesOutsideWholeTurnsAreRoundedDownWithinTheCap) {
    Game g = new_game(start_board());
    auto& ages = g.memory_age[0];
    ages[0] = 0.5f;
    ages[1] = 254.0f;
    ages[2] = 300.0f;
    ages[3] = 65534.0f;
    ages[4] = 65535.0f;
    ages[5] = 1.0e9f;
    ages[6] = 7.75f;
    ages[7] = std::nanf("");
    const Codes c = codes_of(g, Color::White, false);
    const std::uint16_t expected[] = {0, 254, 300, 65534, 65535, 65535, 7, 0};
    for (int q = 0; q < 8; ++q) EXPECT_EQ(c.ages[q], expected[q]) << "square " << q;
}

}  // namespace
}  // namespace murkplay
