#include "python/rl/step_outputs.hpp"

#include <cstdint>
#include <string>

#include "encode/action_index.hpp"
#include "encode/move_code.hpp"
#include "encode/observation_codes.hpp"
#include "python/rl/released.hpp"

namespace murkplay::python::rl {

namespace {

// Which calls make an output: every call, or only those that ask for it; the listing's
// arrays, whose length the native work decides, are sized after it.
enum class Made : std::uint8_t { Always, Floats, Codes, Masking, Sampling, Replying, Listing };

struct Output {
    StepField field;
    RecordField record;
    Element element;
    Made made;
    // After one row per game (offsets: one more), the dimensions of a row; 0 for none.
    std::array<Py_ssize_t, 2> row;
};

constexpr Output step_outputs[] = {
    {observation,
     {"observation", "float32 (games, 64, 35): what each side to move sees, as encode_flattened; None if not asked "
                     "or asked as codes"},
     Element::Float32, Made::Floats, {64, 35}},
    {mask, {"mask", "bool (games, 4352): the slots of each game's legal moves; None if not asked"}, Element::Byte,
     Made::Masking, {action_count, 0}},
    {offsets, {"offsets", "int64 (games + 1,): game i's moves are moves[offsets[i]:offsets[i + 1]]"}, Element::Int64,
     Made::Always, {0, 0}},
    {moves, {"moves", "uint16: every game's legal moves as move codes, in the order of legal_actions_uci()"},
     Element::UInt16, Made::Listing, {0, 0}},
    {slots, {"slots", "int64: the policy slot (action_index) of each of those moves"}, Element::Int64, Made::Listing,
     {0, 0}},
    {terminated, {"terminated", "bool (games,): a king has been captured"}, Element::Byte, Made::Always, {0, 0}},
    {truncated, {"truncated", "bool (games,): cut off by max_plies, or stalled without a legal move"}, Element::Byte,
     Made::Always, {0, 0}},
    {values, {"values", "float32 (games, 2): terminal_value for White and for Black"}, Element::Float32, Made::Always,
     {2, 0}},
    {plies, {"plies", "int32 (games,): moves played since the game (re)started"}, Element::Int32, Made::Always, {0, 0}},
    {played_move, {"played_move", "uint16 (games,): the move each game played in this call, or NO_MOVE"},
     Element::UInt16, Made::Always, {0, 0}},
    {played_slot, {"played_slot", "int64 (games,): its slot, seen from the side that played it, or -1"},
     Element::Int64, Made::Always, {0, 0}},
    {log_prob,
     {"log_prob", "float32 (games,): by='logits', the log-probability of the slot drawn under the masked, tempered "
                  "softmax, 0 where no move was drawn; None for other steps"},
     Element::Float32, Made::Sampling, {0, 0}},
    {entropy,
     {"entropy", "float32 (games,): by='logits', the entropy (nats) of that distribution, 0 where no move was drawn; "
                 "None for other steps"},
     Element::Float32, Made::Sampling, {0, 0}},
    {reply_move,
     {"reply_move", "uint16 (games,): the reply each game played after its move, NO_MOVE where none; None without "
                    "reply"},
     Element::UInt16, Made::Replying, {0, 0}},
    {reply_slot,
     {"reply_slot", "int64 (games,): the reply's slot, seen from the side that replied, or -1; None without reply"},
     Element::Int64, Made::Replying, {0, 0}},
    {restarting,
     {"restarting", "bool (games,): the game restarts at the next step instead of playing a move (auto_reset, and "
                    "it ended)"},
     Element::Byte, Made::Always, {0, 0}},
    {codes,
     {"codes", "uint8 (games, 64, 2): with codes=True, each cell's seen code (the feature set among 0-13) and "
               "remembered code (the feature set among 14-26, less 14), in the observation's cell order; else None"},
     Element::UInt8, Made::Codes, {64, cell_code_count}},
    {ages,
     {"ages", "uint16 (games, 64): with codes=True, each cell's age in turns (feature 27 is 1 / (age + 1)); else "
              "None"},
     Element::UInt16, Made::Codes, {64, 0}},
    {shared,
     {"shared", "uint8 (games, 7): with codes=True, the castling flags (king side, queen side) and the opponent's "
                "pawns, knights, bishops, rooks and queens on the board; else None"},
     Element::UInt8, Made::Codes, {shared_value_count, 0}},
};

static_assert(std::size(step_outputs) == step_field_count);
static_assert([] {
    for (int f = 0; f < step_field_count; ++f) {
        if (step_outputs[f].field != f) return false;
    }
    return true;
}(), "the outputs are listed in the order of their fields");

constexpr auto step_fields = [] {
    std::array<RecordField, step_field_count> fields{};
    for (int f = 0; f < step_field_count; ++f) fields[f] = step_outputs[f].record;
    return fields;
}();

bool made_by(Made made, const StepWanted& wanted) {
    switch (made) {
        case Made::Floats: return wanted.observe && !wanted.codes;
        case Made::Codes: return wanted.observe && wanted.codes;
        case Made::Masking: return wanted.observe && wanted.mask;
        case Made::Sampling: return wanted.sampled;
        case Made::Replying: return wanted.replied;
        case Made::Always:
        case Made::Listing: return true;
    }
    return true;
}

// The caller's array for an output of a row per game, checked, or a new one.
Ref output_of(const Output& output, PyObject* given, const char* name, Py_ssize_t games, ArrayView& view) {
    const auto [first, second] = output.row;
    const Py_ssize_t rows = output.field == offsets ? games + 1 : games;
    if (first == 0) return output_array(given, name, output.element, {rows}, view);
    if (second == 0) return output_array(given, name, output.element, {rows, first}, view);
    return output_array(given, name, output.element, {rows, first, second}, view);
}

// A listing's output once its length is known: the caller's array `given`, already checked and
// held in `view` with `whole` a view of its memory (shared_view), when it holds at least
// `length` elements (itself, or a view of its first `length`), a new array otherwise; `view`
// is then where to write.
Ref listing_array(PyObject* given, const Ref& whole, Element element, Py_ssize_t length, ArrayView& view) {
    if (view.held() && view.length() == length) return Ref::new_reference(given);
    if (view.held() && view.length() > length) return Ref(PySequence_GetSlice(whole.get(), 0, length));
    view.release();
    return new_array(element, {length}, view);
}

}  // namespace

bool StepArrays::prepare(PyObject* step_type, PyObject* out, Py_ssize_t games, StepWanted wanted,
                         std::vector<Extent> inputs) {
    if (!offered_arrays(out, step_fields, given_, step_type)) return false;
    for (const Output& output : step_outputs) {
        if (!made_by(output.made, wanted)) continue;
        const std::string name = std::string("out.") + output.record.name;
        PyObject* given = given_[output.field].get();
        ArrayView& view = views_[output.field];
        Ref& array = arrays_[output.field];
        if (output.made == Made::Listing) {
            // Whether the caller's array is long enough is known only later; what else it
            // must be is checked now, and the view of its memory made while nothing has
            // changed: afterwards only its first entries are sliced off.
            if (given == nullptr || given == Py_None) continue;
            if (!take_view(given, name.c_str(), output.element, {0}, true, view)) return false;
            array = shared_view(given);
        } else {
            array = output_of(output, given, name.c_str(), games, view);
        }
        if (!array) return false;
    }
    for (const ArrayView& view : views_) {
        if (view.held()) inputs.push_back(view.extent());
    }
    return check_apart(inputs);
}

batch::Outputs StepArrays::outputs() const {
    return {.observation = data<float>(observation),
            .mask = data<std::uint8_t>(mask),
            .terminated = data<std::uint8_t>(terminated),
            .truncated = data<std::uint8_t>(truncated),
            .values = data<float>(values),
            .plies = data<std::int32_t>(plies),
            .played_move = data<MoveCode>(played_move),
            .played_slot = data<std::int64_t>(played_slot),
            .log_prob = data<float>(log_prob),
            .entropy = data<float>(entropy),
            .reply_move = data<MoveCode>(reply_move),
            .reply_slot = data<std::int64_t>(reply_slot),
            .restarting = data<std::uint8_t>(restarting),
            .cell_codes = data<std::uint8_t>(codes),
            .ages = data<std::uint16_t>(ages),
            .shared = data<std::uint8_t>(shared)};
}

Ref StepArrays::finish(PyObject* step_type, const batch::GameBatch& batch) {
    const auto count = static_cast<Py_ssize_t>(batch.listed_moves());
    for (const Output& output : step_outputs) {
        if (output.made != Made::Listing) continue;
        const StepField f = output.field;
        arrays_[f] = listing_array(given_[f].get(), arrays_[f], output.element, count, views_[f]);
        if (!arrays_[f]) return Ref();
    }
    const bool written = run_released([&](parallel::Stop&) {
        batch.write_listing(data<std::int64_t>(offsets), data<MoveCode>(moves), data<std::int64_t>(slots));
    });
    if (!written) return Ref();
    return make_record(step_type, arrays_);
}

const RecordSpec step_spec = {
    .name = "Step",
    .doc = "The outputs of one batched call: arrays, game after game. Pass one as `out` to reuse its arrays.",
    .fields = step_fields,
    .defaulted = 3,
};

}  // namespace murkplay::python::rl
