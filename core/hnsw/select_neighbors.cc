#include "core/hnsw/select_neighbors.h"

#include <algorithm>

#include "core/hnsw/hit_order.h"
#include "core/quantization/distance.h"
#include "core/quantization/distance_batch.h"
#include "core/quantization/scalar.h"

namespace kestrine {

const float* NeighborSelector::vector_of(uint32_t id, float* buffer) const {
  const HnswIndex& index = *index_;
  const size_t dim = static_cast<size_t>(index.dimension);
  const size_t start = static_cast<size_t>(id) * dim;
  if (!index.raw_vectors.empty() && start + dim <= index.raw_vectors.size()) {
    return index.raw_vectors.data() + start;
  }
  if (start + dim <= index.vector_data.size() && id < index.vector_min.size() &&
      id < index.vector_scale.size()) {
    dequantize_into(std::span(index.vector_data).subspan(start, dim), index.vector_min[id],
                    index.vector_scale[id], {buffer, dim});
  } else {
    std::fill_n(buffer, dim, 0.0f);
  }
  return buffer;
}

void NeighborSelector::select(std::span<const SearchHit> candidates, size_t budget,
                              std::vector<SearchHit>& out) {
  out.clear();
  sorted_.assign(candidates.begin(), candidates.end());
  sort_hits(sorted_);

  const HnswIndex& index = *index_;
  const DistanceMetric metric = index.config.distance_metric;
  const size_t dim = static_cast<size_t>(index.dimension);
  const size_t max_picks = std::min(budget, sorted_.size());
  // Sized before the walk: picks point into it.
  if (storage_.size() < max_picks * dim) storage_.resize(max_picks * dim);
  picked_.clear();
  picked_sq_.clear();
  const KernelVariant variant = active_kernel_variant();
  const bool cosine = metric == DistanceMetric::kCosine;

  for (const SearchHit& candidate : sorted_) {
    if (out.size() >= budget) break;
    // The candidate is read into the slot its pick would take, so keeping it copies nothing.
    const float* vector = vector_of(candidate.id, storage_.data() + out.size() * dim);
    const std::span<const float> v(vector, dim);
    // Its squared norm is summed once for all its comparisons (and kept should it be picked),
    // and the picks are compared with it a few at a time; the distances are those of
    // vector_distance, and the walk stops at the first that rejects it as before.
    const float v_sq = cosine ? vector_squared_norm(variant, v) : 0.0f;
    bool keep = true;
    float distances[kMaxDistanceBatch];
    for (size_t first = 0; keep && first < picked_.size(); first += kMaxDistanceBatch) {
      const size_t count = std::min(kMaxDistanceBatch, picked_.size() - first);
      vector_distances(variant, metric, v, v_sq, std::span(picked_).subspan(first, count),
                       cosine ? picked_sq_.data() + first : nullptr, distances);
      for (size_t j = 0; j < count; ++j) {
        // A NaN distance fails the comparison and rejects the candidate too.
        if (!(distances[j] >= candidate.distance)) {
          keep = false;
          break;
        }
      }
    }
    if (keep) {
      out.push_back(candidate);
      picked_.push_back(vector);
      picked_sq_.push_back(v_sq);
    }
  }

  for (const SearchHit& candidate : sorted_) {
    if (out.size() >= budget) break;
    const bool taken = std::any_of(out.begin(), out.end(),
                                   [&](const SearchHit& hit) { return hit.id == candidate.id; });
    if (!taken) out.push_back(candidate);
  }
}

std::vector<SearchHit> select_neighbors(const HnswIndex& index,
                                        std::span<const SearchHit> candidates, size_t budget) {
  NeighborSelector selector(index);
  std::vector<SearchHit> out;
  selector.select(candidates, budget, out);
  return out;
}

}  // namespace kestrine
