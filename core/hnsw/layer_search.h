// The beam search on one layer of the graph, shared by searches and insertions. From a list of
// entry nodes it expands the nearest unexpanded candidate until the nearest one left is farther
// than the worst of the `ef` best results. Deleted nodes (and, with an acceptance test, nodes
// that fail it) are expanded like any other but never enter the results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/hnsw/graph.h"
#include "core/hnsw/node_locks.h"
#include "core/hnsw/node_predicate.h"
#include "core/hnsw/node_scorer.h"
#include "core/hnsw/search_hit.h"
#include "core/hnsw/visited.h"

namespace kestrine {

// Runs one layer search on the calling thread's search visited set and returns the results
// ascending by distance. `pq_table` as for node_distance; `accept`, when given, is evaluated for
// live nodes only.
std::vector<SearchHit> search_layer(const HnswIndex& index, std::span<const float> query,
                                    float query_sq_norm, std::span<const uint32_t> entries,
                                    size_t ef, size_t layer, std::span<const float> pq_table = {},
                                    const NodePredicate* accept = nullptr);

// The reusable machinery behind search_layer: one per operation, over a thread's visited set
// and scratch heaps, so that repeated layer searches allocate nothing once warmed up.
class LayerSearcher {
 public:
  // A heap entry: the distance as its total-order key (distance_key), so that heaps compare
  // integers and stay well-ordered even when a distance is NaN.
  struct Entry {
    uint32_t key;
    uint32_t id;
  };
  struct Scratch {
    std::vector<Entry> candidates;         // min-heap: nearest on top
    std::vector<Entry> results;            // max-heap: farthest on top
    std::vector<uint32_t> pending;         // unvisited neighbours of the expanded node
    std::vector<float> pending_distances;  // their distances, scored together
    std::vector<uint32_t> links;           // a list copied under its node's lock
  };

  // Grows `visited` to the index's node count.
  LayerSearcher(const HnswIndex& index, const NodeScorer& scorer, VisitedSet& visited,
                Scratch& scratch);

  // Writes the results of one layer search into `out`, ascending by distance.
  void run(std::span<const uint32_t> entries, size_t ef, size_t layer, const NodePredicate* accept,
           std::vector<SearchHit>& out);

  const NodeScorer& scorer() const { return scorer_; }

  // From now on each list is copied under its node's lock before it is walked, so that other
  // threads may change lists meanwhile (parallel insertion); null reads them in place.
  void lock_lists_with(const NodeLocks* locks) { locks_ = locks; }

 private:
  const HnswIndex& index_;
  const NodeScorer& scorer_;
  VisitedSet& visited_;
  Scratch& scratch_;
  uint32_t limit_;  // ids at or above it are skipped: no table is known to hold them
  const NodeLocks* locks_ = nullptr;
};

}  // namespace kestrine
