// An internal id with the number that ranks it, in the two directions the engine ranks in:
// ScoredId, a document with a score (higher is better), is what the vector side, the keyword
// side and fusion exchange; SearchHit, a node with its distance to the query (or to the base
// vector of a neighbour selection; smaller is closer), is what the graph's searches produce.
#pragma once

#include <cstdint>

namespace kestrine {

struct ScoredId {
  uint32_t id = 0;
  float score = 0.0f;

  friend bool operator==(const ScoredId&, const ScoredId&) = default;
};

struct SearchHit {
  float distance = 0.0f;
  uint32_t id = 0;

  friend bool operator==(const SearchHit&, const SearchHit&) = default;
};

}  // namespace kestrine
