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
      raw_(index.raw_vectors.data()),
      query_self_sq_(0.0f),
      headers_(index.headers.values.data()),
      norm_nodes_(0) {
  // The engine admits only queries of the collection's dimension.
  KESTRINE_ASSERT(query.size() == dim_);
  // The tables are validated at load and kept in step by insertion.
  KESTRINE_ASSERT(index.headers.values.size() == index.node_count);
  KESTRINE_ASSERT(index.vector_data.size() == index.node_count * dim_);
  KESTRINE_ASSERT(index.raw_vectors.size() ==
                  (index.config.store_raw_vectors ? index.node_count * dim_ : 0));
  code_nodes_ = index.node_count;
  raw_nodes_ = index.raw_vectors.empty() ? 0 : index.node_count;
  if (metric_ == DistanceMetric::kCosine && same_kernel_sums(index.headers.variant, variant_)) {
    norm_nodes_ = std::min(index.headers.normed, code_nodes_);
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
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (i + kMaxDistanceBatch < nodes.size()) prefetch(nodes[i + kMaxDistanceBatch]);
    out[i] = distance(nodes[i]);
  }
}

void NodeScorer::exact_distances(std::span<const uint32_t> nodes, float* out) const {
  // Consecutive groups, each scored by one batched call. While a group is scored the next one's
  // data is on its way: asking for every node's lines at once would only stall on the
  // processor's limit of outstanding misses, with no arithmetic to overlap them.
  for (size_t start = 0; start < nodes.size(); start += kMaxDistanceBatch) {
    const size_t count = std::min(kMaxDistanceBatch, nodes.size() - start);
    const size_t next_end = std::min(nodes.size(), start + count + kMaxDistanceBatch);
    for (size_t i = start + count; i < next_end; ++i) prefetch_stored(nodes[i]);
    score_group(nodes.subspan(start, count), out + start);
  }
}

void NodeScorer::score_group(std::span<const uint32_t> group, float* out) const {
  const size_t count = group.size();
  if (raw_nodes_ > 0) {
    const float* vectors[kMaxDistanceBatch];
    for (size_t j = 0; j < count; ++j) {
      KESTRINE_ASSERT(group[j] < code_nodes_);
      vectors[j] = raw_at(group[j]);
    }
    vector_distances(variant_, metric_, query_, query_self_sq_, {vectors, count}, nullptr, out);
    return;
  }
  CodeView views[kMaxDistanceBatch];
  float norms[kMaxDistanceBatch];
  bool with_norms = true;
  for (size_t j = 0; j < count; ++j) {
    const uint32_t node = group[j];
    KESTRINE_ASSERT(node < code_nodes_);
    const std::span<const uint8_t> codes{codes_at(node), dim_};
    const CodeHeader& header = headers_[node];
    views[j] = {codes, header.min, header.scale};
    norms[j] = header.sq_norm;
    if (node >= norm_nodes_) with_norms = false;
  }
  code_distances(variant_, metric_, query_, {views, count}, query_sq_norm_,
                 with_norms ? norms : nullptr, out);
}

}  // namespace kestrine
