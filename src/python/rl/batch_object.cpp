// The Python class GameBatch: check every argument, release the interpreter for the native
// work, then hand the arrays back.
#include "python/rl/batch_object.hpp"

#include <algorithm>
#include <array>
#include <cfloat>
#include <span>
#include <memory>
#include <utility>
#include <new>
#include <string>
#include <stdexcept>
#include <string_view>

#include "batch/batch_codec.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/method_table.hpp"
#include "python/game_object.hpp"
#include "python/rl/arrays.hpp"
#include "python/rl/records.hpp"
#include "python/rl/released.hpp"
#include "python/rl/state.hpp"
#include "python/conversions.hpp"

namespace murkplay::python::rl {

namespace {

using batch::Choice;
using batch::GameBatch;

struct BatchObject {
    PyObject_HEAD
    GameBatch* batch;
    BorrowCounter borrow;
};

BatchObject* as_batch(PyObject* self) { return reinterpret_cast<BatchObject*>(self); }

// Runs `body` on the batch under a borrow of the given kind; a refused borrow raises instead.
template <Access access, typename Body>
PyObject* with_batch(PyObject* self, Body&& body) {
    const BorrowGuard guard(as_batch(self)->borrow, access);
    if (!guard) return nullptr;
    return body(*as_batch(self)->batch);
}

// The fields of a Step, in the order of step_fields; `out=` is read by the same names.
enum Field : int {
    observation,
    mask,
    offsets,
    moves,
    slots,
    terminated,
    truncated,
    values,
    plies,
    played_move,
    played_slot,
    log_prob,
    entropy,
    reply_move,
    reply_slot,
    restarting,
    field_count,
};

constexpr RecordField step_fields[] = {
    {"observation", "float32 (games, 64, 35): what each side to move sees, as encode_flattened; None if not asked"},
    {"mask", "bool (games, 4352): the slots of each game's legal moves; None if not asked"},
    {"offsets", "int64 (games + 1,): game i's moves are moves[offsets[i]:offsets[i + 1]]"},
    {"moves", "uint16: every game's legal moves as move codes, in the order of legal_actions_uci()"},
    {"slots", "int64: the policy slot (action_index) of each of those moves"},
    {"terminated", "bool (games,): a king has been captured"},
    {"truncated", "bool (games,): cut off by max_plies, or stalled without a legal move"},
    {"values", "float32 (games, 2): terminal_value for White and for Black"},
    {"plies", "int32 (games,): moves played since the game (re)started"},
    {"played_move", "uint16 (games,): the move each game played in this call, or NO_MOVE"},
    {"played_slot", "int64 (games,): its slot, seen from the side that played it, or -1"},
    {"log_prob", "float32 (games,): by='logits', the log-probability of the slot drawn under the masked, tempered "
                 "softmax, 0 where no move was drawn; None for other steps"},
    {"entropy", "float32 (games,): by='logits', the entropy (nats) of that distribution, 0 where no move was drawn; "
                "None for other steps"},
    {"reply_move", "uint16 (games,): the reply each game played after its move, NO_MOVE where none; None without "
                   "reply"},
    {"reply_slot", "int64 (games,): the reply's slot, seen from the side that replied, or -1; None without reply"},
    {"restarting", "bool (games,): the game restarts at the next step instead of playing a move (auto_reset, and "
                   "it ended)"},
};

// The arrays of one call: the caller's where `out` names them, new ones elsewhere.
struct CallArrays {
    std::array<Ref, field_count> arrays;
    std::array<ArrayView, field_count> views;

    batch::Outputs outputs() const {
        return {views[observation].held() ? views[observation].data<float>() : nullptr,
                views[mask].held() ? views[mask].data<std::uint8_t>() : nullptr,
                views[terminated].data<std::uint8_t>(),
                views[truncated].data<std::uint8_t>(),
                views[values].data<float>(),
                views[plies].data<std::int32_t>(),
                views[played_move].data<MoveCode>(),
                views[played_slot].data<std::int64_t>(),
                optional<float>(log_prob),
                optional<float>(entropy),
                optional<MoveCode>(reply_move),
                optional<std::int64_t>(reply_slot),
                views[restarting].data<std::uint8_t>()};
    }

