// Reading FEN text: the loose reader (which texts it takes, which it refuses) and the
// validation that follows, with the Board it builds.
#include <string_view>

#include "test_support.hpp"

namespace murkplay {
namespace {

using namespace std::string_view_literals;
using testing::occupant;
using testing::piece;
using testing::set_of;
using testing::sq;

constexpr std::string_view start_text = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

using Refused = testing::RefusedText;

class FenRefused : public ::testing::TestWithParam<Refused> {};

TEST_P(FenRefused, WithTheErrorKind) {
    const Refused& c = GetParam();
    EXPECT_TRUE(testing::fails_with(board_from_fen(c.text), c.error)) << c.why;
}

INSTANTIATE_TEST_SUITE_P(
    Reading, FenRefused,
    ::testing::Values(
        Refused{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq", RulesError::InvalidFen, "three fields"},
        Refused{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w", RulesError::InvalidFen, "two fields"},
        Refused{"", RulesError::InvalidFen, "empty text"},
        Refused{"   ", RulesError::InvalidFen, "three spaces are four empty fields: the side field is empty"},
        Refused{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR\tw KQkq - 0 1", RulesError::InvalidFen,
                "a tab is no separator"},
        Refused{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w\tKQkq - 0 1", RulesError::InvalidFen,
                "a tab inside the side field"},
        Refused{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR white KQkq - 0 1", RulesError::InvalidFen,
                "a word as side"},
        Refused{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR wb KQkq - 0 1", RulesError::InvalidFen,
                "two letters as side"},
        Refused{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR x KQkq - 0 1", RulesError::InvalidFen, "side x"},
        Refused{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR  KQkq - 0 1", RulesError::InvalidFen,
                "empty side field"},
        Refused{" rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", RulesError::InvalidFen,
                "a leading space moves the placement into the side field"},
        Refused{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN0 w KQkq - 0 1", RulesError::InvalidFen, "digit 0"},
        Refused{"rnbqkbnr/pppppppp/9/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", RulesError::InvalidFen, "digit 9"},
        Refused{"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNX w KQkq - 0 1", RulesError::InvalidFen,
                "letter X"},
        Refused{"4k3/8/8/8/8/8/8/4K2\xC3\xA9 w - - 0 1", RulesError::InvalidFen, "non-ASCII letter"},
        Refused{"4k3/8/8/8/8/8/8/4K2\xEF\xBC\x91 w - - 0 1", RulesError::InvalidFen, "full-width digit one"},
        Refused{"4k3/8/8/8/8/8/8/4K3- w - - 0 1", RulesError::InvalidFen, "dash in the placement"},
        // A refusal of the side field wins even over a placement that validation would refuse.
        Refused{"8/8/8/8/8/8/8/8 x - - 0 1", RulesError::InvalidFen, "empty board, bad side"}));

TEST(FenReading, StartTextWithAndWithoutCounters) {
    const Board start = testing::board_of(start_text);
    EXPECT_EQ(start, start_board());
    EXPECT_EQ(testing::board_of("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"), start);
    // Fields five and later are never looked at.
    EXPECT_EQ(testing::board_of("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - x y z"), start);
    EXPECT_EQ(testing::board_of("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - -5 banana"), start);
    // A trailing space makes an empty last field, and a fourth field it is.
    EXPECT_EQ(testing::board_of("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq "), start);
}

TEST(FenReading, StartBoardFields) {
    const Board b = start_board();
    EXPECT_EQ(b.occupied, 0xFFFF00000000FFFFull);
    EXPECT_EQ(b.color_sets[0], 0x000000000000FFFFull);
    EXPECT_EQ(b.color_sets[1], 0xFFFF000000000000ull);
    EXPECT_EQ(b.piece_sets[index(PieceKind::Pawn)], 0x00FF00000000FF00ull);
    EXPECT_EQ(b.piece_sets[index(PieceKind::Knight)], set_of({"b1", "g1", "b8", "g8"}));
    EXPECT_EQ(b.piece_sets[index(PieceKind::Bishop)], set_of({"c1", "f1", "c8", "f8"}));
    EXPECT_EQ(b.piece_sets[index(PieceKind::Rook)], set_of({"a1", "h1", "a8", "h8"}));
    EXPECT_EQ(b.piece_sets[index(PieceKind::Queen)], set_of({"d1", "d8"}));
    EXPECT_EQ(b.piece_sets[index(PieceKind::King)], set_of({"e1", "e8"}));
    EXPECT_EQ(b.castling[0], 3);
    EXPECT_EQ(b.castling[1], 3);
    EXPECT_FALSE(b.en_passant_pawn.present);
    EXPECT_EQ(b.side_to_move, Color::White);
}

TEST(FenReading, SideFieldLetters) {
    EXPECT_EQ(testing::board_of("4k3/8/8/8/8/8/8/4K3 w - - 0 1").side_to_move, Color::White);
    EXPECT_EQ(testing::board_of("4k3/8/8/8/8/8/8/4K3 W - - 0 1").side_to_move, Color::White);
    EXPECT_EQ(testing::board_of("4k3/8/8/8/8/8/8/4K3 b - - 0 1").side_to_move, Color::Black);
    EXPECT_EQ(testing::board_of("4k3/8/8/8/8/8/8/4K3 B - - 0 1").side_to_move, Color::Black);
}

TEST(FenReading, TwoSpacesShiftTheFields) {
    // Castling comes from the empty field, en passant from "KQkq", which is no square.
    const Board b = testing::board_of("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w  KQkq - 0 1");
    EXPECT_EQ(b.castling[0], 0);
    EXPECT_EQ(b.castling[1], 0);
    EXPECT_FALSE(b.en_passant_pawn.present);
    EXPECT_EQ(b.piece_sets, start_board().piece_sets);
    // A square written after the two spaces lands in the en-passant field and is read there.
    const Board shifted = testing::board_of("4k3/8/8/3pP3/8/8/8/4K3 w  d6 - 0 1");
    EXPECT_EQ(shifted.en_passant_pawn, (OptionalSquare{true, sq("d5")}));
}

TEST(FenReading, EmptyPlacementIsAnEmptyBoard) {
    EXPECT_TRUE(testing::fails_with(board_from_fen(" w - - 0 1"), RulesError::InvalidBoard));
    EXPECT_TRUE(testing::fails_with(board_from_fen("8/8/8/8/8/8/8/8 w - - 0 1"), RulesError::InvalidBoard));
}

TEST(FenReading, FilesAndRanksWrap) {
    // Nine letters on rank 8: the ninth lands on a8 in place of the rook.
    const Board nine = testing::board_of("rnbqkbnrQ/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w - - 0 1");
    EXPECT_EQ(occupant(nine, sq("a8")), piece(Color::White, PieceKind::Queen));
    EXPECT_FALSE(contains(nine.piece_sets[index(PieceKind::Rook)], sq("a8")));
    EXPECT_EQ(occupant(nine, sq("b8")), piece(Color::Black, PieceKind::Knight));
    EXPECT_EQ(count(nine.occupied), 32);

    // "44" leaves the file at a again.
    const Board digits = testing::board_of("44k/8/8/8/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(digits.pieces(Color::Black, PieceKind::King), set_of({"a8"}));
    // "8" after a letter wraps round to the file after it.
    const Board after = testing::board_of("k82K/8/8/8/8/8/8/8 w - - 0 1");
    EXPECT_EQ(after.pieces(Color::White, PieceKind::King), set_of({"d8"}));
    EXPECT_EQ(after.occupied, set_of({"a8", "d8"}));

    // A ninth rank wraps back to rank 8.
    const Board ranks = testing::board_of("k7/8/8/8/8/8/8/8/7K w - - 0 1");
    EXPECT_EQ(ranks.pieces(Color::White, PieceKind::King), set_of({"h8"}));
    EXPECT_EQ(ranks.pieces(Color::Black, PieceKind::King), set_of({"a8"}));
    // Seven ranks: the last one described is rank 2, rank 1 stays empty.
    const Board seven = testing::board_of("4k3/8/8/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(seven.pieces(Color::White, PieceKind::King), set_of({"e2"}));
    // A short rank leaves the rest of it empty, and a trailing slash reaches rank 8 again.
    const Board short_rank = testing::board_of("k/8/8/8/8/8/8/K/ w - - 0 1");
    EXPECT_EQ(short_rank.occupied, set_of({"a8", "a1"}));
    // A ninth rank replaces the king of rank 8: no Black king is left.
    EXPECT_TRUE(testing::fails_with(board_from_fen("4k3/8/8/8/8/8/8/8/4K3 w - - 0 1"), RulesError::InvalidBoard));
}

struct CastlingCase {
    std::string_view field;
    CastlingRights white;
    CastlingRights black;
};

class FenCastlingField : public ::testing::TestWithParam<CastlingCase> {};

TEST_P(FenCastlingField, LettersAnywhere) {
    const CastlingCase& c = GetParam();
    const std::string fen = "r3k2r/8/8/8/8/8/8/R3K2R w " + std::string(c.field) + " - 0 1";
    const Board b = testing::board_of(fen);
    EXPECT_EQ(b.castling[0], c.white) << fen;
    EXPECT_EQ(b.castling[1], c.black) << fen;
}

INSTANTIATE_TEST_SUITE_P(Reading, FenCastlingField,
                         ::testing::Values(CastlingCase{"KQkq", 3, 3}, CastlingCase{"-", 0, 0},
                                           CastlingCase{"K", 1, 0}, CastlingCase{"Q", 2, 0},
                                           CastlingCase{"k", 0, 1}, CastlingCase{"q", 0, 2},
                                           CastlingCase{"qkQK", 3, 3}, CastlingCase{"KKKK", 1, 0},
                                           CastlingCase{"Kx", 1, 0}, CastlingCase{"xyzq", 0, 2},
                                           CastlingCase{"K-q", 1, 2}, CastlingCase{"AHah", 0, 0},
                                           CastlingCase{"\xC3\xA9Kk", 1, 1}));

TEST(FenEnPassant, FileOnlyRankIgnored) {
    // White pawn d5, Black pawn e5 (just advanced), White to move.
    for (const std::string_view field : {"e6"sv, "e3"sv, "e1"sv, "e8"sv, "e6xyz"sv}) {
        const std::string fen = "4k3/8/8/3Pp3/8/8/8/4K3 w - " + std::string(field) + " 0 1";
        const Board b = testing::board_of(fen);
        EXPECT_EQ(b.en_passant_pawn, (OptionalSquare{true, sq("e5")})) << fen;
    }
    // Black to move: the candidate is on rank 4.
    const Board black = testing::board_of("4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1");
    EXPECT_EQ(black.en_passant_pawn, (OptionalSquare{true, sq("e4")}));
    const Board black_other_rank = testing::board_of("4k3/8/8/8/3pP3/8/8/4K3 b - e6 0 1");
    EXPECT_EQ(black_other_rank.en_passant_pawn, (OptionalSquare{true, sq("e4")}));
}

TEST(FenEnPassant, FieldsThatAreNoSquareAreIgnored) {
    for (const std::string_view field : {"-"sv, ""sv, "e"sv, "E6"sv, "i6"sv, "e9"sv, "e0"sv, "6e"sv}) {
        const std::string fen = "4k3/8/8/3Pp3/8/8/8/4K3 w - " + std::string(field) + " 0 1";
        const auto b = board_from_fen(fen);
        ASSERT_TRUE(b.ok()) << fen;
        EXPECT_FALSE(b->en_passant_pawn.present) << fen;
    }
}

TEST(FenEnPassant, KeptOnlyWhenAPawnOfTheMoverStandsBeside) {
    // Pawn on f5 instead of d5.
    EXPECT_EQ(testing::board_of("4k3/8/8/4pP2/8/8/8/4K3 w - e6 0 1").en_passant_pawn,
              (OptionalSquare{true, sq("e5")}));
    // No White pawn beside e5: dropped silently.
    EXPECT_FALSE(testing::board_of("4k3/8/8/4p3/8/8/8/4K3 w - e6 0 1").en_passant_pawn.present);
    // A White pawn two files away, or beside but on another rank, does not count.
    EXPECT_FALSE(testing::board_of("4k3/8/8/2P1p3/8/8/8/4K3 w - e6 0 1").en_passant_pawn.present);
    EXPECT_FALSE(testing::board_of("4k3/8/8/4p3/3P4/8/8/4K3 w - e6 0 1").en_passant_pawn.present);
    // A piece other than a pawn beside it, or a pawn of the wrong colour, does not count.
    EXPECT_FALSE(testing::board_of("4k3/8/8/3Np3/8/8/8/4K3 w - e6 0 1").en_passant_pawn.present);
    EXPECT_FALSE(testing::board_of("4k3/8/8/3pp3/8/8/8/4K3 w - e6 0 1").en_passant_pawn.present);
    // Edge files have one neighbour only: h4 is not beside a5.
    EXPECT_FALSE(testing::board_of("4k3/8/8/8/P7/7p/8/4K3 b - a3 0 1").en_passant_pawn.present);
    EXPECT_FALSE(testing::board_of("4k3/8/P7/7p/8/8/8/4K3 w - h6 0 1").en_passant_pawn.present);
    EXPECT_EQ(testing::board_of("4k3/8/8/6Pp/8/8/8/4K3 w - h6 0 1").en_passant_pawn,
              (OptionalSquare{true, sq("h5")}));
    EXPECT_EQ(testing::board_of("4k3/8/8/8/Pp6/8/8/4K3 b - a3 0 1").en_passant_pawn,
              (OptionalSquare{true, sq("a4")}));
}

TEST(FenEnPassant, CandidateWithoutTheEnemyPawnIsRefused) {
    // A White pawn on d5 keeps the field, and e5 holds no Black pawn.
    for (const std::string_view fen : {"4k3/8/8/3P4/8/8/8/4K3 w - e6 0 1"sv, "4k3/8/8/3Pn3/8/8/8/4K3 w - e6 0 1"sv,
                                       "4k3/8/8/3PP3/8/8/8/4K3 w - e6 0 1"sv}) {
        EXPECT_TRUE(testing::fails_with(board_from_fen(fen), RulesError::InvalidBoard)) << fen;
    }
}

TEST(FenEnPassant, OccupiedTargetSquareDropsTheField) {
    // The square a capturing pawn would land on (e6) holds a knight.
    const Board b = testing::board_of("4k3/8/4n3/3Pp3/8/8/8/4K3 w - e6 0 1");
    EXPECT_FALSE(b.en_passant_pawn.present);
    EXPECT_EQ(occupant(b, sq("e5")), piece(Color::Black, PieceKind::Pawn));
    // Dropped before the pawn test: no Black pawn on e5 is then no refusal either.
    EXPECT_FALSE(testing::board_of("4k3/8/4n3/3P4/8/8/8/4K3 w - e6 0 1").en_passant_pawn.present);
    EXPECT_FALSE(testing::board_of("4k3/8/8/8/3pP3/4N3/8/4K3 b - e3 0 1").en_passant_pawn.present);
}

struct ValidationCase {
    std::string_view fen;
    bool accepted;
    const char* why;
};

class FenValidation : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(FenValidation, AcceptsOrRefusesWithInvalidBoard) {
    const ValidationCase& c = GetParam();
    const auto b = board_from_fen(c.fen);
    if (c.accepted) {
        ASSERT_TRUE(b.ok()) << c.why << ": " << c.fen;
        EXPECT_TRUE(sets_are_consistent(*b)) << c.why;
    } else {
        EXPECT_TRUE(testing::fails_with(b, RulesError::InvalidBoard)) << c.why << ": " << c.fen;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kings, FenValidation,
    ::testing::Values(ValidationCase{"8/8/8/8/8/8/8/4K3 w - - 0 1", false, "no Black king"},
                      ValidationCase{"4k3/8/8/8/8/8/8/8 w - - 0 1", false, "no White king"},
                      ValidationCase{"4k3/8/8/8/8/8/8/K3K3 w - - 0 1", false, "two White kings"},
                      ValidationCase{"k3k3/8/8/8/8/8/8/4K3 b - - 0 1", false, "two Black kings"},
                      ValidationCase{"8/8/8/4k3/4K3/8/8/8 w - - 0 1", false, "kings on e4 and e5"},
                      ValidationCase{"8/8/8/5k2/4K3/8/8/8 b - - 0 1", false, "kings touch diagonally"},
                      ValidationCase{"8/8/8/8/4Kk2/8/8/8 w - - 0 1", false, "kings side by side"},
                      ValidationCase{"8/8/8/6k1/4K3/8/8/8 w - - 0 1", true, "kings two files apart"},
                      ValidationCase{"k7/8/8/8/8/8/8/7K w - - 0 1", true, "kings far apart"},
                      ValidationCase{"K7/8/8/8/8/8/8/7k w - - 0 1", true, "h1 and a8 kings"}));

INSTANTIATE_TEST_SUITE_P(
    Attacks, FenValidation,
    ::testing::Values(
        ValidationCase{"4k3/8/8/8/8/8/8/4RK2 w - - 0 1", false, "White rook attacks the Black king, White to move"},
        ValidationCase{"4k3/8/8/8/8/8/8/4RK2 b - - 0 1", true, "the side to move in check is fine"},
        ValidationCase{"4k3/8/8/8/4N3/8/8/4RK2 w - - 0 1", true, "rook blocked by its own knight"},
        ValidationCase{"4k3/8/8/4p3/8/8/8/4RK2 w - - 0 1", true, "rook blocked by an enemy pawn"},
        ValidationCase{"4k3/8/8/8/8/8/8/R3K3 w - - 0 1", true, "rook on another file"},
        ValidationCase{"4k3/8/8/8/8/8/8/Q3K3 w - - 0 1", true, "queen on neither line"},
        ValidationCase{"4k3/8/8/8/Q7/8/8/4K3 w - - 0 1", false, "queen on the diagonal a4-e8"},
        ValidationCase{"4k3/8/8/1p6/Q7/8/8/4K3 w - - 0 1", true, "queen's diagonal blocked"},
        ValidationCase{"7k/8/8/8/8/8/8/B3K3 w - - 0 1", false, "bishop a1 sees h8"},
        ValidationCase{"7k/8/8/8/8/8/8/R3K3 w - - 0 1", true, "rook a1 is not on a line with h8"},
        ValidationCase{"7k/8/8/8/8/8/1B6/4K3 w - - 0 1", false, "bishop b2 sees h8"},
        ValidationCase{"4k3/8/3N4/8/8/8/8/4K3 w - - 0 1", false, "knight d6 attacks e8"},
        ValidationCase{"4k3/8/4N3/8/8/8/8/4K3 w - - 0 1", true, "knight e6 does not"},
        ValidationCase{"K7/8/8/8/8/8/5N2/7k w - - 0 1", false, "knight f2 attacks h1"},
        ValidationCase{"4k3/3P4/8/8/8/8/8/4K3 w - - 0 1", false, "White pawn d7 attacks e8"},
        ValidationCase{"4k3/4P3/8/8/8/8/8/4K3 w - - 0 1", true, "White pawn e7 does not"},
        ValidationCase{"4k3/8/3P4/8/8/8/8/4K3 w - - 0 1", true, "White pawn d6 does not"},
        ValidationCase{"4k3/5p2/8/8/8/8/8/4K3 w - - 0 1", true, "a Black pawn does not attack its king"},
        ValidationCase{"4k3/8/8/8/8/8/3p4/4K3 b - - 0 1", false, "Black pawn d2 attacks e1, Black to move"},
        ValidationCase{"4k3/8/8/8/8/8/3P4/4K3 b - - 0 1", true, "White pawn d2 does not attack its own king"},
        ValidationCase{"4k3/8/8/8/8/3p4/8/4K3 b - - 0 1", true, "Black pawn d3 does not reach e1"},
        ValidationCase{"K7/8/8/8/8/8/P6k/8 w - - 0 1", true, "White pawn a2 does not reach round to h2"},
        ValidationCase{"K7/8/8/8/k7/8/7P/8 w - - 0 1", true, "White pawn h2 does not reach round to a4"},
        ValidationCase{"4k3/8/8/8/8/8/8/4K3 w - - 0 1", true, "bare kings"},
        ValidationCase{"4k2P/8/8/8/8/8/8/4K3 w - - 0 1", true, "a White pawn on rank 8"},
        ValidationCase{"4k3/8/8/8/8/8/8/p3K3 b - - 0 1", true, "a Black pawn on rank 1"},
        ValidationCase{"4k3/8/8/8/8/8/8/P3K3 w - - 0 1", true, "a White pawn on rank 1"},
        ValidationCase{"QQQQk3/QQQQ4/8/8/8/8/8/4K3 b - - 0 1", true, "many queens, Black in check"}));

INSTANTIATE_TEST_SUITE_P(
    Castling, FenValidation,
    ::testing::Values(
        ValidationCase{"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", true, "all in place"},
        ValidationCase{"r3k2r/8/8/8/8/8/8/R3K3 w KQkq - 0 1", false, "no White rook on h1"},
        ValidationCase{"r3k2r/8/8/8/8/8/8/R3K3 w Qkq - 0 1", true, "queen side only without h1 rook"},
        ValidationCase{"r3k2r/8/8/8/8/8/8/4K2R w KQkq - 0 1", false, "no White rook on a1"},
        ValidationCase{"r3k2r/8/8/8/8/8/8/4K2R w Kkq - 0 1", true, "king side only without a1 rook"},
        ValidationCase{"r3k2r/8/8/8/8/8/8/R3K2r w KQkq - 0 1", false, "Black rook on h1"},
        ValidationCase{"r3k2r/8/8/8/8/8/8/R3K2N w KQkq - 0 1", false, "White knight on h1"},
        ValidationCase{"r3k2r/8/8/8/8/8/8/R2K3R w KQkq - 0 1", false, "White king on d1"},
        ValidationCase{"r3k2r/8/8/8/8/8/8/R2K3R w kq - 0 1", true, "White king off e1 without rights"},
        ValidationCase{"r3k3/8/8/8/8/8/8/R3K2R w KQkq - 0 1", false, "no Black rook on h8"},
        ValidationCase{"4k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", false, "no Black rook on a8"},
        ValidationCase{"4k2r/8/8/8/8/8/8/R3K2R w KQk - 0 1", true, "Black king side only"},
        ValidationCase{"r2k3r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", false, "Black king on d8"},
        ValidationCase{"R3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", false, "White rook on a8"},
        ValidationCase{"7k/8/8/8/8/8/8/4K3 w - - 0 1", true, "no rights, nothing needed"}));

TEST(FenValidation, BoardFieldsOfAnAcceptedPosition) {
    const Board b = testing::board_of("r3k2r/8/8/3pP3/8/8/8/R3K2R w Kq d6 0 1");
    EXPECT_EQ(b.castling[0], 1);
    EXPECT_EQ(b.castling[1], 2);
    EXPECT_EQ(b.en_passant_pawn, (OptionalSquare{true, sq("d5")}));
    EXPECT_EQ(b.side_to_move, Color::White);
    EXPECT_EQ(b.pieces(Color::White), set_of({"a1", "e1", "h1", "e5"}));
    EXPECT_EQ(b.pieces(Color::Black), set_of({"a8", "e8", "h8", "d5"}));
    EXPECT_EQ(b.piece_sets[index(PieceKind::Rook)], set_of({"a1", "h1", "a8", "h8"}));
    EXPECT_EQ(b.piece_sets[index(PieceKind::Pawn)], set_of({"d5", "e5"}));
    EXPECT_EQ(b.piece_sets[index(PieceKind::King)], set_of({"e1", "e8"}));
    EXPECT_EQ(b.piece_sets[index(PieceKind::Knight)] | b.piece_sets[index(PieceKind::Bishop)] |
                  b.piece_sets[index(PieceKind::Queen)],
              0u);
    EXPECT_EQ(b.occupied, set_of({"a1", "e1", "h1", "e5", "a8", "e8", "h8", "d5"}));
}

TEST(FenValidation, ReaderSetupBeforeValidation) {
    // The reader alone takes a position that validation refuses.
    const auto setup = read_position_setup("8/8/8/8/8/8/8/8 b Kq e3 0 1");
    ASSERT_TRUE(setup.ok());
    EXPECT_EQ(setup->side_to_move, Color::Black);
    EXPECT_EQ(setup->castling[0], 1);
    EXPECT_EQ(setup->castling[1], 2);
    ASSERT_TRUE(setup->en_passant_file.has_value());
    EXPECT_EQ(*setup->en_passant_file, 4);
    for (const SetupEntry& e : setup->squares) EXPECT_EQ(e.kind, PieceKind::None);
    EXPECT_TRUE(testing::fails_with(validate_position(*setup), RulesError::InvalidBoard));
}

}  // namespace
}  // namespace murkplay
