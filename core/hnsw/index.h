// The small operations on a whole HNSW index that the collection, the insertion, the search and
// the rebuild share: creating an empty index, marking a node deleted, reading a node's vector
// back, the distance from a query to one node, and training product quantization.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/common/error.h"
#include "core/hnsw/config.h"
#include "core/hnsw/graph.h"

namespace kestrine {

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

// Brings index.code_norms up to date: the norms of every node whose codes, minimum and step are
// all present, summed by the active kernel variant (a table of another variant is recomputed
// whole). Only cosine indexes keep the table; for the other metrics it stays empty. Called after
// a node is appended and whenever an index is built from stored data.
void refresh_code_norms(HnswIndex& index);

// Distance from `query` (dimension values; a longer query is read only that far) to `node`:
// from `pq_table` (the query's table, num_subspaces x 256 entries) when one is given, else from
// the raw vector when raw vectors are kept, else from the codes. `query_sq_norm` is
// squared_norm(query), read by the cosine metric over codes.
float node_distance(const HnswIndex& index, std::span<const float> query, uint32_t node,
                    float query_sq_norm, std::span<const float> pq_table = {});

// The highest layer a descent from `entry` uses: max_level, but never above the entry's own
// lists (a stored max_level may claim more layers than exist).
size_t top_layer(const HnswIndex& index, uint32_t entry);

// Whether `index`'s codebook can encode and score vectors of its dimension: its slices cover
// the dimension exactly and its centroid table is complete. A codebook from an inconsistent
// stored index may not; such an index is searched and extended without product quantization.
bool pq_codebook_usable(const HnswIndex& index);

}  // namespace kestrine
