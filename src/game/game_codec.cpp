#include "game/game_codec.hpp"

#include <bit>
#include <cmath>

#include "rules/en_passant.hpp"

namespace murkplay {

namespace {

constexpr std::array<std::uint8_t, 4> tag{'M', 'P', 'G', 'R'};
constexpr std::uint8_t version = 1;

class Writer {
public:
    explicit Writer(GameBytes& out) : out_(out) {}
    void byte(std::uint8_t value) { out_[at_++] = value; }
    void word(std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) byte(static_cast<std::uint8_t>(value >> (8 * i)));
    }

private:
    GameBytes& out_;
    std::size_t at_ = 0;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}
    std::uint8_t byte() { return in_[at_++]; }
    std::uint64_t word(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= std::uint64_t{byte()} << (8 * i);
        return value;
    }

private:
    std::span<const std::uint8_t> in_;
    std::size_t at_ = 0;
};

// Fields in the order of the record; the same walk writes and reads them.
template <typename Io, typename Game_>
bool walk(Io& io, Game_& game) {
    auto& b = game.board;
    constexpr bool reading = std::is_same_v<Io, Reader>;
    const auto field = [&](auto& value, int bytes) {
        if constexpr (reading) {
            value = static_cast<std::remove_reference_t<decltype(value)>>(io.word(bytes));
        } else {
            io.word(static_cast<std::uint64_t>(value), bytes);
        }
    };
    for (auto& ages : game.memory_age) {
        for (auto& age : ages) {
            if constexpr (reading) {
                age = std::bit_cast<float>(static_cast<std::uint32_t>(io.word(4)));
            } else {
                io.word(std::bit_cast<std::uint32_t>(age), 4);
            }
        }
    }
    for (auto& pieces : game.memory_piece) {
        for (auto& piece : pieces) {
            field(piece.color, 1);
            field(piece.kind, 1);
        }
    }
    for (auto& set : b.piece_sets) field(set, 8);
    for (auto& set : b.color_sets) field(set, 8);
    field(b.occupied, 8);
    for (auto& rights : b.castling) field(rights, 1);
    std::uint8_t present = b.en_passant_pawn.present;
    field(present, 1);
    field(b.en_passant_pawn.square, 1);
    std::uint8_t side = index(b.side_to_move);
    field(side, 1);
    field(game.captured_king, 1);
    if constexpr (reading) {
        if (present > 1 || side > 1 || b.en_passant_pawn.square > 63) return false;
        b.en_passant_pawn.present = present == 1;
        b.side_to_move = static_cast<Color>(side);
    }
    return true;
}

bool en_passant_consistent(const Board& b) {
    const OptionalSquare ep = b.en_passant_pawn;
    if (!ep.present) return ep.square == 0;
    const Color us = b.side_to_move;
    return rank_of(ep.square) == relative_rank(us, 4) && contains(b.pieces(opposite(us), PieceKind::Pawn), ep.square) &&
           en_passant_usable(b, ep.square, us);
}

bool memory_consistent(const Game& game) {
    for (int observer = 0; observer < 2; ++observer) {
        for (int q = 0; q < 64; ++q) {
            const SeenPiece piece = game.memory_piece[observer][q];
            const float age = game.memory_age[observer][q];
            const int kinds = piece.color == SeenPiece::nothing_remembered ? piece_kind_count + 1 : piece_kind_count;
            if (piece.color > SeenPiece::nothing_remembered || piece.kind >= kinds) return false;
            if (!std::isfinite(age) || age < 0.0f) return false;
        }
    }
    return true;
}

}  // namespace

bool is_consistent(const Game& game) {
    const Board& b = game.board;
    return sets_are_consistent(b) && count(b.pieces(Color::White, PieceKind::King)) == 1 &&
           count(b.pieces(Color::Black, PieceKind::King)) == 1 && b.castling[0] <= 3 && b.castling[1] <= 3 &&
           !unbacked_castling_right(b, Color::White) && !unbacked_castling_right(b, Color::Black) &&
           en_passant_consistent(b) && game.captured_king <= no_king_captured && memory_consistent(game);
}

GameBytes write_game_bytes(const Game& game) {
    GameBytes out{};
    Writer writer(out);
    for (const std::uint8_t t : tag) writer.byte(t);
    writer.byte(version);
    walk(writer, game);
    return out;
}

std::optional<Game> read_game_bytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != game_bytes_size) return std::nullopt;
    Reader reader(bytes);
    for (const std::uint8_t t : tag) {
        if (reader.byte() != t) return std::nullopt;
    }
    if (reader.byte() != version) return std::nullopt;
    Game game{};
    if (!walk(reader, game) || !is_consistent(game)) return std::nullopt;
    return game;
}

}  // namespace murkplay