    template <typename T>
    T* optional(Field field) const {
        return views[field].held() ? views[field].data<T>() : nullptr;
    }
};

// Which of the outputs that not every call makes this one makes.
struct Wanted {
    bool observe = true;
    bool sampled = false;  // log_prob and entropy
    bool replied = false;  // reply_move and reply_slot
};

// The outputs whose length is known only after the native work: every game's legal moves.
constexpr std::pair<Field, Element> listing_fields[] = {{moves, Element::UInt16}, {slots, Element::Int64}};

// Every output, checked or made before the native work begins, and apart from each other and
// from the actions (`inputs`).
bool prepare(PyObject* self, PyObject* out, Py_ssize_t n, const Wanted& wanted, CallArrays& call,
             std::array<Ref, field_count>& given, std::vector<Extent> inputs) {
    if (!offered_arrays(out, step_fields, given, state_of_type(Py_TYPE(self)).step_type)) return false;
    struct Spec {
        Field field;
        Element element;
        std::initializer_list<Py_ssize_t> shape;
    };
    const Spec specs[] = {
        {terminated, Element::Byte, {n}},      {truncated, Element::Byte, {n}},
        {values, Element::Float32, {n, 2}},    {plies, Element::Int32, {n}},
        {played_move, Element::UInt16, {n}},   {played_slot, Element::Int64, {n}},
        {observation, Element::Float32, {n, 64, 35}}, {mask, Element::Byte, {n, action_count}},
        {offsets, Element::Int64, {n + 1}},
        {log_prob, Element::Float32, {n}},     {entropy, Element::Float32, {n}},
        {reply_move, Element::UInt16, {n}},    {reply_slot, Element::Int64, {n}},
        {restarting, Element::Byte, {n}},
    };
    for (const Spec& spec : specs) {
        if (!wanted.observe && (spec.field == observation || spec.field == mask)) continue;
        if (!wanted.sampled && (spec.field == log_prob || spec.field == entropy)) continue;
        if (!wanted.replied && (spec.field == reply_move || spec.field == reply_slot)) continue;
        const std::string name = std::string("out.") + step_fields[spec.field].name;
        call.arrays[spec.field] =
            output_array(given[spec.field].get(), name.c_str(), spec.element, spec.shape, call.views[spec.field]);
        if (!call.arrays[spec.field]) return false;
    }
    // The moves' arrays are checked now too; whether they are long enough is known only later.
    for (const auto& [field, element] : listing_fields) {
        PyObject* offered = given[field].get();
        const std::string name = std::string("out.") + step_fields[field].name;
        if (offered == nullptr || offered == Py_None) continue;
        // Made now, while nothing has changed: afterwards only its first entries are sliced off.
        if (!take_view(offered, name.c_str(), element, {0}, true, call.views[field])) return false;
        call.arrays[field] = shared_view(offered);
        if (!call.arrays[field]) return false;
    }
    for (const ArrayView& view : call.views) {
        if (view.held()) inputs.push_back(view.extent());
    }
    return check_apart(inputs);
}

// A variable-length output: the caller's array `given`, already checked and held in `view`
// with `whole` a view of its memory (shared_view), when it holds at least `length` elements (itself, or a view
// of its first `length`), a new array otherwise; `view` is then where to write.
Ref listing_array(PyObject* given, const Ref& whole, Element element, Py_ssize_t length, ArrayView& view) {
    if (view.held() && view.length() == length) return Ref::new_reference(given);
    if (view.held() && view.length() > length) return Ref(PySequence_GetSlice(whole.get(), 0, length));
    view.release();
    return new_array(element, {length}, view);
}

PyObject* make_step(PyObject* self, const GameBatch& batch, CallArrays& call, const std::array<Ref, field_count>& given) {
    const auto count = static_cast<Py_ssize_t>(batch.listed_moves());
    for (const auto& [field, element] : listing_fields) {
        call.arrays[field] = listing_array(given[field].get(), call.arrays[field], element, count, call.views[field]);
        if (!call.arrays[field]) return nullptr;
    }
    const bool written = run_released([&](batch::Stop&) {
        batch.write_listing(call.views[offsets].data<std::int64_t>(), call.views[moves].data<MoveCode>(),
                            call.views[slots].data<std::int64_t>());
    });
    if (!written) return nullptr;

    State& state = state_of_type(Py_TYPE(self));
    return make_record(state.step_type, call.arrays).release();
}

PyObject* refusal_error(const batch::Refusal& refusal) {
    const auto game = refusal.game;
    const auto value = static_cast<long long>(refusal.value);
    switch (refusal.reason) {
        case batch::Refusal::Reason::PositionOutOfRange:
            return PyErr_Format(PyExc_ValueError,
                                "actions[%zu]: position %lld is out of range for game %zu, which has %zu legal moves",
                                game, value, game, refusal.legal_moves);
        case batch::Refusal::Reason::NoMoveWithSlot:
            return PyErr_Format(PyExc_ValueError, "actions[%zu]: no legal move of game %zu has slot %lld", game, game,
                                value);
        case batch::Refusal::Reason::UnusableLogits:
            return PyErr_Format(PyExc_ValueError,
                                "actions[%zu]: the logits of game %zu's legal slots make no distribution: each must "
                                "be finite or -inf, and at least one finite",
                                game, game);
        case batch::Refusal::Reason::NoLegalMove:
            return PyErr_Format(PyExc_ValueError,
                                "actions[%zu]: game %zu has no legal move to play; it ended stalled, restart it", game,
                                game);
    }
    return internal_failure("unknown refusal");
}

// One batched call: check, compute without the interpreter, build the results. `request` is
// empty for observe().
PyObject* batched_call(PyObject* self, std::optional<batch::Request> request, PyObject* actions, bool oracle,
                       bool observe, PyObject* out) {
    return with_batch<Access::Exclusive>(self, [&](GameBatch& batch) -> PyObject* {
        const auto n = static_cast<Py_ssize_t>(batch.size());
        std::vector<std::int64_t> values;
        ArrayView logits;
        std::vector<Extent> inputs(1);
        inputs.reserve(1 + field_count);
        const Choice choice = request ? request->choice : Choice::Agent;
        if (request && (choice == Choice::Position || choice == Choice::Slot)) {
            if (!read_integers(actions, "actions", n, values, &inputs[0])) return nullptr;
            request->values = values.data();
        }
        if (request && choice == Choice::Logits) {
            if (!take_view(actions, "actions", Element::Float32, {n, action_count}, false, logits, Use::Read)) {
                return nullptr;
            }
            request->logits = logits.data<float>();
            inputs[0] = logits.extent();
        }
        CallArrays call;
        std::array<Ref, field_count> given;
        const Wanted wanted{observe, request && choice == Choice::Logits, request && request->reply.has_value()};
        if (!prepare(self, out, n, wanted, call, given, std::move(inputs))) return nullptr;
        const batch::Outputs outputs = call.outputs();
        std::optional<batch::Refusal> refused;
        const bool ran = run_released([&](batch::Stop&) {
            if (request) {
                refused = batch.step(*request, oracle, outputs);
            } else {
                batch.observe(oracle, outputs);
            }
        });
        if (!ran) return nullptr;
        if (refused) return refusal_error(*refused);
        return make_step(self, batch, call, given);
    });
}

// ------------------------------------------------------------------------- construction

bool read_entries(const State& state, PyObject* games, const Game& start, std::vector<batch::Entry>& entries) {
    if (PyLong_Check(games) || PyIndex_Check(games)) {
        std::uint64_t count = 0;
        if (!read_integer(games, "games", 0, PY_SSIZE_T_MAX, count)) return false;
        entries.assign(static_cast<std::size_t>(count), batch::Entry{start, 0, 0, false, true});
        return true;
    }
    Ref items(PySequence_Fast(games, "games must be a count or a sequence of SelfPlayGame objects"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    entries.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        Game game;
        if (!check_game(state, item, "games") || !copy_game(item, game)) return false;
        entries.push_back(batch::written_entry(game));
    }
    return true;
}

// Omitted settings keep the defaults. A ply limit above what a game can count is refused.
bool read_settings(PyObject* max_plies, PyObject* seed, PyObject* threads, batch::Settings& settings) {
    std::uint64_t plies = settings.max_plies;
    std::uint64_t threads_value = settings.threads;
    if (!read_integer(max_plies, "max_plies", 0, batch::max_ply_count, plies) ||
        !read_integer(seed, "seed", 0, UINT64_MAX, settings.seed) ||
        !read_integer(threads, "threads", 1, batch::max_threads, threads_value)) {
        return false;
    }
    settings.max_plies = static_cast<std::uint32_t>(plies);
    settings.threads = static_cast<std::uint32_t>(threads_value);
    return true;
}

PyObject* adopt(PyTypeObject* type, std::unique_ptr<GameBatch> batch) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_batch(self)->batch = batch.release();
    new (&as_batch(self)->borrow) BorrowCounter(0);
    return self;
}

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"games", "fen", "max_plies", "auto_reset", "seed", "threads", nullptr};
    PyObject* games = nullptr;
    PyObject* fen = nullptr;
    PyObject* max_plies = nullptr;
    PyObject* auto_reset = nullptr;
    PyObject* seed = nullptr;
    PyObject* threads = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOO:GameBatch", const_cast<char**>(keywords), &games, &fen,
                                     &max_plies, &auto_reset, &seed, &threads)) {
        return nullptr;
    }
    batch::Settings settings;
    if (!read_flag(auto_reset, "auto_reset", settings.auto_reset) ||
        !read_settings(max_plies, seed, threads, settings)) {
        return nullptr;
    }
    const State& state = state_of_type(type);
    Game start;
    std::vector<batch::Entry> entries;
    try {
        if (!game_from_position(fen, "fen must be FEN text or a python-chess Board", "Invalid FEN string", start) ||
            !read_entries(state, games, start, entries)) {
            return nullptr;
        }
        return adopt(type, std::make_unique<GameBatch>(std::move(entries), start, settings));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        // More games than a vector can hold at all: no memory could ever be enough.
        return PyErr_NoMemory();
    }
}

