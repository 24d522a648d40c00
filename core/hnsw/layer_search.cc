#include "core/hnsw/layer_search.h"

#include <algorithm>

#include "core/common/assert.h"
#include "core/hnsw/hit_order.h"

namespace kestrine {

namespace {

using Entry = LayerSearcher::Entry;

struct NearerOnTop {
  bool operator()(const Entry& a, const Entry& b) const { return a.key > b.key; }
};
struct FartherOnTop {
  bool operator()(const Entry& a, const Entry& b) const { return a.key < b.key; }
};
constexpr NearerOnTop nearer_on_top;
constexpr FartherOnTop farther_on_top;

template <typename Order>
void push(std::vector<Entry>& heap, Entry entry, Order order) {
  heap.push_back(entry);
  std::push_heap(heap.begin(), heap.end(), order);
}

template <typename Order>
Entry pop(std::vector<Entry>& heap, Order order) {
  std::pop_heap(heap.begin(), heap.end(), order);
  const Entry top = heap.back();
  heap.pop_back();
  return top;
}

}  // namespace

LayerSearcher::LayerSearcher(const HnswIndex& index, const NodeScorer& scorer, VisitedSet& visited,
                             Scratch& scratch)
    : index_(index), scorer_(scorer), visited_(visited), scratch_(scratch) {
  // The tables are validated at load and kept in step by insertion.
  KESTRINE_ASSERT(index.deleted.size() == index.node_count);
  KESTRINE_ASSERT(index.neighbors.node_count() == index.node_count);
  visited_.prepare(index.node_count);
  limit_ = index.node_count;
}

void LayerSearcher::run(std::span<const uint32_t> entries, size_t ef, size_t layer,
                        const NodePredicate* accept, std::vector<SearchHit>& out) {
  visited_.next_generation();
  std::vector<Entry>& candidates = scratch_.candidates;
  std::vector<Entry>& results = scratch_.results;
  std::vector<uint32_t>& pending = scratch_.pending;
  candidates.clear();
  results.clear();
  // A huge stored ef must not reserve memory beyond what the graph can fill.
  candidates.reserve(std::min<size_t>(ef, limit_) * 2);
  results.reserve(std::min<size_t>(ef, limit_) + 1);
  const uint8_t* deleted = index_.deleted.data();
  const auto admits = [&](uint32_t id) {
    return deleted[id] == 0 && (accept == nullptr || (*accept)(id));
  };

  uint32_t bound = distance_key(3.4028235e38f);
  for (uint32_t e : entries) {
    KESTRINE_ASSERT(e < limit_);
    if (!visited_.visit(e)) continue;
    const Entry entry{distance_key(scorer_.distance(e)), e};
    push(candidates, entry, nearer_on_top);
    if (admits(e)) push(results, entry, farther_on_top);
    if (!results.empty() && results.size() >= ef) bound = results.front().key;
  }

  while (!candidates.empty()) {
    const Entry nearest = pop(candidates, nearer_on_top);
    // A candidate exactly at the bound is still expanded.
    if (results.size() >= ef && nearest.key > bound) break;
    // The next candidate's links are likely needed next: start loading them now.
    if (layer == 0 && !candidates.empty()) {
      index_.neighbors.prefetch_layer0(candidates.front().id, true);
    }
    std::span<const uint32_t> links;
    if (locks_ == nullptr) {
      links = layer == 0 ? index_.neighbors.layer0(nearest.id)
                         : index_.neighbors.get(nearest.id, layer);
    } else {
      std::lock_guard guard(locks_->of(nearest.id));
      const std::span<const uint32_t> shared = index_.neighbors.get(nearest.id, layer);
      scratch_.links.assign(shared.begin(), shared.end());
      links = scratch_.links;
    }
    // The marks of a list's nodes lie far apart: ask for all of them before testing the first.
    for (uint32_t n : links) visited_.prefetch(n);
    pending.clear();
    for (uint32_t n : links) {
      KESTRINE_ASSERT(n < limit_);  // validated at load, kept by insertion
      if (!visited_.visit(n)) continue;
      pending.push_back(n);
      // The scorer loads the later groups while it scores the earlier ones.
      if (pending.size() <= kMaxDistanceBatch) scorer_.prefetch(n);
      __builtin_prefetch(deleted + n);
    }
    // All of them are scored whatever the bound does meanwhile, so scoring them first, several
    // at a time, changes no decision below.
    std::vector<float>& pending_distances = scratch_.pending_distances;
    pending_distances.resize(pending.size());
    scorer_.distances(pending, pending_distances.data());
    for (size_t i = 0; i < pending.size(); ++i) {
      const uint32_t n = pending[i];
      const Entry entry{distance_key(pending_distances[i]), n};
      if (results.size() >= ef && entry.key >= bound) continue;
      push(candidates, entry, nearer_on_top);
      // A node that joins the candidates is likely to be expanded: its list starts loading now.
      if (layer == 0) index_.neighbors.prefetch_layer0(n, false);
      if (!admits(n)) continue;
      push(results, entry, farther_on_top);
      if (results.size() > ef) pop(results, farther_on_top);
      if (!results.empty() && results.size() >= ef) bound = results.front().key;
    }
  }

  // Popping the farthest first fills `out` from the back: ascending order.
  out.resize(results.size());
  for (size_t i = results.size(); i > 0; --i) {
    const Entry farthest = pop(results, farther_on_top);
    out[i - 1] = SearchHit{key_distance(farthest.key), farthest.id};
  }
}

VisitedSet& search_visited_set() {
  thread_local VisitedSet set;
  return set;
}

VisitedSet& insert_visited_set() {
  thread_local VisitedSet set;
  return set;
}

}  // namespace kestrine
