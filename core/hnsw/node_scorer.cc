#include "core/hnsw/node_scorer.h"

#include <algorithm>

#include "core/common/assert.h"

#include "core/quantization/distance_batch.h"

namespace kestrine {

NodeScorer::NodeScorer(const HnswIndex& index, std::span<const float> query, float query_sq_norm,
                       std::span<const float> pq_table)
    : variant_(active_kernel_variant()),
      metric_(index.config.distance_metric),
      query_(query),
      query_sq_norm_(query_sq_norm),
      dim_(static_cast<size_t>(index.dimension)),
      codes_(index.vector_data.data()),
      mins_(index.vector_min.data()),
      scales_(index.vector_scale.data()),
      raw_(index.raw_vectors.data()),
      query_self_sq_(0.0f),
      norms_(index.code_norms.values.data()),
      norm_nodes_(0) {
  // The engine admits only queries of the collection's dimension.
  KESTRINE_ASSERT(query.size() == dim_);
  // The tables are validated at load and kept in step by insertion.
  KESTRINE_ASSERT(index.vector_min.size() == index.node_count);
  KESTRINE_ASSERT(index.vector_scale.size() == index.node_count);
  KESTRINE_ASSERT(index.vector_data.size() == index.node_count * dim_);
  KESTRINE_ASSERT(index.raw_vectors.size() ==
                  (index.config.store_raw_vectors ? index.node_count * dim_ : 0));
  code_nodes_ = index.node_count;
  raw_nodes_ = index.raw_vectors.empty() ? 0 : index.node_count;
  if (metric_ == DistanceMetric::kCosine && same_kernel_sums(index.code_norms.variant, variant_)) {
    norm_nodes_ = std::min(index.code_norms.values.size(), code_nodes_);
  }
  if (metric_ == DistanceMetric::kCosine && raw_nodes_ > 0) {
    query_self_sq_ = vector_squared_norm(variant_, query_);
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

void NodeScorer::distances(std::span<const uint32_t> nodes, float* out) const {
  if (table_ == nullptr) {
    exact_distances(nodes, out);
    return;
  }
  for (size_t i = 0; i < nodes.size(); ++i) out[i] = distance(nodes[i]);
}

void NodeScorer::exact_distances(std::span<const uint32_t> nodes, float* out) const {
  // Nodes are gathered into groups, each scored by one batched call once full.
  size_t group[kMaxDistanceBatch];  // positions in `nodes`
  size_t grouped = 0;
  float results[kMaxDistanceBatch];
  const bool raw = raw_nodes_ > 0;
  const auto flush = [&] {
    if (grouped == 0) return;
    if (raw) {
      const float* vectors[kMaxDistanceBatch];
      for (size_t j = 0; j < grouped; ++j) {
        vectors[j] = raw_ + static_cast<size_t>(nodes[group[j]]) * dim_;
      }
      vector_distances(variant_, metric_, query_, query_self_sq_, {vectors, grouped}, nullptr,
                       results);
    } else {
      CodeView views[kMaxDistanceBatch];
      float norms[kMaxDistanceBatch];
      bool with_norms = true;
      for (size_t j = 0; j < grouped; ++j) {
        const uint32_t node = nodes[group[j]];
        views[j] = {{codes_ + static_cast<size_t>(node) * dim_, dim_}, mins_[node], scales_[node]};
        if (node < norm_nodes_) {
          norms[j] = norms_[node];
        } else {
          with_norms = false;
        }
      }
      code_distances(variant_, metric_, query_, {views, grouped}, query_sq_norm_,
                     with_norms ? norms : nullptr, results);
    }
    for (size_t j = 0; j < grouped; ++j) out[group[j]] = results[j];
    grouped = 0;
  };
  for (size_t i = 0; i < nodes.size(); ++i) {
    KESTRINE_ASSERT(nodes[i] < code_nodes_);
    group[grouped++] = i;
    if (grouped == kMaxDistanceBatch) flush();
  }
  flush();
}

}  // namespace kestrine
