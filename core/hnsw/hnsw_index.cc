#include "core/hnsw/hnsw_index.h"

#include <algorithm>

#include "core/hnsw/neighbor_lists.h"
#include "core/hnsw/node_scorer.h"
#include "core/quantization/distance_batch.h"
#include "core/quantization/pq.h"
#include "core/quantization/scalar.h"

namespace kestrine {

HnswIndex make_hnsw_index(const HnswConfig& config, uint64_t dimension) {
  HnswIndex index;
  index.config = config;
  index.dimension = dimension;
  index.neighbors.set_layer0_capacity(
      static_cast<size_t>(std::min<uint64_t>(config.m_max0, NeighborLists::kMaxLayer0Capacity)));
  index.neighbors.set_upper_capacity(
      static_cast<size_t>(std::min<uint64_t>(config.m, NeighborLists::kMaxUpperCapacity)));
  return index;
}

void mark_deleted(HnswIndex& index, uint32_t id) {
  if (id < index.deleted.size()) index.deleted[id] = 1;
}

// Node `id`'s raw slice when present, else its dequantized codes, else zeros.
void read_stored_vector(const HnswIndex& index, uint32_t id, std::span<float> out) {
  const size_t dim = out.size();
  const size_t start = static_cast<size_t>(id) * dim;
  if (!index.raw_vectors.empty() && start + dim <= index.raw_vectors.size()) {
    std::copy_n(index.raw_vectors.begin() + static_cast<ptrdiff_t>(start), dim, out.begin());
  } else if (start + dim <= index.vector_data.size() && id < index.headers.values.size()) {
    const CodeHeader& header = index.headers.values[id];
    dequantize_into(std::span(index.vector_data).subspan(start, dim), header.min, header.scale,
                    out);
  } else {
    std::fill(out.begin(), out.end(), 0.0f);
  }
}

std::vector<float> stored_vector(const HnswIndex& index, uint32_t id) {
  std::vector<float> out(static_cast<size_t>(index.dimension));
  read_stored_vector(index, id, out);
  return out;
}

Status enable_pq(HnswIndex& index, uint64_t num_subspaces) {
  const size_t dim = static_cast<size_t>(index.dimension);
  // The trainer divides by both; refuse here with its own messages rather than reach it.
  if (num_subspaces == 0)
    return fail(Error::internal("dimension must be divisible by num_subspaces"));
  if (dim == 0 || index.node_count == 0) {
    return fail(Error::internal("need at least one vector to train PQ"));
  }
  std::vector<float> vectors(static_cast<size_t>(index.node_count) * dim);
  for (uint32_t node = 0; node < index.node_count; ++node) {
    read_stored_vector(index, node, std::span(vectors).subspan(node * dim, dim));
  }
  Result<PqCodebook> codebook = train_pq(vectors, index.dimension, num_subspaces);
  if (!codebook) return fail(codebook.error());
  index.pq_codes = pq_encode_batch(*codebook, vectors);
  index.pq_codebook = std::move(*codebook);
  return {};
}

void append_code_header(HnswIndex& index, float min, float scale) {
  CodeHeaderTable& table = index.headers;
  reserve_for_append(table.values, 1);
  table.values.push_back({min, scale, 0.0f});
  table.min_count = table.scale_count = table.values.size();
}

void refresh_code_norms(HnswIndex& index) {
  CodeHeaderTable& table = index.headers;
  const KernelVariant variant = active_kernel_variant();
  const size_t dim = static_cast<size_t>(index.dimension);
  size_t nodes = table.values.size();
  if (dim > 0) nodes = std::min(nodes, index.vector_data.size() / dim);
  if (index.config.distance_metric != DistanceMetric::kCosine) {
    // Only cosine distances read the norms: the other metrics' headers keep the 0 they were
    // appended or decoded with, whatever the variant, so no node needs a visit.
    table.variant = variant;
    table.normed = nodes;
    return;
  }
  if (!same_kernel_sums(table.variant, variant)) {
    table.normed = 0;
    table.variant = variant;
  }
  // Tables are only ever appended to or cut back, so the norms kept are still right.
  table.normed = std::min(table.normed, nodes);
  for (size_t node = table.normed; node < nodes; ++node) {
    CodeHeader& header = table.values[node];
    const CodeView view{std::span(index.vector_data).subspan(node * dim, dim), header.min,
                        header.scale};
    header.sq_norm = code_squared_norm(variant, view);
  }
  table.normed = nodes;
}

bool pq_codebook_usable(const HnswIndex& index) {
  if (!index.pq_codebook.has_value()) return false;
  const PqCodebook& book = *index.pq_codebook;
  if (book.num_centroids != 256 || book.num_subspaces == 0 || book.subspace_dim == 0) return false;
  if (book.num_subspaces > index.dimension / book.subspace_dim) return false;
  if (book.num_subspaces * book.subspace_dim != index.dimension) return false;
  return book.centroids.size() / 256 / book.subspace_dim >= book.num_subspaces;
}

}  // namespace kestrine
