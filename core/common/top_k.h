// The k best scored ids of a set of candidates, best first. Shared by the keyword index and by
// the fusion of hybrid search, so that both settle ties the same way.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
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

// select_top_k for candidates that come one at a time (offer), by the same rule.
class TopK {
 public:
  // `expected`: how many candidates may come, so that no more room than they need is reserved.
  TopK(size_t k, size_t expected) : k_(k) { heap_.reserve(std::min(k, expected)); }

  void offer(const ScoredId& entry) {
    // A score below the weakest held (both numbers) cannot enter, whatever its id: the one
    // comparison that most candidates of a long list end at. A NaN on either side fails it and
    // is left to `stronger`.
    if (entry.score < weakest_ || k_ == 0) return;
    // With `stronger` as the heap's less-than, the heap's front is the weakest entry held. Once
    // k are held, a candidate enters only by pushing the weakest out.
    if (heap_.size() < k_) {
      heap_.push_back(entry);
      std::ranges::push_heap(heap_, stronger);
    } else if (stronger(entry, heap_.front())) {
      std::ranges::pop_heap(heap_, stronger);
      heap_.back() = entry;
      std::ranges::push_heap(heap_, stronger);
    } else {
      return;
    }
    if (heap_.size() == k_) weakest_ = heap_.front().score;
  }

  // The score below which a candidate cannot enter: -infinity until k entries are held, then
  // the weakest one's (a candidate of equal score enters if its id is larger).
  float weakest() const { return weakest_; }

  // The entries held, best first.
  std::vector<ScoredId> take() && {
    std::ranges::sort_heap(heap_, stronger);  // ascending in `stronger`: best first
    return std::move(heap_);
  }

 private:
  size_t k_;
  std::vector<ScoredId> heap_;
  float weakest_ = -std::numeric_limits<float>::infinity();
};

template <std::ranges::input_range Candidates>
std::vector<ScoredId> select_top_k(Candidates&& candidates, size_t k) {
  size_t expected = 0;  // unknown: the heap grows as candidates come
  if constexpr (std::ranges::sized_range<Candidates>) {
    expected = static_cast<size_t>(std::ranges::size(candidates));
  }
  TopK top(k, expected);
  for (const auto& candidate : candidates) {
    const auto& [id, score] = candidate;
    top.offer(ScoredId{id, score});
  }
  return std::move(top).take();
}

}  // namespace kestrine
