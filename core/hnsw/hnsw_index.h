// One collection's HNSW index, and the small operations on a whole index that the collection, the
// insertion, the search and the rebuild share.
//
// The index is a layered proximity graph together with the stored form of every
// vector. Nodes are numbered 0, 1, 2, ... in insertion order, and a node's number is its
// position in every per-node table below. Per-node data lives in flat tables: a node's vector is
// a slice of one buffer, never an allocation of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/common/cache_line_allocator.h"
#include "core/common/error.h"
#include "core/hnsw/config.h"
#include "core/hnsw/neighbor_lists.h"
#include "core/quantization/kernel_dispatch.h"
#include "core/quantization/pq_codebook.h"

namespace kestrine {

// What a distance to a node reads besides its codes, side by side so that one cache line holds
// all of it instead of one line from each of three tables: the node's quantization minimum and
// step (copies of vector_min[n] and vector_scale[n]) and, for the cosine metric, the squared
// norm v . v of its vector in 8-bit form as the cosine code distance of the table's variant sums
// it (the one part of a cosine distance that does not depend on the query, so it is computed
// once per node instead of in every distance; 0 for the other metrics).
struct CodeHeader {
  float min = 0.0f;
  float scale = 0.0f;
  float sq_norm = 0.0f;
};

// One CodeHeader per node, derived from the stored tables and never stored itself: an index
// that is loaded or rebuilt gets it anew (refresh_code_norms). Node n's entry is values[n];
// nodes past the end have none (their distances read the stored tables and, for cosine, sum
// the norm in full). `variant` is the kernel variant that summed the norms.
struct CodeNormTable {
  std::vector<CodeHeader> values;
  KernelVariant variant = KernelVariant::kPortable;
};

// The fields up to node_count are the index's stored record, in its order.
struct HnswIndex {
  HnswConfig config;
  // Node n's 8-bit codes at [n * dimension, (n + 1) * dimension), from a cache line on.
  CacheLineVector<uint8_t> vector_data;
  std::vector<float> vector_min;    // per node: quantization minimum
  std::vector<float> vector_scale;  // per node: quantization step
  std::vector<float> raw_vectors;   // node n at n * dimension when store_raw_vectors; else empty
  NeighborLists neighbors;          // out-links per node and layer
  std::vector<uint8_t> layers;      // per node: its level L (it lives on layers 0..L)
  std::vector<uint8_t> deleted;     // per node: deletion mark, 0 or 1
  std::optional<PqCodebook> pq_codebook;
  std::vector<uint8_t> pq_codes;  // node n's codes at n * num_subspaces when a codebook exists
  std::optional<uint32_t> entry_point;  // absent only while the index is empty
  uint64_t max_level = 0;
  uint64_t dimension = 0;
  uint32_t node_count = 0;
  CodeNormTable code_norms;  // derived from the codes; not part of the stored record
};

// An empty index: no nodes, no entry point, max_level 0, no codebook.
HnswIndex make_hnsw_index(const HnswConfig& config, uint64_t dimension);

// Sets the deletion mark of `id`; ids beyond the table are ignored.
void mark_deleted(HnswIndex& index, uint32_t id);

// A copy of node `id`'s vector, `dimension` values: the raw vector when the index keeps raw
// vectors, else its codes dequantized. Zeros for a node the tables do not hold.
std::vector<float> stored_vector(const HnswIndex& index, uint32_t id);
// The same into `out`, which holds `dimension` values; allocates nothing.
void read_stored_vector(const HnswIndex& index, uint32_t id, std::span<float> out);

// Trains a product-quantization codebook with `num_subspaces` slices on the vectors of all
// nodes, encodes every node with it and stores both, replacing any earlier codebook and codes.
// On failure (the training preconditions) the index is unchanged.
Status enable_pq(HnswIndex& index, uint64_t num_subspaces);

// Brings index.code_norms up to date: an entry for every node whose codes, minimum and step are
// all present, the norms summed by the active kernel variant (a cosine table of another variant
// is recomputed whole). Called after a node is appended and whenever an index is built from
// stored data.
void refresh_code_norms(HnswIndex& index);

// Whether `index`'s codebook can encode and score vectors of its dimension: its slices cover
// the dimension exactly and its centroid table is complete. A codebook from an inconsistent
// stored index may not; such an index is searched and extended without product quantization.
bool pq_codebook_usable(const HnswIndex& index);

}  // namespace kestrine
