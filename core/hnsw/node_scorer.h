// Distances from one query to the nodes of an index, the inner loop of every search and
// insertion. Built once per operation: it resolves which stored form to read and how many
// nodes each table holds, so a per-node call is one kernel call. Every node id it is given is
// below the node count (neighbour ids are validated at load), which it asserts.
//
// The kernel variant is fixed when the scorer is built, so one operation never mixes variants.
// Distances over codes take a node's minimum and step from the index's header table, and for
// cosine the stored vector's squared norm as well (when summed by the same variant); several
// nodes can be scored in one call (distances), their sums overlapping. Either way every distance is
// bit for bit the one code_distance / vector_distance gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "core/common/assert.h"
#include "core/hnsw/hnsw_index.h"
#include "core/quantization/distance.h"
#include "core/quantization/distance_kernels.h"
#include "core/quantization/kernel_dispatch.h"

namespace kestrine {

class NodeScorer {
 public:
  // `query` holds exactly the index's dimension of values (the engine checks a query's length
  // once, when it admits it). `pq_table` is the query's product-
  // quantization table, or empty to score from raw vectors or codes; a table is used only when
  // it has num_subspaces x 256 entries.
  NodeScorer(const HnswIndex& index, std::span<const float> query, float query_sq_norm,
             std::span<const float> pq_table = {});

  // The traversal distance: from the table when one is in use, else exact().
  float distance(uint32_t node) const {
    if (table_ != nullptr && node < pq_nodes_) {
      const uint8_t* codes = pq_codes_ + static_cast<size_t>(node) * pq_subspaces_;
      float sum = 0.0f;
      for (size_t s = 0; s < pq_subspaces_; ++s) sum += table_[s * 256 + codes[s]];
      return sum;
    }
    return exact(node);
  }

  // The distance from the raw vector when the index keeps raw vectors, else from the codes.
  float exact(uint32_t node) const {
    // Every id in the graph is below the node count: validated at load, kept by insertion.
    KESTRINE_ASSERT(node < code_nodes_);
    if (raw_nodes_ > 0) {
      return vector_distance_with(variant_, metric_, query_, {raw_at(node), dim_});
    }
    const std::span<const uint8_t> codes{codes_at(node), dim_};
    const CodeHeader& header = headers_[node];
    const CodeView view{codes, header.min, header.scale};
    if (node < norm_nodes_) return code_distance_with_norm(view, header.sq_norm);
    return code_distance_with(variant_, metric_, query_, view, query_sq_norm_);
  }

  // distance(nodes[j]) into out[j] for every j (`out` holds nodes.size() values). Starts loading
  // what the later nodes need while the earlier ones are scored; the caller may prefetch the
  // first kMaxDistanceBatch nodes itself.
  void distances(std::span<const uint32_t> nodes, float* out) const;
  // exact(nodes[j]) into out[j] for every j, likewise.
  void exact_distances(std::span<const uint32_t> nodes, float* out) const;

  // Starts loading what distance(node) will read. Always inlined: compiled on its own, GCC finds
  // it to be a pure function (a prefetch changes nothing it can see) and drops every call.
  [[gnu::always_inline]] void prefetch(uint32_t node) const {
    if (table_ != nullptr) {
      if (node < pq_nodes_)
        __builtin_prefetch(pq_codes_ + static_cast<size_t>(node) * pq_subspaces_);
    } else {
      prefetch_stored(node);
    }
  }

  bool uses_table() const { return table_ != nullptr; }

 private:
  float code_distance_with_norm(const CodeView& view, float stored_sq_norm) const;
  // exact() of at most kMaxDistanceBatch nodes in one batched call.
  void score_group(std::span<const uint32_t> group, float* out) const;

  // Where node `node`'s codes and raw vector start; the one place their address is computed.
  const uint8_t* codes_at(uint32_t node) const { return codes_ + static_cast<size_t>(node) * dim_; }
  const float* raw_at(uint32_t node) const { return raw_ + static_cast<size_t>(node) * dim_; }

  // Starts loading what exact(node) will read: the raw vector, or the codes and their header.
  [[gnu::always_inline]] void prefetch_stored(uint32_t node) const {
    if (node < raw_nodes_) {
      // Every line of the raw vector (4 bytes a dimension: 8 lines at 128-d), as for the codes.
      const float* first = raw_at(node);
      const float* last = first + dim_ - 1;
      for (const float* line = first; line < last; line += 16) __builtin_prefetch(line);
      __builtin_prefetch(last);
    } else if (node < code_nodes_ && dim_ != 0) {
      // Every line of the codes: a node's codes need not start on a line. (A collection of
      // dimension 0 has nodes but no codes, and its table no address to count from.)
      const uint8_t* first = codes_at(node);
      const uint8_t* last = first + dim_ - 1;
      for (const uint8_t* line = first; line < last; line += 64) __builtin_prefetch(line);
      __builtin_prefetch(last);
      __builtin_prefetch(headers_ + node);
    }
  }

  KernelVariant variant_;
  DistanceMetric metric_;
  std::span<const float> query_;
  float query_sq_norm_;
  size_t dim_;
  const uint8_t* codes_;
  size_t code_nodes_;  // nodes whose codes and header are present
  const float* raw_;
  size_t raw_nodes_;     // nodes whose raw slice is present; 0 when raw vectors are not kept
  float query_self_sq_;  // the query's own v . v as the cosine kernel sums it (raw vectors)
  const CodeHeader* headers_;
  size_t norm_nodes_;  // nodes whose stored squared norm the scorer may take from headers_
  const float* table_ = nullptr;
  const uint8_t* pq_codes_ = nullptr;
  size_t pq_subspaces_ = 0;
  size_t pq_nodes_ = 0;
};

}  // namespace kestrine
