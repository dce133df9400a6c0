// parse_uci_move and parse_square on arbitrary bytes: the verdict, the error kind and the
// move must agree with the reading rules restated byte by byte below, and an accepted
// move writes back as the text it came from.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "checks.hpp"

namespace {

using namespace fuzzcheck;

bool is_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

std::optional<int> square_at(std::string_view text, std::size_t at) {
    if (text.size() < at + 2) return std::nullopt;
    const char f = text[at];
    const char r = text[at + 1];
    if (f < 'a' || f > 'h' || r < '1' || r > '8') return std::nullopt;
    return (r - '1') * 8 + (f - 'a');
}

struct Expected {
    std::optional<RulesError> error;
    BoardMove move;
};

Expected expected_move(std::string_view text) {
    const std::size_t n = text.size();
    if (n < 2) return {RulesError::InvalidUciMove, {}};
    if (n > 2 && is_continuation(text[2])) return {RulesError::InvalidUciMove, {}};
    const std::optional<int> source = square_at(text, 0);
    if (!source) return {RulesError::InvalidSquare, {}};
    if (n < 4) return {RulesError::InvalidUciMove, {}};
    if (n > 4 && is_continuation(text[4])) return {RulesError::InvalidUciMove, {}};
    const std::optional<int> destination = square_at(text, 2);
    if (!destination) return {RulesError::InvalidSquare, {}};
    BoardMove move{static_cast<Square>(*source), static_cast<Square>(*destination), PieceKind::None};
    if (n == 5) {
        constexpr std::string_view letters = "pnbrqk";
        const std::size_t kind = letters.find(text[4]);
        if (kind == std::string_view::npos || kind == 0 || kind == 5) return {RulesError::InvalidUciMove, {}};
        move.promotion = static_cast<PieceKind>(kind);
    }
    return {std::nullopt, move};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const Result<Square> square = parse_square(text);
    const std::optional<int> expected_square = square_at(text, 0);
    require(square.ok() == expected_square.has_value(), "square verdict differs from the rules", text);
    if (square.ok()) {
        require(*square == *expected_square, "square differs from the rules", text);
        const auto written = format_square(*square);
        require(std::string_view(written.data(), 2) == text.substr(0, 2), "square does not write back", text);
    } else {
        require(square.error() == RulesError::InvalidSquare, "square refused with the wrong kind");
    }

    const Result<BoardMove> move = parse_uci_move(text);
    const Expected expected = expected_move(text);
    if (expected.error) {
        require(!move.ok(), "move accepted against the rules", text);
        require(move.error() == *expected.error, "move refused with the wrong kind", text);
        return 0;
    }
    require(move.ok(), "move refused against the rules", text);
    require(*move == expected.move, "move differs from the rules", text);
    const UciText written = format_uci_move(*move);
    require(written.length == 4 || written.length == 5, "formatted move of odd length");
    require(written.chars[written.length] == '\0', "formatted move not terminated");
    if (size == 4 || size == 5) {
        require(written.view() == text, "move does not write back as read", text);
    } else {
        require(written.view() == text.substr(0, 4), "long text does not write back as its first four bytes", text);
    }
    return 0;
}