void batch_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_batch(self)->batch;
    type->tp_free(self);
    Py_DECREF(type);
}

// ------------------------------------------------------------------------- methods

PyObject* observe_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"oracle", "out", nullptr};
    PyObject* oracle_flag = nullptr;
    PyObject* out = nullptr;
    bool oracle = false;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OO:observe", const_cast<char**>(keywords), &oracle_flag, &out) ||
        !read_flag(oracle_flag, "oracle", oracle)) {
        return nullptr;
    }
    return batched_call(self, std::nullopt, nullptr, oracle, true, out);
}

// The ways a step can choose its moves, by the name `by` gives them: the three that read
// the actions, in the order of Choice, then the built-in agents.
constexpr std::size_t array_choices = 3;
constexpr auto choice_names = [] {
    std::array<std::string_view, array_choices + batch::agent_names.size()> names{"position", "slot", "logits"};
    std::copy(batch::agent_names.begin(), batch::agent_names.end(), names.begin() + array_choices);
    return names;
}();

// "'a', 'b' or 'c'"
std::string quoted_list(std::span<const std::string_view> names, const char* last_joint) {
    std::string text;
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k > 0) text += k + 1 == names.size() ? last_joint : ", ";
        text += "'" + std::string(names[k]) + "'";
    }
    return text;
}

