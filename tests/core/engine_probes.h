// Ways into the engine that only tests, fuzzers and benchmarks use: one layer search on its own,
// one node's distance, a collection's document count. The engine's own code reaches the same
// results through LayerSearcher, NodeScorer and the collection's state, so these stay out of
// its headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/collection/collection.h"
#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/layer_search.h"
#include "core/hnsw/node_scorer.h"

namespace kestrine {

// Runs one layer search on the calling thread's search visited set and returns the results
// ascending by distance. `pq_table` as for NodeScorer; `accept`, when given, is evaluated for
// live nodes only.
inline std::vector<SearchHit> search_layer(const HnswIndex& index, std::span<const float> query,
                                           float query_sq_norm, std::span<const uint32_t> entries,
                                           size_t ef, size_t layer,
                                           std::span<const float> pq_table = {},
                                           const NodePredicate* accept = nullptr) {
  thread_local LayerSearcher::Scratch scratch;
  const NodeScorer scorer(index, query, query_sq_norm, pq_table);
  LayerSearcher searcher(index, scorer, search_visited_set(), scratch);
  std::vector<SearchHit> out;
  searcher.run(entries, ef, layer, accept, out);
  return out;
}

// Distance from `query` (dimension values; a longer query is read only that far) to `node`:
// from `pq_table` (the query's table, num_subspaces x 256 entries) when one is given, else from
// the raw vector when raw vectors are kept, else from the codes. `query_sq_norm` is
// squared_norm(query), read by the cosine metric over codes.
inline float node_distance(const HnswIndex& index, std::span<const float> query, uint32_t node,
                           float query_sq_norm, std::span<const float> pq_table = {}) {
  return NodeScorer(index, query, query_sq_norm, pq_table).distance(node);
}

// The number of live documents, read under the collection's shared lock.
inline size_t document_count(const Collection& collection) {
  return collection.read([](const CollectionData& data) { return data.documents.size(); });
}

}  // namespace kestrine
