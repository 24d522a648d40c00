// A node found by a search or considered as a neighbour: its distance to the query (or to the
// base vector of a neighbour selection) and its id. Smaller distances are closer.
#pragma once

#include <cstdint>

namespace kestrine {

struct SearchHit {
  float distance = 0.0f;
  uint32_t id = 0;

  friend bool operator==(const SearchHit&, const SearchHit&) = default;
};

}  // namespace kestrine
