#include "core/hnsw/neighbor_lists.h"

#include <algorithm>

namespace kestrine {

namespace {

// True when `ids` points into `list`'s storage, so that replacing `list` from it needs a copy.
bool aliases(std::span<const uint32_t> ids, const std::vector<uint32_t>& list) {
  return !ids.empty() && !list.empty() && ids.data() >= list.data() &&
         ids.data() < list.data() + list.size();
}

}  // namespace

size_t NeighborLists::layer_count(uint32_t node) const {
  if (node >= node_count()) return 0;
  if (upper_slot_[node] != kNoUpper) return 1 + upper_[upper_slot_[node]].size();
  return level0_[static_cast<size_t>(node) * stride_] == kNoLayers ? 0 : 1;
}

std::span<const uint32_t> NeighborLists::layer0_spilled(uint32_t node) const {
  auto it = spilled_.find(node);
  if (it == spilled_.end()) return {};  // kNoLayers: the node has no lists at all
  return it->second;
}

std::span<const uint32_t> NeighborLists::upper(uint32_t node, size_t layer) const {
  if (node >= node_count() || upper_slot_[node] == kNoUpper) return {};
  const auto& lists = upper_[upper_slot_[node]];
  if (layer - 1 >= lists.size()) return {};
  return lists[layer - 1];
}

std::vector<std::vector<uint32_t>>& NeighborLists::upper_lists(uint32_t node) {
  if (upper_slot_[node] == kNoUpper) {
    upper_slot_[node] = static_cast<uint32_t>(upper_.size());
    upper_.emplace_back();
  }
  return upper_[upper_slot_[node]];
}

void NeighborLists::add_node(size_t layers) {
  reserve_for_append(level0_, stride_);
  reserve_for_append(upper_slot_, 1);
  reserve_for_append(layer0_picks_, 1);
  level0_.resize(level0_.size() + stride_, 0);
  level0_[level0_.size() - stride_] = layers == 0 ? kNoLayers : 0;
  upper_slot_.push_back(kNoUpper);
  layer0_picks_.push_back(kUnknownPicks);
  if (layers > 1) upper_lists(node_count() - 1).resize(layers - 1);
}

void NeighborLists::ensure_layer(uint32_t node, size_t layer) {
  uint32_t& header = level0_[static_cast<size_t>(node) * stride_];
  if (header == kNoLayers) header = 0;
  if (layer == 0) return;
  auto& lists = upper_lists(node);
  if (lists.size() < layer) lists.resize(layer);
}

void NeighborLists::append(uint32_t node, size_t layer, uint32_t id) {
  ensure_layer(node, layer);
  if (layer > 0) {
    upper_[upper_slot_[node]][layer - 1].push_back(id);
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
  std::vector<uint32_t>& list = upper_[upper_slot_[node]][layer - 1];
  if (aliases(ids, list)) {
    std::vector<uint32_t> copy(ids.begin(), ids.end());
    list = std::move(copy);
  } else {
    list.assign(ids.begin(), ids.end());
  }
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

size_t NeighborLists::memory_bytes(bool allocated) const {
  const auto bytes = [&](const auto& v) {
    return (allocated ? v.capacity() : v.size()) * sizeof(v[0]);
  };
  size_t total = bytes(level0_) + bytes(upper_slot_) + bytes(upper_) + bytes(layer0_picks_);
  for (const auto& lists : upper_) {
    total += bytes(lists);
    for (const auto& list : lists) total += bytes(list);
  }
  for (const auto& [node, list] : spilled_) total += sizeof(node) + sizeof(list) + bytes(list);
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
