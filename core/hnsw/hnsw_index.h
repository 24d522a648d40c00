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
// all of it: the node's quantization minimum and step and, for the cosine metric, the squared
// norm v . v of its vector in 8-bit form as the cosine code distance of the table's variant sums
// it (the one part of a cosine distance that does not depend on the query, so it is computed
// once per node instead of in every distance; 0 for the other metrics).
struct CodeHeader {
  float min = 0.0f;
  float scale = 0.0f;
  float sq_norm = 0.0f;
};

// One CodeHeader per node: the only copy of the nodes' minima and steps in memory. The stored
// record keeps them as two sequences (minima, then steps) and no norms: the norms are derived
// from the codes whenever an index is loaded or rebuilt (refresh_code_norms).
struct CodeHeaderTable {
  CacheLineVector<CodeHeader> values;  // node n's at values[n]
  // values[0, normed) hold the norm as `variant` sums it; the rest hold no norm yet, and their
  // cosine distances sum the stored vector's norm in full.
  size_t normed = 0;
  KernelVariant variant = KernelVariant::kPortable;
  // The lengths of the minimum and step sequences, which validation checks against the node
  // count: those of the snapshot the table was read from (values holds the longer one, the
  // shorter padded with zeros), kept equal to values.size() by append_code_header.
  uint64_t min_count = 0;
  uint64_t scale_count = 0;
};

// The fields up to node_count are the index's stored record, in its order.
struct HnswIndex {
  HnswConfig config;
  // Node n's 8-bit codes at [n * dimension, (n + 1) * dimension), from a cache line on.
  CacheLineVector<uint8_t> vector_data;
  CodeHeaderTable headers;         // per node: quantization minimum and step (and norm)
  std::vector<float> raw_vectors;  // node n at n * dimension when store_raw_vectors; else empty
  NeighborLists neighbors;         // out-links per node and layer
  std::vector<uint8_t> layers;     // per node: its level L (it lives on layers 0..L)
  std::vector<uint8_t> deleted;    // per node: deletion mark, 0 or 1
  std::optional<PqCodebook> pq_codebook;
  std::vector<uint8_t> pq_codes;  // node n's codes at n * num_subspaces when a codebook exists
  std::optional<uint32_t> entry_point;  // absent only while the index is empty
  uint64_t max_level = 0;
  uint64_t dimension = 0;
  uint32_t node_count = 0;
  // The kernel variant under which the heuristic's pick counts kept with the layer-0 lists
  // (NeighborLists::layer0_picks) were found; distances of another variant may pick otherwise.
  KernelVariant layer0_picks_variant = KernelVariant::kPortable;
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

// Appends a node's minimum and step to the header table, its norm left to refresh_code_norms.
void append_code_header(HnswIndex& index, float min, float scale);

// Brings the norms of index.headers up to date: every node whose codes are present gets its
// norm summed by the active kernel variant (a cosine table of another variant is summed again
// whole). Called after a node is appended and whenever an index is built from stored data.
void refresh_code_norms(HnswIndex& index);

// Whether `index`'s codebook can encode and score vectors of its dimension: its slices cover
// the dimension exactly and its centroid table is complete. A codebook from an inconsistent
// stored index may not; such an index is searched and extended without product quantization.
bool pq_codebook_usable(const HnswIndex& index);

}  // namespace kestrine
