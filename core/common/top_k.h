// The k best scored ids of a set of candidates, best first. Shared by the keyword index and by
// the fusion of hybrid search, so that both settle ties the same way.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <ranges>
#include <vector>

#include "core/common/scored_id.h"

namespace kestrine {

// The at most k strongest candidates, by descending score. A candidate is a ScoredId or an
// (id, score) pair, such as the entries of a map from id to score. An entry is weaker when its
// score is lower and, on equal scores, when its id is smaller, so ties at the cut keep the larger
// ids; a NaN score is weaker than every number. Equal scores come out by descending id.
//
// Memory stays within min(k, candidates) entries: k is not bounded by the API, and a huge k must
// not reserve room for entries that do not exist.
template <std::ranges::input_range Candidates>
std::vector<ScoredId> select_top_k(Candidates&& candidates, size_t k);

// Whether `a` ranks above `b` by the rule above: a strict total order on (score, id).
inline bool stronger(const ScoredId& a, const ScoredId& b) {
  const bool a_nan = std::isnan(a.score);
  const bool b_nan = std::isnan(b.score);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.score != b.score) return a.score > b.score;
  return a.id > b.id;
}

template <std::ranges::input_range Candidates>
std::vector<ScoredId> select_top_k(Candidates&& candidates, size_t k) {
  std::vector<ScoredId> heap;
  if (k == 0) return heap;
  if constexpr (std::ranges::sized_range<Candidates>) {
    const auto count = static_cast<size_t>(std::ranges::size(candidates));
    heap.reserve(std::min(count, k));
  }
  // With `stronger` as the heap's less-than, the heap's front is the weakest entry held. Once k
  // are held, a candidate enters only by pushing the weakest out.
  for (const auto& candidate : candidates) {
    const auto& [id, score] = candidate;
    const ScoredId entry{id, score};
    if (heap.size() < k) {
      heap.push_back(entry);
      std::ranges::push_heap(heap, stronger);
    } else if (stronger(entry, heap.front())) {
      std::ranges::pop_heap(heap, stronger);
      heap.back() = entry;
      std::ranges::push_heap(heap, stronger);
    }
  }
  std::ranges::sort_heap(heap, stronger);  // ascending in `stronger`: best first
  return heap;
}

}  // namespace kestrine
