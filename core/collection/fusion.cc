#include "core/collection/fusion.h"

#include <limits>

#include "core/common/score_map.h"
#include "core/common/top_k.h"

namespace kestrine {
namespace {

constexpr float kRrfConstant = 60.0f;

void add_ranks(ScoreMap& scores, std::span<const ScoredId> hits) {
  for (size_t rank = 0; rank < hits.size(); ++rank) {
    scores.add(hits[rank].id, 1.0f / (static_cast<float>(rank) + kRrfConstant + 1.0f));
  }
}

void add_normalised(ScoreMap& scores, std::span<const ScoredId> hits, float weight) {
  float min = std::numeric_limits<float>::max();
  float max = -std::numeric_limits<float>::max();
  for (const ScoredId& hit : hits) {
    min = std::min(min, hit.score);
    max = std::max(max, hit.score);
  }
  const float range = max - min;
  const bool flat = range < std::numeric_limits<float>::epsilon();
  for (const ScoredId& hit : hits) {
    const float norm = flat ? 1.0f : (hit.score - min) / range;
    scores.add(hit.id, norm * weight);
  }
}

}  // namespace

std::vector<ScoredId> fuse_rrf(std::span<const ScoredId> vector_hits,
                               std::span<const ScoredId> keyword_hits, size_t k) {
  ScoreMap scores(vector_hits.size() + keyword_hits.size());
  add_ranks(scores, vector_hits);
  add_ranks(scores, keyword_hits);
  return select_top_k(scores.entries(), k);
}

std::vector<ScoredId> fuse_linear(std::span<const ScoredId> vector_hits,
                                  std::span<const ScoredId> keyword_hits, float alpha, size_t k) {
  ScoreMap scores(vector_hits.size() + keyword_hits.size());
  add_normalised(scores, vector_hits, alpha);
  add_normalised(scores, keyword_hits, 1.0f - alpha);
  return select_top_k(scores.entries(), k);
}

}  // namespace kestrine
