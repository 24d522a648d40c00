#include "core/hnsw/insert.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/common/assert.h"
#include "core/common/parallel.h"
#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/layer_search.h"
#include "core/hnsw/level_random.h"
#include "core/hnsw/neighbor_lists.h"
#include "core/hnsw/node_locks.h"
#include "core/hnsw/node_scorer.h"
#include "core/hnsw/select_neighbors.h"
#include "core/quantization/distance.h"
#include "core/quantization/pq.h"

namespace kestrine {

uint64_t level_for(uint64_t random, const HnswConfig& config) {
  const double u = static_cast<double>(random >> 11) * 0x1p-53;
  const double x = std::floor(std::log(u) * (-1.0 / std::log(static_cast<double>(config.m))));
  uint64_t level;
  if (!(x > 0.0)) {
    level = 0;  // negative, zero or NaN
  } else if (x >= 0x1p64) {
    level = UINT64_MAX;
  } else {
    level = static_cast<uint64_t>(x);
  }
  const uint64_t cap = config.max_layers == 0 ? 0 : config.max_layers - 1;
  return std::min(level, cap);
}

uint64_t draw_level(const HnswConfig& config) { return level_for(level_random_u64(), config); }

namespace {

struct InsertScratch {
  LayerSearcher::Scratch layer;
  std::vector<SearchHit> found;                  // W of the current layer
  std::vector<uint32_t> entries;                 // entry list of the next layer
  std::vector<std::vector<uint32_t>> new_lists;  // the new node's lists, per layer
  std::vector<SearchHit> selection;
  std::vector<SearchHit> prune_candidates;
  std::vector<uint32_t> prune_ids;
  std::vector<float> prune_distances;
  // Kept with its buffers from one insertion to the next.
  std::optional<NeighborSelector> selector;
};

// The calling thread's scratch for insertions, kept between insertions so that they allocate
// nothing once warmed up.
InsertScratch& insert_scratch() {
  thread_local InsertScratch scratch;
  return scratch;
}

// The scratch's selector, bound to `index` for a new insertion.
NeighborSelector& selector_for(InsertScratch& scratch, const HnswIndex& index) {
  if (scratch.selector.has_value()) {
    scratch.selector->rebind(index);
  } else {
    scratch.selector.emplace(index);
  }
  return *scratch.selector;
}

size_t budget(const HnswConfig& config, size_t layer) {
  return static_cast<size_t>(layer == 0 ? config.m_max0 : config.m);
}

// Readies the index for a node to be appended at its id. Every per-node table already holds
// node_count entries: an index is built only by insertion or from a validated snapshot, so this
// is asserted, not redone on every insert. What validation leaves open is settled here: a stored
// codebook that cannot encode the dimension, and the norms and layer-0 width.
void align_tables(HnswIndex& index) {
  const size_t n = index.node_count;
  const size_t dim = static_cast<size_t>(index.dimension);
  KESTRINE_ASSERT(index.vector_data.size() == n * dim);
  KESTRINE_ASSERT(index.headers.values.size() == n);
  KESTRINE_ASSERT(index.layers.size() == n && index.deleted.size() == n);
  KESTRINE_ASSERT(index.neighbors.node_count() == n);
  KESTRINE_ASSERT(index.raw_vectors.size() == (index.config.store_raw_vectors ? n * dim : 0));
  (void)dim;
  if (pq_codebook_usable(index)) {
    index.pq_codes.resize(n * static_cast<size_t>(index.pq_codebook->num_subspaces), 0);
  } else if (index.pq_codebook.has_value()) {
    // A stored codebook that cannot encode this dimension is never used for scoring, and the
    // new node could get no codes from it: its codes would fall one node short, and the saved
    // snapshot would no longer load. It goes, with its codes; a rebuild trains a new one.
    index.pq_codebook.reset();
    index.pq_codes.clear();
  }
  refresh_code_norms(index);
  // The pick counts kept with the lists hold for the distances of one kernel variant.
  const KernelVariant variant = active_kernel_variant();
  if (index.layer0_picks_variant != variant) {
    index.neighbors.forget_layer0_picks();
    index.layer0_picks_variant = variant;
  }
  const size_t capacity = static_cast<size_t>(
      std::min<uint64_t>(index.config.m_max0, NeighborLists::kMaxLayer0Capacity));
  if (index.neighbors.layer0_capacity() != capacity) {
    index.neighbors.set_layer0_capacity(capacity);
  }
  const size_t upper_capacity =
      static_cast<size_t>(std::min<uint64_t>(index.config.m, NeighborLists::kMaxUpperCapacity));
  if (index.neighbors.upper_capacity() != upper_capacity) {
    index.neighbors.set_upper_capacity(upper_capacity);
  }
}

// Appends the node's vector data, level, mark and `level` + 1 empty lists.
void append_node(HnswIndex& index, std::span<const float> vector, const QuantizedVector& quantized,
                 uint64_t level) {
  reserve_for_append(index.vector_data, quantized.codes.size());
  reserve_for_append(index.layers, 1);
  reserve_for_append(index.deleted, 1);
  index.vector_data.insert(index.vector_data.end(), quantized.codes.begin(), quantized.codes.end());
  append_code_header(index, quantized.min, quantized.scale);
  if (index.config.store_raw_vectors) {
    reserve_for_append(index.raw_vectors, vector.size());
    index.raw_vectors.insert(index.raw_vectors.end(), vector.begin(), vector.end());
  }
  // align_tables has dropped any codebook that cannot encode this dimension.
  if (pq_codebook_usable(index)) {
    const size_t m = static_cast<size_t>(index.pq_codebook->num_subspaces);
    const size_t start = index.pq_codes.size();
    reserve_for_append(index.pq_codes, m);
    index.pq_codes.resize(start + m);
    pq_encode(*index.pq_codebook, vector, std::span(index.pq_codes).subspan(start, m));
  }
  index.neighbors.add_node(static_cast<size_t>(level) + 1);
  index.layers.push_back(static_cast<uint8_t>(level));
  index.deleted.push_back(0);
  ++index.node_count;
  refresh_code_norms(index);
}

// Links `id` into the list of `node` on `layer`; a list that overflows its budget is cut back
// with the heuristic, `node`'s own vector serving as the base.
// With `locks`, the list is read and changed under `node`'s lock.
void link_back(HnswIndex& index, uint32_t node, size_t layer, uint32_t id,
               NeighborSelector& selector, InsertScratch& scratch,
               const NodeLocks* locks = nullptr) {
  std::unique_lock<std::mutex> guard;
  if (locks != nullptr) {
    guard = std::unique_lock(locks->of(node));
    // Creating the missing layer would grow tables that other threads read without a lock. Only
    // a damaged stored graph links a node on a layer it has no list for; the link is left out.
    if (index.neighbors.layer_count(node) <= layer) return;
  }
  index.neighbors.ensure_layer(node, layer);
  const std::span<const uint32_t> list = index.neighbors.get(node, layer);
  const size_t limit = budget(index.config, layer);
  if (list.size() < limit) {
    index.neighbors.append(node, layer, id);
    return;
  }
  scratch.prune_ids.assign(list.begin(), list.end());
  scratch.prune_ids.push_back(id);

  // The node's vector as the selections read it; the selector has usually decoded it already,
  // when it chose the new node's neighbours. Only the scoring below reads it.
  const std::span<const float> base = selector.stored_vector(node);
  // Only the cosine metric reads the squared norm.
  const float base_sq_norm =
      index.config.distance_metric == DistanceMetric::kCosine ? squared_norm(base) : 0.0f;
  const NodeScorer scorer(index, base, base_sq_norm);
  // The candidates lie anywhere in the tables: start loading all of them before the first is
  // scored (the selection then reads them again, from the cache).
  for (const uint32_t candidate : scratch.prune_ids) scorer.prefetch(candidate);
  scratch.prune_distances.resize(scratch.prune_ids.size());
  scorer.exact_distances(scratch.prune_ids, scratch.prune_distances.data());
  scratch.prune_candidates.clear();
  for (size_t i = 0; i < scratch.prune_ids.size(); ++i) {
    scratch.prune_candidates.push_back({scratch.prune_distances[i], scratch.prune_ids[i]});
  }
  // A layer-0 list that the heuristic last chose from this same base keeps the picks it made
  // then, and only what the newcomer changes is compared again.
  const uint8_t picks =
      layer == 0 ? index.neighbors.layer0_picks(node) : NeighborLists::kUnknownPicks;
  const std::span<const SearchHit> candidates = scratch.prune_candidates;
  if (picks == NeighborLists::kUnknownPicks || list.size() != limit ||
      !selector.reselect(candidates.first(list.size()), picks, candidates.back(), limit,
                         scratch.selection)) {
    selector.select(candidates, limit, scratch.selection);
  }
  scratch.prune_ids.clear();
  for (const SearchHit& hit : scratch.selection) scratch.prune_ids.push_back(hit.id);
  index.neighbors.assign(node, layer, scratch.prune_ids);
  const std::optional<size_t> picked = selector.picks_in_order();
  if (layer == 0 && picked.has_value() && *picked < NeighborLists::kUnknownPicks) {
    index.neighbors.set_layer0_picks(node, static_cast<uint8_t>(*picked));
  }
}

// The neighbours of a new node of `level`: a greedy descent from `entry_point` on the layers
// max_level (the entry point's own level) down to level + 1, then a beam of ef_construction on
// every layer from min(level, max_level) down to 0, each layer's picks written to
// scratch.new_lists[layer].
// Returns that top layer.
size_t find_neighbors(const HnswConfig& config, LayerSearcher& searcher, NeighborSelector& selector,
                      uint32_t entry_point, uint64_t level, uint64_t max_level,
                      InsertScratch& scratch) {
  const size_t top = static_cast<size_t>(std::min<uint64_t>(level, max_level));
  auto& new_lists = scratch.new_lists;
  if (new_lists.size() < top + 1) new_lists.resize(top + 1);
  uint32_t ep = entry_point;
  for (size_t layer = static_cast<size_t>(max_level); layer > level; --layer) {
    searcher.run({&ep, 1}, 1, layer, nullptr, scratch.found);
    if (!scratch.found.empty()) ep = scratch.found.front().id;
  }
  scratch.entries.assign(1, ep);
  for (size_t layer = top + 1; layer-- > 0;) {
    searcher.run(scratch.entries, static_cast<size_t>(config.ef_construction), layer, nullptr,
                 scratch.found);
    selector.select(scratch.found, budget(config, layer), scratch.selection);
    new_lists[layer].clear();
    for (const SearchHit& hit : scratch.selection) new_lists[layer].push_back(hit.id);
    scratch.entries.clear();
    for (const SearchHit& hit : scratch.found) scratch.entries.push_back(hit.id);
    if (scratch.entries.empty()) scratch.entries.push_back(entry_point);
  }
  return top;
}

Status check_lengths(const HnswIndex& index, std::span<const float> vector,
                     const QuantizedVector& quantized) {
  if (vector.size() != index.dimension || quantized.codes.size() != index.dimension) {
    return fail(Error::invalid_value("embedding dimension mismatch: expected " +
                                     std::to_string(index.dimension) + ", got " +
                                     std::to_string(vector.size())));
  }
  return {};
}

// What the threads of one parallel batch share besides the index.
struct SharedInsertion {
  NodeLocks locks;
  // Guards entry_point and max_level. A node that raises max_level holds it for its whole
  // insertion, so that no other node starts from a level the graph does not yet link.
  std::mutex entry_mutex;
};

// Links node `id`, already appended with lists for `level` + 1 layers, into the graph while
// other threads link other nodes: the same steps as insert_at_level, every list read and
// changed under its node's lock.
void link_concurrently(HnswIndex& index, uint32_t id, std::span<const float> vector, uint64_t level,
                       SharedInsertion& shared) {
  InsertScratch& scratch = insert_scratch();
  std::unique_lock entry_guard(shared.entry_mutex);
  const uint32_t entry_point = *index.entry_point;
  const uint64_t max_level = index.max_level;
  if (level <= max_level) entry_guard.unlock();

  NeighborSelector& selector = selector_for(scratch, index);
  const NodeScorer scorer(index, vector, squared_norm(vector));
  LayerSearcher searcher(index, scorer, insert_visited_set(), scratch.layer);
  searcher.lock_lists_with(&shared.locks);
  const size_t top =
      find_neighbors(index.config, searcher, selector, entry_point, level, max_level, scratch);
  const auto& new_lists = scratch.new_lists;
  {
    // No other thread reaches the node before the links below point to it, but one that does
    // afterwards may already be linking back into these lists.
    std::lock_guard guard(shared.locks.of(id));
    for (size_t layer = 0; layer <= top; ++layer) {
      index.neighbors.assign(id, layer, new_lists[layer]);
    }
  }
  for (size_t layer = 0; layer <= top; ++layer) {
    for (uint32_t node : new_lists[layer]) {
      link_back(index, node, layer, id, selector, scratch, &shared.locks);
    }
  }
  if (level > max_level) {
    index.max_level = level;
    index.entry_point = id;
  }
}

}  // namespace

Status insert_batch(HnswIndex& index, std::span<const NewNode> nodes, size_t threads) {
  for (const NewNode& node : nodes) {
    if (auto ok = check_lengths(index, node.vector, *node.quantized); !ok) return ok;
  }
  const auto insert_one = [&](const NewNode& node) {
    (void)insert(index, index.node_count, node.vector, *node.quantized);
  };
  size_t next = 0;
  // Until the graph has an entry point there is nothing to search from.
  while (next < nodes.size() && !index.entry_point.has_value()) {
    insert_one(nodes[next++]);
  }
  // Behind a deleted entry point there may be no live node at all: one node inserted alone
  // then becomes the entry point, and the workers always have a live node to link to.
  if (next < nodes.size() && index.entry_point.has_value() &&
      index.deleted[*index.entry_point] != 0) {
    insert_one(nodes[next++]);
  }
  align_tables(index);
  const bool shareable = index.config.m_max0 <= NeighborLists::kMaxLayer0Capacity &&
                         index.config.m <= NeighborLists::kMaxUpperCapacity &&
                         !index.neighbors.has_spilled_lists();
  if (threads <= 1 || !shareable || nodes.size() - next < 2) {
    for (; next < nodes.size(); ++next) insert_one(nodes[next]);
    return {};
  }
  const std::span<const NewNode> rest = nodes.subspan(next);
  const uint32_t first = index.node_count;
  std::vector<uint8_t> levels(rest.size());
  for (size_t i = 0; i < rest.size(); ++i) {
    levels[i] = static_cast<uint8_t>(std::min(draw_level(index.config), kMaxNodeLevel));
    append_node(index, rest[i].vector, *rest[i].quantized, levels[i]);
  }
  SharedInsertion shared;
  parallel_for(rest.size(), threads, [&](size_t i) {
    link_concurrently(index, first + static_cast<uint32_t>(i), rest[i].vector, levels[i], shared);
  });
  return {};
}

void release_insert_scratch() {
  insert_scratch() = InsertScratch{};
  insert_visited_set() = VisitedSet{};
}

Status insert(HnswIndex& index, uint32_t id, std::span<const float> vector,
              const QuantizedVector& quantized) {
  return insert_at_level(index, id, vector, quantized, draw_level(index.config));
}

Status insert_at_level(HnswIndex& index, uint32_t id, std::span<const float> vector,
                       const QuantizedVector& quantized, uint64_t level) {
  if (auto ok = check_lengths(index, vector, quantized); !ok) return ok;
  if (id != index.node_count) {
    return fail(Error::internal("node id " + std::to_string(id) + " inserted into an index of " +
                                std::to_string(index.node_count) + " nodes"));
  }
  level = std::min(level, kMaxNodeLevel);
  align_tables(index);

  if (!index.entry_point.has_value()) {
    append_node(index, vector, quantized, level);
    index.entry_point = id;
    index.max_level = level;
    return {};
  }

  InsertScratch& scratch = insert_scratch();
  const uint32_t entry_point = *index.entry_point;
  NeighborSelector& selector = selector_for(scratch, index);
  size_t top;
  {
    // Everything here reads the index as it is before the node is appended; the scorer points
    // into tables that the append may move.
    const NodeScorer scorer(index, vector, squared_norm(vector));
    LayerSearcher searcher(index, scorer, insert_visited_set(), scratch.layer);
    KESTRINE_ASSERT(index.neighbors.layer_count(entry_point) == index.max_level + 1);
    top = find_neighbors(index.config, searcher, selector, entry_point, level, index.max_level,
                         scratch);
  }
  const auto& new_lists = scratch.new_lists;

  // The bottom layer's search met no live node: everything reachable from the entry point is
  // deleted, so no link could make this node reachable (links to deleted nodes can be pruned
  // away). It becomes the entry point instead, on the top layer, with no links; later
  // insertions start from it and link to it.
  if (scratch.found.empty()) {
    level = std::max(level, index.max_level);
    append_node(index, vector, quantized, level);
    index.max_level = level;
    index.entry_point = id;
    return {};
  }
  append_node(index, vector, quantized, level);
  for (size_t layer = 0; layer <= top; ++layer) index.neighbors.assign(id, layer, new_lists[layer]);
  for (size_t layer = 0; layer <= top; ++layer) {
    for (uint32_t node : new_lists[layer]) link_back(index, node, layer, id, selector, scratch);
  }
  if (level > index.max_level) {
    index.max_level = level;
    index.entry_point = id;
  }
  return {};
}

}  // namespace kestrine
