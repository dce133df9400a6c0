#include "encode/observation_codes.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "game/movegen.hpp"

namespace murkplay {

namespace {

constexpr std::uint8_t opponent_offset = 6;
constexpr std::uint8_t nothing_remembered = 12;

static_assert(sizeof(SeenPiece) == 2 && std::endian::native == std::endian::little,
              "four records are read as one word: colour codes in its even bytes, kinds in the odd");

constexpr std::uint64_t each_pair(std::uint8_t byte) { return 0x0001000100010001ull * byte; }

// Four records (colour code, kind code) to four remembered codes, in the odd bytes of a word
// of four cells, for the viewer `us`: the viewer's colour gives the kind, the other colour
// 6 + the kind, colour code 2 nothing whatever its kind. Every record a valid game holds is
// one of these.
std::uint64_t remembered_cells(std::uint64_t records, Color us) {
    const std::uint64_t low = each_pair(0xff);
    const std::uint64_t colour = records & low;
    const std::uint64_t kind = (records >> 8) & low;
    const std::uint64_t nothing = (colour >> 1) & each_pair(1);
    const std::uint64_t opponent = (colour ^ each_pair(index(us))) & each_pair(1) & ~nothing;
    const std::uint64_t code = ((kind + opponent * opponent_offset) & ~(nothing * 0xff)) | nothing * nothing_remembered;
    return code << 8;
}

// Byte b to eight bytes, byte i holding bit i of b.
constexpr auto bytes_of_bits = [] {
    std::array<std::uint64_t, 256> table{};
    for (int b = 0; b < 256; ++b) {
        for (int i = 0; i < 8; ++i) table[b] |= std::uint64_t((b >> i) & 1) << (8 * i);
    }
    return table;
}();

// Four bytes to the even bytes of a word.
constexpr std::uint64_t to_even_bytes(std::uint64_t x) {
    x = (x | x << 16) & 0x0000ffff0000ffffull;
    return (x | x << 8) & 0x00ff00ff00ff00ffull;
}

// Clamped so that a NaN, which no valid record holds, goes to 0 rather than into an undefined
// conversion. Written as the comparisons that are single vector instructions (max, min, a
// truncating conversion), so that the walk over the 64 squares vectorises.
std::uint16_t age_code(float age) {
    const float low = age > 0.0f ? age : 0.0f;
    const float clamped = low < static_cast<float>(max_age_code) ? low : static_cast<float>(max_age_code);
    return static_cast<std::uint16_t>(static_cast<std::int32_t>(clamped));
}

}  // namespace

void build_observation_codes(const Game& game, Color viewer, bool oracle, const ObservationCodes& out) {
    const Board& b = game.board;
    const Color us = viewer;
    const Color them = opposite(us);
    const SquareSet seen = oracle ? ~SquareSet{0} : visible_squares(b, us);

    // The seen codes of all squares at once, as four sets: set i holds the squares whose code
    // has bit i. Own kinds are 0-5, the opponent's 6-11, seen empty 12 (0b1100), fog 13 (0b1101).
    // A square in neither colour set, which a valid Board never has, counts as an opponent's.
    const auto& kinds = b.piece_sets;
    const SquareSet own = b.pieces(us) & seen;
    const SquareSet opponent = b.occupied & ~b.pieces(us) & seen;
    const SquareSet fog = ~seen;
    const SquareSet empty = seen & ~b.occupied;
    const auto pawn = index(PieceKind::Pawn), knight = index(PieceKind::Knight), bishop = index(PieceKind::Bishop),
               rook = index(PieceKind::Rook), queen = index(PieceKind::Queen), king = index(PieceKind::King);
    const std::array<SquareSet, 4> bits{
        ((own | opponent) & (kinds[knight] | kinds[rook] | kinds[king])) | fog,
        (own & (kinds[bishop] | kinds[rook])) | (opponent & (kinds[pawn] | kinds[knight] | kinds[queen] | kinds[king])),
        (own & (kinds[queen] | kinds[king])) | (opponent & (kinds[pawn] | kinds[knight])) | empty | fog,
        (opponent & (kinds[bishop] | kinds[rook] | kinds[queen] | kinds[king])) | empty | fog,
    };

    const auto& remembered = game.memory_piece[index(us)];
    std::array<std::uint16_t, 64> ages;
    for (int q = 0; q < 64; ++q) ages[q] = age_code(game.memory_age[index(us)][q]);
    // Rank by rank, since mirroring for Black moves whole ranks: within one, cells and squares
    // keep their order.
    for (int rank = 0; rank < 8; ++rank) {
        const int from = us == Color::White ? rank : 7 - rank;
        std::uint64_t seen_codes = 0;
        for (int bit = 0; bit < 4; ++bit) seen_codes |= bytes_of_bits[(bits[bit] >> (8 * from)) & 0xff] << bit;
        for (int half = 0; half < 8; half += 4) {
            std::uint64_t records;
            std::memcpy(&records, &remembered[8 * from + half], sizeof records);
            const std::uint64_t cells = to_even_bytes((seen_codes >> (8 * half)) & 0xffffffffu) |
                                        remembered_cells(records, us);
            std::memcpy(&out.cells[cell_code_count * (8 * rank + half)], &cells, sizeof cells);
        }
        std::memcpy(&out.ages[8 * rank], &ages[8 * from], 8 * sizeof ages[0]);
    }

    const CastlingRights rights = b.castling[index(us)];
    out.shared[0] = (rights & king_side) ? 1 : 0;
    out.shared[1] = (rights & queen_side) ? 1 : 0;
    for (int k = 0; k < king; ++k) {
        out.shared[2 + k] = static_cast<std::uint8_t>(count(b.pieces(them, static_cast<PieceKind>(k))));
    }
}

}  // namespace murkplay
