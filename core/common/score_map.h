// Accumulates scores per internal id: the candidate table of a keyword search or of a fusion.
// Open addressing over a table of slots that index a dense list of entries, so adding is a
// probe in a flat array and the entries come out as a plain vector for select_top_k.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/scored_id.h"

namespace kestrine {

class ScoreMap {
 public:
  // Room for `initial_room` ids before the table first grows.
  explicit ScoreMap(size_t initial_room);

  // score[id] += score, an absent id starting at 0.
  void add(uint32_t id, float score);

  // One entry per id added, in order of first addition.
  const std::vector<ScoredId>& entries() const { return entries_; }

 private:
  size_t slot_of(uint32_t id) const;
  void grow();

  std::vector<ScoredId> entries_;
  std::vector<uint32_t> slots_;  // 0: empty; otherwise 1 + the entry's index
  int shift_ = 0;                // 64 - log2(slots_.size())
};

}  // namespace kestrine
