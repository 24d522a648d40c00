// A document's internal id with a score; what the vector side, the keyword side and fusion
// exchange. Higher scores are better.
#pragma once

#include <cstdint>

namespace kestrine {

struct ScoredId {
  uint32_t id = 0;
  float score = 0.0f;

  friend bool operator==(const ScoredId&, const ScoredId&) = default;
};

}  // namespace kestrine
