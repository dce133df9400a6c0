// A whole batch as bytes, for pickling: its settings, its start position, and every game with
// its ply and restart counts. Reading refuses what no batch can hold.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "batch/game_batch.hpp"

namespace murkplay::batch {

std::vector<std::uint8_t> write_batch_bytes(const GameBatch& batch);
std::optional<GameBatch> read_batch_bytes(std::span<const std::uint8_t> bytes);

}  // namespace murkplay::batch
