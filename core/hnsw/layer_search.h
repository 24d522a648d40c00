// The beam search on one layer of the graph, shared by searches and insertions. From a list of
// entry nodes it expands the nearest unexpanded candidate until the nearest one left is farther
// than the worst of the `ef` best results. Deleted nodes (and, with an acceptance test, nodes
// that fail it) are expanded like any other but never enter the results.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include "core/common/scored_id.h"
#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/node_locks.h"
#include "core/hnsw/node_scorer.h"

namespace kestrine {

// A borrowed test on node ids, as cheap to pass and call as a function pointer. It refers to a
// callable owned by the caller, which must outlive every call (it is meant to be passed down a
// call chain, never stored).
class NodePredicate {
 public:
  template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, NodePredicate> &&
             std::is_invocable_r_v<bool, const F&, uint32_t>)
  NodePredicate(const F& test)  // NOLINT(google-explicit-constructor): passed like a lambda
      : object_(std::addressof(test)), call_([](const void* object, uint32_t id) -> bool {
          return (*static_cast<const F*>(object))(id);
        }) {}

  bool operator()(uint32_t id) const { return call_(object_, id); }

 private:
  const void* object_;
  bool (*call_)(const void*, uint32_t);
};

// Which nodes a layer search has already looked at. Each thread keeps one set for searches and
// a separate one for insertions, for its whole life. A node counts as visited when its mark
// equals the current generation, so starting a new layer search costs one increment instead of
// a pass over all nodes; the marks are cleared only when the 16-bit generation wraps.
class VisitedSet {
 public:
  // Extends the marks with zeros up to `node_count` ids; they never shrink.
  void prepare(size_t node_count) {
    if (marks_.size() < node_count) marks_.resize(node_count, 0);
  }

  // Starts a layer search: afterwards no node counts as visited. Generation 0 never marks.
  void next_generation() {
    if (generation_ == UINT16_MAX) {
      std::fill(marks_.begin(), marks_.end(), uint16_t{0});
      generation_ = 1;
    } else {
      ++generation_;
    }
  }

  // Marks `id` (which must be below size()) and tells whether it was unvisited before.
  bool visit(uint32_t id) {
    uint16_t& mark = marks_[id];
    if (mark == generation_) return false;
    mark = generation_;
    return true;
  }

  // Starts loading the mark of `id` (any id: an address past the marks is never read).
  // Always inlined, so that GCC cannot drop it as a call to a pure function.
  [[gnu::always_inline]] void prefetch(uint32_t id) const {
    __builtin_prefetch(marks_.data() + id);
  }

  bool visited(uint32_t id) const {
    return generation_ != 0 && id < marks_.size() && marks_[id] == generation_;
  }

  size_t size() const { return marks_.size(); }
  uint16_t generation() const { return generation_; }

 private:
  CacheLineVector<uint16_t> marks_;
  uint16_t generation_ = 0;
};

// The calling thread's set for searches.
VisitedSet& search_visited_set();
// The calling thread's set for insertions.
VisitedSet& insert_visited_set();

// One layer search's machinery: one per operation, over a thread's visited set
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
  uint32_t limit_;  // the node count when built: every link points below it
  const NodeLocks* locks_ = nullptr;
};

}  // namespace kestrine