// The place of the text `object` among `names`, the whole text compared (a NUL within it
// ends nothing); otherwise ValueError (TypeError for anything but a str) naming `name`.
// `others` is what else the argument may be, for the message.
std::optional<std::size_t> read_name(PyObject* object, const char* name, std::span<const std::string_view> names,
                                     const char* others = nullptr) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(object) ? PyUnicode_AsUTF8AndSize(object, &size) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "%s must be a str, not '%s'", name, Py_TYPE(object)->tp_name);
        }
        return std::nullopt;
    }
    const std::string_view given(text, static_cast<std::size_t>(size));
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (names[k] == given) return k;
    }
    const std::string choices =
        others == nullptr ? quoted_list(names, " or ") : quoted_list(names, ", ") + " or " + others;
    PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", name, choices.c_str(), object);
    return std::nullopt;
}

// A temperature: any real number but a bool, which is a flag and no temperature, finite and
// above 0. An omitted argument (null) keeps `out`.
bool read_temperature(PyObject* number, double& out) {
    if (number == nullptr) return true;
    constexpr const char* wanted = "temperature must be a finite number above 0";
    const double value = PyBool_Check(number) ? -1.0 : PyFloat_AsDouble(number);
    if (PyBool_Check(number) || (value == -1.0 && PyErr_Occurred())) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "%s, not an integer too large for a float", wanted);
            return false;
        }
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "temperature must be a real number, not '%s'", Py_TYPE(number)->tp_name);
        return false;
    }
    if (!(value > 0.0 && value <= DBL_MAX)) {
        PyErr_Format(PyExc_ValueError, "%s, not %s", wanted, std::to_string(value).c_str());
        return false;
    }
    out = value;
    return true;
}

