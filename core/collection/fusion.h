// Fusing the ranked lists of the vector side and the keyword side of a hybrid search into one.
// Both take lists of (internal id, score) best first and return at most k entries by
// descending fused score, ties at the cut kept for the larger ids (select_top_k).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/common/scored_id.h"

namespace kestrine {

// Reciprocal-rank fusion with constant 60: the entry at rank r (from 0) of either list adds
// 1 / (r + 61) to its id's score, so only ranks matter and `alpha` plays no part.
std::vector<ScoredId> fuse_rrf(std::span<const ScoredId> vector_hits,
                               std::span<const ScoredId> keyword_hits, size_t k);

// Min-max normalised blend: each list's scores are scaled to [0, 1] (a list whose scores are
// all equal scales to 1), then vector scores weigh `alpha` and keyword scores 1 - alpha.
// `alpha` is used as given, even outside [0, 1].
std::vector<ScoredId> fuse_linear(std::span<const ScoredId> vector_hits,
                                  std::span<const ScoredId> keyword_hits, float alpha, size_t k);

}  // namespace kestrine
