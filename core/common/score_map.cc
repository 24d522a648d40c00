#include "core/common/score_map.h"

#include <algorithm>
#include <bit>

namespace kestrine {
namespace {

// Slots are kept at most 3/4 full.
size_t slots_for(size_t entries) {
  return std::max<size_t>(std::bit_ceil(entries + entries / 3 + 1), 8);
}

}  // namespace

ScoreMap::ScoreMap(size_t initial_room) {
  entries_.reserve(initial_room);
  slots_.assign(slots_for(initial_room), 0);
  shift_ = 64 - std::countr_zero(slots_.size());
}

// Fibonacci hashing: the top bits of id times 2^64 / phi spread dense ids over the table.
size_t ScoreMap::slot_of(uint32_t id) const {
  return static_cast<size_t>((uint64_t{id} * 0x9E3779B97F4A7C15ull) >> shift_);
}

void ScoreMap::add(uint32_t id, float score) {
  const size_t mask = slots_.size() - 1;
  size_t slot = slot_of(id);
  for (; slots_[slot] != 0; slot = (slot + 1) & mask) {
    ScoredId& entry = entries_[slots_[slot] - 1];
    if (entry.id == id) {
      entry.score += score;
      return;
    }
  }
  entries_.push_back({id, 0.0f + score});
  slots_[slot] = static_cast<uint32_t>(entries_.size());
  if (entries_.size() * 4 > slots_.size() * 3) grow();
}

void ScoreMap::grow() {
  slots_.assign(slots_.size() * 2, 0);
  shift_ -= 1;
  const size_t mask = slots_.size() - 1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    size_t slot = slot_of(entries_[i].id);
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<uint32_t>(i + 1);
  }
}

}  // namespace kestrine