PyObject* step_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"actions", "by",    "oracle",      "observe", "out",
                                     "reply",   "temperature", "greedy", nullptr};
    PyObject* actions = Py_None;
    PyObject* by = nullptr;
    PyObject* flags[2] = {nullptr, nullptr};
    PyObject* out = nullptr;
    PyObject* reply = Py_None;
    PyObject* temperature_number = nullptr;
    PyObject* greedy_flag = nullptr;
    bool oracle = false;
    bool observe = true;
    bool greedy = false;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOOOOOO:step", const_cast<char**>(keywords), &actions, &by,
                                     &flags[0], &flags[1], &out, &reply, &temperature_number, &greedy_flag) ||
        !read_flag(flags[0], "oracle", oracle) || !read_flag(flags[1], "observe", observe) ||
        !read_flag(greedy_flag, "greedy", greedy)) {
        return nullptr;
    }
    batch::Request request;
    request.choice = Choice::Position;
    if (by != nullptr) {
        const auto named = read_name(by, "by", choice_names);
        if (!named) return nullptr;
        request.choice = *named < array_choices ? static_cast<Choice>(*named) : Choice::Agent;
        if (*named >= array_choices) request.agent = static_cast<batch::Agent>(*named - array_choices);
    }
    const bool reads_actions = request.choice != Choice::Agent;
    const std::string_view named = choice_names[request.choice == Choice::Agent
                                                    ? array_choices + static_cast<std::size_t>(request.agent)
                                                    : static_cast<std::size_t>(request.choice)];
    if (reads_actions && actions == Py_None) {
        return PyErr_Format(PyExc_TypeError, "step(by='%s') needs actions, one per game", named.data());
    }
    if (!reads_actions && actions != Py_None) {
        return PyErr_Format(PyExc_TypeError, "step(by='%s') chooses the moves itself; actions must be None",
                            named.data());
    }
    double temperature = 1.0;
    if (!read_temperature(temperature_number, temperature)) return nullptr;
    request.sampling = {temperature, greedy};
    if (reply != Py_None) {
        const auto agent = read_name(reply, "reply", batch::agent_names, "None");
        if (!agent) return nullptr;
        request.reply = static_cast<batch::Agent>(*agent);
    }
    return batched_call(self, request, actions, oracle, observe, out);
}

PyObject* step_random_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"oracle", "observe", "out", nullptr};
    PyObject* flags[2] = {nullptr, nullptr};
    PyObject* out = nullptr;
    bool oracle = false;
    bool observe = true;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOO:step_random", const_cast<char**>(keywords), &flags[0],
                                     &flags[1], &out) ||
        !read_flag(flags[0], "oracle", oracle) || !read_flag(flags[1], "observe", observe)) {
        return nullptr;
    }
    batch::Request request;
    request.choice = Choice::Agent;
    request.agent = batch::Agent::Random;
    return batched_call(self, request, nullptr, oracle, observe, out);
}

// A game number as Python indexes sequences: negative counts from the end.
bool game_index(const GameBatch& batch, PyObject* key, std::size_t& out) {
    if (PyBool_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "a game index must be an integer, not bool");
        return false;
    }
    Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return false;
    const auto n = static_cast<Py_ssize_t>(batch.size());
    if (i < 0) i += n;
    if (i < 0 || i >= n) {
        PyErr_SetString(PyExc_IndexError, "game index out of range");
        return false;
    }
    out = static_cast<std::size_t>(i);
    return true;
}

