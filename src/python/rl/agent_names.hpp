// How Python names the ways a step chooses its moves: `by` takes the three that read the
// caller's actions, then the built-in agents' names, which `reply` takes alone and AGENTS
// lists, all from the agents' one list.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "agents/builtin_agents.hpp"
#include "python/ref.hpp"

namespace murkplay::python::rl {

// The ways that read actions come first, the agents after them in the order of their enum.
inline constexpr std::size_t by_position = 0, by_slot = 1, by_logits = 2, by_agent = 3;
inline constexpr auto by_names = [] {
    std::array<std::string_view, by_agent + agents::agent_names.size()> names{"position", "slot", "logits"};
    std::copy(agents::agent_names.begin(), agents::agent_names.end(), names.begin() + by_agent);
    return names;
}();

// The place of the text `object` among `names`, the whole text compared (a NUL within it
// ends nothing); otherwise ValueError (TypeError for anything but a str) naming `name`.
// `others` is what else the argument may be, for the message.
std::optional<std::size_t> read_name(PyObject* object, const char* name, std::span<const std::string_view> names,
                                     const char* others = nullptr);

// The agents' names as a tuple of str, for the module's AGENTS.
Ref agent_name_tuple();

}  // namespace murkplay::python::rl
