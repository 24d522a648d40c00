// Exact top-k keyword search that passes over the documents which cannot reach the k best.
//
// Documents are taken in windows of ascending ids. In each window, a term's bound is the highest
// bound of its blocks there; the terms whose bounds together stay below the k-th best score so
// far cannot bring a document in on their own, so only the other (essential) terms' postings are
// read in full, block by block, skipping a block that cannot lift a document to that score even
// with every other term's bound. Each document they hold is then completed from the remaining
// terms' lists, by seeking, for as long as its bound still reaches the k-th best score.
//
// A document's score is the float sum of its terms' shares in query order, as the exhaustive
// scorer adds them (a term it lacks adds nothing), so scores are the same bits; bounds are
// compared after widening by a factor that covers the rounding of sums taken in any order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/bm25/posting.h"
#include "core/bm25/score_bounds.h"
#include "core/common/scored_id.h"

namespace kestrine {

// Bounds are widened by this factor, which covers the rounding of float sums taken in another
// order than a document's own (at most kMaxPrunedTerms terms, each adding a relative error of
// 2^-24) and of a share computed at a bound's (tf, length) pair.
inline constexpr double kBoundSlack = 1.0 + 1e-4;
inline constexpr size_t kMaxPrunedTerms = 512;

// One query term (a term written twice comes twice). `list` holds strictly increasing ids, each
// below the length of `lengths`, with term frequencies of at least 1; `blocks` are its blocks'
// bounds (TermBounds::blocks); `idf` is a positive number and `bound` at least the term's share in
// any of its documents, widened by kBoundSlack.
struct QueryTerm {
  std::span<const Posting> list;
  std::span<const ScoreBound> blocks;
  float idf = 0.0f;
  double bound = 0.0;
};

// The at most k documents with the highest score, best first, ties at the cut keeping the larger
// ids: what select_top_k gives over the exhaustive scores. `terms` in query order, at most
// kMaxPrunedTerms of them; `lengths` are the documents' lengths, `avgdl` a positive number.
std::vector<ScoredId> pruned_search(std::span<const QueryTerm> terms,
                                    std::span<const uint32_t> lengths, float avgdl, size_t k);

}  // namespace kestrine
