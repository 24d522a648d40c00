#include "core/hnsw/hit_order.h"

#include <algorithm>

namespace kestrine {

void sort_hits(std::span<SearchHit> hits) {
  constexpr size_t kInsertionSortLimit = 20;
  if (hits.size() <= kInsertionSortLimit) {
    for (size_t i = 1; i < hits.size(); ++i) {
      const SearchHit hit = hits[i];
      size_t j = i;
      for (; j > 0 && closer(hit, hits[j - 1]); --j) hits[j] = hits[j - 1];
      hits[j] = hit;
    }
    return;
  }
  // A lambda rather than the function's address, so that the comparisons are inlined.
  const auto order = [](const SearchHit& a, const SearchHit& b) { return closer(a, b); };
  if (std::is_sorted(hits.begin(), hits.end(), order)) return;
  std::sort(hits.begin(), hits.end(), order);
}

}  // namespace kestrine