PyObject* reset_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"games", nullptr};
    PyObject* games = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:reset", const_cast<char**>(keywords), &games)) return nullptr;
    return with_batch<Access::Exclusive>(self, [&](GameBatch& batch) -> PyObject* {
        std::vector<std::size_t> chosen;
        if (games == Py_None) {
            for (std::size_t i = 0; i < batch.size(); ++i) chosen.push_back(i);
        } else {
            Ref items(PySequence_Fast(games, "games must be a sequence of game indices or None"));
            if (!items) return nullptr;
            for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
                std::size_t i = 0;
                if (!game_index(batch, PySequence_Fast_GET_ITEM(items.get(), k), i)) return nullptr;
                chosen.push_back(i);
            }
        }
        // Every index is checked before any game restarts.
        for (const std::size_t i : chosen) batch.restart(i);
        Py_RETURN_NONE;
    });
}

PyObject* reduce_method(PyObject* self, PyObject*) {
    return with_batch<Access::Shared>(self, [&](const GameBatch& batch) -> PyObject* {
        std::vector<std::uint8_t> bytes;
        try {
            bytes = batch::write_batch_bytes(batch);
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        Ref payload(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<Py_ssize_t>(bytes.size())));
        if (!payload) return nullptr;
        Ref restore(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_bytes"));
        if (!restore) return nullptr;
        return Py_BuildValue("O(O)", restore.get(), payload.get());
    });
}

PyObject* from_bytes_method(PyObject* type, PyObject* payload) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(payload, &data, &size) < 0) return nullptr;
    try {
        std::optional<GameBatch> batch = batch::read_batch_bytes(
            std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
        if (!batch) {
            PyErr_SetString(PyExc_ValueError, "not a pickled GameBatch of this version, or a damaged one");
            return nullptr;
        }
        return adopt(reinterpret_cast<PyTypeObject*>(type), std::make_unique<GameBatch>(std::move(*batch)));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

Py_ssize_t batch_length(PyObject* self) { return static_cast<Py_ssize_t>(as_batch(self)->batch->size()); }

PyObject* get_game(PyObject* self, PyObject* key) {
    return with_batch<Access::Shared>(self, [&](const GameBatch& batch) -> PyObject* {
        std::size_t i = 0;
        if (!game_index(batch, key, i)) return nullptr;
        return new_game_object(reinterpret_cast<PyTypeObject*>(state_of_type(Py_TYPE(self)).game_type),
                               batch.entry(i).game);
    });
}

int set_game(PyObject* self, PyObject* key, PyObject* value) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "games cannot be deleted from a batch");
        return -1;
    }
    PyObject* done = with_batch<Access::Exclusive>(self, [&](GameBatch& batch) -> PyObject* {
        std::size_t i = 0;
        Game game;
        if (!game_index(batch, key, i) || !check_game(state_of_type(Py_TYPE(self)), value, "value") ||
            !copy_game(value, game)) {
            return nullptr;
        }
        batch.set_game(i, game);
        Py_RETURN_NONE;
    });
    if (done == nullptr) return -1;
    Py_DECREF(done);
    return 0;
}

template <typename Read>
PyObject* read_setting(PyObject* self, Read read) {
    return with_batch<Access::Shared>(self, [&](const GameBatch& batch) { return read(batch.settings()); });
}

PyObject* get_threads(PyObject* self, void*) {
    return read_setting(self, [](const batch::Settings& s) { return PyLong_FromUnsignedLong(s.threads); });
}

int set_threads(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "threads cannot be deleted");
        return -1;
    }
    batch::Settings settings;
    if (!read_settings(nullptr, nullptr, value, settings)) return -1;
    PyObject* done = with_batch<Access::Exclusive>(self, [&](GameBatch& batch) {
        batch.set_threads(settings.threads);
        return Py_NewRef(Py_None);
    });
    if (done == nullptr) return -1;
    Py_DECREF(done);
    return 0;
}

PyObject* get_max_plies(PyObject* self, void*) {
    return read_setting(self, [](const batch::Settings& s) { return PyLong_FromUnsignedLong(s.max_plies); });
}

PyObject* get_auto_reset(PyObject* self, void*) {
    return read_setting(self, [](const batch::Settings& s) { return PyBool_FromLong(s.auto_reset); });
}

PyObject* get_seed(PyObject* self, void*) {
    return read_setting(self, [](const batch::Settings& s) { return PyLong_FromUnsignedLongLong(s.seed); });
}

