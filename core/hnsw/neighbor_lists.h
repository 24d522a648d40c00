// The out-links of every node of an HNSW graph: one list per layer the node lives on. Lists
// grow by one id or are replaced whole; the representation stays private so that it can be
// tuned without touching the graph algorithms or the snapshot codec.
//
// Every node has a layer-0 list and searches spend nearly all their time there, so layer 0 is
// one flat array with a fixed number of slots per node (the layer-0 link budget): reaching a
// node's links is one multiplication and one cache line, and a node costs no allocation of its
// own. A list longer than its slots (a snapshot may hold such lists) moves to a side table and
// keeps working, only slower. The few nodes that live above layer 0 keep their upper lists the
// same way, with slots for the upper budget, in one shared pool where each such node's lists
// lie side by side: no list is an allocation of its own, so that building a graph leaves no
// small long-lived blocks scattered through the heap.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/common/cache_line_allocator.h"

namespace kestrine {

class NeighborLists {
 public:
  // Slots per node on layer 0 unless set otherwise: the layer-0 budget of the default config.
  static constexpr size_t kDefaultLayer0Capacity = 32;
  // Larger budgets still work, but lists beyond this many ids live in the side table, so that a
  // stored configuration cannot make every node reserve an arbitrary amount of memory.
  static constexpr size_t kMaxLayer0Capacity = 256;
  // The same for the lists of layers 1.. (the budget m of the default config, and its cap).
  static constexpr size_t kDefaultUpperCapacity = 16;
  static constexpr size_t kMaxUpperCapacity = 256;

  NeighborLists() = default;
  explicit NeighborLists(size_t layer0_capacity) { set_layer0_capacity(layer0_capacity); }

  uint32_t node_count() const { return static_cast<uint32_t>(upper_slot_.size()); }

  // Number of layers node `node` has lists for (0 for an unknown node).
  size_t layer_count(uint32_t node) const;

  // The list of `node` on `layer`; empty when the node has no list there.
  std::span<const uint32_t> get(uint32_t node, size_t layer) const {
    return layer == 0 ? layer0(node) : upper(node, layer);
  }

  // The layer-0 list of `node` (the hot path of every search).
  std::span<const uint32_t> layer0(uint32_t node) const {
    if (node >= node_count()) return {};
    const uint32_t* slot = level0_.data() + static_cast<size_t>(node) * stride_;
    if (slot[0] <= capacity_) return {slot + 1, slot[0]};
    return layer0_spilled(node);
  }

  // Address of the layer-0 list of `node` for a prefetch; `node` must be below node_count().
  const uint32_t* layer0_address(uint32_t node) const {
    return level0_.data() + static_cast<size_t>(node) * stride_;
  }

  // Starts loading the layer-0 slots of `node` (below node_count()): its first line, or every
  // line. Always inlined, so that GCC cannot drop it as a call to a pure function.
  [[gnu::always_inline]] void prefetch_layer0(uint32_t node, bool whole) const {
    const uint32_t* first = layer0_address(node);
    __builtin_prefetch(first);
    if (!whole) return;
    const uint32_t* last = first + stride_ - 1;
    for (const uint32_t* line = first + 16; line < last; line += 16) __builtin_prefetch(line);
    __builtin_prefetch(last);
  }

  // Appends a new node with `layers` empty lists.
  void add_node(size_t layers);

  // A number insertion keeps beside each layer-0 list: how many of its first ids the diversity
  // heuristic picked when it last chose the list (the rest filled up the budget), so that the
  // next time the list is cut back only what the newcomer changes needs looking at again.
  // kUnknownPicks when not known. Every change to the list through append or assign forgets it;
  // set it right after the assign that wrote the list. Not part of the stored graph.
  static constexpr uint8_t kUnknownPicks = UINT8_MAX;
  uint8_t layer0_picks(uint32_t node) const { return layer0_picks_[node]; }
  void set_layer0_picks(uint32_t node, uint8_t picks) { layer0_picks_[node] = picks; }
  // Forgets the number of every node.
  void forget_layer0_picks();

  // Gives `node` empty lists up to and including `layer`.
  void ensure_layer(uint32_t node, size_t layer);

  // Appends `id` to the list of `node` on `layer`, creating the layer when missing.
  void append(uint32_t node, size_t layer, uint32_t id);

