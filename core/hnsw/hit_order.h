// The order in which hits are ranked: ascending distance under the total order of floats, where
// -0 comes before +0 and every NaN after all numbers.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <span>

#include "core/common/scored_id.h"

namespace kestrine {

// A key whose unsigned order is the total order of the distances.
inline uint32_t distance_key(float distance) {
  if (std::isnan(distance)) return UINT32_MAX;
  const uint32_t bits = std::bit_cast<uint32_t>(distance);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

// The distance a key stands for; every NaN comes back as one quiet NaN.
inline float key_distance(uint32_t key) {
  return std::bit_cast<float>((key & 0x80000000u) != 0 ? key & 0x7FFFFFFFu : ~key);
}

inline bool closer(const SearchHit& a, const SearchHit& b) {
  return distance_key(a.distance) < distance_key(b.distance);
}

// Sorts hits ascending by distance. Up to 20 hits are sorted by insertion sort, so equal
// distances keep their order; a longer run already in order is left exactly as it is; otherwise
// equal distances may end up in any order.
void sort_hits(std::span<SearchHit> hits);

}  // namespace kestrine
