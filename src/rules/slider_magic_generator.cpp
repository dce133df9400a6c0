// Build-time generator of the sliding-piece hash tables. It searches, with a fixed seed,
// one multiplier per (slider, square) that maps every blocker subset of the square's mask
// to a window entry without a harmful collision, proves the result against the ray-walk
// rule, and writes the records and the shared attack array as constant data. The output
// is a build product and never committed.
#include <cstdio>
#include <vector>

#include "rules/slider_rule.hpp"

namespace {

using namespace murkplay;

// xorshift64*: small, fast and the same on every machine, so every build gets the same tables.
struct Random {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    std::uint64_t next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1Dull;
    }
    // Multipliers with few set bits spread the high bits of the product best.
    std::uint64_t sparse() { return next() & next() & next(); }
};

std::vector<SquareSet> subsets_of(SquareSet mask) {
    std::vector<SquareSet> subsets;
    SquareSet subset = 0;
    do {
        subsets.push_back(subset);
        subset = (subset - mask) & mask;
    } while (subset != 0);
    return subsets;
}

std::uint32_t window_index(const SliderMagic& record, SquareSet blockers) {
    return static_cast<std::uint32_t>(((blockers & record.mask) * record.magic) >> record.shift);
}

// Fills the record's window, or reports that two subsets with different attack sets collide.
bool try_fill(const SliderMagic& record, const std::vector<SquareSet>& subsets,
              const std::vector<SquareSet>& attacks, std::vector<SquareSet>& window) {
    std::vector<bool> used(window.size(), false);
    for (std::size_t i = 0; i < subsets.size(); ++i) {
        const std::uint32_t entry = window_index(record, subsets[i]);
        if (used[entry] && window[entry] != attacks[i]) return false;
        used[entry] = true;
        window[entry] = attacks[i];
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.cpp\n", argv[0]);
        return 2;
    }
    Random random;
    std::vector<SliderMagic> records(128);
    std::vector<SquareSet> table;
    // Bishop windows first (they are small), then the rook windows, one after another.
    for (const Slider slider : {Slider::Bishop, Slider::Rook}) {
        for (int s = 0; s < 64; ++s) {
            const Square square = static_cast<Square>(s);
            SliderMagic record{};
            record.mask = relevant_blockers(square, slider);
            const int bits = count(record.mask);
            record.shift = static_cast<std::uint8_t>(64 - bits);
            record.offset = static_cast<std::uint32_t>(table.size());
            const std::vector<SquareSet> subsets = subsets_of(record.mask);
            std::vector<SquareSet> attacks;
            for (const SquareSet subset : subsets) attacks.push_back(walk_rays(square, subset, slider));
            std::vector<SquareSet> window(std::size_t{1} << bits);
            do {
                record.magic = random.sparse();
            } while (count((record.mask * record.magic) >> 56) < 6 ||
                     !try_fill(record, subsets, attacks, window));
            table.insert(table.end(), window.begin(), window.end());
            records[static_cast<int>(slider) * 64 + s] = record;
        }
    }
    if (table.size() != slider_table_size) {
        std::fprintf(stderr, "slider table has %zu entries, expected %zu\n", table.size(), slider_table_size);
        return 1;
    }
    // Prove every record and subset against the rule before anything is written.
    for (int r = 0; r < 128; ++r) {
        const Slider slider = static_cast<Slider>(r / 64);
        const Square square = static_cast<Square>(r % 64);
        for (const SquareSet subset : subsets_of(records[r].mask)) {
            const SquareSet found = table[records[r].offset + window_index(records[r], subset)] &
                                    line_rays[static_cast<int>(slider)][square];
            if (found != walk_rays(square, subset, slider)) {
                std::fprintf(stderr, "slider table check failed at record %d\n", r);
                return 1;
            }
        }
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(out, "// Generated at build time by slider_magic_generator. Do not edit.\n");
    std::fprintf(out, "#include \"rules/tables.hpp\"\n\nnamespace murkplay {\n\n");
    std::fprintf(out, "const std::array<SliderMagic, 128> slider_magics{{\n");
    for (const SliderMagic& record : records) {
        std::fprintf(out, "    {0x%016llxull, 0x%016llxull, %uu, %u},\n",
                     static_cast<unsigned long long>(record.magic),
                     static_cast<unsigned long long>(record.mask), record.offset, record.shift);
    }
    std::fprintf(out, "}};\n\nconst std::array<SquareSet, slider_table_size> slider_attack_table{{\n");
    for (std::size_t i = 0; i < table.size(); ++i) {
        std::fprintf(out, "0x%llxull,%s", static_cast<unsigned long long>(table[i]), i % 8 == 7 ? "\n" : "");
    }
    std::fprintf(out, "}};\n\n}  // namespace murkplay\n");
    return std::fclose(out) == 0 ? 0 : 1;
}
