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

// A level for a new node, from the calling thread's generator.
uint64_t draw_level(const HnswConfig& config);

// The level that the 64-bit random value `random` stands for: floor(-ln(u) / ln(m)) with u =
// (random >> 11) * 2^-53, saturated to an unsigned value and capped at max_layers - 1.
uint64_t level_for(uint64_t random, const HnswConfig& config);

}  // namespace kestrine
