#include "core/hnsw/select_neighbors.h"

#include <algorithm>
#include <cmath>

#include "core/hnsw/hit_order.h"
#include "core/quantization/distance.h"
#include "core/quantization/distance_batch.h"
#include "core/quantization/scalar.h"

namespace kestrine {

namespace {

// Comparisons in a candidate's first batch when the candidates far outnumber the budget (the
// selection for a new node, from a whole beam): fewer than a full batch, since most of those
// candidates are rejected, usually by one of the first picks, and the rest of the batch would
// be wasted. When a list is cut back, most candidates are kept and each is compared with every
// pick anyway, so full batches from the start only overlap more sums.
constexpr size_t kFirstComparisons = 4;
constexpr size_t kManyCandidatesPerPlace = 2;

}  // namespace

NeighborSelector::NeighborSelector(const HnswIndex& index)
    : index_(&index), kernels_(&distance_kernels(active_kernel_variant())) {}

const float* NeighborSelector::vector_of(uint32_t id, float* buffer, float& root) const {
  const HnswIndex& index = *index_;
  const bool cosine = index.config.distance_metric == DistanceMetric::kCosine;
  const size_t dim = static_cast<size_t>(index.dimension);
  const size_t start = static_cast<size_t>(id) * dim;
  const float* vector = buffer;
  float sq = 0.0f;
  if (!index.raw_vectors.empty() && start + dim <= index.raw_vectors.size()) {
    vector = index.raw_vectors.data() + start;
    if (cosine) sq = kernels_->dot(vector, vector, dim);
  } else if (start + dim <= index.vector_data.size() && id < index.headers.values.size()) {
    const CodeHeader& header = index.headers.values[id];
    const CodeView view{std::span(index.vector_data).subspan(start, dim), header.min, header.scale};
    sq = dequantize_sq_norm(*kernels_, view, buffer);
  } else {
    std::fill_n(buffer, dim, 0.0f);
  }
  root = cosine ? std::sqrt(sq) : 0.0f;
  return vector;
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
  picked_roots_.clear();

  for (const SearchHit& candidate : sorted_) {
    if (out.size() >= budget) break;
    // The candidate is read into the slot its pick would take, so keeping it copies nothing.
    float root;
    const float* vector = vector_of(candidate.id, storage_.data() + out.size() * dim, root);
    const std::span<const float> v(vector, dim);
    // Its norm's root is taken once for all its comparisons (and kept should it be picked), and
    // the picks are compared with it several at a time: first a few, since the nearest picks
    // reject most candidates, then full batches. The distances are those of vector_distance,
    // and the walk stops at the first that rejects it as before.
    bool keep = true;
    float distances[kMaxDistanceBatch];
    size_t step =
        sorted_.size() > kManyCandidatesPerPlace * budget ? kFirstComparisons : kMaxDistanceBatch;
    for (size_t first = 0; keep && first < picked_.size();
         first += step, step = kMaxDistanceBatch) {
      const size_t count = std::min(step, picked_.size() - first);
      vector_distances_by_roots(*kernels_, metric, v, root,
                                std::span(picked_).subspan(first, count),
                                picked_roots_.data() + first, distances);
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
      picked_roots_.push_back(root);
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
