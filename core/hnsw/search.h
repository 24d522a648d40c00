// Nearest-neighbour search over an HNSW index: a greedy descent through the upper layers, a beam
// search on layer 0 that widens while too few live (and accepted) nodes were found, then the
// final distances from raw vectors or codes, sorted and cut to k. Searches only read the index;
// any number may run at once on different threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/common/scored_id.h"
#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/layer_search.h"

namespace kestrine {

// At most k hits ascending by distance, none of them deleted. `query` should hold `dimension`
// values; it is never read beyond them. `ef_search` is the beam's width on layer 0 (at least k
// is used); without it, the index's configured ef_search.
std::vector<SearchHit> search(const HnswIndex& index, std::span<const float> query, size_t k,
                              std::optional<uint64_t> ef_search = std::nullopt);

// Like search, but only nodes for which `accept(id)` holds enter the results (the test runs for
// live nodes only, on layer 0 only). `accept` is any callable bool(uint32_t).
std::vector<SearchHit> filtered_search(const HnswIndex& index, std::span<const float> query,
                                       size_t k, NodePredicate accept,
                                       std::optional<uint64_t> ef_search = std::nullopt);

}  // namespace kestrine
