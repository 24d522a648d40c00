#include "core/bm25/score_bounds.h"

#include <algorithm>

namespace kestrine {
namespace {

// Adds (tf, length) to the frontier unless a pair already there has a tf at least as high and
// a length at most as low; drops the pairs the new one beats in turn.
void add_to_frontier(std::vector<ScoreBound>& frontier, uint32_t tf, uint32_t length) {
  // Ascending tf goes with ascending length, so of the pairs with a tf at least `tf` the first
  // has the lowest length: the only one to compare with.
  auto at = std::ranges::lower_bound(frontier, tf, {}, &ScoreBound::tf);
  if (at != frontier.end() && at->length <= length) return;
  if (at != frontier.end() && at->tf == tf) {
    at->length = length;
  } else {
    at = frontier.insert(at, {tf, length});
  }
  // The pairs before it have lower tfs; those with a length at least `length`, a tail of them,
  // are beaten.
  const auto first_beaten =
      std::ranges::lower_bound(frontier.begin(), at, length, {}, &ScoreBound::length);
  frontier.erase(first_beaten, at);
}

}  // namespace

void note_posting(TermBounds& bounds, uint32_t tf, uint32_t length) {
  bounds.min_tf = std::min(bounds.min_tf, tf);
  add_to_frontier(bounds.frontier, tf, length);
  bounds.share_codes.push_back(share_code(tf, length));
}

TermBounds bounds_of(std::span<const Posting> list, std::span<const uint32_t> doc_lengths) {
  TermBounds bounds;
  bounds.share_codes.reserve(list.size());
  for (const Posting& p : list) {
    note_posting(bounds, p.tf, p.id < doc_lengths.size() ? doc_lengths[p.id] : 0);
  }
  return bounds;
}

}  // namespace kestrine
