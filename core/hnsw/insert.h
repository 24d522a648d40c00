// Adding a vector to an HNSW index as a new node: draw its level, descend greedily from the
// entry point, search every layer it shares with the graph with a beam of ef_construction,
// pick its neighbours with the diversity heuristic, link both ways (pruning lists that overflow
// their budget) and make it the entry point when its level is a new maximum.
#pragma once

#include <cstdint>
#include <span>

#include "core/common/error.h"
#include "core/hnsw/config.h"
#include "core/hnsw/hnsw_index.h"
#include "core/quantization/scalar.h"

namespace kestrine {

// Highest level a node can get whatever the configuration: levels are stored in one byte.
inline constexpr uint64_t kMaxNodeLevel = 255;

// Inserts node `id`, which must equal node_count, with `vector` (exactly `dimension` values)
// and its quantized form. Fails, changing nothing, when the id or a length is wrong.
Status insert(HnswIndex& index, uint32_t id, std::span<const float> vector,
              const QuantizedVector& quantized);

// The same with a given level instead of a drawn one (capped at kMaxNodeLevel).
Status insert_at_level(HnswIndex& index, uint32_t id, std::span<const float> vector,
                       const QuantizedVector& quantized, uint64_t level);

// A vector on its way into the graph, with its 8-bit form.
struct NewNode {
  std::span<const float> vector;
  const QuantizedVector* quantized;
};

// Inserts `nodes` as the nodes node_count, node_count + 1, ... in order. Their levels are drawn
// in order from the calling thread's generator, as one insert per node would draw them. With
// `threads` > 1 the nodes are first appended to the tables, then linked into the graph from that
// many threads that live only for this call, each list read and changed under its node's lock;
// the graph then depends on the threads' timing, as any insertion order gives a valid graph.
// With one thread, or when the lists cannot be shared (layer-0 lists longer than their slots,
// which live in one shared table), the nodes are inserted one by one exactly as by insert.
// Fails, changing nothing, when a length is wrong.
Status insert_batch(HnswIndex& index, std::span<const NewNode> nodes, size_t threads);

// Gives back what the calling thread keeps between insertions (a mark per node of the largest
// graph it inserted into, and the search heaps), so that a graph built by a batch of insertions
// does not hold another table sized by its node count afterwards. The next insertion allocates
// them again: for callers that insert many nodes at once, not one at a time.
void release_insert_scratch();

// A level for a new node, from the calling thread's generator.
uint64_t draw_level(const HnswConfig& config);

// The level that the 64-bit random value `random` stands for: floor(-ln(u) / ln(m)) with u =
// (random >> 11) * 2^-53, saturated to an unsigned value and capped at max_layers - 1.
uint64_t level_for(uint64_t random, const HnswConfig& config);

}  // namespace kestrine
