// board_from_fen on arbitrary bytes. Besides never crashing, its verdict and the position
// it builds must match a second, deliberately naive reader written square by square from
// the reading rules, and an accepted position must read back unchanged from the FEN text
// written for it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "checks.hpp"
#include "rules/fen.hpp"

namespace {

using namespace fuzzcheck;

struct Model {
    Cells cells{};
    int side = 0;
    std::array<int, 2> castling{};
    int en_passant = -1;  // the pawn's square
};

std::vector<std::string_view> split_fields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ' ') {
            fields.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return fields;
}

// nullopt: the text does not read; otherwise the model, before validation.
std::optional<Model> read_model(std::string_view text, std::optional<int>& en_passant_file) {
    const std::vector<std::string_view> fields = split_fields(text);
    if (fields.size() < 4) return std::nullopt;
    Model m;
    int rank = 7;
    int file = 0;
    constexpr std::string_view letters = "PNBRQKpnbrqk";
    for (const char ch : fields[0]) {
        if (ch == '/') {
            rank = rank == 0 ? 7 : rank - 1;
            file = 0;
        } else if (ch >= '1' && ch <= '8') {
            file = (file + ch - '0') % 8;
        } else if (const std::size_t i = letters.find(ch); i != std::string_view::npos) {
            m.cells[rank * 8 + file] = Cell{static_cast<int>(i % 6), static_cast<int>(i / 6)};
            file = (file + 1) % 8;
        } else {
            return std::nullopt;
        }
    }
    const std::string_view side = fields[1];
    if (side == "w" || side == "W") {
        m.side = 0;
    } else if (side == "b" || side == "B") {
        m.side = 1;
    } else {
        return std::nullopt;
    }
    const std::string_view rights = fields[2];
    auto has = [&](char c) { return rights.find(c) != std::string_view::npos; };
    m.castling = {(has('K') ? 1 : 0) | (has('Q') ? 2 : 0), (has('k') ? 1 : 0) | (has('q') ? 2 : 0)};
    const std::string_view ep = fields[3];
    en_passant_file.reset();
    if (ep.size() >= 2 && ep[0] >= 'a' && ep[0] <= 'h' && ep[1] >= '1' && ep[1] <= '8') en_passant_file = ep[0] - 'a';
    return m;
}

bool validate_model(Model& m, std::optional<int> en_passant_file) {
    const int us = m.side;
    if (en_passant_file) {
        const int f = *en_passant_file;
        const int rank = us == 0 ? 4 : 3;
        bool usable = false;
        for (const int df : {-1, 1}) {
            if (f + df >= 0 && f + df <= 7) usable |= m.cells[rank * 8 + f + df] == Cell{0, us};
        }
        // The chance is also dropped when the square the capturing pawn lands on is taken,
        // so that it can never duplicate an ordinary capture.
        const int target = (us == 0 ? rank + 1 : rank - 1) * 8 + f;
        if (usable && m.cells[target].kind < 0) m.en_passant = rank * 8 + f;
    }
    if (count_of(m.cells, 5, 0) != 1 || count_of(m.cells, 5, 1) != 1) return false;
    if (m.en_passant >= 0 && !(m.cells[m.en_passant] == Cell{0, 1 - us})) return false;
    const int their_king = king_square(m.cells, 1 - us);
    for (int q = 0; q < 64; ++q) {
        if (m.cells[q].color == us && m.cells[q].kind != 5 && attacks(m.cells, q, their_king)) return false;
    }
    for (int c = 0; c < 2; ++c) {
        const int back = c == 0 ? 0 : 56;
        if (m.castling[c] == 0) continue;
        if (!(m.cells[back + 4] == Cell{5, c})) return false;
        if ((m.castling[c] & 1) && !(m.cells[back + 7] == Cell{3, c})) return false;
        if ((m.castling[c] & 2) && !(m.cells[back] == Cell{3, c})) return false;
    }
    const int wk = king_square(m.cells, 0);
    const int bk = king_square(m.cells, 1);
    return std::max(std::abs(file_at(wk) - file_at(bk)), std::abs(rank_at(wk) - rank_at(bk))) > 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const auto start = board_from_fen(start_fen);
    require(start.ok(), "the start position does not read");
    check_validated(*start);
    require(fen_of(*start) == start_fen, "the start position does not write back as read");
    require(*start == start_board(), "start_board differs from the start text");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto board = board_from_fen(text);

    std::optional<int> en_passant_file;
    std::optional<Model> model = read_model(text, en_passant_file);
    if (!model) {
        require(!board.ok() && board.error().kind == RulesError::InvalidFen, "reader accepted a text that does not read");
        return 0;
    }
    if (!validate_model(*model, en_passant_file)) {
        require(!board.ok(), "validation accepted a position the rules refuse");
        require(board.error().kind == RulesError::InvalidBoard, "a refused position reported as unreadable");
        return 0;
    }
    require(board.ok(), "validation refused a position the rules accept");

    const Board& b = *board;
    check_validated(b);
    require(cells_of(b) == model->cells, "pieces differ from the text");
    require(static_cast<int>(b.side_to_move) == model->side, "side to move differs from the text");
    require(b.castling[0] == model->castling[0] && b.castling[1] == model->castling[1], "castling rights differ");
    require(b.en_passant_pawn.present == (model->en_passant >= 0), "en-passant presence differs");
    if (b.en_passant_pawn.present) require(b.en_passant_pawn.square == model->en_passant, "en-passant square differs");

    const std::string again = fen_of(b);
    const auto reread = board_from_fen(again);
    require(reread.ok() && *reread == b, "position does not read back from its own FEN", again);
    return 0;
}