  // Replaces the list of `node` on `layer` (which may be a view of that same list).
  void assign(uint32_t node, size_t layer, std::span<const uint32_t> ids);

  void reserve(size_t nodes);
  void clear();

  size_t layer0_capacity() const { return capacity_; }
  size_t upper_capacity() const { return upper_capacity_; }
  // Whether some list is longer than its slots and lives in a shared side table.
  bool has_spilled_lists() const { return !spilled_.empty() || !upper_spilled_.empty(); }
  // Changes the number of layer-0 slots per node (capped at kMaxLayer0Capacity); every list
  // keeps its contents. Costs one pass over all nodes.
  void set_layer0_capacity(size_t capacity);
  // Changes the number of slots of every upper list (capped at kMaxUpperCapacity); every list
  // keeps its contents. Costs one pass over all nodes.
  void set_upper_capacity(size_t capacity);

  // Heap bytes of the lists: by what is allocated (growth slack included), or by lengths.
  size_t memory_bytes(bool allocated = true) const;

  // Equal when every node has the same lists, whatever the layout.
  friend bool operator==(const NeighborLists& a, const NeighborLists& b);

 private:
  // Header of a node's layer-0 slots: the list length, or kNoLayers for a node without lists.
  // A length above capacity_ means the list lives in spilled_.
  static constexpr uint32_t kNoLayers = UINT32_MAX;
  static constexpr uint32_t kNoUpper = UINT32_MAX;

  // Where a node's upper lists lie in upper_pool_: lists first .. first + count - 1, for layers
  // 1 .. count, each a header (the length, as on layer 0) and upper_capacity_ slots.
  struct UpperLists {
    uint32_t first = 0;
    uint32_t count = 0;
  };

  std::span<const uint32_t> layer0_spilled(uint32_t node) const;
  std::span<const uint32_t> upper(uint32_t node, size_t layer) const;
  // The header of the list of `node` on `layer` (1 ..), which the node has.
  uint32_t* upper_header(uint32_t node, size_t layer) {
    return upper_pool_.data() + (upper_[upper_slot_[node]].first + layer - 1) * upper_stride_;
  }
  // Key of an upper list in upper_spilled_.
  static uint64_t upper_key(uint32_t node, size_t layer) {
    return uint64_t{node} << 32 | static_cast<uint32_t>(layer);
  }
  // Gives `node` lists up to and including layer `layers` (>= 1), empty where new.
  void ensure_upper(uint32_t node, size_t layers);
  void assign_layer0(uint32_t node, std::span<const uint32_t> ids);
  void assign_upper(uint32_t node, size_t layer, std::span<const uint32_t> ids);

  size_t capacity_ = kDefaultLayer0Capacity;
  size_t stride_ = kDefaultLayer0Capacity + 1;
  CacheLineVector<uint32_t> level0_;  // per node: header, then capacity_ slots
  std::unordered_map<uint32_t, std::vector<uint32_t>> spilled_;  // layer-0 lists too long for slots
  CacheLineVector<uint32_t> upper_slot_;  // per node: index into upper_, or kNoUpper
  std::vector<UpperLists> upper_;         // per node above layer 0: where its lists lie
  size_t upper_capacity_ = kDefaultUpperCapacity;
  size_t upper_stride_ = kDefaultUpperCapacity + 1;
  CacheLineVector<uint32_t> upper_pool_;  // per upper list: header, then upper_capacity_ slots
  std::unordered_map<uint64_t, std::vector<uint32_t>> upper_spilled_;  // by upper_key
  std::vector<uint8_t> layer0_picks_;                                  // per node: see layer0_picks
};

// Growth of the per-node tables of an index. A table that doubles when full holds on average a
// third more than it uses, and the per-node tables are nearly all of an index's memory; growing
// by an eighth keeps the slack small while appends stay amortised constant time (every byte is
// copied about eight times over the table's life instead of twice). Makes room in `table` for
// `extra` more elements.
template <typename T, typename Allocator>
void reserve_for_append(std::vector<T, Allocator>& table, size_t extra) {
  const size_t needed = table.size() + extra;
  if (needed <= table.capacity()) return;
  constexpr size_t kMinimumStep = 1024;
  table.reserve(needed + std::max(table.size() / 8, kMinimumStep));
}

}  // namespace kestrine
