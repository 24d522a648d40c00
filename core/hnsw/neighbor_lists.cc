#include "core/hnsw/neighbor_lists.h"

#include <algorithm>

namespace kestrine {

size_t NeighborLists::layer_count(uint32_t node) const {
  if (node >= node_count()) return 0;
  if (upper_slot_[node] != kNoUpper) return 1 + size_t{upper_[upper_slot_[node]].count};
  return level0_[static_cast<size_t>(node) * stride_] == kNoLayers ? 0 : 1;
}

std::span<const uint32_t> NeighborLists::layer0_spilled(uint32_t node) const {
  auto it = spilled_.find(node);
  if (it == spilled_.end()) return {};  // kNoLayers: the node has no lists at all
  return it->second;
}

std::span<const uint32_t> NeighborLists::upper(uint32_t node, size_t layer) const {
  if (node >= node_count() || upper_slot_[node] == kNoUpper) return {};
  const UpperLists& lists = upper_[upper_slot_[node]];
  if (layer - 1 >= lists.count) return {};
  const uint32_t* header = upper_pool_.data() + (lists.first + layer - 1) * upper_stride_;
  if (header[0] <= upper_capacity_) return {header + 1, header[0]};
  auto it = upper_spilled_.find(upper_key(node, layer));
  if (it == upper_spilled_.end()) return {};
  return it->second;
}

void NeighborLists::ensure_upper(uint32_t node, size_t layers) {
  if (upper_slot_[node] == kNoUpper) {
    upper_slot_[node] = static_cast<uint32_t>(upper_.size());
    upper_.push_back({static_cast<uint32_t>(upper_pool_.size() / upper_stride_), 0});
  }
  UpperLists& lists = upper_[upper_slot_[node]];
  if (lists.count >= layers) return;
  const size_t end = upper_pool_.size() / upper_stride_;
  const bool last = lists.first + lists.count == end;
  reserve_for_append(upper_pool_,
                     (layers + (last ? 0 : lists.count) - lists.count) * upper_stride_);
  if (!last) {
    // Not the last lists of the pool: they move to its end to grow (only a node that gains
    // layers after others were added does; their old place stays unused until a relayout).
    const size_t from = size_t{lists.first} * upper_stride_;
    const size_t kept = size_t{lists.count} * upper_stride_;
    const size_t to = upper_pool_.size();
    upper_pool_.resize(to + kept);
    std::copy_n(upper_pool_.begin() + static_cast<std::ptrdiff_t>(from), kept,
                upper_pool_.begin() + static_cast<std::ptrdiff_t>(to));
    lists.first = static_cast<uint32_t>(end);
  }
  upper_pool_.resize(upper_pool_.size() + (layers - lists.count) * upper_stride_, 0);
  lists.count = static_cast<uint32_t>(layers);
}

void NeighborLists::add_node(size_t layers) {
  reserve_for_append(level0_, stride_);
  reserve_for_append(upper_slot_, 1);
  reserve_for_append(layer0_picks_, 1);
  level0_.resize(level0_.size() + stride_, 0);
  level0_[level0_.size() - stride_] = layers == 0 ? kNoLayers : 0;
  upper_slot_.push_back(kNoUpper);
  layer0_picks_.push_back(kUnknownPicks);
  if (layers > 1) ensure_upper(node_count() - 1, layers - 1);
}

void NeighborLists::ensure_layer(uint32_t node, size_t layer) {
  uint32_t& header = level0_[static_cast<size_t>(node) * stride_];
  if (header == kNoLayers) header = 0;
  if (layer == 0) return;
  ensure_upper(node, layer);
}

void NeighborLists::append(uint32_t node, size_t layer, uint32_t id) {
  ensure_layer(node, layer);
  if (layer > 0) {
    uint32_t* slot = upper_header(node, layer);
    const uint32_t length = slot[0];
    if (length < upper_capacity_) {
      slot[1 + length] = id;
    } else if (length == upper_capacity_) {
      std::vector<uint32_t>& spilled = upper_spilled_[upper_key(node, layer)];
      spilled.assign(slot + 1, slot + 1 + length);
      spilled.push_back(id);
    } else {
      upper_spilled_[upper_key(node, layer)].push_back(id);
    }
    slot[0] = length + 1;
    return;
  }
  layer0_picks_[node] = kUnknownPicks;
  uint32_t* slot = level0_.data() + static_cast<size_t>(node) * stride_;
  const uint32_t length = slot[0];
  if (length < capacity_) {
    slot[1 + length] = id;
  } else if (length == capacity_) {
    std::vector<uint32_t>& spilled = spilled_[node];
    spilled.assign(slot + 1, slot + 1 + length);
    spilled.push_back(id);
  } else {
    spilled_[node].push_back(id);
  }
  slot[0] = length + 1;
}

void NeighborLists::assign(uint32_t node, size_t layer, std::span<const uint32_t> ids) {
  ensure_layer(node, layer);
  if (layer == 0) {
    assign_layer0(node, ids);
    return;
  }
  assign_upper(node, layer, ids);
}

void NeighborLists::assign_upper(uint32_t node, size_t layer, std::span<const uint32_t> ids) {
  uint32_t* slot = upper_header(node, layer);
  const bool was_spilled = slot[0] > upper_capacity_;
  if (ids.size() <= upper_capacity_) {
    // Safe when ids is this very list, any of its later parts, or its spilled copy (erased
    // only after).
    std::copy(ids.begin(), ids.end(), slot + 1);
    slot[0] = static_cast<uint32_t>(ids.size());
    if (was_spilled) upper_spilled_.erase(upper_key(node, layer));
    return;
  }
  std::vector<uint32_t> copy(ids.begin(), ids.end());
  upper_spilled_[upper_key(node, layer)] = std::move(copy);
  slot[0] = static_cast<uint32_t>(ids.size());
}

void NeighborLists::assign_layer0(uint32_t node, std::span<const uint32_t> ids) {
  layer0_picks_[node] = kUnknownPicks;
  uint32_t* slot = level0_.data() + static_cast<size_t>(node) * stride_;
  const bool was_spilled = slot[0] > capacity_;
  if (ids.size() <= capacity_) {
    // std::copy is safe when ids is this very list (same start) or any of its later parts.
    std::copy(ids.begin(), ids.end(), slot + 1);
    slot[0] = static_cast<uint32_t>(ids.size());
    if (was_spilled) spilled_.erase(node);
    return;
  }
  std::vector<uint32_t> copy(ids.begin(), ids.end());
  spilled_[node] = std::move(copy);
  slot[0] = static_cast<uint32_t>(ids.size());
}

void NeighborLists::reserve(size_t nodes) {
  level0_.reserve(nodes * stride_);
  upper_slot_.reserve(nodes);
  layer0_picks_.reserve(nodes);
}

void NeighborLists::forget_layer0_picks() {
  std::fill(layer0_picks_.begin(), layer0_picks_.end(), kUnknownPicks);
}

void NeighborLists::clear() {
  level0_.clear();
  spilled_.clear();
  upper_slot_.clear();
  upper_.clear();
  upper_pool_.clear();
  upper_spilled_.clear();
  layer0_picks_.clear();
}

void NeighborLists::set_layer0_capacity(size_t capacity) {
  capacity = std::min(capacity, kMaxLayer0Capacity);
  if (capacity == capacity_) return;
  NeighborLists old = std::move(*this);
  capacity_ = capacity;
  stride_ = capacity + 1;
  level0_.clear();
  level0_.reserve(static_cast<size_t>(old.node_count()) * stride_);
  spilled_.clear();
  upper_slot_ = std::move(old.upper_slot_);
  upper_ = std::move(old.upper_);
  upper_capacity_ = old.upper_capacity_;
  upper_stride_ = old.upper_stride_;
  upper_pool_ = std::move(old.upper_pool_);
  upper_spilled_ = std::move(old.upper_spilled_);
  // A new capacity is a new budget: what the heuristic picked under the old one says nothing.
  layer0_picks_.assign(upper_slot_.size(), kUnknownPicks);
  for (uint32_t node = 0; node < node_count(); ++node) {
    const uint32_t header = old.level0_[static_cast<size_t>(node) * old.stride_];
    level0_.resize(level0_.size() + stride_, 0);
    level0_[static_cast<size_t>(node) * stride_] = header == kNoLayers ? kNoLayers : 0;
    if (header != kNoLayers) {
      // Reads from `old`, whose upper tables were moved out: only layer 0 is looked at.
      std::span<const uint32_t> list =
          header <= old.capacity_
              ? std::span<const uint32_t>(
                    old.level0_.data() + static_cast<size_t>(node) * old.stride_ + 1, header)
              : old.layer0_spilled(node);
      assign_layer0(node, list);
    }
  }
}

void NeighborLists::set_upper_capacity(size_t capacity) {
  capacity = std::min(capacity, kMaxUpperCapacity);
  if (capacity == upper_capacity_) return;
  const CacheLineVector<uint32_t> old_pool = std::move(upper_pool_);
  const std::unordered_map<uint64_t, std::vector<uint32_t>> old_spilled = std::move(upper_spilled_);
  const size_t old_capacity = upper_capacity_;
  const size_t old_stride = upper_stride_;
  const std::vector<UpperLists> old_upper = std::move(upper_);
  upper_pool_.clear();
  upper_spilled_.clear();
  upper_.clear();
  upper_capacity_ = capacity;
  upper_stride_ = capacity + 1;
  size_t lists = 0;
  for (const UpperLists& node_lists : old_upper) lists += node_lists.count;
  upper_pool_.reserve(lists * upper_stride_);
  // Node by node, so that every node's lists lie side by side again.
  for (uint32_t node = 0; node < node_count(); ++node) {
    if (upper_slot_[node] == kNoUpper) continue;
    const UpperLists from = old_upper[upper_slot_[node]];
    upper_slot_[node] = kNoUpper;
    ensure_upper(node, from.count);
    for (size_t layer = 1; layer <= from.count; ++layer) {
      const uint32_t* header = old_pool.data() + (from.first + layer - 1) * old_stride;
      std::span<const uint32_t> list;
      if (header[0] <= old_capacity) {
        list = {header + 1, header[0]};
      } else if (auto it = old_spilled.find(upper_key(node, layer)); it != old_spilled.end()) {
        list = it->second;
      }
      assign_upper(node, layer, list);
    }
  }
}

size_t NeighborLists::memory_bytes(bool allocated) const {
  const auto bytes = [&](const auto& v) {
    return (allocated ? v.capacity() : v.size()) * sizeof(v[0]);
  };
  size_t total = bytes(level0_) + bytes(upper_slot_) + bytes(upper_) + bytes(upper_pool_) +
                 bytes(layer0_picks_);
  for (const auto& [node, list] : spilled_) total += sizeof(node) + sizeof(list) + bytes(list);
  for (const auto& [key, list] : upper_spilled_) total += sizeof(key) + sizeof(list) + bytes(list);
  return total;
}

bool operator==(const NeighborLists& a, const NeighborLists& b) {
  if (a.node_count() != b.node_count()) return false;
  for (uint32_t node = 0; node < a.node_count(); ++node) {
    const size_t layers = a.layer_count(node);
    if (layers != b.layer_count(node)) return false;
    for (size_t layer = 0; layer < layers; ++layer) {
      auto x = a.get(node, layer);
      auto y = b.get(node, layer);
      if (!std::equal(x.begin(), x.end(), y.begin(), y.end())) return false;
    }
  }
  return true;
}

}  // namespace kestrine