PyMethodDef batch_methods[] = {
    {"observe", as_table_entry<observe_method>(), METH_VARARGS | METH_KEYWORDS,
     "observe($self, /, *, oracle=False, out=None)\n--\n\n"
     "Reports on every game as it stands, changing none: a Step whose played_move is NO_MOVE throughout."},
    {"step", as_table_entry<step_method>(), METH_VARARGS | METH_KEYWORDS,
     "step($self, /, actions=None, *, by='position', oracle=False, observe=True, out=None, reply=None, "
     "temperature=1.0, greedy=False)\n--\n\n"
     "Plays one move in every game and reports on all of them.\n\n"
     "by='position': actions holds one integer per game, the move's place in that game's list\n"
     "(moves[offsets[i]:offsets[i + 1]] of the last Step, the order of legal_actions_uci()).\n"
     "by='slot': its policy slot, which names the first listed move with that slot (a promotion push\n"
     "before the captures that share its slot).\n"
     "by='logits': actions is a float32 (games, 4352) C-contiguous array; each game's slot is drawn\n"
     "from softmax(logits / temperature) over its legal slots only (greedy=True: the most probable,\n"
     "the first listed among equals), and log_prob and entropy report the draw.\n"
     "by='random', 'greedy' or 'cautious': a built-in agent chooses; actions must be None.\n"
     "reply='random', 'greedy' or 'cautious': every game that played a move and has not ended then\n"
     "plays that agent's reply (reply_move), before the report.\n"
     "Random choices take each game's own stream of the seed, the same for every thread count.\n"
     "Every action is checked before any game changes. With auto_reset, a game that ended at the\n"
     "last step (or was written into the batch finished) restarts instead and its action is not\n"
     "read: the last report's restarting says which."},
    {"step_random", as_table_entry<step_random_method>(), METH_VARARGS | METH_KEYWORDS,
     "step_random($self, /, *, oracle=False, observe=True, out=None)\n--\n\n"
     "Plays a uniformly random legal move in every game, from each game's own stream of the seed,\n"
     "the same for every thread count."},
    {"reset", as_table_entry<reset_method>(), METH_VARARGS | METH_KEYWORDS,
     "reset($self, /, games=None)\n--\n\nRestarts the given games (all when None) from the start position."},
    {"__reduce__", reduce_method, METH_NOARGS, nullptr},
    {"_from_bytes", from_bytes_method, METH_O | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_properties[] = {
    {"threads", get_threads, set_threads, "Native threads each call spreads the games over.", nullptr},
    {"max_plies", get_max_plies, nullptr, "Plies after which a game is truncated; 0 for no limit.", nullptr},
    {"auto_reset", get_auto_reset, nullptr, "Whether ended games restart at the next step.", nullptr},
    {"seed", get_seed, nullptr, "The seed of the random moves.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "GameBatch(games, *, fen=None, max_plies=0, auto_reset=False, seed=0, threads=1)\n--\n\n"
                    "Many fog-of-war games held in native memory and stepped together.\n\n"
                    "games is a count of new games, or a sequence of SelfPlayGame objects to copy, fog memories\n"
                    "included. fen is the position new and restarted games start from (the standard start by\n"
                    "default). batch[i] is an independent copy of game i; batch[i] = game writes one back\n"
                    "(with auto_reset, a finished game written restarts at the next step, as Step.restarting\n"
                    "says of every game).")},
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, batch_methods},
    {Py_tp_getset, batch_properties},
    {Py_mp_length, reinterpret_cast<void*>(batch_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(get_game)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(set_game)},
    {Py_sq_length, reinterpret_cast<void*>(batch_length)},
    {0, nullptr},
};

}  // namespace

bool batch_handle(const State& state, PyObject* object, const char* name, BatchHandle& out) {
    if (Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(state.batch_type)) {
        PyErr_Format(PyExc_TypeError, "%s must be a GameBatch, not '%s'", name, Py_TYPE(object)->tp_name);
        return false;
    }
    out = {as_batch(object)->batch, &as_batch(object)->borrow};
    return true;
}

PyType_Spec batch_type_spec = {
    .name = "murkplay_rl.GameBatch",
    .basicsize = static_cast<int>(sizeof(BatchObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = batch_slots,
};

const RecordSpec step_spec = {
    .name = "Step",
    .doc = "The outputs of one batched call: arrays, game after game. Pass one as `out` to reuse its arrays.",
    .fields = step_fields,
};

}  // namespace murkplay::python::rl
