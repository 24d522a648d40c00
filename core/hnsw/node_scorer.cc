#include "core/hnsw/node_scorer.h"

#include <algorithm>

#include "core/quantization/distance_batch.h"

namespace kestrine {

NodeScorer::NodeScorer(const HnswIndex& index, std::span<const float> query, float query_sq_norm,
                       std::span<const float> pq_table)
    : variant_(active_kernel_variant()),
      metric_(index.config.distance_metric),
      query_(query.first(std::min<size_t>(query.size(), index.dimension))),
      query_sq_norm_(query_sq_norm),
      dim_(static_cast<size_t>(index.dimension)),
      codes_(index.vector_data.data()),
      mins_(index.vector_min.data()),
      scales_(index.vector_scale.data()),
      raw_(index.raw_vectors.data()),
      norms_(index.code_norms.values.data()),
      norm_nodes_(0) {
  code_nodes_ = std::min(index.vector_min.size(), index.vector_scale.size());
  if (dim_ > 0) code_nodes_ = std::min(code_nodes_, index.vector_data.size() / dim_);
  raw_nodes_ = dim_ > 0 ? index.raw_vectors.size() / dim_ : 0;
  // A stored norm covers all `dimension` codes, so a shorter query cannot use it.
  if (metric_ == DistanceMetric::kCosine && index.code_norms.variant == variant_ &&
      query_.size() == dim_) {
    norm_nodes_ = std::min(index.code_norms.values.size(), code_nodes_);
  }
  if (!pq_table.empty() && index.pq_codebook.has_value()) {
    const size_t m = static_cast<size_t>(index.pq_codebook->num_subspaces);
    if (m > 0 && m <= pq_table.size() / 256) {
      table_ = pq_table.data();
      pq_codes_ = index.pq_codes.data();
      pq_subspaces_ = m;
      pq_nodes_ = index.pq_codes.size() / m;
    }
  }
}

float NodeScorer::code_distance_with_norm(const CodeView& view, float stored_sq_norm) const {
  float out;
  code_distances(variant_, metric_, query_, {&view, 1}, query_sq_norm_, &stored_sq_norm, &out);
  return out;
}

}  // namespace kestrine
