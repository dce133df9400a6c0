// UCI move text: which texts are read, with which error kind the others are refused, and
// that written moves read back to themselves.
#include <string>
#include <string_view>

#include "game/movegen.hpp"
#include "rules/play_move.hpp"
#include "test_support.hpp"

namespace murkplay {
namespace {

using namespace std::string_view_literals;
using testing::mv;
using testing::sq;

struct Accepted {
    std::string_view text;
    BoardMove move;
};

class UciAccepted : public ::testing::TestWithParam<Accepted> {};

TEST_P(UciAccepted, ReadsTheMove) {
    const Accepted& c = GetParam();
    const Result<BoardMove> m = parse_uci_move(c.text);
    ASSERT_TRUE(m.ok()) << "'" << c.text << "' error " << static_cast<int>(m.error());
    EXPECT_EQ(m->source, c.move.source);
    EXPECT_EQ(m->destination, c.move.destination);
    EXPECT_EQ(m->promotion, c.move.promotion);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UciAccepted,
    ::testing::Values(Accepted{"e2e4"sv, mv("e2", "e4")}, Accepted{"e7e8q"sv, mv("e7", "e8", PieceKind::Queen)},
                      Accepted{"e7e8r"sv, mv("e7", "e8", PieceKind::Rook)},
                      Accepted{"e7e8b"sv, mv("e7", "e8", PieceKind::Bishop)},
                      Accepted{"a2a1n"sv, mv("a2", "a1", PieceKind::Knight)},
                      // Promotion letters on any move: the reader looks at no board.
                      Accepted{"g1f3q"sv, mv("g1", "f3", PieceKind::Queen)},
                      Accepted{"e1g1"sv, mv("e1", "g1")}, Accepted{"a1h8"sv, mv("a1", "h8")},
                      Accepted{"h8a1"sv, mv("h8", "a1")}, Accepted{"a1a1"sv, mv("a1", "a1")},
                      // Six bytes or more: everything after the fourth byte is ignored.
                      Accepted{"e7e8qq"sv, mv("e7", "e8")}, Accepted{"e2e4xyz"sv, mv("e2", "e4")},
                      Accepted{"e2e4  "sv, mv("e2", "e4")}, Accepted{"e7e8QQ"sv, mv("e7", "e8")},
                      Accepted{"e2e4\xC3\xA9"sv, mv("e2", "e4")},            // e2e4 then é
                      Accepted{"e7e8\xEF\xBD\x91"sv, mv("e7", "e8")},        // full-width q
                      Accepted{"e2e4\0\0"sv, mv("e2", "e4")}));

using Refused = testing::RefusedText;

class UciRefused : public ::testing::TestWithParam<Refused> {};

TEST_P(UciRefused, WithTheErrorKind) {
    const Refused& c = GetParam();
    EXPECT_TRUE(testing::fails_with(parse_uci_move(c.text), c.error)) << c.why;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UciRefused,
    ::testing::Values(
        Refused{"e7e8Q"sv, RulesError::InvalidUciMove, "upper-case promotion"},
        Refused{"e7e8k"sv, RulesError::InvalidUciMove, "king promotion"},
        Refused{"e7e8p"sv, RulesError::InvalidUciMove, "pawn promotion"},
        Refused{"e2e4 "sv, RulesError::InvalidUciMove, "five bytes ending in a blank"},
        Refused{"e2e4\0"sv, RulesError::InvalidUciMove, "five bytes ending in NUL"},
        Refused{"e2"sv, RulesError::InvalidUciMove, "source only"},
        Refused{"e2e"sv, RulesError::InvalidUciMove, "three bytes"},
        Refused{""sv, RulesError::InvalidUciMove, "empty"},
        Refused{"e"sv, RulesError::InvalidUciMove, "one byte"},
        Refused{"z2"sv, RulesError::InvalidSquare, "bad source with two bytes: the square comes first"},
        Refused{"z2e4"sv, RulesError::InvalidSquare, "bad source file"},
        Refused{"0000"sv, RulesError::InvalidSquare, "no null move"},
        Refused{"E2E4"sv, RulesError::InvalidSquare, "upper-case file"},
        Refused{"e9e4"sv, RulesError::InvalidSquare, "rank 9"},
        Refused{"e0e4"sv, RulesError::InvalidSquare, "rank 0"},
        Refused{"e2i4"sv, RulesError::InvalidSquare, "file i"},
        Refused{"e2e9"sv, RulesError::InvalidSquare, "destination rank 9"},
        Refused{"e2e9q"sv, RulesError::InvalidSquare, "destination refused before the promotion letter"},
        Refused{"e2ez"sv, RulesError::InvalidSquare, "destination rank letter"},
        // A UTF-8 continuation byte at offset 2 or 4 cannot start a square or a letter.
        Refused{"e2\xA9" "e4"sv, RulesError::InvalidUciMove, "continuation byte at offset 2"},
        Refused{"z2\x80\x80"sv, RulesError::InvalidUciMove, "offset 2 is tested before the source square"},
        Refused{"e\xC3\xA9" "4"sv, RulesError::InvalidUciMove, "é straddling offsets 1 and 2"},
        Refused{"e2e4\x80"sv, RulesError::InvalidUciMove, "continuation byte at offset 4"},
        Refused{"e2e4\x80\x80"sv, RulesError::InvalidUciMove, "continuation at offset 4 of a longer text"},
        Refused{"e2e9\x80"sv, RulesError::InvalidUciMove, "offset 4 is tested before the destination"},
        Refused{"e2e\xC3\xA9"sv, RulesError::InvalidUciMove, "é straddling offsets 3 and 4"},
        Refused{"\xC3\xA9" "2e4"sv, RulesError::InvalidSquare, "é as source file"},
        Refused{"e2\xC3\xA9" "4"sv, RulesError::InvalidSquare, "é as destination file"},
        Refused{"e2\xC3"sv, RulesError::InvalidUciMove, "three bytes with a lead byte at offset 2"},
        Refused{"e7e8\xC3\xA9"sv.substr(0, 5), RulesError::InvalidUciMove, "a lone lead byte as promotion"}));

TEST(UciSquares, ParseAndFormat) {
    for (int s = 0; s < 64; ++s) {
        const std::string name = testing::square_name(s);
        const auto text = format_square(static_cast<Square>(s));
        EXPECT_EQ(std::string(text.data(), 2), name);
        const Result<Square> parsed = parse_square(name);
        ASSERT_TRUE(parsed.ok()) << name;
        EXPECT_EQ(*parsed, s);
    }
    EXPECT_EQ(*parse_square("e4xyz"), sq("e4"));  // characters after the second are not examined
    for (const std::string_view bad : {""sv, "e"sv, "i1"sv, "a0"sv, "a9"sv, "A1"sv, "1a"sv, "\xC3\xA9" "1"sv}) {
        EXPECT_TRUE(testing::fails_with(parse_square(bad), RulesError::InvalidSquare)) << bad;
    }
}

TEST(UciFormat, Examples) {
    EXPECT_EQ(format_uci_move(mv("g7", "h8", PieceKind::Rook)).view(), "g7h8r");
    EXPECT_EQ(format_uci_move(mv("a1", "h8")).view(), "a1h8");
    EXPECT_EQ(format_uci_move(mv("e2", "e4")).view(), "e2e4");
    EXPECT_EQ(format_uci_move(mv("e7", "e8", PieceKind::Queen)).view(), "e7e8q");
    EXPECT_EQ(format_uci_move(mv("b2", "b1", PieceKind::Knight)).view(), "b2b1n");
    EXPECT_EQ(format_uci_move(mv("c7", "c8", PieceKind::Bishop)).view(), "c7c8b");
    EXPECT_EQ(format_uci_move(mv("e1", "g1")).view(), "e1g1");
    EXPECT_EQ(format_uci_move(mv("h8", "a1")).view(), "h8a1");
}

TEST(UciRoundTrip, EveryGeneratedMoveReadsBack) {
    const std::string_view fens[] = {
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq - 0 1",
        "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
        "r1n3nk/1P4pp/8/8/8/8/PP4p1/KB5R w - - 0 1",
        "r1n3nk/1P4pp/8/8/8/8/PP4p1/KB5R b - - 0 1",
        "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    };
    std::size_t checked = 0;
    for (const std::string_view fen : fens) {
        // The position itself and every position one move on.
        const Board root = testing::board_of(fen);
        MoveList first;
        generate_moves(root, first);
        std::vector<Board> boards{root};
        for (const BoardMove& m : first) {
            Board next = root;
            if (!contains(root.occupied, m.destination) || root.kind_on(m.destination) != PieceKind::King) {
                if (!play_move(next, m)) boards.push_back(next);
            }
        }
        for (const Board& b : boards) {
            MoveList moves;
            generate_moves(b, moves);
            for (const BoardMove& m : moves) {
                const UciText text = format_uci_move(m);
                ASSERT_EQ(text.view(), testing::uci_of(m));
                const Result<BoardMove> back = parse_uci_move(text.view());
                ASSERT_TRUE(back.ok()) << text.view();
                ASSERT_EQ(*back, m) << text.view();
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 5000u);
}

}  // namespace
}  // namespace murkplay
